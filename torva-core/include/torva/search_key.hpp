// Search keys and the prefilter of a database search.
//
// A search key is a compact byte string computed from one chain's C-alpha
// trace: one letter per residue, made of two parts. The shape letter (16
// values) describes the backbone around the residue through the virtual bond
// angle at it and the virtual torsion of the C-alpha quadruple starting one
// residue before it. The context letter (9 values) describes the fold around
// it: 0 when no residue at least five positions away along the chain lies
// within 8 A, otherwise the octant, in the residue's own frame (along the
// chain, outward from the local bend, and their cross product), of the
// nearest such residue. Keys depend only on the shape of the trace, never on
// its coordinate frame; a mirror image has other keys.
//
// The prefilter compares a query key with many database keys: it counts the
// short words the two share, diagonal by diagonal, and scores a target by its
// best band of neighbouring diagonals. A word is three letters: their shape
// letters and the context letter of the middle one must match. Words that
// are very common in the query are masked, so the cost per target stays
// bounded and the hits that count are those of the distinctive parts of the
// fold. Targets are compared within the window the scan aligns (see
// PrefilterOptions).
//
// Key layout (version 2), all a key holds:
//   byte 0        format version, 2
//   bytes 1..     the residue count n as an unsigned LEB128 number (at most
//                 kMaxKeyResidues, shortest encoding)
//   then          m bytes of letters, m = n - 3 for n >= 4 else 0: letter k
//                 describes residue k + 1, its shape letter in the low four
//                 bits, its context letter (0..8) in the high four.
// A key of any other length or content is malformed. Keys of version 1 (shape
// letters only, two a byte) are refused as malformed, naming their version:
// a database of them is rebuilt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "torva/cancel.hpp"
#include "torva/error.hpp"
#include "torva/math.hpp"

namespace torva {

inline constexpr std::uint8_t kSearchKeyVersion = 2;
// A letter is a shape letter (low four bits) and a context letter (high four).
inline constexpr std::size_t kShapeAlphabetSize = 16;
inline constexpr std::size_t kContextAlphabetSize = 9;
// Longest chain a key can describe.
inline constexpr std::size_t kMaxKeyResidues = std::size_t{1} << 24;

// The letters of a C-alpha trace: letter k describes residue k + 1 (shape in
// the low four bits, context in the high four); its shape needs residues
// k .. k + 3, so a trace of n >= 4 points has n - 3 letters and a shorter one
// none. Points that are not finite or that coincide give shape or context 0
// rather than an error.
std::vector<std::uint8_t> shape_letters(std::span<const Point> ca);

// The search key of a C-alpha trace. Never fails; a trace of more than
// kMaxKeyResidues points is a precondition violation (InternalError).
std::vector<std::uint8_t> search_key(std::span<const Point> ca);

// The letters held by a key, after checking its layout. InvalidParameter when
// the key is malformed.
Result<std::vector<std::uint8_t>> search_key_letters(std::span<const std::uint8_t> key);

// Tuning of the prefilter; the defaults are the measured choice.
struct PrefilterOptions {
    // A word occurring more often than this in the query is masked.
    std::size_t max_word_occurrences = 3;
    // Diagonals on each side of the centre counted into a band.
    std::size_t band_half_width = 2;
    // Which letters of a word must match in context too (bit k: letter k);
    // the others match on shape alone.
    unsigned context_positions = 2;
    // The scan's target window: targets of fewer than min_length_ratio times
    // the query's residues score 0, and only the first max_length_ratio times
    // the query's residues of a longer target are compared.
    double min_length_ratio = 0.5;
    double max_length_ratio = 1.3;
    // Whether the score is scaled by sqrt(target words / query words), so that
    // a target's chance hits do not grow with its length (the scan's score is
    // normalised by both chains); without it the score is the share of the
    // query's words found (a TM-score normalised by the query).
    bool scale_by_target = true;
};

// The options of the fold level. There a chain is sought inside a longer one
// and a shorter one inside it (a hit's TM-score is normalised by the query and
// its null model knows both lengths), so every target is compared whole,
// whatever its length, and it scores the share of the query it covers: scaled
// by its length, a short chain sharing a few chance words would outrank a long
// relative. Relatives at this level are distant: their shared words lie on
// diagonals that drift with the insertions, so the band is wider; folds made
// of repeated units (the eight strand-helix units of a TIM barrel, other
// repeats and symmetric folds) repeat their distinctive words, so a word is
// masked only beyond sixteen occurrences; and the context of every letter of a
// word must match, which keeps the words that so many occurrences let in
// specific (measured on the TIM barrels of real entries: benchmarks/bench_recall.py).
inline PrefilterOptions fold_prefilter_options() {
    PrefilterOptions o;
    o.min_length_ratio = 0.0;
    o.max_length_ratio = std::numeric_limits<double>::infinity();
    o.max_word_occurrences = 16;
    o.band_half_width = 5;
    o.context_positions = 7;
    o.scale_by_target = false;
    return o;
}

// A query prepared for the prefilter: its letters and the index of its words.
class PrefilterQuery {
public:
    // A query from a trace also indexes each word under the letters across a
    // nearby boundary (a key keeps no angles), so it meets noisy and distant
    // relatives more often than the query from the same chain's key: build a
    // query structure's query from its points. InvalidParameter when the key
    // is malformed.
    static Result<PrefilterQuery> from_key(std::span<const std::uint8_t> key, const PrefilterOptions& options = {});
    static PrefilterQuery from_points(std::span<const Point> ca, const PrefilterOptions& options = {});

