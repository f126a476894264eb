#include "JpegTestFiles.hpp"

#include <cstdlib>

namespace thumbtool {

Bytes encodeJpeg(const JpegEncoding& encoding, const RowFiller& fillRow,
                 const MarkerWriter& writeMarkers) {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long length = 0;
  jpeg_mem_dest(&info, &out, &length);
  info.image_width = static_cast<JDIMENSION>(encoding.width);
  info.image_height = static_cast<JDIMENSION>(encoding.height);
  info.input_components = encoding.components;
  info.in_color_space = encoding.components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, encoding.quality, TRUE);
  info.comp_info[0].h_samp_factor = encoding.lumaH;
  info.comp_info[0].v_samp_factor = encoding.lumaV;
  info.restart_interval = encoding.restartInterval;
  jpeg_start_compress(&info, TRUE);
  if (writeMarkers) {
    writeMarkers(&info);
  }
  Bytes row(static_cast<std::size_t>(encoding.width) * encoding.components);
  while (info.next_scanline < info.image_height) {
    fillRow(static_cast<int>(info.next_scanline), row.data());
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  Bytes bytes(out, out + length);
  std::free(out);
  return bytes;
}

void readAllRows(j_decompress_ptr info, Bytes& pixels) {
  jpeg_start_decompress(info);
  const std::size_t stride = static_cast<std::size_t>(info->output_width) *
                             static_cast<std::size_t>(info->output_components);
  pixels.resize(stride * info->output_height);
  while (info->output_scanline < info->output_height) {
    JSAMPROW row = pixels.data() + stride * info->output_scanline;
    jpeg_read_scanlines(info, &row, 1);
  }
  jpeg_finish_decompress(info);
}

}  // namespace thumbtool
