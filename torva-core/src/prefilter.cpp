// The prefilter of a database search: a query's words against columns of
// search keys (see torva/search_key.hpp).
#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <string>
#include <unordered_map>

#include "search_key_letters.hpp"
#include "torva/search_key.hpp"

namespace torva {

using keys::context_letters;
using keys::kNoLetter;
using keys::letter_count;
using keys::letter_of;
using keys::parse_key;
using keys::word_count;

namespace {

// Checks a column of keys (see prefilter_scores) and hands each key's index,
// residue count and letters to `use`, in order.
template <class Offset, class Use>
Status for_each_key(std::span<const std::uint8_t> data, std::span<const Offset> offsets, const Cancel& cancel,
                    Use&& use) {
    if (offsets.empty()) return {};
    const std::size_t n = offsets.size() - 1;
    const std::int64_t base = static_cast<std::int64_t>(offsets[0]);
    if (base < 0) return Error::invalid_parameter("search key offsets are negative");
    // Check the whole column before using anything.
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t lo = static_cast<std::int64_t>(offsets[i]);
        const std::int64_t hi = static_cast<std::int64_t>(offsets[i + 1]);
        if (hi < lo) return Error::invalid_parameter("search key offsets decrease at entry " + std::to_string(i));
        if (static_cast<std::uint64_t>(hi - base) > data.size()) {
            return Error::invalid_parameter("search key offsets point past the key data at entry " + std::to_string(i));
        }
    }
    std::vector<std::uint8_t> letters;
    for (std::size_t i = 0; i < n; ++i) {
        if ((i & 4095u) == 0 && cancel.requested()) return Error::cancelled();
        const auto lo = static_cast<std::size_t>(static_cast<std::int64_t>(offsets[i]) - base);
        const auto hi = static_cast<std::size_t>(static_cast<std::int64_t>(offsets[i + 1]) - base);
        auto parsed = parse_key(data.subspan(lo, hi - lo), letters);
        if (!parsed.ok()) {
            return Error::invalid_parameter("malformed search key at entry " + std::to_string(i) + ": " +
                                            parsed.error());
        }
        use(i, parsed.value(), letters);
    }
    return {};
}

template <class Offset>
Result<std::vector<double>> scores_impl(const PrefilterQuery& query, std::span<const std::uint8_t> data,
                                        std::span<const Offset> offsets, const Cancel& cancel) {
    std::vector<double> scores(offsets.empty() ? 0 : offsets.size() - 1);
    Status done = for_each_key(data, offsets, cancel, [&](std::size_t i, std::size_t, const std::vector<std::uint8_t>& l) {
        scores[i] = query.score_letters(l);
    });
    if (!done.ok()) return done.error();
    return scores;
}

template <class Offset>
Result<std::vector<std::size_t>> counts_impl(std::span<const std::uint8_t> data, std::span<const Offset> offsets) {
    std::vector<std::size_t> counts(offsets.empty() ? 0 : offsets.size() - 1);
    Status done = for_each_key(data, offsets, Cancel{},
                               [&](std::size_t i, std::size_t n, const std::vector<std::uint8_t>&) { counts[i] = n; });
    if (!done.ok()) return done.error();
    return counts;
}


std::uint32_t hash_code(std::uint32_t code) { return code * 0x9E3779B1u; }

}  // namespace

std::uint32_t PrefilterQuery::word_code(const std::uint8_t* letters) const {
    std::uint32_t code = 0;
    for (std::size_t k = 0; k < kPrefilterWordLetters; ++k) code = (code << 8) | (letters[k] & letter_masks_[k]);
    return code;
}

const PrefilterQuery::Slot* PrefilterQuery::find(std::uint32_t code) const {
    std::uint32_t h = hash_code(code) >> slot_shift_;
    for (;;) {
        const Slot& s = slots_[h];
        if (s.code == code) return &s;
        if (s.code == kEmptyCode) return nullptr;
        h = (h + 1) & (static_cast<std::uint32_t>(slots_.size()) - 1);
    }
}

