// The search-key prefilter on real chains: quality (where the members of a
// query's family and the exhaustive scan's hits rank among all chains by
// prefilter score), robustness to moved, noisy and trimmed copies, key size,
// and the prefilter's speed against a large in-memory column of keys.
//
//   bench_prefilter [--entries N] [--keys-out FILE] [--scan-cache FILE] [--no-scan] [DIR ...]
//
// Chains are read from the shared data folder beside the checkout (with its families) and
// from every .pdb file under the extra directories given. --keys-out writes
// the speed column's keys as a length-prefixed stream (u32 little endian
// length, then the key) for a size measurement under compression.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "torva/database_scan.hpp"
#include "torva/io.hpp"
#include "torva/search_key.hpp"

namespace fs = std::filesystem;

namespace {

struct Chain {
    std::string name;   // file stem + chain
    std::string group;  // family, or empty
    torva::Domain domain;
};

std::string group_of(const fs::path& p, char32_t chain) {
    const std::string stem = p.stem().string();
    const std::string parent = p.parent_path().filename().string();
    if (p.parent_path().parent_path().filename() == "families" && parent != "unrelated") return parent;
    static const std::map<std::string, std::string> named = {
        {"1sp1", "zinc_finger"}, {"1sp2", "zinc_finger"}, {"3znf", "zinc_finger"}, {"1ubq", "ubiquitin"},
        {"1d3z", "ubiquitin"},   {"1k6p", "hiv_protease"}, {"1hpv", "hiv_protease"}, {"2beg", "amyloid"},
    };
    (void)chain;
    const auto it = named.find(stem);
    return it == named.end() ? std::string() : it->second;
}

std::vector<Chain> load_chains(const std::vector<fs::path>& dirs) {
    std::vector<fs::path> paths;
    for (const auto& dir : dirs) {
        for (const auto& e : fs::recursive_directory_iterator(dir)) {
            if (e.is_regular_file() && e.path().extension() == ".pdb") paths.push_back(e.path());
        }
    }
    std::sort(paths.begin(), paths.end());
    std::vector<Chain> chains;
    std::set<std::string> seen;
    for (const auto& p : paths) {
        if (!seen.insert(p.filename().string()).second) continue;  // same entry under two directories
        for (char32_t c = U'A'; c <= U'Z'; ++c) {
            auto d = torva::read_pdb(p.string(), c);
            if (!d.ok() || d.value().size() < 20) continue;
            Chain ch;
            ch.name = p.stem().string() + ":" + static_cast<char>(c);
            ch.group = group_of(p, c);
            ch.domain = std::move(d).value();
            chains.push_back(std::move(ch));
        }
    }
    return chains;
}

torva::PointSet moved(const torva::PointSet& pts, std::mt19937_64& rng, double noise) {
    std::normal_distribution<double> g(0.0, 1.0);
    double q[4] = {g(rng), g(rng), g(rng), g(rng)};
    const double len = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    for (double& x : q) x /= len;
    const double w = q[0], x = q[1], y = q[2], z = q[3];
    const torva::Matrix3 r{{{1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
                            {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
                            {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}}};
    const torva::Transform t = torva::Transform::from_matrix(r, {40 * g(rng), 40 * g(rng), 40 * g(rng)});
    torva::PointSet out = t.apply(pts);
    for (auto& p : out) {
        for (double& c : p) c += noise * g(rng);
    }
    return out;
}

torva::PointSet trimmed(const torva::PointSet& pts, double head, double tail) {
    const auto n = pts.size();
    const auto a = static_cast<std::size_t>(head * static_cast<double>(n));
    const auto b = n - static_cast<std::size_t>(tail * static_cast<double>(n));
    return torva::PointSet(pts.begin() + static_cast<std::ptrdiff_t>(a), pts.begin() + static_cast<std::ptrdiff_t>(b));
}

struct Column {
    std::vector<std::uint8_t> data;
    std::vector<std::int64_t> offsets{0};
    void add(const std::vector<std::uint8_t>& key) {
        data.insert(data.end(), key.begin(), key.end());
        offsets.push_back(static_cast<std::int64_t>(data.size()));
    }
};

// 1-based rank of entry i among scores (ties counted pessimistically).
std::size_t rank_of(const std::vector<double>& s, std::size_t i, std::size_t self) {
    std::size_t r = 1;
    for (std::size_t j = 0; j < s.size(); ++j) {
        if (j != i && j != self && s[j] >= s[i]) ++r;
    }
    return r;
}

torva::PrefilterOptions g_options;

}  // namespace

int main(int argc, char** argv) {
    std::size_t n_entries = 100000;
    std::string keys_out;
    std::string scan_cache;
    bool run_scan = true;
    std::vector<fs::path> dirs = {fs::path(TORVA_DATA_DIR)};
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg == "--entries" && a + 1 < argc) {
            n_entries = std::strtoul(argv[++a], nullptr, 10);
        } else if (arg == "--keys-out" && a + 1 < argc) {
            keys_out = argv[++a];
        } else if (arg == "--band" && a + 1 < argc) {
            g_options.band_half_width = std::strtoul(argv[++a], nullptr, 10);
        } else if (arg == "--max-occ" && a + 1 < argc) {
            g_options.max_word_occurrences = std::strtoul(argv[++a], nullptr, 10);
        } else if (arg == "--context" && a + 1 < argc) {
            g_options.context_positions = static_cast<unsigned>(std::strtoul(argv[++a], nullptr, 10));
        } else if (arg == "--ratios" && a + 2 < argc) {
            g_options.min_length_ratio = std::strtod(argv[++a], nullptr);
            g_options.max_length_ratio = std::strtod(argv[++a], nullptr);
        } else if (arg == "--scan-cache" && a + 1 < argc) {
            scan_cache = argv[++a];
        } else if (arg == "--no-scan") {
            run_scan = false;
        } else {
            dirs.emplace_back(arg);
        }
    }
    const std::vector<Chain> chains = load_chains(dirs);
    std::size_t total_res = 0;
    for (const auto& c : chains) total_res += c.domain.size();
    std::printf("%zu chains, %.0f residues on average\n", chains.size(),
                static_cast<double>(total_res) / static_cast<double>(chains.size()));

