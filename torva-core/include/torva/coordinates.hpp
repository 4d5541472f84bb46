// The range of coordinates the readers accept. A PDB coordinate field (eight
// columns, three decimals) holds at most 99999.999 Å; a coordinate of 1e5 Å
// or more (or one that is no finite number) describes no structure, and the
// readers refuse it rather than let it through to the searches.
#pragma once

#include <cmath>

namespace torva {

// Å: every coordinate a reader accepts lies strictly within (-kMaxCoordinate, kMaxCoordinate).
inline constexpr double kMaxCoordinate = 1e5;

// Whether a coordinate read from a file lies in the accepted range (false for NaN and infinities).
inline bool coordinate_in_range(double v) { return std::fabs(v) < kMaxCoordinate; }

}  // namespace torva
