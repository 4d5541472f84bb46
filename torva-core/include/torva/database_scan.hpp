// The database scan: one query against a list of targets, ranked by score.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "torva/alignment.hpp"
#include "torva/cancel.hpp"
#include "torva/error.hpp"
#include "torva/io.hpp"
#include "torva/math.hpp"
#include "torva/scan.hpp"
#include "torva/scoring.hpp"

namespace torva {

// What a database scan reports of one hit.
struct ScanHitReport {
    std::optional<double> z_score;
    std::optional<double> e_value;
    std::string target_id;
    std::size_t rank = 0;
    double score = 0.0;
    double rmsd = 0.0;
    std::size_t n_aligned = 0;
    double seq_identity = 0.0;
};

// One accepted target of a database scan: the report and the alignment behind it
// (the transform maps the target onto the query; pairs are (query, target) indices).
struct ScanHitRecord : ScanHitReport {
    Transform transform;
    std::vector<AlignedPair> aligned_pairs;
    std::vector<std::uint8_t> core_pairs;  // per pair: 1 when it counts for the identity
    std::size_t target_index = 0;          // the target's place in the list scanned
};

struct DatabaseScanOptions {
    double score_cutoff = 0.0;
    std::size_t max_hits = 100;
    bool quick = false;
    bool scan_mode = true;
};

// Ranked hits; the first failing target alignment ends the scan with its
// error. `cancel` is asked before every target and inside each scan-mode search.
Result<std::vector<ScanHitRecord>> scan_database(const Domain& query, std::span<const Domain> targets,
                                                 const Parameters& params, const DatabaseScanOptions& options,
                                                 const Cancel& cancel = {});

// The ranking half of scan_database, on one candidate per target in target
// order: drops scores below `score_cutoff` (and NaN scores), sorts stably by
// score (highest first), keeps the first `max_hits`, numbers them from 1 and
// sets Z-scores when at least two hits remain and the population standard
// deviation of their scores is not below 1e-10.
std::vector<ScanHitRecord> select_scan_hits(std::vector<ScanHitRecord> candidates,
                                            const DatabaseScanOptions& options);

// The loop of scan_database with the per-target alignment supplied:
// `align(target)` returns a Result<ScanHitRecord> for one target. Targets run
// in order; the first error ends the scan and is returned as it is, with
// nothing gathered so far kept. `cancel` is asked before every target.
template <class Align>
Result<std::vector<ScanHitRecord>> scan_targets(std::span<const Domain> targets, Align&& align,
                                                const DatabaseScanOptions& options, const Cancel& cancel = {}) {
    std::vector<ScanHitRecord> candidates;
    candidates.reserve(targets.size());
    for (std::size_t k = 0; k < targets.size(); ++k) {
        const Domain& target = targets[k];
        if (cancel.requested()) return Error::cancelled();
        Result<ScanHitRecord> r = align(target);
        if (!r.ok()) return r.error();
        // A rejected target keeps nothing: drop it now rather than carry its pairs.
        if (!(r.value().score >= options.score_cutoff)) continue;
        candidates.push_back(std::move(r).value());
        candidates.back().target_id = target.id;
        candidates.back().target_index = k;
    }
    return select_scan_hits(std::move(candidates), options);
}

}  // namespace torva