    // ---- quality: every chain of a group as query against all chains ----
    Column pool;
    for (const auto& c : chains) pool.add(torva::search_key(c.domain.coordinates()));
    if (!keys_out.empty()) {
        // The real chains' keys, for a size measurement free of the column's repeats.
        std::ofstream out(keys_out + ".pool", std::ios::binary);
        for (std::size_t i = 0; i + 1 < pool.offsets.size(); ++i) {
            const auto len = static_cast<std::uint32_t>(pool.offsets[i + 1] - pool.offsets[i]);
            out.write(reinterpret_cast<const char*>(&len), 4);
            out.write(reinterpret_cast<const char*>(pool.data.data() + pool.offsets[i]), len);
        }
    }
    // The exhaustive scan of every chain against all: which targets it gives a
    // positive score. Cached in a file when --scan-cache is given (the scan
    // takes most of the run and does not depend on the prefilter).
    const std::size_t nc = chains.size();
    std::vector<std::vector<char>> positive(nc, std::vector<char>(nc, 0));
    bool have_scan = false;
    if (!scan_cache.empty()) {
        std::ifstream in(scan_cache);
        std::string a, b;
        std::size_t count = 0;
        if (in >> count && count == nc) {
            std::map<std::string, std::size_t> index;
            for (std::size_t i = 0; i < nc; ++i) index[chains[i].name] = i;
            while (in >> a >> b) positive[index.at(a)][index.at(b)] = 1;
            have_scan = true;
        }
    }
    if (!have_scan && run_scan) {
        std::vector<torva::Domain> targets;
        for (const auto& c : chains) targets.push_back(c.domain);
        torva::DatabaseScanOptions opt;
        opt.max_hits = targets.size();
        for (std::size_t qi = 0; qi < nc; ++qi) {
            auto hits = torva::scan_database(chains[qi].domain, targets, torva::Parameters{}, opt);
            if (!hits.ok()) continue;
            for (const auto& h : hits.value()) {
                if (!(h.score > 0.0)) continue;
                for (std::size_t ti = 0; ti < nc; ++ti) {
                    if (chains[ti].domain.id == h.target_id) positive[qi][ti] = 1;
                }
            }
        }
        have_scan = true;
        if (!scan_cache.empty()) {
            std::ofstream out(scan_cache);
            out << nc << "\n";
            for (std::size_t qi = 0; qi < nc; ++qi) {
                for (std::size_t ti = 0; ti < nc; ++ti) {
                    if (positive[qi][ti]) out << chains[qi].name << " " << chains[ti].name << "\n";
                }
            }
        }
    }
    const auto same_entry = [&](std::size_t a, std::size_t b) {
        return chains[a].name.substr(0, 4) == chains[b].name.substr(0, 4);
    };
    std::vector<std::vector<double>> all_scores(nc);
    for (std::size_t qi = 0; qi < nc; ++qi) {
        const auto query = torva::PrefilterQuery::from_points(chains[qi].domain.coordinates(), g_options);
        all_scores[qi] = torva::prefilter_scores(query, pool.data, pool.offsets).value();
    }

