/* upload: posts a file to a URL as a form, printing progress.

   Build against an installed libzembrel (see Makefile):
       cc upload.c $(pkg-config --cflags --libs zembrel) -o upload
   Run:
       ./upload http://127.0.0.1:8080/upload photo.jpg
*/
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <zembrel/zembrel.h>

struct upload_state {
  long long total; /* the file's size in bytes, for the percentage */
  int done;        /* set by the final message */
  int ok;
};

/* Host messages arrive on this thread while zembrel_iterate() runs. */
static void on_message(const char *message, void *user_data) {
  struct upload_state *state = user_data;
  long long sent = 0;
  if (sscanf(message, "#progress|%lld", &sent) == 1) {
    printf("progress %lld of %lld bytes (%.0f%%)\n", sent, state->total,
           state->total > 0 ? 100.0 * (double)sent / (double)state->total : 100.0);
  } else {
    printf("%s\n", message);
    state->done = 1;
    state->ok = strncmp(message, "#complete|", 10) == 0;
  }
  fflush(stdout);
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s URL FILE\n", argv[0]);
    return 2;
  }
  struct stat info;
  if (stat(argv[2], &info) != 0) {
    perror(argv[2]);
    return 1;
  }
  struct upload_state state = {(long long)info.st_size, 0, 0};
  zembrel_set_message_handler(on_message, &state);

  zembrel *z = zembrel_new();
  if (z == NULL) return 1;
  zembrel_set_progress_event_interval(z, 0.1);
  const char *fields[] = {"title", "Uploaded from C", "file", NULL}; /* odd last: the file part */
  if (!zembrel_post(z, argv[1], "c-host/1.0", fields, argv[2], NULL)) {
    fprintf(stderr, "could not start the upload\n");
    zembrel_unref(z);
    return 1;
  }
  /* A GTK or Qt program runs its own main loop instead. */
  while (!state.done) zembrel_iterate(1);

  zembrel_unref(z);
  zembrel_set_message_handler(NULL, NULL);
  printf("zembrel %s, md5 of the URL: ", zembrel_version());
  char *digest = zembrel_md5(NULL, argv[1]);
  printf("%s\n", digest ? digest : "?");
  zembrel_free(digest);
  return state.ok ? 0 : 1;
}
