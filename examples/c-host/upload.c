/* upload: posts files to a URL as forms, all at once, each as an operation
   of its own with its own progress and result.

   Build against an installed libzembrel (see Makefile):
       cc upload.c $(pkg-config --cflags --libs zembrel) -o upload
   Run:
       ./upload http://127.0.0.1:8080/upload photo.jpg scan.pdf
*/
#include <stdint.h>
#include <stdio.h>

#include <zembrel/zembrel.h>

struct upload {
  int number;       /* as the files were named, from 1 */
  const char *path;
  int ok;
};

static int running; /* operations whose done has not come yet */

/* Both callbacks run on this thread while zembrel_iterate() runs. */
static void on_progress(zembrel_op *op, int64_t done, int64_t total, void *user_data) {
  const struct upload *upload = user_data;
  (void)op;
  printf("[%d] progress %lld of %lld bytes\n", upload->number, (long long)done, (long long)total);
  fflush(stdout);
}

static void on_done(zembrel_op *op, void *user_data) {
  struct upload *upload = user_data;
  if (zembrel_op_status(op) == ZEMBREL_OP_FAILED) {
    printf("[%d] %s failed: %s (%s %d)\n", upload->number, upload->path,
           zembrel_op_error_message(op), zembrel_op_error_domain(op), zembrel_op_error_code(op));
  } else {
    printf("[%d] %s: HTTP %d, %s\n", upload->number, upload->path, zembrel_op_http_status(op),
           zembrel_op_message(op));
    upload->ok = zembrel_op_status(op) == ZEMBREL_OP_SUCCEEDED && zembrel_op_http_status(op) < 400;
  }
  fflush(stdout);
  running--;
}

int main(int argc, char **argv) {
  if (argc < 3 || argc > 10) {
    fprintf(stderr, "usage: %s URL FILE...\n", argv[0]);
    return 2;
  }
  struct upload uploads[8];
  zembrel_op *ops[8];
  const int count = argc - 2;
  const char *fields[] = {"title", "Uploaded from C", NULL};
  for (int i = 0; i < count; i++) {
    uploads[i] = (struct upload){i + 1, argv[i + 2], 0};
    ops[i] = zembrel_post_async(argv[1], fields, "file", argv[i + 2], NULL, on_progress, on_done,
                                &uploads[i]);
    if (ops[i] != NULL) running++;
    else fprintf(stderr, "[%d] could not start\n", i + 1);
  }
  /* A GTK or Qt program runs its own main loop instead. */
  while (running > 0) zembrel_iterate(1);

  int ok = 1;
  for (int i = 0; i < count; i++) {
    ok = ok && ops[i] != NULL && uploads[i].ok;
    zembrel_op_unref(ops[i]);
  }
  return ok ? 0 : 1;
}
