#include "torva/key_index.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "torva/math.hpp"

namespace torva {

namespace {

constexpr std::size_t kWord = kPrefilterWordLetters;

std::size_t words_of(std::size_t n_letters) { return n_letters >= kWord ? n_letters - kWord + 1 : 0; }

// An entry's place in the search: its bound, then its position.
struct Bounded {
    double bound;
    std::uint32_t entry;
};

bool better(double sa, std::size_t ea, double sb, std::size_t eb) { return sa > sb || (sa == sb && ea < eb); }

}  // namespace

std::uint32_t KeyIndex::code_of(const std::uint8_t* word) const {
    std::uint32_t code = 0;
    for (std::size_t k = 0; k < kWord; ++k) {
        const std::uint8_t l = word[k];
        const std::uint32_t part = alphabet_[k] == 16 ? (l & 0x0Fu) : ((l >> 4) * 16u + (l & 0x0Fu));
        code = code * alphabet_[k] + part;
    }
    return code;
}

template <class Offset>
Result<KeyIndex> KeyIndex::build_impl(std::span<const std::uint8_t> data, std::span<const Offset> offsets,
                                      const PrefilterOptions& options, const Cancel& cancel) {
    // The whole column is checked first (with prefilter_scores' errors), and each key's residue count read.
    auto counts = key_residue_counts(data, offsets);
    if (!counts.ok()) return counts.error();
    const std::size_t n = counts.value().size();
    if (n > std::size_t{0xFFFFFFFFu}) return Error::invalid_parameter("too many entries for one key index");
    KeyIndex index;
    index.options_ = options;
    for (std::size_t k = 0; k < kWord; ++k) {
        index.alphabet_[k] = ((options.context_positions >> k) & 1u) != 0 ? 16u * kContextAlphabetSize : 16u;
    }
    std::size_t n_codes = 1;
    for (std::uint32_t a : index.alphabet_) n_codes *= a;
    index.residues_.assign(counts.value().begin(), counts.value().end());
    index.letter_starts_.reserve(n + 1);
    index.letter_starts_.push_back(0);
    const auto base = offsets.empty() ? std::int64_t{0} : static_cast<std::int64_t>(offsets[0]);
    for (std::size_t i = 0; i < n; ++i) {
        if ((i & 4095u) == 0 && cancel.requested()) return Error::cancelled();
        const auto hi = static_cast<std::size_t>(static_cast<std::int64_t>(offsets[i + 1]) - base);
        // A key ends with its letters (its layout was checked above).
        const std::size_t n_letters = index.residues_[i] >= 4 ? index.residues_[i] - 3 : 0;
        const std::uint8_t* l = data.data() + hi - n_letters;
        index.letters_.insert(index.letters_.end(), l, l + n_letters);
        index.letter_starts_.push_back(index.letters_.size());
    }
    // The lists: each code's entries in position order, once per occurrence.
    index.code_starts_.assign(n_codes + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* l = index.letters_.data() + index.letter_starts_[i];
        const std::size_t w = words_of(index.letter_starts_[i + 1] - index.letter_starts_[i]);
        for (std::size_t p = 0; p < w; ++p) ++index.code_starts_[index.code_of(l + p) + 1];
    }
    for (std::size_t c = 0; c < n_codes; ++c) index.code_starts_[c + 1] += index.code_starts_[c];
    index.postings_.resize(index.code_starts_[n_codes]);
    std::vector<std::uint64_t> fill(index.code_starts_.begin(), index.code_starts_.end() - 1);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* l = index.letters_.data() + index.letter_starts_[i];
        const std::size_t w = words_of(index.letter_starts_[i + 1] - index.letter_starts_[i]);
        for (std::size_t p = 0; p < w; ++p) index.postings_[fill[index.code_of(l + p)]++] = static_cast<std::uint32_t>(i);
    }
    return index;
}

Result<KeyIndex> KeyIndex::build(std::span<const std::uint8_t> data, std::span<const std::int64_t> offsets,
                                 const PrefilterOptions& options, const Cancel& cancel) {
    return build_impl(data, offsets, options, cancel);
}

Result<KeyIndex> KeyIndex::build(std::span<const std::uint8_t> data, std::span<const std::int32_t> offsets,
                                 const PrefilterOptions& options, const Cancel& cancel) {
    return build_impl(data, offsets, options, cancel);
}

