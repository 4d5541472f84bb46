#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "torva/math.hpp"

using torva::Point;
using torva::PointSet;
using torva::Transform;

namespace {

Transform random_rotation(std::mt19937& rng, Point t) {
    std::normal_distribution<double> n(0.0, 1.0);
    // Unit quaternion to rotation matrix.
    double q[4];
    double norm = 0;
    for (double& x : q) {
        x = n(rng);
        norm += x * x;
    }
    norm = std::sqrt(norm);
    for (double& x : q) x /= norm;
    const double w = q[0], x = q[1], y = q[2], z = q[3];
    torva::Matrix3 r{{{1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
                      {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
                      {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}}};
    return Transform::from_matrix(r, t);
}

PointSet random_points(std::mt19937& rng, std::size_t n) {
    std::uniform_real_distribution<double> u(-20.0, 20.0);
    PointSet p(n);
    for (auto& q : p) q = {u(rng), u(rng), u(rng)};
    return p;
}

void expect_identity(const Transform& t, double tol) {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(t.rotation[i][j], i == j ? 1.0 : 0.0, tol);
        EXPECT_NEAR(t.translation[i], 0.0, tol);
    }
}

double det(const torva::Matrix3& r) {
    return r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) - r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
           r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
}

}  // namespace

TEST(Transform, ComposeAndInverse) {
    std::mt19937 rng(7);
    const Transform a = random_rotation(rng, {1, 2, 3});
    const Transform b = random_rotation(rng, {-4, 0.5, 9});
    expect_identity(a.compose(a.inverse()), 1e-12);
    expect_identity(a.inverse().compose(a), 1e-12);

    const PointSet p = random_points(rng, 10);
    const PointSet ab = a.compose(b).apply(p);
    const PointSet seq = a.apply(b.apply(p));
    const PointSet ba = b.compose(a).apply(p);
    double differ = 0;
    for (std::size_t i = 0; i < p.size(); ++i)
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(ab[i][k], seq[i][k], 1e-10);
            differ += std::abs(ab[i][k] - ba[i][k]);
        }
    EXPECT_GT(differ, 1e-3);  // composition does not commute
}

TEST(Transform, InverseOfNonOrthonormalIsTransposeFormula) {
    torva::Matrix3 r{{{2, 0, 0}, {0, 2, 0}, {0, 0, 2}}};
    const Transform t = Transform::from_matrix(r, {1, 1, 1});
    const Transform inv = t.inverse();
    EXPECT_EQ(inv.rotation[0][0], 2.0);
    EXPECT_EQ(inv.translation[0], -2.0);
    EXPECT_NE(t.compose(inv).rotation[0][0], 1.0);
}

TEST(Transform, MatrixLayout) {
    const auto m = Transform::from_matrix(Transform::identity().rotation, {1, 2, 3}).transformation_matrix();
    EXPECT_EQ(m[0][3], 1.0);
    EXPECT_EQ(m[1][3], 2.0);
    EXPECT_EQ(m[2][3], 3.0);
    EXPECT_EQ(m[3][3], 1.0);
    EXPECT_EQ(m[3][0], 0.0);
    EXPECT_EQ(m[0][0], 1.0);
    EXPECT_TRUE(Transform::identity().apply(PointSet{}).empty());
}

TEST(Geometry, CentroidRmsdDistances) {
    EXPECT_THROW(torva::centroid(PointSet{}), torva::InternalError);
    const Point c = torva::centroid(PointSet{{1, 2, 3}});
    EXPECT_EQ(c, (Point{1, 2, 3}));
    EXPECT_EQ(torva::compute_rmsd(PointSet{}, PointSet{}), 0.0);
    const PointSet a{{0, 0, 0}, {1, 0, 0}};
    const PointSet b{{0, 0, 1}, {1, 0, 1}, {3, 4, 0}};
    EXPECT_EQ(torva::compute_rmsd(a, a), 0.0);
    const auto d = torva::distance_matrix(a, b);
    ASSERT_EQ(d.size(), 6u);
    EXPECT_DOUBLE_EQ(d[0 * 3 + 2], 5.0);
    EXPECT_DOUBLE_EQ(d[1 * 3 + 0], std::sqrt(2.0));
    const auto self = torva::distance_matrix(b, b);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(self[i * 3 + i], 0.0);
        for (int j = 0; j < 3; ++j) EXPECT_EQ(self[i * 3 + j], self[j * 3 + i]);
    }
}

TEST(Superpose, RecoversKnownMotion) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 20; ++trial) {
        const Transform truth = random_rotation(rng, {5.0 * trial, -3, 12});
        const PointSet mobile = random_points(rng, 3 + trial);
        const PointSet fixed = truth.apply(mobile);
        auto r = torva::superpose(fixed, mobile);
        EXPECT_NEAR(r.rmsd, 0.0, 1e-9);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) EXPECT_NEAR(r.transform.rotation[i][j], truth.rotation[i][j], 1e-9);
            EXPECT_NEAR(r.transform.translation[i], truth.translation[i], 1e-8);
        }
        // The reported RMSD is that of the moved set.
        EXPECT_NEAR(torva::compute_rmsd(fixed, r.transform.apply(mobile)), r.rmsd, 1e-12);
    }
}

TEST(Superpose, MirrorImageGivesProperRotation) {
    std::mt19937 rng(3);
    const PointSet mobile = random_points(rng, 12);
    PointSet fixed = mobile;
    for (auto& p : fixed) p[0] = -p[0];
    auto r = torva::superpose(fixed, mobile);
    EXPECT_NEAR(det(r.transform.rotation), 1.0, 1e-12);
    EXPECT_GT(r.rmsd, 0.1);
}

TEST(Superpose, DegenerateInputs) {
    auto empty = torva::superpose(PointSet{}, PointSet{});
    expect_identity(empty.transform, 0.0);
    EXPECT_EQ(empty.rmsd, 0.0);

    auto one = torva::superpose(PointSet{{1, 2, 3}}, PointSet{{4, 5, 6}});
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) EXPECT_EQ(one.transform.rotation[i][j], i == j ? 1.0 : 0.0);
        EXPECT_EQ(one.transform.translation[i], -3.0);
    }
    EXPECT_EQ(one.rmsd, 0.0);

    auto same = torva::superpose(PointSet(4, Point{2, 2, 2}), PointSet(4, Point{1, 1, 1}));
    EXPECT_EQ(same.transform.translation, (Point{1, 1, 1}));
    EXPECT_EQ(same.rmsd, 0.0);

    const PointSet line{{0, 0, 0}, {1, 1, 1}, {2, 2, 2}};
    auto collinear = torva::superpose(line, line);
    EXPECT_NEAR(collinear.rmsd, 0.0, 1e-12);
    EXPECT_NEAR(det(collinear.transform.rotation), 1.0, 1e-12);
}

TEST(Superpose, NonFiniteInputReturns) {
    const double nan = std::nan("");
    PointSet a{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    PointSet b{{nan, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    auto r = torva::superpose(a, b);
    EXPECT_TRUE(std::isnan(r.rmsd));
    EXPECT_TRUE(std::isnan(r.transform.rotation[0][0]));
    b[0][0] = INFINITY;
    auto s = torva::superpose(a, b);
    EXPECT_TRUE(std::isnan(s.rmsd));
}