void PrefilterQuery::build(std::vector<std::uint8_t> letters, std::vector<std::uint8_t> shape_alternates,
                           std::vector<std::uint8_t> context_alternates, std::size_t n_residues,
                           const PrefilterOptions& options) {
    options_ = options;
    n_residues_ = n_residues;
    letters_ = std::move(letters);
    for (std::size_t k = 0; k < kPrefilterWordLetters; ++k) {
        letter_masks_[k] = ((options_.context_positions >> k) & 1u) != 0 ? 0xFFu : 0x0Fu;
    }
    if (shape_alternates.size() != letters_.size()) shape_alternates.assign(letters_.size(), kNoLetter);
    if (context_alternates.size() != letters_.size()) context_alternates.assign(letters_.size(), kNoLetter);
    n_words_ = word_count(letters_.size());
    // Every word of the query is indexed under its own code and, for letters
    // close to a boundary, under the codes with the letter across it (one
    // part of a letter at a time), so that a target whose trace differs a
    // little still meets it.
    std::vector<std::uint32_t> variants;
    std::uint8_t options_of[3];
    const auto for_each_variant = [&](std::size_t p, auto&& f) {
        variants.assign(1, 0);
        for (std::size_t k = 0; k < kPrefilterWordLetters; ++k) {
            const std::uint8_t own = letters_[p + k];
            std::size_t n_opt = 0;
            options_of[n_opt++] = own & letter_masks_[k];
            if (shape_alternates[p + k] != kNoLetter) {
                options_of[n_opt++] = static_cast<std::uint8_t>(((own & 0xF0u) | shape_alternates[p + k]) & letter_masks_[k]);
            }
            if (context_alternates[p + k] != kNoLetter && letter_masks_[k] == 0xFFu) {
                options_of[n_opt++] = static_cast<std::uint8_t>((own & 0x0Fu) | (context_alternates[p + k] << 4));
            }
            const std::size_t n_before = variants.size();
            for (std::size_t v = 0; v < n_before; ++v) {
                for (std::size_t o = 1; o < n_opt; ++o) variants.push_back((variants[v] << 8) | options_of[o]);
                variants[v] = (variants[v] << 8) | options_of[0];
            }
        }
        for (std::uint32_t code : variants) f(code);
    };
    std::unordered_map<std::uint32_t, std::uint32_t> count;
    for (std::size_t p = 0; p < n_words_; ++p) for_each_variant(p, [&](std::uint32_t code) { ++count[code]; });
    for (auto it = count.begin(); it != count.end();) {
        if (it->second > options_.max_word_occurrences) {
            it = count.erase(it);
        } else {
            ++it;
        }
    }
    n_unmasked_ = 0;
    for (std::size_t p = 0; p < n_words_; ++p) n_unmasked_ += count.count(word_code(&letters_[p])) != 0;
    std::size_t size = 16;
    slot_shift_ = 28;
    while (size < 2 * count.size()) {
        size *= 2;
        --slot_shift_;
    }
    slots_.assign(size, Slot{kEmptyCode, 0, 0});
    std::vector<std::uint32_t> codes;
    codes.reserve(count.size());
    for (const auto& [code, c] : count) codes.push_back(code);
    std::sort(codes.begin(), codes.end());
    std::uint32_t start = 0;
    for (std::uint32_t code : codes) {
        std::uint32_t h = hash_code(code) >> slot_shift_;
        while (slots_[h].code != kEmptyCode) h = (h + 1) & static_cast<std::uint32_t>(size - 1);
        slots_[h] = Slot{code, start, start};
        start += count[code];
    }
    positions_.assign(start, 0);
    for (std::size_t p = 0; p < n_words_; ++p) {
        for_each_variant(p, [&](std::uint32_t code) {
            if (count.count(code) == 0) return;
            Slot& s = const_cast<Slot&>(*find(code));
            positions_[s.end++] = static_cast<std::uint32_t>(p);
        });
    }
}

Result<PrefilterQuery> PrefilterQuery::from_key(std::span<const std::uint8_t> key, const PrefilterOptions& options) {
    std::vector<std::uint8_t> letters;
    auto parsed = parse_key(key, letters);
    if (!parsed.ok()) return Error::invalid_parameter("malformed search key: " + parsed.error());
    PrefilterQuery q;
    q.build(std::move(letters), {}, {}, parsed.value(), options);
    return q;
}

PrefilterQuery PrefilterQuery::from_points(std::span<const Point> ca, const PrefilterOptions& options) {
    const std::size_t m = letter_count(ca.size());
    std::vector<std::uint8_t> letters(m), shape_alt(m), context(m), context_alt(m);
    context_letters(ca, context.data(), context_alt.data());
    for (std::size_t k = 0; k < m; ++k) {
        letters[k] = static_cast<std::uint8_t>(letter_of(ca[k], ca[k + 1], ca[k + 2], ca[k + 3], &shape_alt[k]) |
                                               (context[k] << 4));
    }
    PrefilterQuery q;
    q.build(std::move(letters), std::move(shape_alt), std::move(context_alt), ca.size(), options);
    return q;
}

