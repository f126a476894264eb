#include "JpegSource.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include <jerror.h>

namespace thumbtool {

namespace {

// What a file that ends early yields: an end-of-image marker, as libjpeg's own sources do, so
// that the missing rows come out grey and a warning (ignored here) is all that happens.
const JOCTET kEndOfImage[] = {0xFF, JPEG_EOI};

}  // namespace

DescriptorSource& DescriptorSource::sourceOf(j_decompress_ptr info) {
  return *reinterpret_cast<Manager*>(info->src)->owner;
}

DescriptorSource::DescriptorSource(int fd, std::size_t bufferBytes)
    // Left uninitialised: zeroing would touch every page even for a small file.
    : fd_(fd), capacity_(bufferBytes), buffer_(new JOCTET[bufferBytes]) {}

void DescriptorSource::attach(j_decompress_ptr info) {
  manager_.owner = this;
  jpeg_source_mgr& base = manager_.base;
  base.init_source = initSource;
  base.fill_input_buffer = fillInputBuffer;
  base.skip_input_data = skipInputData;
  base.resync_to_restart = jpeg_resync_to_restart;
  base.term_source = termSource;
  base.next_input_byte = nullptr;
  base.bytes_in_buffer = 0;
  info->src = &base;
}

void DescriptorSource::initSource(j_decompress_ptr info) { sourceOf(info).offset_ = 0; }

boolean DescriptorSource::fillInputBuffer(j_decompress_ptr info) {
  DescriptorSource& source = sourceOf(info);
  ssize_t n = 0;
  do {
    n = pread(source.fd_, source.buffer_.get(), source.capacity_, source.offset_);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    // The end, or a read error: either way nothing more comes from this file.
    WARNMS(info, JWRN_JPEG_EOF);
    source.manager_.base.next_input_byte = kEndOfImage;
    source.manager_.base.bytes_in_buffer = sizeof kEndOfImage;
    return TRUE;
  }
  source.offset_ += n;
  source.manager_.base.next_input_byte = source.buffer_.get();
  source.manager_.base.bytes_in_buffer = static_cast<std::size_t>(n);
  return TRUE;
}

void DescriptorSource::skipInputData(j_decompress_ptr info, long count) {
  DescriptorSource& source = sourceOf(info);
  if (count <= 0) {
    return;
  }
  auto skip = static_cast<std::size_t>(count);
  if (skip <= source.manager_.base.bytes_in_buffer) {
    source.manager_.base.next_input_byte += skip;
    source.manager_.base.bytes_in_buffer -= skip;
    return;
  }
  // Past the buffer: the skipped bytes are never read at all.
  source.offset_ += static_cast<off_t>(skip - source.manager_.base.bytes_in_buffer);
  source.manager_.base.bytes_in_buffer = 0;
  source.manager_.base.next_input_byte = nullptr;
}

void DescriptorSource::termSource(j_decompress_ptr) {}

}  // namespace thumbtool
