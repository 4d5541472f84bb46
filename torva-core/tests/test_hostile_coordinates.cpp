// Coordinates no protein has (huge, far apart, all in one point) must neither
// crash nor hang the searches: the seed-rating grid stays bounded, the TM-score
// search widens its cutoff in bounded time, and a stop request is honoured.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "../src/tm_kernel.hpp"
#include "torva/cell_box.hpp"
#include "torva/coordinates.hpp"
#include "torva/fold.hpp"
#include "torva/search_key.hpp"
#include "torva/structure_pair.hpp"
#include "torva/tmscore.hpp"

using torva::Domain;
using torva::Point;
using torva::PointSet;

namespace {

constexpr double kHuge = std::numeric_limits<double>::max();

// A compact chain of n C-alpha atoms 3.8 Å apart (a seeded random walk that
// turns like a protein backbone).
PointSet walk(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> turn(0.0, 0.6);
    PointSet p(n, Point{0, 0, 0});
    Point dir{1, 0, 0};
    for (std::size_t k = 1; k < n; ++k) {
        for (double& v : dir) v += turn(rng);
        const double len = std::sqrt(dir[0] * dir[0] + dir[1] * dir[1] + dir[2] * dir[2]);
        for (int a = 0; a < 3; ++a) p[k][a] = p[k - 1][a] + 3.8 * dir[a] / len;
    }
    return p;
}

Domain domain(const PointSet& p, const std::string& id) {
    return Domain::from_arrays(id, p, std::u32string(p.size(), U'A')).value();
}

struct Hostile {
    std::string name;
    std::function<void(PointSet&)> spoil;
};

// The cases, each applied to a copy of an ordinary chain.
std::vector<Hostile> hostile_cases() {
    return {
        {"one outlier at 1e8", [](PointSet& p) { p[p.size() / 2][0] = 1e8; }},
        {"one outlier at -9999999", [](PointSet& p) { p[3][0] = -9999999.0; }},
        {"one atom at 1e308", [](PointSet& p) { p[1][0] = 1e308; }},
        {"atoms at +-1e308", [](PointSet& p) { p[0] = {1e308, -1e308, 1e308}; p.back() = {-1e308, 1e308, -kHuge}; }},
        {"every atom near 1e300", [](PointSet& p) { for (Point& q : p) for (double& v : q) v = 1e300 + v * 1e290; }},
        {"mixed signs", [](PointSet& p) {
             for (std::size_t k = 0; k < p.size(); ++k) p[k][k % 3] *= (k % 2 ? -1e9 : 1e9);
         }},
        {"all in one point", [](PointSet& p) { for (Point& q : p) q = {7.0, 7.0, 7.0}; }},
        {"whole numbers", [](PointSet& p) { for (Point& q : p) for (double& v : q) v = std::round(v / 4.0) * 4.0; }},
    };
}

}  // namespace

TEST(CellBox, BoundedForAnyFiniteCoordinates) {
    constexpr double kMax = 262144.0;
    // An ordinary chain: cells of the edge asked for, covering every atom.
    const PointSet chain = walk(150, 1);
    const torva::CellBox box = torva::make_cell_box(chain, 4.5, 0.0, 1, kMax);
    ASSERT_FALSE(box.empty());
    EXPECT_EQ(box.step, 4.5);
    for (const Point& p : chain)
        for (int a = 0; a < 3; ++a) {
            const auto c = box.cell(p[a], a);
            ASSERT_TRUE(c);
            EXPECT_GE(*c, 0);
            EXPECT_LT(*c, static_cast<long>(box.dims[a]));
        }
    EXPECT_FALSE(box.cell(std::nan(""), 0));
    EXPECT_FALSE(box.cell(1e300, 0));

    for (const Hostile& h : hostile_cases()) {
        PointSet p = chain;
        h.spoil(p);
        const torva::CellBox b = torva::make_cell_box(p, 4.5, 0.0, 1, kMax);
        ASSERT_FALSE(b.empty()) << h.name;
        EXPECT_LE(static_cast<double>(b.cells()), 4.0 * kMax) << h.name;
        for (const Point& q : p)
            for (int a = 0; a < 3; ++a) EXPECT_TRUE(b.cell(q[a], a)) << h.name;
    }
    // No finite atom, or a box wider than allowed: no cells.
    const PointSet nan_only(3, Point{std::nan(""), 0.0, 0.0});
    EXPECT_TRUE(torva::make_cell_box(nan_only, 1.0, 0.0, 1, kMax).empty());
    EXPECT_TRUE(torva::make_cell_box(PointSet{{0, 0, 0}, {2e4, 0, 0}}, 1.0, 5.0, 2, kMax, 1e4).empty());
}