    std::printf("\nquality: rank of each group member among %zu chains by prefilter score (self excluded)\n",
                chains.size() - 1);
    std::printf("%-8s %-22s %-58s %s\n", "query", "group", "members: rank(score)", "worst scan-positive rank");
    std::size_t worst_member = 0, n_member = 0, member_top5 = 0, member_top10 = 0;
    double sum_member_rank = 0;
    double min_member_score = 1.0;
    for (std::size_t qi = 0; qi < chains.size(); ++qi) {
        const Chain& q = chains[qi];
        if (q.group.empty()) continue;
        const auto& scores = all_scores[qi];
        std::string members;
        for (std::size_t ti = 0; ti < chains.size(); ++ti) {
            if (ti == qi || chains[ti].group != q.group || same_entry(ti, qi)) continue;
            const std::size_t r = rank_of(scores, ti, qi);
            worst_member = std::max(worst_member, r);
            ++n_member;
            member_top5 += r <= 5;
            member_top10 += r <= 10;
            sum_member_rank += static_cast<double>(r);
            min_member_score = std::min(min_member_score, scores[ti]);
            char buf[64];
            std::snprintf(buf, sizeof buf, "%s %zu(%.2f) ", chains[ti].name.c_str(), r, scores[ti]);
            members += buf;
        }
        std::printf("%-8s %-22s %s\n", q.name.c_str(), q.group.c_str(), members.c_str());
    }
    std::printf("family members (pairs of different entries): %zu, in the top 5: %zu, top 10: %zu, mean rank %.1f\n",
                n_member, member_top5, member_top10, sum_member_rank / static_cast<double>(n_member));
    std::printf("worst family-member rank %zu, lowest family-member score %.3f\n", worst_member, min_member_score);

