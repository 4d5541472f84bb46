// The least-squares fit inside the TM-score search, against the general
// superposition of the library on the same points.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "../src/tm_kernel.hpp"
#include "test_support.hpp"
#include "torva/math.hpp"

using torva::Point;
using torva::PointSet;
using torva::Transform;

namespace {

double rmsd_under(const PointSet& x, const PointSet& y, const Transform& t) {
    double sum = 0.0;
    for (std::size_t k = 0; k < x.size(); ++k) sum += torva::squared_distance(x[k], t.apply(y[k]));
    return std::sqrt(sum / static_cast<double>(x.size()));
}

void expect_proper(const Transform& t) {
    const auto& r = t.rotation;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const double dot = r[i][0] * r[j][0] + r[i][1] * r[j][1] + r[i][2] * r[j][2];
            EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-9);
        }
    const double det = r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) -
                       r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
                       r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
    EXPECT_NEAR(det, 1.0, 1e-9);
}

// The fit of all pairs is as good as the library's superposition of them.
void expect_optimal(const PointSet& x, const PointSet& y) {
    const Transform t = torva::tm::fit_range(x, y, 0, x.size());
    expect_proper(t);
    const double reference = torva::superpose(x, y).rmsd;
    EXPECT_NEAR(rmsd_under(x, y, t), reference, 1e-7 * (1.0 + reference));
}

Transform turn(double angle, Point axis, Point shift) {
    const double n = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    const double x = axis[0] / n, y = axis[1] / n, z = axis[2] / n;
    const double c = std::cos(angle), s = std::sin(angle), t = 1 - c;
    torva::Matrix3 r{{{t * x * x + c, t * x * y - s * z, t * x * z + s * y},
                      {t * x * y + s * z, t * y * y + c, t * y * z - s * x},
                      {t * x * z - s * y, t * y * z + s * x, t * z * z + c}}};
    return Transform::from_matrix(r, shift);
}

}  // namespace

TEST(TmFit, RecoversARigidMoveFromAnySubset) {
    const PointSet x = torva::test::load("1ubq.pdb", U'A').coordinates();
    // Angles near 0 and pi are where a quaternion's parts vanish.
    for (const double angle : {0.0, 1e-7, 0.7, 2.1, 3.14159265358979, 3.1415}) {
        const Transform move = turn(angle, {1.0, -2.0, 0.5}, {-30.0, 55.0, 12.0});
        const PointSet y = move.inverse().apply(x);
        for (const std::size_t count : {std::size_t{3}, std::size_t{4}, std::size_t{12}, x.size()}) {
            const Transform t = torva::tm::fit_range(x, y, 5 % (x.size() - count + 1), count);
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j) EXPECT_NEAR(t.rotation[i][j], move.rotation[i][j], 1e-8) << angle;
                EXPECT_NEAR(t.translation[i], move.translation[i], 1e-6) << angle;
            }
        }
    }
}

TEST(TmFit, MatchesTheGeneralSuperposition) {
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0.0, 1.0);
    const PointSet chain = torva::test::load("1ubq.pdb", U'A').coordinates();
    for (int round = 0; round < 50; ++round) {
        const std::size_t n = std::min(chain.size(), 3 + static_cast<std::size_t>(round) * 3);
        PointSet x(chain.begin(), chain.begin() + static_cast<long>(n)), y;
        const double sigma = round % 2 ? 0.5 : 8.0;  // near the truth, or far from any rotation
        for (const Point& p : x) y.push_back({p[1] + sigma * noise(rng), -p[0] + sigma * noise(rng), p[2] + sigma * noise(rng)});
        expect_optimal(x, y);
        // The mirror image: a reflection would fit exactly, the fit stays a rotation.
        PointSet mirror;
        for (const Point& p : x) mirror.push_back({-p[0], p[1], p[2]});
        expect_optimal(x, mirror);
    }
}

TEST(TmFit, DegenerateSetsGiveAFiniteRotation) {
    const PointSet line_x{{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}};
    const PointSet line_y{{5, 0, 0}, {5, 2, 0}, {5, 4, 0}, {5, 6, 0}};
    expect_optimal(line_x, line_y);
    const PointSet two_x{{0, 0, 0}, {0, 0, 3}}, two_y{{1, 1, 1}, {4, 1, 1}};
    expect_optimal(two_x, two_y);
    const PointSet same{{2, 2, 2}, {2, 2, 2}, {2, 2, 2}};
    const Transform t = torva::tm::fit_range(same, line_x, 0, 3);
    expect_proper(t);
    // A subset by index: only the listed pairs count. The lines' spacings
    // differ (sqrt 3 against 2), so each residual grows from their centre.
    const std::vector<std::uint32_t> idx{0, 2, 3};
    const Transform s = torva::tm::fit(line_x, line_y, idx);
    expect_proper(s);
    for (const std::uint32_t k : idx)
        EXPECT_NEAR(std::sqrt(torva::squared_distance(line_x[k], s.apply(line_y[k]))),
                    (2.0 - std::sqrt(3.0)) * std::fabs(static_cast<double>(k) - 5.0 / 3.0), 1e-6);
}
