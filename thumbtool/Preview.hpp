// The preview operation: a path and a box in, an image out.
#pragma once

#include <optional>
#include <string>

#include "Encoders.hpp"
#include "Image.hpp"

namespace thumbtool {

// A thumbnail of any document that fits the box: JPEG and PDF through their own decoders,
// everything else through the general image stack, freedesktop thumbnailers, a page of text,
// and finally the file's icon from the icon theme. Nothing when not even an icon can be had.
// The document's bytes are only ever read by contained render workers and sandboxed
// thumbnailers, all within one wall-clock budget; whatever fails, overruns or is refused
// there gets the file's icon. FIFOs, devices and kernel pseudo-files get it at once.
// asIcon asks for the icon-style rendering; this platform draws no icon decoration, so it only
// exists to keep the operation's shape (thumbtool passes false).
std::optional<Image> imageWithPreviewOfFileAtPath(const std::string& path, Box ofSize, bool asIcon);

// The encoded file in the given format, rendered entirely in memory; nothing on failure.
std::optional<Bytes> encodeImage(const Image& image, Format format);

}  // namespace thumbtool
