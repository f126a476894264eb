#pragma once

// The library is built with hidden visibility; only what carries this mark is
// part of libzembrel.so's interface.
#if defined(ZEMBREL_BUILDING_LIBRARY)
#define ZEMBREL_API __attribute__((visibility("default")))
#else
#define ZEMBREL_API
#endif
