// libjpeg's input from an open descriptor: large positioned reads straight into one buffer.
// libjpeg's own stdio source hands the decoder 4 KiB at a time, and its fast entropy decoder
// runs only while a whole MCU's worth of worst-case bytes (512 per block) is buffered, so with
// 4 KiB most of a photo went through the slow bit-by-bit path.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <memory>

#include <jpeglib.h>

namespace thumbtool {

// One decode's source; must outlive it and not move once attached. The descriptor is neither
// closed nor moved (reads are positioned), and reading starts at offset 0.
class DescriptorSource {
 public:
  // Big enough that the slow path covers only each buffer's last few KiB; memory stays flat
  // whatever the file's size.
  static constexpr std::size_t kBufferBytes = 256 * 1024;

  explicit DescriptorSource(int fd, std::size_t bufferBytes = kBufferBytes);
  DescriptorSource(const DescriptorSource&) = delete;
  DescriptorSource& operator=(const DescriptorSource&) = delete;

  // Makes this the decoder's source (call after jpeg_create_decompress).
  void attach(j_decompress_ptr info);

 private:
  static void initSource(j_decompress_ptr info);
  static boolean fillInputBuffer(j_decompress_ptr info);
  static void skipInputData(j_decompress_ptr info, long count);
  static void termSource(j_decompress_ptr info);
  static DescriptorSource& sourceOf(j_decompress_ptr info);

  // libjpeg hands back only the manager's address: the owner rides along behind it.
  struct Manager {
    jpeg_source_mgr base;
    DescriptorSource* owner;
  };

  Manager manager_{};
  int fd_;
  off_t offset_ = 0;  // of the next read
  std::size_t capacity_;
  std::unique_ptr<JOCTET[]> buffer_;
};

}  // namespace thumbtool
