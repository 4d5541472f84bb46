// An index of the words of a column of search keys, for prefiltering a
// database without comparing a query with every key.
//
// The prefilter (search_key.hpp) scores a target by the query words it holds
// on its best band of diagonals. That band count never exceeds the number of
// query words the target holds at all, on any diagonal: H_t, the sum over the
// target's words of how many query positions carry the same word. The index
// keeps, for every word, the entries holding it (once per occurrence), so H_t
// of every entry sharing a word with the query is summed by walking only the
// lists of the query's own words -- a cost that grows with the number of
// matching (word, entry) pairs, not with the number of entries times the
// query's length. Then
//
//   score_t <= min(1, H_t / (U_q * sqrt(W_t / W_q)))   (the bound),
//
// and the search scores exactly (PrefilterQuery::score_letters, the very
// function the exhaustive prefilter runs) the entries in order of their
// bound until no entry left can beat the k-th best exact score. The bound
// holds for every entry when the query's word counts are exactly those the
// query indexes: for a query made from a key (no alternate letters) they are
// its own words' (search); for a query made from a trace, which also indexes
// each word under the alternates of its letters near a boundary, they are
// read off the query itself (search_trace). Either way the candidates are
// exactly those of prefilter_scores + top_candidates over the whole column:
// the same entries with the same scores, equal scores by position.
//
// Memory: one byte per letter (the keys' letters), four per word (the
// lists), twelve per entry and eight per distinct word code (36 864 at the
// default options): about 5 bytes per residue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "torva/cancel.hpp"
#include "torva/cluster_graph.hpp"
#include "torva/error.hpp"
#include "torva/search_key.hpp"

namespace torva {

// How many entries an index search scores exactly and returns.
struct IndexSearchOptions {
    // Candidates returned: the k best by prefilter score.
    std::size_t k = 50;
    // Entries scoring below this are never returned. At or below 0, a search
    // finding fewer than k entries of positive score fills up with entries of
    // score 0 in position order, as top_candidates does.
    double min_score = -std::numeric_limits<double>::infinity();
    // The least number of entries scored exactly, best bound first:
    // max(min_rescored, rescore_factor * k), beyond those the bound requires.
    std::size_t min_rescored = 64;
    double rescore_factor = 2.0;
};

struct IndexCandidate {
    std::size_t entry = 0;  // position in the column the index was built from
    double score = 0.0;     // the exact prefilter score
    bool operator==(const IndexCandidate&) const = default;
};

// What one search did, for benchmarks.
struct IndexSearchStats {
    std::size_t postings = 0;  // (word, entry) pairs walked
    std::size_t touched = 0;   // entries sharing a word with the query
    std::size_t rescored = 0;  // entries scored exactly
};

class KeyIndex {
public:
    // Scratch space of searches (one per thread; reused between searches).
    class Scratch {
    public:
        Scratch() = default;

    private:
        friend class KeyIndex;
        std::vector<std::uint32_t> hits;
        std::vector<std::uint32_t> touched;
        std::vector<std::uint32_t> codes;    // the query's word codes
        std::vector<std::uint32_t> weights;  // and how many of its positions each one counts
    };

    KeyIndex() = default;

    // The index of a key column laid out as for prefilter_scores (key i is
    // data[offsets[i] - offsets[0] .. offsets[i+1] - offsets[0])). `options`
    // are those of the queries it will serve (which letters of a word keep
    // their context, the masking of common words, the length window).
    // InvalidParameter as prefilter_scores (naming the entry); Cancelled when
    // `cancel` asks (every 4096 keys). More than 2^32 - 1 entries is an
    // InvalidParameter.
    static Result<KeyIndex> build(std::span<const std::uint8_t> data, std::span<const std::int64_t> offsets,
                                  const PrefilterOptions& options = {}, const Cancel& cancel = {});
    static Result<KeyIndex> build(std::span<const std::uint8_t> data, std::span<const std::int32_t> offsets,
                                  const PrefilterOptions& options = {}, const Cancel& cancel = {});

    std::size_t size() const { return residues_.size(); }
    const PrefilterOptions& options() const { return options_; }
    // Bytes held by the index (its arrays' capacity).
    std::size_t memory_bytes() const;
    std::size_t residue_count(std::size_t entry) const { return residues_.at(entry); }
    // The letters of an entry's key.
    std::span<const std::uint8_t> letters(std::size_t entry) const;
    // The entry's key, as the column held it.
    std::vector<std::uint8_t> key(std::size_t entry) const;

    // The k best entries for `query` (made from a key with this index's
    // options) by prefilter score, best first, equal scores by position.
    // `query_letters`: its key's letters. For a query made from a trace this
    // counts its own letters' words only and may miss entries that only its
    // alternate letters reach (see search_trace). InvalidParameter when the
    // letters' count does not fit the query's residue count.
    Result<std::vector<IndexCandidate>> search(const PrefilterQuery& query, std::span<const std::uint8_t> query_letters,
                                               const IndexSearchOptions& search_options, Scratch& scratch,
                                               IndexSearchStats* stats = nullptr) const;

    // The same for a query made from a C-alpha trace (PrefilterQuery::from_points with this index's
    // options), with exactly the exhaustive prefilter's candidates: the counts of the query's words,
    // alternates included, are read off the query itself -- each word any entry holds scored as a
    // target of one word by the query with one band over all its diagonals -- so the bound holds for
    // every entry. That costs one such score per distinct word of the index (at most 36 864 at the
    // default options, a few milliseconds), whatever the size of the index.
    Result<std::vector<IndexCandidate>> search_trace(std::span<const Point> ca, const IndexSearchOptions& search_options,
                                                     Scratch& scratch, IndexSearchStats* stats = nullptr) const;

    // Groups of entries by shared words, in time linear in the residues: each entry picks its
    // `words` distinct words of lowest hash under `seed` (leaving out words more common in it than
    // the masking allows); the entries that picked the same word form a group, whose entry of
    // lowest rank[e] (then position) is its centre. Returns an edge (centre, member) for every other
    // member of every group, once per pair and in order, with how many groups the pair shares.
    // InvalidParameter when rank is not one value per entry.
    Result<std::vector<std::pair<ClusterEdge, std::uint32_t>>> word_groups(std::span<const std::uint32_t> rank,
                                                                          std::size_t words, std::uint64_t seed) const;

private:
    Result<std::vector<IndexCandidate>> search_weighted(const PrefilterQuery& query, std::size_t query_words,
                                                        const IndexSearchOptions& search_options, Scratch& scratch,
                                                        IndexSearchStats* stats) const;
    template <class Offset>
    static Result<KeyIndex> build_impl(std::span<const std::uint8_t> data, std::span<const Offset> offsets,
                                       const PrefilterOptions& options, const Cancel& cancel);
    std::uint32_t code_of(const std::uint8_t* word) const;

    PrefilterOptions options_;
    std::uint32_t alphabet_[3] = {16, 144, 16};  // values of each letter of a word code
    std::vector<std::uint8_t> letters_;           // every entry's letters back to back
    std::vector<std::uint64_t> letter_starts_;    // n + 1
    std::vector<std::uint32_t> residues_;         // residue count of each entry
    std::vector<std::uint64_t> code_starts_;      // codes + 1: each code's run in postings_
    std::vector<std::uint32_t> postings_;         // entries holding each code, once per occurrence
};

}  // namespace torva
