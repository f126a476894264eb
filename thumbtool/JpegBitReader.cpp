#include "JpegBitReader.hpp"

namespace thumbtool {

int BitReader::nextByte() {
  while (feed_->left == 0) {
    if (feed_->refill == nullptr || !feed_->refill(*feed_)) {
      return -1;
    }
  }
  --feed_->left;
  return *feed_->next++;
}

int BitReader::afterFF() {
  int byte = nextByte();
  // Any number of FF bytes may pad the way to a marker.
  while (byte == 0xFF) {
    byte = nextByte();
  }
  if (byte == 0) {
    return 0xFF;
  }
  marker_ = byte < 0 ? kEndOfData : byte;
  return -1;
}

void BitReader::fill() {
  // Most of the time the next bytes hold no FF and are taken in one go.
  if (fillWhole()) {
    return;
  }
  while (count_ <= 56) {
    int byte = 0;
    if (marker_ == kNoMarker) {
      byte = nextByte();
      if (byte == 0xFF) {
        byte = afterFF();
      } else if (byte < 0) {
        marker_ = kEndOfData;
      }
    }
    if (marker_ != kNoMarker) {
      // Past the data: zeros, counted so that using them shows.
      padding_ += 8;
      byte = 0;
    }
    buffer_ |= static_cast<std::uint64_t>(byte) << (56 - count_);
    count_ += 8;
  }
}

bool BitReader::atMarker(int marker) {
  if (marker_ == kNoMarker) {
    fill();
  }
  const int dataBitsLeft = count_ - padding_;
  // The marker must follow at once: more than a byte's padding, or anything else, is damage
  // that only a full decoder knows how to step over.
  return marker_ == marker && dataBitsLeft >= 0 && dataBitsLeft < 8;
}

bool BitReader::restart(int number) {
  if (!atMarker(0xD0 + number)) {
    return false;
  }
  buffer_ = 0;
  count_ = 0;
  padding_ = 0;
  marker_ = kNoMarker;
  return true;
}

}  // namespace thumbtool
