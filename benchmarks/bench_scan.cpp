// Scan-mode superposition speed on real pairs in unrelated frames, with the
// settings of pairwise_align(scan_mode=True):
//
//   ~100 residues   cytochrome c, horse (1hrc) against yeast (1ycc)
//   ~260 residues   carbonic anhydrase I (1azm) against II (1oq5)
//   ~1000 residues  four real chains laid end to end (1azm, 1oq5, 1jd0, 1o1z)
//                   against a rigidly moved copy of the same (no deposited chain
//                   of that length ships with the test data, and homologues in
//                   separate entries do not share a frame slot by slot)
//   1000 deletion   the same long chain against a moved copy missing 30
//                   residues in its second part: only the seed search aligns it
//   failing         calmodulin (1ctr) against 1azm: no window and no seed aligns
//   failing 1000    the long chain against four unrelated chains end to end
//
// Prints milliseconds per call, wall clock and the thread's CPU time (best of
// the runs each; on a busy machine the CPU time is the steadier figure), the CPU
// time of the window search alone (seed fallback off), windows tried and seed
// starts.
//
//   bench_scan [runs]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <time.h>

#include "torva/io.hpp"
#include "torva/scan.hpp"
#include "bench_support.hpp"

using Clock = std::chrono::steady_clock;

namespace {

using bench::cpu_ms;

torva::Domain load(const std::string& family_entry) { return bench::load("families/" + family_entry); }

// Chains joined in order, slot k shifted by k x 60 Å along x so that the parts
// do not overlap; each slot keeps its deposited orientation.
torva::Domain joined(const std::string& id, std::initializer_list<torva::Domain> parts) {
    torva::Domain out = torva::Domain::empty(id);
    double shift = 0.0;
    for (const torva::Domain& d : parts) {
        for (torva::Residue r : d.residues) {
            r.coord[0] += shift;
            out.residues.push_back(r);
        }
        shift += 60.0;
    }
    return out;
}

torva::Domain moved(torva::Domain d) {
    const double c = std::cos(2.2), s = std::sin(2.2);
    const torva::Transform t = torva::Transform::from_matrix({{{c, 0.0, s}, {0.0, 1.0, 0.0}, {-s, 0.0, c}}},
                                                             {-35.0, 80.0, 12.0});
    for (auto& r : d.residues) r.coord = t.apply(r.coord);
    return d;
}

double window_search_cpu(const torva::Domain& a, const torva::Domain& b, int runs) {
    torva::ScanSettings settings = torva::ScanSettings::pairwise(torva::Parameters{});
    settings.seed_search = false;
    double best = 1e300;
    for (int k = 0; k < runs; ++k) {
        const double c0 = cpu_ms();
        if (!torva::scan_align(a, b, settings)) std::exit(1);
        best = std::min(best, cpu_ms() - c0);
    }
    return best;
}

void run(const char* name, const torva::Domain& a, const torva::Domain& b, int runs) {
    const torva::ScanSettings settings = torva::ScanSettings::pairwise(torva::Parameters{});
    double best = 1e300, best_cpu = 1e300;
    torva::ScanResult result;
    torva::ScanTrace trace;
    for (int k = 0; k < runs; ++k) {
        torva::ScanTrace t;
        const auto t0 = Clock::now();
        const double c0 = cpu_ms();
        auto r = torva::scan_align(a, b, settings, &t);
        best_cpu = std::min(best_cpu, cpu_ms() - c0);
        const std::chrono::duration<double, std::milli> dt = Clock::now() - t0;
        if (!r) {
            std::fprintf(stderr, "%s: %s\n", name, r.error().message.c_str());
            std::exit(1);
        }
        best = std::min(best, dt.count());
        result = std::move(r).value();
        trace = std::move(t);
    }
    const double windows_only = window_search_cpu(a, b, runs);
    std::printf("%-10s %4zu x %4zu  %8.2f ms wall %8.2f ms cpu (windows alone %8.2f)  windows %2zu  seeds %zu  score %.4f  n_aligned %4zu  rmsd %.3f\n", name,
                a.size(), b.size(), best, best_cpu, windows_only, trace.windows.size(), trace.seeds.size(), result.score, result.n_aligned,
                result.rmsd);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const torva::Domain hrc = load("cytochrome_c/1hrc.pdb");
    const torva::Domain ycc = load("cytochrome_c/1ycc.pdb");
    const torva::Domain azm = load("carbonic_anhydrase/1azm.pdb");
    const torva::Domain oq5 = load("carbonic_anhydrase/1oq5.pdb");
    const torva::Domain jd0 = load("carbonic_anhydrase/1jd0.pdb");
    const torva::Domain o1z = bench::load("1o1z.pdb");
    const torva::Domain ctr = load("unrelated/1ctr.pdb");
    const torva::Domain cpl = load("unrelated/2cpl.pdb");
    const torva::Domain stn = load("unrelated/1stn.pdb");
    const torva::Domain eh6 = load("unrelated/1eh6.pdb");

    run("100", hrc, ycc, runs);
    run("260", azm, oq5, runs);
    const torva::Domain long_chain = joined("long", {azm, oq5, jd0, o1z});
    run("1000", long_chain, moved(long_chain), runs);
    torva::Domain gapped = moved(long_chain);
    gapped.residues.erase(gapped.residues.begin() + 400, gapped.residues.begin() + 430);
    run("1000 del", long_chain, gapped, runs);
    run("failing", ctr, azm, runs);
    run("fail 1000", long_chain, moved(joined("unrelated", {ctr, cpl, stn, eh6, ctr})), runs);
    return 0;
}
