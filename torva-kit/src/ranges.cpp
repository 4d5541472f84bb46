// The coordinate range of every reader (torva/coordinates.hpp), for the kit's
// readers written in Python.
#include <nanobind/nanobind.h>

#include "kit.hpp"
#include "torva/coordinates.hpp"

namespace torva_kit {

void bind_ranges(nanobind::module_& m) {
    m.attr("MAX_COORDINATE") = torva::kMaxCoordinate;
    m.def("coordinate_in_range", &torva::coordinate_in_range, nanobind::arg("value"),
          "Whether a coordinate read from a file lies in the range every reader accepts: |value| < MAX_COORDINATE "
          "(False for NaN and infinities).");
}

}  // namespace torva_kit
