#include "DescriptorStream.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace thumbtool {

namespace {

// PDF readers seek to the end first, then jump about the file: a buffer this size holds a
// typical cross-reference section or page's content in one read.
constexpr std::size_t kBufferBytes = 64 * 1024;

struct DescriptorState {
  int fd;
  std::int64_t size;
  unsigned char buffer[kBufferBytes];
};

// mupdf's contract: refill from stm->pos (the offset just past what was buffered), point rp and
// wp at the new bytes, return the first one.
int nextBytes(fz_context*, fz_stream* stream, std::size_t) {
  auto* state = static_cast<DescriptorState*>(stream->state);
  ssize_t n;
  do {
    n = pread(state->fd, state->buffer, kBufferBytes, static_cast<off_t>(stream->pos));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    return EOF;
  }
  stream->rp = state->buffer;
  stream->wp = state->buffer + n;
  stream->pos += n;
  return *stream->rp++;
}

void seekTo(fz_context* context, fz_stream* stream, std::int64_t offset, int whence) {
  auto* state = static_cast<DescriptorState*>(stream->state);
  std::int64_t base = 0;
  if (whence == SEEK_END) {
    base = state->size;
  } else if (whence == SEEK_CUR) {
    base = stream->pos - (stream->wp - stream->rp);
  }
  std::int64_t target = base + offset;
  if (target < 0 || target > state->size) {
    fz_throw(context, FZ_ERROR_GENERIC, "seek outside the document");
  }
  stream->pos = target;
  stream->rp = stream->wp = state->buffer;
}

void dropState(fz_context* context, void* state) { fz_free(context, state); }

}  // namespace

fz_stream* openDescriptorStream(fz_context* context, int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    fz_throw(context, FZ_ERROR_GENERIC, "not a regular file");
  }
  auto* state = static_cast<DescriptorState*>(fz_malloc(context, sizeof(DescriptorState)));
  state->fd = fd;
  state->size = info.st_size;
  fz_stream* stream = fz_new_stream(context, state, nextBytes, dropState);
  stream->seek = seekTo;
  return stream;
}

}  // namespace thumbtool
