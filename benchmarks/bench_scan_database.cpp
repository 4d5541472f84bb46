// Database scan throughput in the core: one real query against every bundled
// structure, repeated to a few hundred targets, in each per-target mode. The
// Python benchmark of the same name runs the same scan through the module, so
// the difference between the two is the cost of the binding.
//
//   bench_scan_database [n_targets] [query_stem]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "torva/io.hpp"
#include "torva/database_scan.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const std::size_t n_targets = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 300;
    const std::string query_stem = argc > 2 ? argv[2] : "2trx";
    const fs::path data = fs::path(TORVA_DATA_DIR);

    std::vector<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(data)) {
        if (entry.is_regular_file() && entry.path().extension() == ".pdb") paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<torva::Domain> pool;
    for (const auto& p : paths) {
        auto d = torva::read_pdb(p);
        if (d.ok()) pool.push_back(std::move(d).value());
    }
    const auto q = std::find_if(pool.begin(), pool.end(), [&](const torva::Domain& d) { return d.id == query_stem; });
    if (q == pool.end() || n_targets == 0) {
        std::fprintf(stderr, "no query %s under %s\n", query_stem.c_str(), data.c_str());
        return 1;
    }
    const torva::Domain query = *q;
    std::vector<torva::Domain> targets;
    std::size_t residues = 0;
    for (std::size_t k = 0; k < n_targets; ++k) {
        targets.push_back(pool[k % pool.size()]);
        residues += targets.back().size();
    }
    std::printf("query %s (%zu residues), %zu targets from %zu bundled structures, %.0f residues per target\n",
                query.id.c_str(), query.size(), targets.size(), pool.size(),
                static_cast<double>(residues) / static_cast<double>(targets.size()));

    struct Mode {
        const char* name;
        bool scan_mode;
        bool quick;
        int repeats;
    };
    for (const Mode m : {Mode{"scan", true, false, 1}, Mode{"full", false, false, 3}, Mode{"quick", false, true, 3}}) {
        torva::DatabaseScanOptions options;
        options.scan_mode = m.scan_mode;
        options.quick = m.quick;
        double best = 1e300;
        std::size_t hits = 0;
        for (int r = 0; r < m.repeats; ++r) {
            const auto t0 = Clock::now();
            auto result = torva::scan_database(query, targets, torva::Parameters{}, options);
            const std::chrono::duration<double> dt = Clock::now() - t0;
            if (!result.ok()) {
                std::fprintf(stderr, "%s scan failed: %s\n", m.name, result.error().message.c_str());
                return 1;
            }
            hits = result.value().size();
            best = std::min(best, dt.count());
        }
        std::printf("%-6s %10.1f targets/s  %9.1f ms  %zu hits\n", m.name, static_cast<double>(targets.size()) / best,
                    best * 1000.0, hits);
    }
    return 0;
}
