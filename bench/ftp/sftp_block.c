/* One SFTP upload with libcurl at a given upload block size, for
 * bench/ftp/run: sftp_block FILE URL BLOCK_BYTES. The host key must be in
 * ~/.ssh/known_hosts and the key in ~/.ssh/id_ed25519. */
#include <curl/curl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  FILE* file = fopen(argv[1], "rb");
  struct stat st;
  if (!file || fstat(fileno(file), &st) != 0) return 2;
  char key[4096], known[4096];
  snprintf(key, sizeof key, "%s/.ssh/id_ed25519", getenv("HOME"));
  snprintf(known, sizeof known, "%s/.ssh/known_hosts", getenv("HOME"));
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_URL, argv[2]);
  curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(easy, CURLOPT_READDATA, file);
  curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, (curl_off_t)st.st_size);
  curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, atol(argv[3]));
  curl_easy_setopt(easy, CURLOPT_SSH_PRIVATE_KEYFILE, key);
  curl_easy_setopt(easy, CURLOPT_SSH_KNOWNHOSTS, known);
  CURLcode result = curl_easy_perform(easy);
  curl_easy_cleanup(easy);
  fclose(file);
  if (result != CURLE_OK) fprintf(stderr, "sftp_block: %s\n", curl_easy_strerror(result));
  return result == CURLE_OK ? 0 : 1;
}
