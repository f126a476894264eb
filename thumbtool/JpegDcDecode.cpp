#include "JpegDcDecode.hpp"

namespace thumbtool {

namespace {

HuffmanDefinition definitionOf(const JHUFF_TBL& table) {
  HuffmanDefinition definition;
  for (std::size_t length = 1; length <= 16; ++length) {
    definition.counts[length - 1] = table.bits[length];
  }
  definition.symbols.assign(table.huffval, table.huffval + 256);
  return definition;
}

// Sampling factors whose 1/8 scale needs only the DC coefficients: chroma at one block per MCU
// under luma of up to 2x2 blocks. libjpeg gives each luma block one sample and, for chroma of
// 1x2 or 2x1, replicates each chroma sample as done here. With chroma halved both ways it
// instead makes 2x2 chroma samples per block with a reduced transform that reads AC
// coefficients too; here that block's DC, about the mean of those four, is replicated over
// them, as plain upsampling would. The rows are area-shrunk afterwards, so a few levels of
// chroma within 2x2 pixels cannot be seen in a thumbnail, while decoding the chroma AC
// coefficients of camera photographs, most of which are laid out this way, would give back
// much of what skipping them saves.
bool samplingFits(const jpeg_decompress_struct& info) {
  if (info.num_components == 1) {
    return true;
  }
  const jpeg_component_info& luma = info.comp_info[0];
  for (int c = 1; c < info.num_components; ++c) {
    if (info.comp_info[c].h_samp_factor != 1 || info.comp_info[c].v_samp_factor != 1) {
      return false;
    }
  }
  return luma.h_samp_factor <= 2 && luma.v_samp_factor <= 2;
}

bool halvedBothWays(const jpeg_decompress_struct& info) {
  return info.num_components == 3 && info.comp_info[0].h_samp_factor == 2 &&
         info.comp_info[0].v_samp_factor == 2;
}

bool headerFits(const jpeg_decompress_struct& info) {
  const bool grey = info.num_components == 1 && info.jpeg_color_space == JCS_GRAYSCALE &&
                    info.out_color_space == JCS_GRAYSCALE;
  const bool colour = info.num_components == 3 && info.jpeg_color_space == JCS_YCbCr &&
                      info.out_color_space == JCS_RGB;
  return (grey || colour) && !info.progressive_mode && !info.arith_code &&
         info.data_precision == 8 && info.comps_in_scan == info.num_components && info.Ss == 0 &&
         info.Se == 63 && info.Ah == 0 && info.Al == 0 && !info.CCIR601_sampling &&
         info.scale_num * 8 == info.scale_denom && !info.do_fancy_upsampling &&
         info.output_components == info.num_components && samplingFits(info);
}

std::optional<ScanLayout> layoutOf(const jpeg_decompress_struct& info, DcDecode& decode) {
  ScanLayout layout;
  const int hMax = info.num_components == 1 ? 1 : info.comp_info[0].h_samp_factor;
  const int vMax = info.num_components == 1 ? 1 : info.comp_info[0].v_samp_factor;
  for (int c = 0; c < info.num_components; ++c) {
    const jpeg_component_info* component = info.cur_comp_info[c];
    // Blocks are laid out in the scan's order; this keeps it the frame's.
    if (component != &info.comp_info[c] || component->dc_tbl_no < 0 ||
        component->dc_tbl_no >= NUM_HUFF_TBLS || component->ac_tbl_no < 0 ||
        component->ac_tbl_no >= NUM_HUFF_TBLS || component->quant_tbl_no < 0 ||
        component->quant_tbl_no >= NUM_QUANT_TBLS) {
      return std::nullopt;
    }
    const JHUFF_TBL* dc = info.dc_huff_tbl_ptrs[component->dc_tbl_no];
    const JHUFF_TBL* ac = info.ac_huff_tbl_ptrs[component->ac_tbl_no];
    const JQUANT_TBL* quant = info.quant_tbl_ptrs[component->quant_tbl_no];
    if (dc == nullptr || ac == nullptr || quant == nullptr) {
      return std::nullopt;
    }
    const bool one = info.num_components == 1;
    layout.components.push_back(ScanComponent{one ? 1 : component->h_samp_factor,
                                              one ? 1 : component->v_samp_factor, definitionOf(*dc),
                                              definitionOf(*ac)});
    decode.quant[static_cast<std::size_t>(c)] = quant->quantval[0];
  }
  const long long width = info.image_width;
  const long long height = info.image_height;
  layout.mcusPerRow = static_cast<int>((width + 8LL * hMax - 1) / (8LL * hMax));
  layout.mcuRows = static_cast<int>((height + 8LL * vMax - 1) / (8LL * vMax));
  layout.restartInterval = info.restart_interval;
  return layout;
}

}  // namespace

bool chromaDetailHidden(const jpeg_decompress_struct& info, int outputWidth, int outputHeight,
                        Dimensions target) {
  return !halvedBothWays(info) ||
         (outputWidth / 2 >= target.width && outputHeight / 2 >= target.height);
}

bool prepareDcDecode(const jpeg_decompress_struct& info, DcDecode& decode) {
  if (!headerFits(info)) {
    return false;
  }
  std::optional<ScanLayout> layout = layoutOf(info, decode);
  if (!layout) {
    return false;
  }
  decode.scan = DcScan::make(*layout);
  if (!decode.scan) {
    return false;
  }
  decode.outputWidth = static_cast<int>(info.output_width);
  decode.outputHeight = static_cast<int>(info.output_height);
  decode.channels = info.num_components;
  decode.lumaH = layout->components[0].h;
  decode.lumaV = layout->components[0].v;
  for (std::size_t c = 0; c < layout->components.size(); ++c) {
    decode.samples[c].resize(decode.scan->dcRow(c).size());
  }
  decode.row.resize(static_cast<std::size_t>(decode.outputWidth) * decode.channels);
  return true;
}

namespace {

// Hands the scan libjpeg's next buffer of the file. The sources used here never suspend and
// give an end-of-image marker once the file is exhausted.
bool refillFromSource(ByteFeed& feed) {
  auto* info = static_cast<j_decompress_ptr>(feed.context);
  jpeg_source_mgr* source = info->src;
  source->next_input_byte = feed.next;
  source->bytes_in_buffer = 0;
  if (!(*source->fill_input_buffer)(info)) {
    return false;
  }
  feed.next = source->next_input_byte;
  feed.left = source->bytes_in_buffer;
  return feed.left > 0;
}

// The output rows one row of MCUs covers, from the samples its blocks gave.
void emitRows(DcDecode& decode, int mcuRow, RowSink sink) {
  const int vMax = decode.lumaV;
  const std::size_t lumaStride = decode.scan->dcRow(0).size() / static_cast<std::size_t>(vMax);
  for (int y = 0; y < vMax; ++y) {
    if (mcuRow * vMax + y >= decode.outputHeight) {
      return;
    }
    const unsigned char* luma = decode.samples[0].data() + static_cast<std::size_t>(y) * lumaStride;
    unsigned char* out = decode.row.data();
    if (decode.channels == 1) {
      sink.add(sink.context, luma);
      continue;
    }
    // Chroma has one block per MCU: each of its samples serves lumaH luma samples across, on
    // each of the lumaV rows.
    const unsigned char* cb = decode.samples[1].data();
    const unsigned char* cr = decode.samples[2].data();
    for (int x = 0; x < decode.outputWidth; ++x) {
      const auto chroma = static_cast<std::size_t>(x / decode.lumaH);
      decode.colour.convert(luma[x], cb[chroma], cr[chroma], out + static_cast<std::size_t>(x) * 3);
    }
    sink.add(sink.context, out);
  }
}

}  // namespace

bool runDcDecode(j_decompress_ptr info, DcDecode& decode, RowSink sink) {
  ByteFeed feed;
  feed.next = info->src->next_input_byte;
  feed.left = info->src->bytes_in_buffer;
  feed.refill = refillFromSource;
  feed.context = info;
  BitReader reader(feed);
  DcScan& scan = *decode.scan;
  while (scan.rowsDone() * decode.lumaV < decode.outputHeight) {
    const int mcuRow = scan.rowsDone();
    if (!scan.nextRow(reader)) {
      return false;
    }
    for (int c = 0; c < decode.channels; ++c) {
      const auto index = static_cast<std::size_t>(c);
      const std::vector<int>& dc = scan.dcRow(index);
      std::vector<unsigned char>& samples = decode.samples[index];
      for (std::size_t i = 0; i < dc.size(); ++i) {
        samples[i] = dcSample(dc[i], decode.quant[index]);
      }
    }
    emitRows(decode, mcuRow, sink);
  }
  return true;
}

}  // namespace thumbtool