    std::size_t residue_count() const { return n_residues_; }
    // Words of the query that take part (not masked).
    std::size_t indexed_words() const { return n_unmasked_; }

    // Score of one target given by its letters (see prefilter_scores).
    double score_letters(std::span<const std::uint8_t> target_letters) const;

private:
    struct Slot {
        std::uint32_t code, begin, end;  // a word code and its query positions in positions_
    };
    static constexpr std::uint32_t kEmptyCode = 0xFFFFFFFFu;

    PrefilterQuery() = default;
    void build(std::vector<std::uint8_t> letters, std::vector<std::uint8_t> shape_alternates,
               std::vector<std::uint8_t> context_alternates, std::size_t n_residues, const PrefilterOptions& options);
    std::uint32_t word_code(const std::uint8_t* letters) const;
    const Slot* find(std::uint32_t code) const;

    PrefilterOptions options_;
    std::size_t n_residues_ = 0;
    std::size_t n_words_ = 0;                 // words of the query, masked or not
    std::size_t n_unmasked_ = 0;              // words whose own code is not masked
    std::vector<std::uint8_t> letters_;
    std::uint8_t letter_masks_[3] = {0x0F, 0xFF, 0x0F};  // the parts of each letter a word code keeps
    std::vector<Slot> slots_;                  // open addressing over the word codes of the query
    unsigned slot_shift_ = 28;                 // hash >> slot_shift_ indexes slots_
    std::vector<std::uint32_t> positions_;     // query word positions grouped by code
    mutable std::vector<std::uint16_t> diagonals_;  // scratch: hits per diagonal
};

// Number of letters in one word and the span of residues it covers.
inline constexpr std::size_t kPrefilterWordLetters = 3;

// Prefilter scores of one query against n keys stored back to back, as a
// binary column: key i is data[offsets[i] - offsets[0] .. offsets[i+1] - offsets[0])
// of `data`, which starts at offsets[0] (so a slice of a column is passed with
// its own offsets and the data from its first key on). `offsets` holds n + 1
// values; an empty `offsets` means no keys.
//
// A target of fewer than min_length_ratio * n_q residues (n_q: the query's)
// scores 0; of a longer target only the first max_length_ratio * n_q residues
// are read. The score is the number of query words found in the target on
// its best band of diagonals (a query word counts when its letters, or for a
// query built from a trace its letters with one part near a boundary taken
// across it, equal a target word), divided by U_q * sqrt(W_t / W_q) (by U_q
// alone without scale_by_target), where U_q is the number of unmasked query
// words and W_q, W_t the words of query and target within the window (a chain
// of n >= 6 residues has n - 5 words), capped at 1. It lies in [0, 1]: 1 for
// a chain against itself when it has any unmasked word, 0 when nothing is
// shared or either chain has fewer than 6 residues. Within one query it ranks
// targets like hits / sqrt(W_t) (like hits without scale_by_target).
//
// Errors: InvalidParameter when the offsets decrease, are negative, point
// outside `data`, or a key is malformed (naming the entry); Cancelled when
// `cancel` asks to stop (asked every 4096 keys). Nothing is read outside
// `data` and `offsets`.
Result<std::vector<double>> prefilter_scores(const PrefilterQuery& query, std::span<const std::uint8_t> data,
                                             std::span<const std::int64_t> offsets, const Cancel& cancel = {});
Result<std::vector<double>> prefilter_scores(const PrefilterQuery& query, std::span<const std::uint8_t> data,
                                             std::span<const std::int32_t> offsets, const Cancel& cancel = {});

// The residue count each key of a column records (laid out and checked as for
// prefilter_scores, with the same errors).
Result<std::vector<std::size_t>> key_residue_counts(std::span<const std::uint8_t> data,
                                                    std::span<const std::int64_t> offsets);
Result<std::vector<std::size_t>> key_residue_counts(std::span<const std::uint8_t> data,
                                                    std::span<const std::int32_t> offsets);

// Score of two keys (the prefilter score with `a` as the query).
Result<double> prefilter_score(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                               const PrefilterOptions& options = {});

// The indices of the k best scores, best first; equal scores keep index order.
// Scores below `min_score` and NaN scores are never selected.
std::vector<std::size_t> top_candidates(std::span<const double> scores, std::size_t k,
                                        double min_score = -std::numeric_limits<double>::infinity());

}  // namespace torva
