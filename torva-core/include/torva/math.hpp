// Points, rigid-body transformations and the small numeric operations on point
// sets: centroid, RMSD without fitting, distance matrix and least-squares
// superposition.
#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "torva/error.hpp"

namespace torva {

using Point = std::array<double, 3>;
using PointSet = std::vector<Point>;
using Matrix3 = std::array<std::array<double, 3>, 3>;
using Matrix4 = std::array<std::array<double, 4>, 4>;

// x' = R·x + t (rotate about the origin, then translate). Stored as given:
// nothing checks that R is orthonormal.
struct Transform {
    Matrix3 rotation{{{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};
    Point translation{0.0, 0.0, 0.0};

    static Transform identity() { return {}; }
    static Transform from_matrix(const Matrix3& r, const Point& t) { return {r, t}; }

    Point apply(const Point& p) const;
    PointSet apply(std::span<const Point> points) const;
    // In-place variant for hot loops.
    void apply_in_place(std::span<Point> points) const;
    // self ∘ other: `other` acts first.
    Transform compose(const Transform& other) const;
    // (Rᵀ, −Rᵀ·t); the true inverse only for orthonormal R.
    Transform inverse() const;
    Matrix4 transformation_matrix() const;
};

// Float-to-count conversion: truncation toward zero, negatives and NaN give 0,
// values beyond the range saturate.
inline std::size_t to_count(double x) {
    if (!(x > 0.0)) return 0;
    constexpr double kMax = 18446744073709551615.0;  // rounds to 2^64
    if (x >= kMax) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(x);
}

// Squared Euclidean distance, summed x, y, z in that order.
inline double squared_distance(const Point& a, const Point& b) {
    const double dx = a[0] - b[0];
    const double dy = a[1] - b[1];
    const double dz = a[2] - b[2];
    return dx * dx + dy * dy + dz * dz;
}

// Mean of the points. Throws InternalError for an empty set.
Point centroid(std::span<const Point> points);

// Plain RMSD of paired points (no fitting); 0.0 for empty sets. Sizes must match.
double compute_rmsd(std::span<const Point> a, std::span<const Point> b);

// M×N Euclidean distances, row-major (row i follows a, column j follows b).
std::vector<double> distance_matrix(std::span<const Point> a, std::span<const Point> b);

struct Superposition {
    Transform transform;
    double rmsd = 0.0;
};

// Least-squares rigid fit moving `mobile` onto `fixed` (equal sizes), with
// reflection correction, so the rotation is always proper. Empty sets give the
// identity; non-finite input gives NaN throughout. No input makes it fail.
Superposition superpose(std::span<const Point> fixed, std::span<const Point> mobile);

}  // namespace torva
