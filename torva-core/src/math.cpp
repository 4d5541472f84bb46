#include "torva/math.hpp"

#include <Eigen/Dense>
#include <Eigen/SVD>
#include <cmath>
#include <limits>

namespace torva {

Point Transform::apply(const Point& p) const {
    Point out;
    for (int i = 0; i < 3; ++i) {
        out[i] = rotation[i][0] * p[0] + rotation[i][1] * p[1] + rotation[i][2] * p[2] + translation[i];
    }
    return out;
}

PointSet Transform::apply(std::span<const Point> points) const {
    PointSet out;
    out.reserve(points.size());
    for (const Point& p : points) out.push_back(apply(p));
    return out;
}

void Transform::apply_in_place(std::span<Point> points) const {
    for (Point& p : points) p = apply(p);
}

Transform Transform::compose(const Transform& other) const {
    Transform c;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            c.rotation[i][j] = rotation[i][0] * other.rotation[0][j] + rotation[i][1] * other.rotation[1][j] +
                               rotation[i][2] * other.rotation[2][j];
        }
        c.translation[i] = rotation[i][0] * other.translation[0] + rotation[i][1] * other.translation[1] +
                           rotation[i][2] * other.translation[2] + translation[i];
    }
    return c;
}

Transform Transform::inverse() const {
    Transform inv;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) inv.rotation[i][j] = rotation[j][i];
    for (int i = 0; i < 3; ++i) {
        inv.translation[i] = -(inv.rotation[i][0] * translation[0] + inv.rotation[i][1] * translation[1] +
                               inv.rotation[i][2] * translation[2]);
    }
    return inv;
}

Matrix4 Transform::transformation_matrix() const {
    Matrix4 m{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) m[i][j] = rotation[i][j];
        m[i][3] = translation[i];
    }
    m[3] = {0.0, 0.0, 0.0, 1.0};
    return m;
}

Point centroid(std::span<const Point> points) {
    if (points.empty()) throw InternalError("Cannot compute centroid of empty point set");
    Point sum{0.0, 0.0, 0.0};
    for (const Point& p : points) {
        sum[0] += p[0];
        sum[1] += p[1];
        sum[2] += p[2];
    }
    const double n = static_cast<double>(points.size());
    return {sum[0] / n, sum[1] / n, sum[2] / n};
}

double compute_rmsd(std::span<const Point> a, std::span<const Point> b) {
    if (a.size() != b.size()) throw InternalError("compute_rmsd: point sets differ in size");
    if (a.empty()) return 0.0;
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += squared_distance(a[i], b[i]);
    return std::sqrt(sum / static_cast<double>(a.size()));
}

std::vector<double> distance_matrix(std::span<const Point> a, std::span<const Point> b) {
    std::vector<double> d(a.size() * b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < b.size(); ++j) d[i * b.size() + j] = std::sqrt(squared_distance(a[i], b[j]));
    return d;
}

Superposition superpose(std::span<const Point> fixed, std::span<const Point> mobile) {
    if (fixed.size() != mobile.size()) throw InternalError("superpose: point sets differ in size");
    const std::size_t k = fixed.size();
    if (k == 0) return Superposition{};

    const Point cf = centroid(fixed);
    const Point cm = centroid(mobile);

    // Cross-covariance: mobile coordinates index the rows, fixed the columns.
    Eigen::Matrix3d h = Eigen::Matrix3d::Zero();
    for (std::size_t i = 0; i < k; ++i) {
        for (int a = 0; a < 3; ++a) {
            const double m = mobile[i][a] - cm[a];
            for (int b = 0; b < 3; ++b) h(a, b) += m * (fixed[i][b] - cf[b]);
        }
    }

    Superposition out;
    if (!h.allFinite()) {
        // Non-finite input: no rotation can be determined. Report NaN rather
        // than handing such data to the iterative decomposition.
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (auto& row : out.transform.rotation) row = {nan, nan, nan};
        out.transform.translation = {nan, nan, nan};
        out.rmsd = nan;
        return out;
    }

    Eigen::JacobiSVD<Eigen::Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
    if (!svd.computeU()) throw InternalError("SVD failed to compute U");
    const Eigen::Matrix3d u = svd.matrixU();
    const Eigen::Matrix3d v = svd.matrixV();
    Eigen::Matrix3d r = v * u.transpose();
    if (r.determinant() < 0.0) {
        Eigen::Matrix3d flip = Eigen::Matrix3d::Identity();
        flip(2, 2) = -1.0;
        r = v * flip * u.transpose();
    }

    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) out.transform.rotation[i][j] = r(i, j);
    for (int i = 0; i < 3; ++i) {
        out.transform.translation[i] = cf[i] - (r(i, 0) * cm[0] + r(i, 1) * cm[1] + r(i, 2) * cm[2]);
    }

    double sum = 0.0;
    for (std::size_t i = 0; i < k; ++i) sum += squared_distance(fixed[i], out.transform.apply(mobile[i]));
    out.rmsd = std::sqrt(sum / static_cast<double>(k));
    return out;
}

}  // namespace torva
