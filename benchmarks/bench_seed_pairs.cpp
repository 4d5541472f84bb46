// Scan alignment of real pairs in their deposited frames, with and without the
// fragment-seed fallback. With "-" as its second argument it reads one pair per
// line from standard input,
//
//   file1 <tab> file2 [<tab> from <tab> count [<tab> 12 numbers]]
//
// (paths relative to the shared data folder's families/, or absolute); with `from` and
// `count` (0 0 for none), residues from .. from + count - 1 of the second chain
// are removed first, an internal deletion the deposited pair does not have.
// The 12 numbers, when given, are a reference superposition of the second chain
// onto the first, three rows of (t, u1, u2, u3) as TM-align prints them; the
// refinement is then also run from that frame exactly as the scan runs it from a
// window (window settings, then the fine pass), which shows what the best
// possible starting frame gives.
//
// It prints one tab-separated line per pair: the window search alone
// (score, n_aligned, rmsd, ms) and the full search (score, n_aligned, rmsd, ms,
// number of seed starts refined, offset). Times are the thread's CPU time, best
// of `repeats` runs, so that other work on a shared machine does not inflate them.
// Driven by bench_seed_search.py, which adds the TM-align reference. Without
// "-" it runs the pairs of the shared families/tmalign_pairs.tsv.
//
//   bench_seed_pairs [repeats] [-] < pairs.tsv
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <time.h>

#include "torva/io.hpp"
#include "torva/pairwise.hpp"
#include "torva/scan.hpp"
#include "bench_support.hpp"

namespace fs = std::filesystem;

namespace {

using bench::cpu_ms;

// A family entry by its path below the shared families/ folder, or any file by an absolute path.
torva::Domain load(const std::string& name) {
    return bench::load(fs::path(name).is_relative() ? "families/" + name : name);
}

struct Run {
    torva::ScanResult result;
    torva::ScanTrace trace;
    double ms = 0.0;
};

Run timed(const torva::Domain& a, const torva::Domain& b, const torva::ScanSettings& s, int repeats) {
    Run run;
    run.ms = 1e300;
    for (int k = 0; k < repeats; ++k) {
        torva::ScanTrace trace;
        const double t0 = cpu_ms();
        auto r = torva::scan_align(a, b, s, &trace);
        const double dt = cpu_ms() - t0;
        if (!r) {
            std::fprintf(stderr, "scan failed: %s\n", r.error().message.c_str());
            std::exit(1);
        }
        run.ms = std::min(run.ms, dt);
        run.result = std::move(r).value();
        run.trace = std::move(trace);
    }
    return run;
}

// align_pair from the frame `t` with the scan's window settings, then its fine
// pass when the score is positive, as scan_align continues from a window.
torva::PairwiseResult from_frame(const torva::Domain& a, const torva::Domain& b, const torva::Transform& t) {
    const torva::PairwiseSettings window = torva::scan_window_settings(torva::Parameters{});
    const torva::PairwiseSettings fine = torva::scan_refinement_settings(torva::Parameters{});
    std::vector<torva::Residue> moved = b.residues;
    for (auto& r : moved) r.coord = t.apply(r.coord);
    torva::PairwiseResult best = torva::align_pair(a.residues, moved, window);
    if (best.score > 0.0) {
        for (auto& r : moved) r.coord = best.transform.apply(r.coord);
        torva::PairwiseResult f = torva::align_pair(a.residues, moved, fine);
        if (f.score >= best.score) best = f;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    // What pairwise_align(scan_mode=True) uses with its defaults.
    torva::ScanSettings with = torva::ScanSettings::pairwise(torva::Parameters{});
    torva::ScanSettings without = with;
    without.seed_search = false;

    std::printf("file1\tfile2\tw_score\tw_n\tw_rmsd\tw_ms\ts_score\ts_n\ts_rmsd\ts_ms\ts_seeds\ts_offset\t"
                "r_score\tr_n\tr_rmsd\n");
    // The family table: family, file1, chain1, file2, chain2, ... after a header line.
    const bool from_stdin = argc > 2 && std::string(argv[2]) == "-";
    std::ifstream table;
    if (!from_stdin) {
        table.open(fs::path(TORVA_DATA_DIR) / "families" / "tmalign_pairs.tsv");
        std::string header;
        if (!std::getline(table, header)) {
            std::fprintf(stderr, "cannot read tmalign_pairs.tsv\n");
            return 1;
        }
    }
    std::istream& input = from_stdin ? std::cin : table;
    std::string line;
    while (std::getline(input, line)) {
        std::istringstream in(line);
        std::string f1, f2;
        if (!from_stdin) {
            std::string family, chain1, chain2;
            if (!(in >> family >> f1 >> chain1 >> f2 >> chain2)) continue;
            in.str("");
            in.clear();
        } else if (!(in >> f1 >> f2)) {
            continue;
        }
        std::size_t from = 0, count = 0;
        in >> from >> count;
        torva::Transform reference;
        bool have_reference = true;
        for (int r = 0; r < 3 && have_reference; ++r)
            have_reference = static_cast<bool>(in >> reference.translation[r] >> reference.rotation[r][0] >>
                                               reference.rotation[r][1] >> reference.rotation[r][2]);
        const torva::Domain a = load(f1);
        torva::Domain b = load(f2);
        if (count > 0) {
            if (from + count > b.size()) {
                std::fprintf(stderr, "%s: no residues %zu..%zu to remove\n", f2.c_str(), from, from + count - 1);
                return 1;
            }
            b.residues.erase(b.residues.begin() + static_cast<std::ptrdiff_t>(from),
                             b.residues.begin() + static_cast<std::ptrdiff_t>(from + count));
            f2 += "-del" + std::to_string(from) + "+" + std::to_string(count);
        }
        const Run w = timed(a, b, without, repeats);
        const Run s = timed(a, b, with, repeats);
        std::printf("%s\t%s\t%.4f\t%zu\t%.3f\t%.2f\t%.4f\t%zu\t%.3f\t%.2f\t%zu\t%zu", f1.c_str(), f2.c_str(),
                    w.result.score, w.result.n_aligned, w.result.rmsd, w.ms, s.result.score, s.result.n_aligned,
                    s.result.rmsd, s.ms, s.trace.seeds.size(), s.result.offset);
        if (have_reference) {
            const torva::PairwiseResult r = from_frame(a, b, reference);
            std::printf("\t%.4f\t%zu\t%.3f\n", r.score, r.n_aligned, r.rmsd);
        } else {
            std::printf("\t\t\t\n");
        }
        std::fflush(stdout);
    }
    return 0;
}
