// The heap mupdf may use for one page: a request past it fails as out of memory, which mupdf
// unwinds from cleanly. A hostile page (a tiny stream declaring a huge bitmap) is refused at the
// budget, in every build, rather than at the worker's address-space limit or a sanitizer build's
// resident watch.
#pragma once

extern "C" {
#include <mupdf/fitz.h>
}

namespace thumbtool {

// The allocator to give the module's context. Single-threaded, as the context is.
const fz_alloc_context* memoryBudget();

// Whether a request was ever refused: mupdf turns some failures (an image it could not decode)
// into warnings and draws the rest of the page without it.
bool memoryBudgetExceeded();

}  // namespace thumbtool
