// Scan alignment of real pairs in their deposited frames, with and without the
// fragment-seed fallback. Reads one pair per line from standard input,
//
//   file1 <tab> file2 [<tab> from <tab> count]
//
// (paths relative to tests/data/families, or absolute); with `from` and
// `count`, residues from .. from + count - 1 of the second chain are removed
// first, an internal deletion the deposited pair does not have.
//
// and prints one tab-separated line per pair: the window search alone
// (score, n_aligned, rmsd, ms) and the full search (score, n_aligned, rmsd, ms,
// number of seed starts refined, offset). Times are the thread's CPU time, best
// of `repeats` runs, so that other work on a shared machine does not inflate them.
// Driven by bench_seed_search.py, which adds the TM-align reference.
//
//   bench_seed_pairs [repeats] < pairs.tsv
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <time.h>

#include "torva/io.hpp"
#include "torva/scan.hpp"

namespace fs = std::filesystem;

namespace {

double cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

torva::Domain load(const std::string& name) {
    fs::path p(name);
    if (p.is_relative()) p = fs::path(TORVA_DATA_DIR) / "tests" / "data" / "families" / p;
    auto d = torva::read_pdb(p.string(), U'A');
    if (!d) {
        std::fprintf(stderr, "%s: %s\n", p.c_str(), d.error().message.c_str());
        std::exit(1);
    }
    return std::move(d).value();
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

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    // What pairwise_align(scan_mode=True) uses with its defaults.
    torva::ScanSettings with = torva::ScanSettings::from(torva::Parameters{}, 5, 2.0);
    torva::ScanSettings without = with;
    without.seed_search = false;

    std::printf("file1\tfile2\tw_score\tw_n\tw_rmsd\tw_ms\ts_score\ts_n\ts_rmsd\ts_ms\ts_seeds\ts_offset\n");
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string f1, f2;
        if (!(in >> f1 >> f2)) continue;
        std::size_t from = 0, count = 0;
        in >> from >> count;
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
        std::printf("%s\t%s\t%.4f\t%zu\t%.3f\t%.2f\t%.4f\t%zu\t%.3f\t%.2f\t%zu\t%zu\n", f1.c_str(), f2.c_str(),
                    w.result.score, w.result.n_aligned, w.result.rmsd, w.ms, s.result.score, s.result.n_aligned,
                    s.result.rmsd, s.ms, s.trace.seeds.size(), s.result.offset);
        std::fflush(stdout);
    }
    return 0;
}
