// A mupdf stream over an open descriptor, read with positioned reads: the render worker holds the
// document only as a descriptor (it may not open it by name), and the document's own offset is
// left alone.
#pragma once

extern "C" {
#include <mupdf/fitz.h>
}

namespace thumbtool {

// Throws through mupdf (fz_throw) when out of memory; the stream owns nothing but its buffer.
fz_stream* openDescriptorStream(fz_context* context, int fd);

}  // namespace thumbtool
