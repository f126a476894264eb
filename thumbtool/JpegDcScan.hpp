// A reader of a sequential Huffman-coded JPEG scan that keeps only each block's DC coefficient.
// A thumbnail at 1/8 scale needs nothing else, yet a general decoder still decodes every AC
// coefficient in full; here each AC symbol costs one table lookup to skip. Anything unusual in
// the data (a bad code, data ending early, an unexpected marker, anything but the end of the
// image after the scan) ends the scan with a failure, so that the caller can hand the file to a
// full decoder instead.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "JpegBitReader.hpp"
#include "JpegHuffman.hpp"

namespace thumbtool {

// One component of the scan, in the order its blocks appear in each MCU.
struct ScanComponent {
  int h = 1;  // blocks across and down in one MCU (1 for a scan of one component)
  int v = 1;
  HuffmanDefinition dcTable;
  HuffmanDefinition acTable;
};

struct ScanLayout {
  std::vector<ScanComponent> components;  // 1 to 4
  int mcusPerRow = 0;
  int mcuRows = 0;
  unsigned restartInterval = 0;  // MCUs between restart markers; 0 for none
};

// Decodes one scan's DC coefficients, a row of MCUs at a time. Holds one MCU row of values:
// memory follows the image's width, never its height or the file's size. Not thread-safe; one
// per decode.
class DcScan {
 public:
  // Null when a table is not a valid code, or the layout is out of range.
  static std::optional<DcScan> make(const ScanLayout& layout);

  // Decodes the next row of MCUs from the reader. Afterwards dcRow(c) holds component c's
  // coefficients for that row, h*mcusPerRow wide and v high, row by row. After the last row
  // the data must end at the end-of-image marker. False on any anomaly or when every row was
  // already decoded: the scan cannot go on then.
  bool nextRow(BitReader& reader);

  const std::vector<int>& dcRow(std::size_t component) const { return rows_[component]; }
  int rowsDone() const { return rowsDone_; }

 private:
  struct Component {
    int h;
    int v;
    HuffmanTable dc;
    HuffmanTable ac;
    int predictor = 0;
  };

  DcScan() = default;
  bool decodeMcu(BitReader& reader, int column);
  bool decodeBlock(BitReader& reader, Component& component, int& dc);

  std::vector<Component> components_;
  std::vector<std::vector<int>> rows_;
  int mcusPerRow_ = 0;
  int mcuRows_ = 0;
  unsigned restartInterval_ = 0;
  unsigned mcusToRestart_ = 0;
  int nextRestart_ = 0;  // the number (0-7) the next restart marker must carry
  int rowsDone_ = 0;
};

}  // namespace thumbtool
