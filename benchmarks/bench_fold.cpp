// Fold mode and TM-score on PDB files, the helper that bench_fold.py drives
// side by side with TM-align (it reads the chains with the library's reader,
// so both programs see the same residues).
//
//   bench_fold dump FILE CHAIN              sequence, then one "x y z" line per residue
//   bench_fold score FILE1 C1 FILE2 C2 I:J,I:J,...
//                                           tm_score of the given pairs:
//                                           "tm_fixed tm_mobile rmsd n_aligned cpu_ms"
//   bench_fold fold LIST RUNS               for each line "FILE1 C1 FILE2 C2" of LIST:
//                                           "L1 L2 tm_fixed tm_mobile n_aligned rmsd cpu_ms pairs"
//                                           (cpu_ms the best of RUNS calls)
//
// FILE paths are absolute or relative to the current directory; CHAIN one letter.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "torva/fold.hpp"
#include "torva/io.hpp"
#include "torva/tmscore.hpp"

namespace {

torva::Domain load(const std::string& path, const std::string& chain) {
    auto d = torva::read_pdb(path, static_cast<char32_t>(chain.at(0)));
    if (!d) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), d.error().message.c_str());
        std::exit(1);
    }
    return std::move(d).value();
}

torva::PointSet coords(const torva::Domain& d) { return d.coordinates(); }

int usage() {
    std::fprintf(stderr, "usage: bench_fold dump FILE CHAIN | score F1 C1 F2 C2 PAIRS | fold LIST RUNS\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string mode = argv[1];
    if (mode == "dump" && argc == 4) {
        const torva::Domain d = load(argv[2], argv[3]);
        std::string seq;
        for (const auto& r : d.residues) seq.push_back(r.amino_acid < 128 ? static_cast<char>(r.amino_acid) : 'X');
        std::printf("%s\n", seq.c_str());
        for (const auto& r : d.residues) std::printf("%.3f %.3f %.3f\n", r.coord[0], r.coord[1], r.coord[2]);
        return 0;
    }
    if (mode == "score" && argc == 7) {
        const torva::Domain a = load(argv[2], argv[3]);
        const torva::Domain b = load(argv[4], argv[5]);
        std::vector<torva::AlignedPair> pairs;
        std::stringstream in(argv[6]);
        std::string item;
        while (std::getline(in, item, ',')) {
            const auto colon = item.find(':');
            if (colon == std::string::npos) continue;
            pairs.push_back({static_cast<std::uint32_t>(std::stoul(item.substr(0, colon))),
                             static_cast<std::uint32_t>(std::stoul(item.substr(colon + 1)))});
        }
        const double c0 = bench::cpu_ms();
        auto r = torva::tm_score(coords(a), coords(b), pairs);
        const double ms = bench::cpu_ms() - c0;
        if (!r) {
            std::fprintf(stderr, "%s\n", r.error().message.c_str());
            return 1;
        }
        std::printf("%.5f %.5f %.3f %zu %.3f\n", r.value().tm_fixed, r.value().tm_mobile, r.value().rmsd,
                    r.value().n_aligned, ms);
        return 0;
    }
    if (mode == "fold" && argc == 4) {
        std::ifstream list(argv[2]);
        const int runs = std::max(1, std::atoi(argv[3]));
        std::string f1, c1, f2, c2;
        while (list >> f1 >> c1 >> f2 >> c2) {
            const torva::Domain a = load(f1, c1);
            const torva::Domain b = load(f2, c2);
            double best = 1e300;
            torva::FoldResult res;
            for (int k = 0; k < runs; ++k) {
                const double c0 = bench::cpu_ms();
                auto r = torva::fold_align(a.residues, b.residues);
                best = std::min(best, bench::cpu_ms() - c0);
                if (!r) {
                    std::fprintf(stderr, "%s\n", r.error().message.c_str());
                    return 1;
                }
                res = std::move(r).value();
            }
            std::string pairs;
            for (const auto& p : res.pairs) pairs += std::to_string(p.i) + ":" + std::to_string(p.j) + ",";
            if (!pairs.empty()) pairs.pop_back();
            std::printf("%zu %zu %.5f %.5f %zu %.3f %.3f %s\n", a.size(), b.size(), res.tm_fixed, res.tm_mobile,
                        res.n_aligned, res.rmsd, best, pairs.c_str());
            std::fflush(stdout);
        }
        return 0;
    }
    return usage();
}