std::size_t KeyIndex::memory_bytes() const {
    return letters_.capacity() + letter_starts_.capacity() * sizeof(std::uint64_t) +
           residues_.capacity() * sizeof(std::uint32_t) + code_starts_.capacity() * sizeof(std::uint64_t) +
           postings_.capacity() * sizeof(std::uint32_t);
}

std::span<const std::uint8_t> KeyIndex::letters(std::size_t entry) const {
    if (entry >= size()) throw InternalError("KeyIndex::letters: entry out of range");
    return {letters_.data() + letter_starts_[entry], letters_.data() + letter_starts_[entry + 1]};
}

std::vector<std::uint8_t> KeyIndex::key(std::size_t entry) const {
    const std::span<const std::uint8_t> l = letters(entry);
    std::vector<std::uint8_t> key;
    key.reserve(5 + l.size());
    key.push_back(kSearchKeyVersion);
    std::size_t n = residues_[entry];
    do {
        std::uint8_t byte = n & 0x7Fu;
        n >>= 7;
        if (n != 0) byte |= 0x80u;
        key.push_back(byte);
    } while (n != 0);
    key.insert(key.end(), l.begin(), l.end());
    return key;
}

Result<std::vector<IndexCandidate>> KeyIndex::search(const PrefilterQuery& query,
                                                     std::span<const std::uint8_t> query_letters,
                                                     const IndexSearchOptions& o, Scratch& s,
                                                     IndexSearchStats* stats) const {
    const std::size_t nq = query.residue_count();
    if (query_letters.size() != (nq >= 4 ? nq - 3 : 0)) {
        return Error::invalid_parameter("the query's letters do not fit its residue count");
    }
    // The query's word counts; a word more common than the masking allows counts nothing.
    const std::size_t wq = words_of(query_letters.size());
    s.codes.clear();
    for (std::size_t p = 0; p < wq; ++p) s.codes.push_back(code_of(query_letters.data() + p));
    std::sort(s.codes.begin(), s.codes.end());
    s.weights.clear();
    std::vector<std::uint32_t> codes;
    for (std::size_t a = 0; a < s.codes.size();) {
        std::size_t b = a;
        while (b < s.codes.size() && s.codes[b] == s.codes[a]) ++b;
        if (b - a <= options_.max_word_occurrences) {
            codes.push_back(s.codes[a]);
            s.weights.push_back(static_cast<std::uint32_t>(b - a));
        }
        a = b;
    }
    s.codes = std::move(codes);
    return search_weighted(query, wq, o, s, stats);
}

Result<std::vector<IndexCandidate>> KeyIndex::search_trace(std::span<const Point> ca, const IndexSearchOptions& o,
                                                           Scratch& s, IndexSearchStats* stats) const {
    const PrefilterQuery query = PrefilterQuery::from_points(ca, options_);
    const std::size_t wq = words_of(ca.size() >= 4 ? ca.size() - 3 : 0);
    s.codes.clear();
    s.weights.clear();
    const std::size_t uq = query.indexed_words();
    if (wq > 0 && uq > 0) {
        // The same query with one band over every diagonal and no length window: its score of a
        // target of one word is the number of the query's positions indexed under that word, its
        // own and alternates alike (masking is the same), times a known scale.
        PrefilterOptions all = options_;
        all.band_half_width = wq + 1;
        all.min_length_ratio = 0.0;
        all.max_length_ratio = std::numeric_limits<double>::infinity();
        const PrefilterQuery probe = PrefilterQuery::from_points(ca, all);
        const double scale = static_cast<double>(uq) / std::sqrt(static_cast<double>(wq));
        const auto cap = static_cast<std::uint32_t>(options_.max_word_occurrences);
        std::uint8_t word[kWord];
        const std::size_t n_codes = code_starts_.size() - 1;
        for (std::size_t c = 0; c < n_codes; ++c) {
            if (code_starts_[c] == code_starts_[c + 1]) continue;  // no entry holds it
            std::size_t rest = c;
            for (std::size_t k = kWord; k-- > 0;) {
                const std::size_t part = rest % alphabet_[k];
                rest /= alphabet_[k];
                word[k] = static_cast<std::uint8_t>(alphabet_[k] == 16 ? part : ((part / 16) << 4) | (part % 16));
            }
            const double v = probe.score_letters(std::span<const std::uint8_t>(word, kWord));
            if (!(v > 0.0)) continue;
            // A capped score says only "at least": the masking bounds the count.
            const auto w = v >= 1.0 ? cap : static_cast<std::uint32_t>(std::lround(v * scale));
            s.codes.push_back(static_cast<std::uint32_t>(c));
            s.weights.push_back(std::max<std::uint32_t>(1, std::min(w, cap)));
        }
    }
    return search_weighted(query, wq, o, s, stats);
}