TEST(TmSearch, WidenedCutoffIsTheSteppedOne) {
    // Against stepping 0.5 Å at a time: the same cutoff for distances an
    // ordinary search meets, and a bounded answer for any others.
    const auto stepped = [](const std::vector<double>& d2, double cut) {
        const std::size_t need = std::min<std::size_t>(3, d2.size());
        while (true) {
            const double c2 = cut * cut;
            std::size_t count = 0;
            for (const double v : d2) count += v < c2 ? 1 : 0;
            if (count >= need) return c2;
            cut += 0.5;
        }
    };
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> far(0.0, 300.0);
    std::vector<double> work;
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<double> d2(1 + trial % 9);
        for (double& v : d2) v = std::pow(far(rng), 2) * (trial % 5 == 0 ? 0.01 : 1.0);
        const double cut = 4.5 + 0.001 * (trial % 3500);
        ASSERT_EQ(torva::tm::widened_cutoff2(d2, cut, work), stepped(d2, cut)) << trial;
    }
    // Far beyond the stepped range: just past the third smallest distance.
    const std::vector<double> far_apart{1e16, 4e18, 9e20, 1e300};
    const double c2 = torva::tm::widened_cutoff2(far_apart, 4.5, work);
    EXPECT_GT(c2, 9e20);
    EXPECT_LT(c2, 9e20 * (1 + 1e-12));
    // Distances that are no finite number are never waited for.
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(torva::tm::widened_cutoff2(std::vector<double>{1.0, inf, std::nan("")}, 4.5, work), inf);
    EXPECT_EQ(torva::tm::widened_cutoff2(std::vector<double>{inf, inf, inf, inf}, 4.5, work), inf);
}

TEST(HostileCoordinates, FoldAndFamilyLevelsFinishOnAnyCoordinates) {
    // Unrelated chains, so that the fold search also rates fragment seeds on
    // its grid. Before, one atom at 1e308 crashed the grid and one at 1e8
    // took minutes (the test's timeout catches a hang). The size does not
    // matter to either; chains of 1,000 residues take a few seconds.
    const PointSet a = walk(160, 11), b = walk(150, 12);
    for (const Hostile& h : hostile_cases()) {
        for (int side = 0; side < 2; ++side) {
            PointSet pa = a, pb = b;
            h.spoil(side == 0 ? pa : pb);
            const Domain da = domain(pa, "a"), db = domain(pb, "b");
            const auto fold = torva::fold_align(da.residues, db.residues);
            ASSERT_TRUE(fold.ok()) << h.name << ": " << fold.error().message;
            EXPECT_FALSE(fold.value().pairs.empty()) << h.name;
            EXPECT_GE(fold.value().tm_fixed, 0.0) << h.name;
            EXPECT_LE(fold.value().tm_fixed, 1.0) << h.name;
            const auto tm = torva::tm_score(pa, pb, fold.value().pairs);
            ASSERT_TRUE(tm.ok()) << h.name;
            const auto family = torva::align_structures(da, db, torva::Parameters{}, true);
            ASSERT_TRUE(family.ok()) << h.name << ": " << family.error().message;
        }
    }
}

TEST(HostileCoordinates, SearchKeysOfAnyCoordinates) {
    // The key's neighbour grid holds no point it cannot number, and looks none up.
    const PointSet chain = walk(120, 3);
    const auto ordinary = torva::search_key(chain);
    for (const Hostile& h : hostile_cases()) {
        PointSet p = chain;
        h.spoil(p);
        const auto key = torva::search_key(p);
        EXPECT_EQ(key.size(), ordinary.size()) << h.name;
        ASSERT_TRUE(torva::search_key_letters(key).ok()) << h.name;
    }
}

TEST(HostileCoordinates, AStopInsideTheSearchIsSeenByItsCallers) {
    // The check answers "stop" once only (as a signal is reported once); the
    // Cancel keeps saying so, and the fold search ends cancelled, not with a result.
    int asked = 0;
    const torva::Cancel once([&asked] { return ++asked == 40; });
    PointSet p = walk(300, 5);
    p[150][0] = 1e8;
    const Domain da = domain(p, "a"), db = domain(walk(290, 6), "b");
    const auto r = torva::fold_align(da.residues, db.residues, once);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, torva::ErrorKind::Cancelled);
    EXPECT_TRUE(once.requested());
    EXPECT_EQ(asked, 40);
}

TEST(CoordinateRange, OneRangeForEveryReader) {
    EXPECT_TRUE(torva::coordinate_in_range(0.0));
    EXPECT_TRUE(torva::coordinate_in_range(-99999.999));
    EXPECT_FALSE(torva::coordinate_in_range(torva::kMaxCoordinate));
    EXPECT_FALSE(torva::coordinate_in_range(-1e5));
    EXPECT_FALSE(torva::coordinate_in_range(1e308));
    EXPECT_FALSE(torva::coordinate_in_range(std::nan("")));
    EXPECT_FALSE(torva::coordinate_in_range(std::numeric_limits<double>::infinity()));
}