    if (have_scan) {
        // Every query: the rank of each chain the scan scores above 0.
        std::vector<std::size_t> ranks;
        std::string worst_pair;
        for (std::size_t qi = 0; qi < nc; ++qi) {
            for (std::size_t ti = 0; ti < nc; ++ti) {
                if (ti == qi || !positive[qi][ti] || same_entry(qi, ti)) continue;
                const std::size_t r = rank_of(all_scores[qi], ti, qi);
                if (ranks.empty() || r > *std::max_element(ranks.begin(), ranks.end())) {
                    worst_pair = chains[qi].name + " -> " + chains[ti].name;
                }
                ranks.push_back(r);
            }
        }
        std::sort(ranks.begin(), ranks.end());
        const auto pct = [](const std::vector<std::size_t>& v, double p) {
            return v.empty() ? std::size_t{0} : v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
        };
        std::size_t top1 = 0, top5 = 0;
        for (std::size_t r : ranks) {
            top1 += r == 1;
            top5 += r <= 5;
        }
        std::printf("\nscan-positive pairs (all %zu queries, other entries): %zu; rank among %zu: median %zu, 90%% %zu, "
                    "99%% %zu, worst %zu (%s); first %zu, top 5 %zu\n",
                    nc, ranks.size(), nc - 1, pct(ranks, 0.5), pct(ranks, 0.9), pct(ranks, 0.99),
                    ranks.empty() ? 0 : ranks.back(), worst_pair.c_str(), top1, top5);

        // Relatives (same family or scan-positive either way) against
        // unrelated pairs (neither, and not both of one family): for each
        // relative pair, the fraction of unrelated pairs scoring higher, over
        // all queries (scores compared across queries) and within its query.
        std::vector<double> unrelated;
        std::vector<std::vector<double>> unrelated_of(nc);
        struct Rel {
            std::size_t q, t;
        };
        std::vector<Rel> relatives;
        for (std::size_t qi = 0; qi < nc; ++qi) {
            for (std::size_t ti = 0; ti < nc; ++ti) {
                if (ti == qi || same_entry(qi, ti)) continue;
                const bool family = !chains[qi].group.empty() && chains[qi].group == chains[ti].group;
                if (family || positive[qi][ti] || positive[ti][qi]) {
                    relatives.push_back({qi, ti});
                } else {
                    unrelated.push_back(all_scores[qi][ti]);
                    unrelated_of[qi].push_back(all_scores[qi][ti]);
                }
            }
        }
        std::sort(unrelated.begin(), unrelated.end());
        for (auto& u : unrelated_of) std::sort(u.begin(), u.end());
        const auto above = [](const std::vector<double>& sorted, double s) {
            const auto it = std::upper_bound(sorted.begin(), sorted.end(), s);
            return sorted.empty() ? 0.0
                                  : static_cast<double>(sorted.end() - it) / static_cast<double>(sorted.size());
        };
        std::vector<double> pooled, within;
        std::size_t pooled_over_1 = 0, within_over_1 = 0;
        for (const Rel& r : relatives) {
            const double s = all_scores[r.q][r.t];
            pooled.push_back(above(unrelated, s));
            within.push_back(above(unrelated_of[r.q], s));
            pooled_over_1 += pooled.back() > 0.01;
            within_over_1 += within.back() > 0.01;
        }
        std::sort(pooled.begin(), pooled.end());
        std::sort(within.begin(), within.end());
        const auto fpct = [](const std::vector<double>& v, double p) {
            return v.empty() ? 0.0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
        };
        std::printf("relative pairs %zu, unrelated pairs %zu; unrelated score quantiles 50%% %.3f 90%% %.3f 99%% %.3f "
                    "max %.3f\n",
                    relatives.size(), unrelated.size(), fpct(unrelated, 0.5), fpct(unrelated, 0.9),
                    fpct(unrelated, 0.99), unrelated.empty() ? 0.0 : unrelated.back());
        std::printf("fraction of unrelated pairs above a relative, over all queries: median %.4f, 75%% %.4f, 90%% "
                    "%.4f, worst %.4f; relatives with more than 1%% above: %zu\n",
                    fpct(pooled, 0.5), fpct(pooled, 0.75), fpct(pooled, 0.9), pooled.empty() ? 0.0 : pooled.back(),
                    pooled_over_1);
        std::printf("same within the relative's query: median %.4f, 75%% %.4f, 90%% %.4f, worst %.4f; more than 1%% "
                    "above: %zu\n",
                    fpct(within, 0.5), fpct(within, 0.75), fpct(within, 0.9), within.empty() ? 0.0 : within.back(),
                    within_over_1);
    }