Result<std::vector<IndexCandidate>> KeyIndex::search_weighted(const PrefilterQuery& query, std::size_t wq,
                                                              const IndexSearchOptions& o, Scratch& s,
                                                              IndexSearchStats* stats) const {
    const std::size_t nq = query.residue_count();
    IndexSearchStats local;
    IndexSearchStats& st = stats != nullptr ? *stats : local;
    st = {};
    const std::size_t n = size();
    std::vector<IndexCandidate> out;
    const std::size_t k = std::min(o.k, n);
    if (k == 0) return out;
    const std::size_t uq = query.indexed_words();

    std::vector<Bounded> bounded;
    if (wq > 0 && uq > 0) {
        // The hits of every entry holding a query word, walking only those words' lists.
        if (s.hits.size() != n) s.hits.assign(n, 0);
        s.touched.clear();
        for (std::size_t i = 0; i < s.codes.size(); ++i) {
            const std::uint32_t weight = s.weights[i];
            const std::uint32_t* p = postings_.data() + code_starts_[s.codes[i]];
            const std::uint32_t* end = postings_.data() + code_starts_[s.codes[i] + 1];
            st.postings += static_cast<std::size_t>(end - p);
            for (; p != end; ++p) {
                std::uint32_t& h = s.hits[*p];
                if (h == 0) s.touched.push_back(*p);
                h += weight;
            }
        }
        st.touched = s.touched.size();
        // Each entry's bound, within the length window the query's options give.
        const auto min_len = to_count(options_.min_length_ratio * static_cast<double>(nq));
        const auto cut = to_count(options_.max_length_ratio * static_cast<double>(nq));
        bounded.reserve(s.touched.size());
        for (std::uint32_t e : s.touched) {
            const std::uint32_t h = s.hits[e];
            s.hits[e] = 0;
            const std::size_t nt = residues_[e];
            if (nt < min_len) continue;
            const std::size_t in_window = std::min<std::size_t>(letter_starts_[e + 1] - letter_starts_[e],
                                                                cut >= 3 ? cut - 3 : 0);
            const std::size_t wt = words_of(in_window);
            if (wt == 0) continue;
            // The score's own expression with H_t for the band's count: the same rounding, so an
            // entry whose hits all lie on one band has its score as its bound, not a hair below.
            const double norm = static_cast<double>(uq) * std::sqrt(static_cast<double>(wt) / static_cast<double>(wq));
            bounded.push_back({std::min(1.0, static_cast<double>(h) / norm), e});
        }
    }
    const auto by_bound = [](const Bounded& a, const Bounded& b) { return better(a.bound, a.entry, b.bound, b.entry); };
    // First the entries of the best bounds, then every other one whose bound
    // reaches the k-th best exact score found.
    const std::size_t first = std::min(bounded.size(),
                                       std::max(o.min_rescored, to_count(o.rescore_factor * static_cast<double>(k))));
    if (first < bounded.size()) {
        std::nth_element(bounded.begin(), bounded.begin() + static_cast<std::ptrdiff_t>(first), bounded.end(), by_bound);
    }
    std::vector<IndexCandidate> scored;
    scored.reserve(first);
    for (std::size_t i = 0; i < first; ++i) {
        const std::uint32_t e = bounded[i].entry;
        scored.push_back({e, query.score_letters(letters(e))});
    }
    const auto by_score = [](const IndexCandidate& a, const IndexCandidate& b) {
        return better(a.score, a.entry, b.score, b.entry);
    };
    const auto kth_positive = [&]() {
        if (scored.size() < k) return 0.0;
        std::nth_element(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(k - 1), scored.end(), by_score);
        return scored[k - 1].score;
    };
    double floor = kth_positive();
    for (std::size_t i = first; i < bounded.size(); ++i) {
        // With fewer than k positive scores so far, every entry sharing a word is scored.
        if (bounded[i].bound < floor || (floor > 0.0 && bounded[i].bound == 0.0)) continue;
        const std::uint32_t e = bounded[i].entry;
        scored.push_back({e, query.score_letters(letters(e))});
        // Raise the floor now and then, so that the entries left are checked against a higher one.
        if (scored.size() % 256 == 0) floor = std::max(floor, kth_positive());
    }
    st.rescored = scored.size();
    for (const IndexCandidate& c : scored) {
        if (c.score > 0.0 && c.score >= o.min_score) out.push_back(c);
    }
    std::sort(out.begin(), out.end(), by_score);
    if (out.size() > k) out.resize(k);
    if (out.size() < k && o.min_score <= 0.0) {
        // Entries of score 0 in position order, as top_candidates gives them.
        std::vector<std::uint8_t> taken(n, 0);
        for (const IndexCandidate& c : out) taken[c.entry] = 1;
        for (std::size_t e = 0; e < n && out.size() < k; ++e) {
            if (taken[e] == 0) out.push_back({e, 0.0});
        }
    }
    return out;
}

