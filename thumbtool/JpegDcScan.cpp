#include "JpegDcScan.hpp"

#include <cstdlib>

namespace thumbtool {

namespace {

// Larger than any DC value a valid 8-bit file can reach: a predictor beyond it means damage,
// and stopping there keeps the sums far from overflow.
constexpr int kPredictorLimit = 1 << 20;
// More blocks than this in one MCU is no valid file.
constexpr int kMaxBlocksPerMcu = 10;
constexpr int kEndOfImage = 0xD9;

// A DC table's symbols are sizes of differences, at most 15 bits; decoders refuse a table with
// any other symbol even when it is never used.
bool dcSymbolsValid(const HuffmanDefinition& definition) {
  std::size_t total = 0;
  for (std::uint8_t count : definition.counts) {
    total += count;
  }
  for (std::size_t i = 0; i < total && i < definition.symbols.size(); ++i) {
    if (definition.symbols[i] > 15) {
      return false;
    }
  }
  return true;
}

// A DC difference of `size` bits, as the bits that follow its code encode it: the upper half
// of the range stands for itself, the lower half for negative values.
int extend(std::uint32_t bits, int size) {
  if (size == 0) {
    return 0;
  }
  const auto value = static_cast<int>(bits);
  return value < (1 << (size - 1)) ? value - (1 << size) + 1 : value;
}

}  // namespace

std::optional<DcScan> DcScan::make(const ScanLayout& layout) {
  if (layout.components.empty() || layout.components.size() > 4 || layout.mcusPerRow <= 0 ||
      layout.mcuRows <= 0) {
    return std::nullopt;
  }
  DcScan scan;
  int blocksPerMcu = 0;
  for (const ScanComponent& component : layout.components) {
    std::optional<HuffmanTable> dc = HuffmanTable::build(component.dcTable);
    std::optional<HuffmanTable> ac = HuffmanTable::build(component.acTable);
    if (!dc || !ac || !dcSymbolsValid(component.dcTable) || component.h < 1 || component.h > 4 ||
        component.v < 1 || component.v > 4) {
      return std::nullopt;
    }
    blocksPerMcu += component.h * component.v;
    scan.components_.push_back(Component{component.h, component.v, std::move(*dc), std::move(*ac)});
    scan.rows_.emplace_back(static_cast<std::size_t>(component.h) * component.v *
                            static_cast<std::size_t>(layout.mcusPerRow));
  }
  if (blocksPerMcu > kMaxBlocksPerMcu) {
    return std::nullopt;
  }
  scan.mcusPerRow_ = layout.mcusPerRow;
  scan.mcuRows_ = layout.mcuRows;
  scan.restartInterval_ = layout.restartInterval;
  scan.mcusToRestart_ = layout.restartInterval;
  return scan;
}

bool DcScan::decodeBlock(BitReader& reader, Component& component, int& dc) {
  reader.ensure(32);
  const int size = component.dc.decode(reader);
  // Differences of more than 15 bits cannot be told apart from damage.
  if (size < 0 || size > 15) {
    return false;
  }
  const int difference = extend(size == 0 ? 0 : reader.peek(size), size);
  reader.consume(size);
  component.predictor += difference;
  if (std::abs(component.predictor) > kPredictorLimit) {
    return false;
  }
  dc = component.predictor;
  return component.ac.skipAcBlock(reader);
}

bool DcScan::decodeMcu(BitReader& reader, int column) {
  if (restartInterval_ != 0) {
    if (mcusToRestart_ == 0) {
      if (!reader.restart(nextRestart_)) {
        return false;
      }
      nextRestart_ = (nextRestart_ + 1) & 7;
      mcusToRestart_ = restartInterval_;
      for (Component& component : components_) {
        component.predictor = 0;
      }
    }
    --mcusToRestart_;
  }
  for (std::size_t c = 0; c < components_.size(); ++c) {
    Component& component = components_[c];
    const std::size_t stride = static_cast<std::size_t>(component.h) * mcusPerRow_;
    for (int y = 0; y < component.v; ++y) {
      for (int x = 0; x < component.h; ++x) {
        const std::size_t at = static_cast<std::size_t>(y) * stride +
                               static_cast<std::size_t>(column) * component.h + x;
        if (!decodeBlock(reader, component, rows_[c][at])) {
          return false;
        }
      }
    }
  }
  // Zeros that stood in for missing data decode as well as any bits: using them is the end.
  return !reader.overread();
}

bool DcScan::nextRow(BitReader& reader) {
  if (rowsDone_ >= mcuRows_) {
    return false;
  }
  for (int column = 0; column < mcusPerRow_; ++column) {
    if (!decodeMcu(reader, column)) {
      return false;
    }
  }
  ++rowsDone_;
  // The image ends where the file does: whatever else follows the scan (more scans, stray
  // markers) is for a full decoder to judge.
  return rowsDone_ < mcuRows_ || reader.atMarker(kEndOfImage);
}

}  // namespace thumbtool
