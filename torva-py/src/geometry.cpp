// Module functions on coordinate arrays: superpose, compute_rmsd, centroid and
// distance_matrix.
#include <cstring>
#include <limits>

#include "binding.hpp"
#include "surfaces.hpp"
#include "torva/math.hpp"

namespace dovel {
namespace {

constexpr const char* kShapeError = "Coordinates must have shape (N, 3)";
constexpr const char* kSameShapeError = "Coordinate arrays must have same shape";

bool same_shape(const ArrayView& a, const ArrayView& b) { return a.rows == b.rows && a.cols == b.cols; }

constexpr Signature kSuperposeSig{"superpose", {"fixed", "mobile"}, 2};
constexpr const char* kSuperposeDoc =
    "superpose(fixed, mobile)\n--\n\nComputes optimal superposition of two coordinate sets.\n\nArgs:\n"
    "    fixed: Reference coordinates (N x 3).\n    mobile: Coordinates to transform (N x 3).\n\nReturns:\n"
    "    Tuple of (Transform, rmsd).";

Ref superpose(PyObject*, const CallArgs& call) {
    const BoundArgs a = bind(kSuperposeSig, call);
    const ArrayView fixed = arg_array2d(a[0], "fixed");
    const ArrayView mobile = arg_array2d(a[1], "mobile");
    if (!same_shape(fixed, mobile)) throw_error(PyExc_ValueError, kSameShapeError);
    // Extra columns are ignored; fewer than three cannot be points.
    if (fixed.cols < 3) throw_error(PyExc_ValueError, kShapeError);
    const torva::PointSet f = fixed.points();
    const torva::PointSet m = mobile.points();
    const torva::Superposition sup = torva::superpose(f, m);
    return make_tuple(wrap(sup.transform), py_float(sup.rmsd));
}

constexpr Signature kRmsdSig{"compute_rmsd", {"coords1", "coords2"}, 2};
constexpr const char* kRmsdDoc =
    "compute_rmsd(coords1, coords2)\n--\n\nComputes RMSD between two coordinate sets.\n\nArgs:\n"
    "    coords1: First coordinate array (N x 3).\n    coords2: Second coordinate array (N x 3).\n\nReturns:\n"
    "    RMSD value in same units as input coordinates.";

Ref compute_rmsd(PyObject*, const CallArgs& call) {
    const BoundArgs a = bind(kRmsdSig, call);
    const ArrayView c1 = arg_array2d(a[0], "coords1");
    const ArrayView c2 = arg_array2d(a[1], "coords2");
    if (!same_shape(c1, c2)) throw_error(PyExc_ValueError, kSameShapeError);
    if (c1.cols != 3) throw_error(PyExc_ValueError, kShapeError);
    return py_float(torva::compute_rmsd(c1.points(), c2.points()));
}

constexpr Signature kCentroidSig{"centroid", {"coords"}, 1};
constexpr const char* kCentroidDoc =
    "centroid(coords)\n--\n\nComputes centroid of a coordinate set.\n\nArgs:\n    coords: Coordinate array (N x 3).\n"
    "\nReturns:\n    Centroid as (x, y, z) tuple.";

Ref centroid(PyObject*, const CallArgs& call) {
    const BoundArgs a = bind(kCentroidSig, call);
    const ArrayView c = arg_array2d(a[0], "coords");
    if (c.cols != 3) throw_error(PyExc_ValueError, kShapeError);
    const torva::Point p = torva::centroid(c.points());  // empty: InternalError
    return make_tuple(py_float(p[0]), py_float(p[1]), py_float(p[2]));
}

constexpr Signature kDistanceSig{"distance_matrix", {"coords1", "coords2"}, 2};
constexpr const char* kDistanceDoc =
    "distance_matrix(coords1, coords2)\n--\n\nComputes distance matrix between two coordinate sets.\n\nArgs:\n"
    "    coords1: First coordinate array (M x 3).\n    coords2: Second coordinate array (N x 3).\n\nReturns:\n"
    "    MxN distance matrix as numpy array.";

Ref distance_matrix(PyObject*, const CallArgs& call) {
    const BoundArgs a = bind(kDistanceSig, call);
    const ArrayView c1 = arg_array2d(a[0], "coords1");
    const ArrayView c2 = arg_array2d(a[1], "coords2");
    if (c1.cols != 3 || c2.cols != 3) throw_error(PyExc_ValueError, kShapeError);
    const auto m = static_cast<std::size_t>(c1.rows);
    const auto n = static_cast<std::size_t>(c2.rows);
    if (n != 0 && m > std::numeric_limits<std::size_t>::max() / sizeof(double) / n) throw std::bad_alloc();
    double* out = nullptr;
    Ref result = new_array({c1.rows, c2.rows}, out);  // allocated first: an impossible size fails early
    const std::vector<double> d = torva::distance_matrix(c1.points(), c2.points());
    if (!d.empty()) std::memcpy(out, d.data(), d.size() * sizeof(double));
    return result;
}

}  // namespace

PyMethodDef superpose_def = function<superpose>("superpose", kSuperposeDoc);
PyMethodDef compute_rmsd_def = function<compute_rmsd>("compute_rmsd", kRmsdDoc);
PyMethodDef centroid_def = function<centroid>("centroid", kCentroidDoc);
PyMethodDef distance_matrix_def = function<distance_matrix>("distance_matrix", kDistanceDoc);

}  // namespace dovel