    // ---- robustness: moved, noisy and trimmed copies of every chain against the pool ----
    std::printf("\nrobustness: score of a variant against its original, and the original's rank among the pool\n");
    std::mt19937_64 rng(7);
    struct Variant {
        const char* name;
        double noise, head, tail;
    };
    for (const Variant v : {Variant{"moved", 0.0, 0, 0}, Variant{"noise0.3", 0.3, 0, 0}, Variant{"noise0.5", 0.5, 0, 0},
                            Variant{"noise1.0", 1.0, 0, 0}, Variant{"trim15%", 0.0, 0.15, 0.15},
                            Variant{"trim30%+n0.3", 0.3, 0.3, 0.0}}) {
        double sum_score = 0;
        std::size_t top1 = 0, worst = 0, count = 0;
        for (std::size_t qi = 0; qi < chains.size(); ++qi) {
            const auto pts = trimmed(moved(chains[qi].domain.coordinates(), rng, v.noise), v.head, v.tail);
            const auto query = torva::PrefilterQuery::from_points(pts, g_options);
            auto scores = torva::prefilter_scores(query, pool.data, pool.offsets).value();
            std::size_t r = 1;
            for (std::size_t j = 0; j < chains.size(); ++j) {
                if (j != qi && chains[j].name.substr(0, 4) != chains[qi].name.substr(0, 4) && scores[j] >= scores[qi]) ++r;
            }
            sum_score += scores[qi];
            top1 += r == 1;
            worst = std::max(worst, r);
            ++count;
        }
        std::printf("%-14s mean score %.3f, original ranked first %zu of %zu, worst rank %zu\n", v.name,
                    sum_score / static_cast<double>(count), top1, count, worst);
    }

    // ---- size and speed: a column of n_entries keys of ~200-residue chains ----
    std::vector<const Chain*> large;
    for (const auto& c : chains) {
        if (c.domain.size() >= 150 && c.domain.size() <= 300) large.push_back(&c);
    }
    const Chain* qchain = nullptr;
    for (const auto& c : chains) {
        if (c.name == "1o1z:A") qchain = &c;
    }
    if (large.empty() || qchain == nullptr) return 0;
    Column col;
    std::size_t residues = 0;
    std::vector<std::uint8_t> distinct;
    for (std::size_t i = 0; i < n_entries; ++i) {
        const Chain& c = *large[i % large.size()];
        std::uniform_real_distribution<double> u(0.0, 0.1);
        const auto pts = trimmed(moved(c.domain.coordinates(), rng, 0.3), u(rng), u(rng));
        residues += pts.size();
        col.add(torva::search_key(pts));
    }
    std::printf("\ncolumn: %zu keys from %zu chains of 150-300 residues (moved, 0.3 A noise, trimmed up to 10%% at each "
                "end), %.1f residues and %.1f key bytes per entry\n",
                n_entries, large.size(), static_cast<double>(residues) / static_cast<double>(n_entries),
                static_cast<double>(col.data.size()) / static_cast<double>(n_entries));
    if (!keys_out.empty()) {
        std::ofstream out(keys_out, std::ios::binary);
        for (std::size_t i = 0; i < n_entries; ++i) {
            const auto len = static_cast<std::uint32_t>(col.offsets[i + 1] - col.offsets[i]);
            out.write(reinterpret_cast<const char*>(&len), 4);
            out.write(reinterpret_cast<const char*>(col.data.data() + col.offsets[i]), len);
        }
    }
    const auto query = torva::PrefilterQuery::from_points(qchain->domain.coordinates(), g_options);
    std::printf("query %s: %zu residues, %zu unmasked words\n", qchain->name.c_str(), qchain->domain.size(),
                query.indexed_words());
    double best_ms = 1e300;
    std::vector<double> scores;
    for (int rep = 0; rep < 3; ++rep) {
        const double t0 = bench::cpu_ms();
        scores = torva::prefilter_scores(query, col.data, col.offsets).value();
        best_ms = std::min(best_ms, bench::cpu_ms() - t0);
    }
    const double t1 = bench::cpu_ms();
    const auto top = torva::top_candidates(scores, 1000);
    const double top_ms = bench::cpu_ms() - t1;
    std::printf("prefilter: %.3f us per entry (best of 3, thread CPU time), top 1000 of %zu in %.2f ms\n",
                best_ms * 1e3 / static_cast<double>(n_entries), n_entries, top_ms);
    return 0;
}
