#pragma once

namespace zembrel::detail {

// Seconds on a clock that only moves forward. Progress and rate use only
// differences of it, so a change of the system's wall clock mid-upload cannot
// make progress jump or the rate go negative.
double monotonicSeconds();

}  // namespace zembrel::detail
