// Scan mode: the search for a starting superposition of two chains in
// unrelated frames (windows, then fragment seeds), and its refinement.
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
#include "torva/scoring.hpp"

namespace torva {

// What a scan-mode search reads: the user's parameters (every window's
// refinement and the fine pass are derived from them) and the search's own
// settings.
struct ScanSettings {
    Parameters params;
    std::size_t step = kPairwiseStep;           // window offsets apart
    double stop_score = kPairwiseStopScore;     // a window reaching it may jump ahead; the result is significant
    double min_length_ratio = 0.5;
    double max_length_ratio = 1.3;
    bool truncate = true;
    bool early_stop = true;
    // When no window reaches a positive score, look for a starting position
    // with fragment seeds that do not assume colinear chains.
    bool seed_search = true;

    static constexpr std::size_t kPairwiseStep = 5;
    static constexpr double kPairwiseStopScore = 2.0;
    static constexpr std::size_t kDatabaseStep = 10;

    // `step` and `stop_score` given, everything else at its default.
    static ScanSettings from(const Parameters& params, std::size_t step, double stop_score);
    // pairwise_align(scan_mode=True) and the pre-alignment of align_pdbs.
    static ScanSettings pairwise(const Parameters& params, std::size_t step = kPairwiseStep) {
        return from(params, step, kPairwiseStopScore);
    }
    // Each target of a scan-mode database scan: the caller's score cutoff is the stop score.
    static ScanSettings database(const Parameters& params, double score_cutoff) {
        return from(params, kDatabaseStep, score_cutoff);
    }
};

// Every start's refinement: the parameters' values, but pairs count as core
// pairs at the fine-pass threshold.
PairwiseSettings scan_window_settings(const Parameters& params);
// The fine pass: a sharp distance scale, no gap charge and a short fragment
// threshold, so that it polishes the best start's superposition.
PairwiseSettings scan_refinement_settings(const Parameters& params);

struct ScanResult {
    std::string query_id;
    std::string target_id;
    double score = 0.0;
    double rmsd = 0.0;
    std::size_t path_length = 0;
    std::size_t n_aligned = 0;
    double seq_identity = 0.0;
    Transform transform;
    // Window offset of the best start; for a start found by the seed search,
    // the first residue of its fragment in the second domain.
    std::size_t offset = 0;
    std::size_t query_length = 0;
    std::size_t target_length = 0;
    bool significant = false;
    // The pairs of the refinement that gave the result (indices into the
    // first domain and the second as given), and which of them the identity
    // is taken over; empty when nothing was found.
    std::vector<AlignedPair> aligned_pairs;
    std::vector<std::uint8_t> core_pairs;
};

// What one scan tried, in order: every window (offset, length, score of its
// refinement), every seed start that was refined, and whether the fine pass ran.
struct ScanTrace {
    struct Start {
        std::size_t offset = 0;
        std::size_t length = 0;
        double score = 0.0;
    };
    std::vector<Start> windows;
    std::vector<Start> seeds;
    bool second_pass = false;
};

// Searches the best starting superposition of `second` onto `first` and
// refines it. Records what was tried in `trace` when it is not null. `cancel`
// is asked before every window, before each row of fragment seeds and before
// every seed start and the fine pass (Error::cancelled()).
Result<ScanResult> scan_align(const Domain& first, const Domain& second, const ScanSettings& settings,
                              ScanTrace* trace = nullptr, const Cancel& cancel = {});

}  // namespace torva
