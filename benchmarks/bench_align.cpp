// Speed of the pairwise engine on real structures of about 100, 260, 520 and
// 1040 residues: align_pair from a common frame, and the two parts of one
// iteration (banded score matrix, banded dynamic programming), reported per
// cell of the band so that the cost can be compared across sizes.
//
// No bundled entry has a single chain of 1000 residues; the largest pairs are
// built from the two chains of 1jd0 joined into one (519 residues), and that
// dimer twice side by side (1038 residues, the copy shifted by 120 A), each
// aligned against a slightly turned and jittered copy of itself.
//
//   bench_align [min_seconds_per_case]
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "torva/alignment.hpp"
#include "torva/io.hpp"
#include "torva/pairwise.hpp"
#include "torva/scoring.hpp"
#include "bench_support.hpp"

using namespace torva;

// Thread CPU time rather than wall time: the figures stay comparable on a
// machine shared with other work.
struct Clock {
    static double now() { return bench::cpu_ms() * 1e-3; }
};

namespace {

using bench::load;

std::vector<Residue> moved(std::vector<Residue> r, const Transform& t) {
    for (auto& x : r) x.coord = t.apply(x.coord);
    return r;
}

// Second domain brought into the first one's frame by superposing residues
// with equal labels (the pairs below share a numbering scheme).
std::vector<Residue> by_label(const Domain& fixed, const Domain& mobile) {
    std::map<std::string, Point> lab;
    for (const auto& r : fixed.residues) lab.emplace(r.label, r.coord);
    PointSet f, m;
    for (const auto& r : mobile.residues) {
        if (auto it = lab.find(r.label); it != lab.end()) {
            f.push_back(it->second);
            m.push_back(r.coord);
        }
    }
    return moved(mobile.residues, superpose(f, m).transform);
}

// A copy turned by one degree about its centre and shifted, with 0.3 A of noise.
std::vector<Residue> jittered(const std::vector<Residue>& r, unsigned seed) {
    PointSet pts;
    for (const auto& x : r) pts.push_back(x.coord);
    const Point c = centroid(pts);
    const double a = 1.0 * M_PI / 180.0;
    const Transform turn = Transform::from_matrix(
        {{{std::cos(a), -std::sin(a), 0.0}, {std::sin(a), std::cos(a), 0.0}, {0.0, 0.0, 1.0}}}, {0, 0, 0});
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 0.3);
    std::vector<Residue> out = r;
    for (auto& x : out) {
        Point p{x.coord[0] - c[0], x.coord[1] - c[1], x.coord[2] - c[2]};
        p = turn.apply(p);
        for (int k = 0; k < 3; ++k) p[k] += c[k] + 0.5 + noise(rng);
        x.coord = p;
    }
    return out;
}

std::vector<Residue> joined(std::initializer_list<std::vector<Residue>> parts) {
    std::vector<Residue> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    for (std::size_t k = 0; k < out.size(); ++k) out[k].index = static_cast<std::uint32_t>(k);
    return out;
}

template <class F>
double seconds_per_call(double min_seconds, F&& f) {
    f();
    int n = 0;
    const double t0 = Clock::now();
    double dt = 0.0;
    do {
        f();
        ++n;
        dt = Clock::now() - t0;
    } while (dt < min_seconds);
    return dt / n;
}

// Cells of the dynamic programming band (padded geometry, as the engine uses).
std::size_t band_cells(std::size_t n1, std::size_t n2, const PairwiseSettings& s) {
    const double w = s.band_width + std::abs(static_cast<double>(n1) - static_cast<double>(n2) - 4.0);
    const double a = static_cast<double>(n1 + 2), b = static_cast<double>(n2 + 2);
    const double v = w / 1.4142135623730951 * (a / b + b / a) / std::sqrt(a * a + b * b);
    std::size_t cells = 0;
    for (std::size_t i = 1; i <= n1; ++i) {
        for (std::size_t j = 1; j <= n2; ++j) {
            cells += std::fabs(static_cast<double>(i) / a - static_cast<double>(j) / b) <= v;
        }
    }
    return cells;
}

void run_case(const char* name, const std::vector<Residue>& r1, const std::vector<Residue>& r2, double min_s) {
    const PairwiseSettings s = settings_from_parameters(Parameters{});
    const PairScoreSettings ps = PairScoreSettings::from(s);
    PointSet c1, c2;
    for (const auto& x : r1) c1.push_back(x.coord);
    for (const auto& x : r2) c2.push_back(x.coord);
    const std::size_t cells = band_cells(c1.size(), c2.size(), s);

    PairwiseResult res;
    const double t_pair = seconds_per_call(min_s, [&] { res = align_pair(r1, r2, s); });
    ScoreMatrix m;
    const double t_score = seconds_per_call(min_s, [&] { m = score_matrix_banded(c1, c2, ps); });
    TracedAlignment t;
    const double t_trace = seconds_per_call(min_s, [&] { t = trace_alignment(m, c1.size(), c2.size(), s); });

    std::printf("%-26s %5zu x %-5zu band %8zu cells (%4.1f%%)  align_pair %8.3f ms  (%zu iterations, %zu pairs, "
                "rmsd %.2f, score %.3f)\n",
                name, c1.size(), c2.size(), cells,
                100.0 * static_cast<double>(cells) / static_cast<double>(c1.size() * c2.size()), t_pair * 1e3,
                res.iterations, res.n_aligned, res.rmsd, res.score);
    std::printf("%-26s   per iteration: score matrix %7.3f ms (%5.1f ns/band cell)  dynamic programming %7.3f ms "
                "(%5.1f ns/band cell)\n",
                "", t_score * 1e3, t_score * 1e9 / static_cast<double>(cells), t_trace * 1e3,
                t_trace * 1e9 / static_cast<double>(cells));
}

}  // namespace

int main(int argc, char** argv) {
    const double min_s = argc > 1 ? std::atof(argv[1]) : 1.0;

    const Domain hrc = load("families/cytochrome_c/1hrc.pdb");
    const Domain ycc = load("families/cytochrome_c/1ycc.pdb");
    run_case("1hrc / 1ycc", hrc.residues, by_label(hrc, ycc), min_s);

    const Domain azm = load("families/carbonic_anhydrase/1azm.pdb");
    const Domain oq5 = load("families/carbonic_anhydrase/1oq5.pdb");
    run_case("1azm / 1oq5", azm.residues, by_label(azm, oq5), min_s);

    const Domain jd0a = load("families/carbonic_anhydrase/1jd0.pdb", U'A');
    const Domain jd0b = load("families/carbonic_anhydrase/1jd0.pdb", U'B');
    const auto dimer = joined({jd0a.residues, jd0b.residues});
    run_case("1jd0 A+B / jittered copy", dimer, jittered(dimer, 1), min_s);

    const Transform shift = Transform::from_matrix(Transform::identity().rotation, {120.0, 0.0, 0.0});
    const auto two = joined({dimer, moved(dimer, shift)});
    run_case("1jd0 (A+B)x2 / jittered", two, jittered(two, 2), min_s);
    return 0;
}