Result<std::vector<std::pair<ClusterEdge, std::uint32_t>>> KeyIndex::word_groups(std::span<const std::uint32_t> rank,
                                                                                std::size_t words,
                                                                                std::uint64_t seed) const {
    const std::size_t n = size();
    if (rank.size() != n) return Error::invalid_parameter("word_groups: one rank per entry is needed");
    const auto mix = [seed](std::uint64_t x) {  // splitmix64 of the code and the seed
        x += seed + 0x9E3779B97F4A7C15ull;
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        return x ^ (x >> 31);
    };
    struct Pick {
        std::uint64_t hash;
        std::uint32_t entry;
    };
    std::vector<Pick> picks;
    picks.reserve(n * words);
    std::vector<std::uint32_t> codes;
    std::vector<std::uint64_t> hashes;
    for (std::size_t e = 0; e < n; ++e) {
        const std::uint8_t* l = letters_.data() + letter_starts_[e];
        const std::size_t w = words_of(letter_starts_[e + 1] - letter_starts_[e]);
        codes.clear();
        for (std::size_t p = 0; p < w; ++p) codes.push_back(code_of(l + p));
        std::sort(codes.begin(), codes.end());
        hashes.clear();
        for (std::size_t a = 0; a < codes.size();) {
            std::size_t b = a;
            while (b < codes.size() && codes[b] == codes[a]) ++b;
            if (b - a <= options_.max_word_occurrences) hashes.push_back(mix(codes[a]));
            a = b;
        }
        const std::size_t take = std::min(words, hashes.size());
        std::partial_sort(hashes.begin(), hashes.begin() + static_cast<std::ptrdiff_t>(take), hashes.end());
        for (std::size_t i = 0; i < take; ++i) picks.push_back({hashes[i], static_cast<std::uint32_t>(e)});
    }
    std::sort(picks.begin(), picks.end(), [](const Pick& a, const Pick& b) {
        return a.hash < b.hash || (a.hash == b.hash && a.entry < b.entry);
    });
    std::vector<ClusterEdge> edges;
    for (std::size_t a = 0; a < picks.size();) {
        std::size_t b = a;
        std::uint32_t centre = picks[a].entry;
        while (b < picks.size() && picks[b].hash == picks[a].hash) {
            const std::uint32_t e = picks[b].entry;
            if (rank[e] < rank[centre] || (rank[e] == rank[centre] && e < centre)) centre = e;
            ++b;
        }
        for (std::size_t i = a; i < b; ++i) {
            if (picks[i].entry != centre) edges.push_back({centre, picks[i].entry});
        }
        a = b;
    }
    std::sort(edges.begin(), edges.end(), [](const ClusterEdge& x, const ClusterEdge& y) {
        return x.member < y.member || (x.member == y.member && x.representative < y.representative);
    });
    std::vector<std::pair<ClusterEdge, std::uint32_t>> out;
    for (const ClusterEdge& e : edges) {
        if (!out.empty() && out.back().first.member == e.member && out.back().first.representative == e.representative) {
            ++out.back().second;
        } else {
            out.push_back({e, 1});
        }
    }
    return out;
}

}  // namespace torva