double PrefilterQuery::score_letters(std::span<const std::uint8_t> target) const {
    // The scan's window: a target shorter than min_length_ratio times the
    // query is never aligned, and of a longer one only the first
    // max_length_ratio times the query's residues are.
    const std::size_t n_target = target.empty() ? 0 : target.size() + 3;
    const double nq = static_cast<double>(n_residues_);
    if (n_target < to_count(options_.min_length_ratio * nq)) return 0.0;
    const std::size_t cut = to_count(options_.max_length_ratio * nq);
    if (n_target > cut) target = target.first(cut >= 3 ? cut - 3 : 0);
    const std::size_t wt = word_count(target.size());
    if (wt == 0 || n_unmasked_ == 0) return 0.0;
    const std::size_t n_diag = n_words_ + wt - 1;
    diagonals_.assign(n_diag, 0);
    std::uint16_t* diag = diagonals_.data();
    // Diagonal of query word p and target word j: p - j + (wt - 1).
    for (std::size_t j = 0; j < wt; ++j) {
        const Slot* slot = find(word_code(&target[j]));
        if (slot == nullptr) continue;
        const std::uint32_t* p = positions_.data() + slot->begin;
        const std::uint32_t* end = positions_.data() + slot->end;
        std::uint16_t* row = diag + (wt - 1 - j);
        for (; p != end; ++p) {
            std::uint16_t& c = row[*p];
            if (c != 0xFFFFu) ++c;
        }
    }
    // Best band of 2 * half + 1 diagonals, by a sliding sum.
    const std::size_t half = options_.band_half_width;
    const std::size_t width = 2 * half + 1;
    std::uint64_t sum = 0;
    std::uint64_t best = 0;
    for (std::size_t d = 0; d < n_diag + half; ++d) {
        if (d < n_diag) sum += diag[d];
        if (d >= width) sum -= diag[d - width];
        best = std::max(best, sum);
    }
    // The query's unmasked words, scaled by sqrt(target words / query words)
    // where the options ask for it (a longer target has more chances, a
    // shorter one fewer); a chain against itself scores 1 either way.
    double norm = static_cast<double>(n_unmasked_);
    if (options_.scale_by_target) norm *= std::sqrt(static_cast<double>(wt) / static_cast<double>(n_words_));
    return std::min(1.0, static_cast<double>(best) / norm);
}

Result<std::vector<double>> prefilter_scores(const PrefilterQuery& query, std::span<const std::uint8_t> data,
                                             std::span<const std::int64_t> offsets, const Cancel& cancel) {
    return scores_impl(query, data, offsets, cancel);
}

Result<std::vector<double>> prefilter_scores(const PrefilterQuery& query, std::span<const std::uint8_t> data,
                                             std::span<const std::int32_t> offsets, const Cancel& cancel) {
    return scores_impl(query, data, offsets, cancel);
}

Result<std::vector<std::size_t>> key_residue_counts(std::span<const std::uint8_t> data,
                                                    std::span<const std::int64_t> offsets) {
    return counts_impl(data, offsets);
}

Result<std::vector<std::size_t>> key_residue_counts(std::span<const std::uint8_t> data,
                                                    std::span<const std::int32_t> offsets) {
    return counts_impl(data, offsets);
}

Result<double> prefilter_score(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                               const PrefilterOptions& options) {
    auto q = PrefilterQuery::from_key(a, options);
    if (!q.ok()) return q.error();
    auto letters = search_key_letters(b);
    if (!letters.ok()) return letters.error();
    return q.value().score_letters(letters.value());
}

std::vector<std::size_t> top_candidates(std::span<const double> scores, std::size_t k, double min_score) {
    std::vector<std::size_t> idx;
    idx.reserve(scores.size());
    for (std::size_t i = 0; i < scores.size(); ++i) {
        if (scores[i] >= min_score) idx.push_back(i);  // false for NaN
    }
    const auto better = [&](std::size_t a, std::size_t b) {
        return scores[a] > scores[b] || (scores[a] == scores[b] && a < b);
    };
    if (k < idx.size()) {
        std::nth_element(idx.begin(), idx.begin() + static_cast<std::ptrdiff_t>(k), idx.end(), better);
        idx.resize(k);
    }
    std::sort(idx.begin(), idx.end(), better);
    return idx;
}

}  // namespace torva
