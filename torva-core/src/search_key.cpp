#include "torva/search_key.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

namespace torva {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::size_t kWordCodes = std::size_t{1} << (4 * kPrefilterWordLetters);

struct Vec {
    double x, y, z;
};

Vec sub(const Point& a, const Point& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
double dot(const Vec& a, const Vec& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec cross(const Vec& a, const Vec& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// Virtual bond angle at b (degrees, 0..180).
double bond_angle(const Point& a, const Point& b, const Point& c) {
    const Vec u = sub(a, b);
    const Vec v = sub(c, b);
    return std::atan2(std::sqrt(dot(cross(u, v), cross(u, v))), dot(u, v)) * (180.0 / kPi);
}

// Torsion of a-b-c-d (degrees, -180..180).
double torsion(const Point& a, const Point& b, const Point& c, const Point& d) {
    const Vec b1 = sub(b, a);
    const Vec b2 = sub(c, b);
    const Vec b3 = sub(d, c);
    const Vec n1 = cross(b1, b2);
    const Vec n2 = cross(b2, b3);
    const double len2 = std::sqrt(dot(b2, b2));
    const double y = len2 * dot(b1, n2);
    const double x = dot(n1, n2);
    return std::atan2(y, x) * (180.0 / kPi);
}

// The letter of residue i from the trace points i-1, i, i+1, i+2: the bond
// angle at i split at 105 degrees (helix and turn below, extended above) and
// the torsion i-1..i+2 in eight sectors of 45 degrees, placed so that the
// right-handed helix (about +50) and the strand (about -170) sit in the middle
// of their sectors. `alternate`, when given, receives the letter across the
// nearest sector or angle boundary if the residue lies close to it (within
// kTorsionMargin or kAngleMargin), else kNoLetter.
constexpr double kAngleSplit = 105.0;
constexpr double kTorsionMargin = 15.0;
constexpr double kAngleMargin = 7.0;
constexpr std::uint8_t kNoLetter = 0xFF;

std::uint8_t letter_of(const Point& a, const Point& b, const Point& c, const Point& d,
                       std::uint8_t* alternate = nullptr) {
    if (alternate != nullptr) *alternate = kNoLetter;
    const double theta = bond_angle(a, b, c);
    const double tau = torsion(a, b, c, d);
    if (!std::isfinite(theta) || !std::isfinite(tau)) return 0;
    const unsigned theta_bin = theta < kAngleSplit ? 0u : 1u;
    double shifted = std::fmod(tau - 27.5 + 720.0, 360.0);
    if (!(shifted >= 0.0)) shifted = 0.0;
    const unsigned tau_bin = std::min(7u, static_cast<unsigned>(shifted / 45.0));
    const auto letter = static_cast<std::uint8_t>(theta_bin * 8u + tau_bin);
    if (alternate != nullptr) {
        const double within = shifted - 45.0 * tau_bin;  // 0..45
        const double to_tau_edge = std::min(within, 45.0 - within) / kTorsionMargin;
        const double to_theta_edge = std::abs(theta - kAngleSplit) / kAngleMargin;
        if (to_tau_edge < 1.0 && to_tau_edge <= to_theta_edge) {
            const unsigned other = within < 22.5 ? (tau_bin + 7u) % 8u : (tau_bin + 1u) % 8u;
            *alternate = static_cast<std::uint8_t>(theta_bin * 8u + other);
        } else if (to_theta_edge < 1.0) {
            *alternate = static_cast<std::uint8_t>((1u - theta_bin) * 8u + tau_bin);
        }
    }
    return letter;
}

std::size_t letter_count(std::size_t n_residues) { return n_residues >= 4 ? n_residues - 3 : 0; }

std::size_t word_count(std::size_t n_letters) {
    return n_letters >= kPrefilterWordLetters ? n_letters - kPrefilterWordLetters + 1 : 0;
}

std::uint32_t word_at(const std::uint8_t* letters) {
    std::uint32_t code = 0;
    for (std::size_t k = 0; k < kPrefilterWordLetters; ++k) code = (code << 4) | letters[k];
    return code;
}

// Parses a key into `letters` (resized), returning the residue count, or an
// error detail. Reads only key[0 .. key.size()).
Result<std::size_t, std::string> parse_key(std::span<const std::uint8_t> key, std::vector<std::uint8_t>& letters) {
    if (key.empty()) return std::string("empty search key");
    if (key[0] != kSearchKeyVersion) {
        return "search key of unknown version " + std::to_string(static_cast<unsigned>(key[0]));
    }
    std::size_t pos = 1;
    std::uint64_t n = 0;
    for (unsigned shift = 0;; shift += 7) {
        if (pos >= key.size()) return std::string("truncated search key");
        if (shift > 28) return std::string("search key residue count too large");
        const std::uint8_t byte = key[pos++];
        n |= static_cast<std::uint64_t>(byte & 0x7Fu) << shift;
        if ((byte & 0x80u) == 0) {
            if (byte == 0 && shift > 0) return std::string("search key residue count not in shortest form");
            break;
        }
    }
    if (n > kMaxKeyResidues) return std::string("search key residue count too large");
    const std::size_t m = letter_count(static_cast<std::size_t>(n));
    const std::size_t packed = (m + 1) / 2;
    if (key.size() - pos != packed) {
        return std::string(key.size() - pos < packed ? "truncated search key" : "search key has trailing bytes");
    }
    if ((m & 1) != 0 && (key[pos + packed - 1] >> 4) != 0) {
        return std::string("search key padding is not zero");
    }
    letters.resize(m);
    for (std::size_t k = 0; k + 1 < m; k += 2) {
        const std::uint8_t byte = key[pos + k / 2];
        letters[k] = byte & 0x0Fu;
        letters[k + 1] = static_cast<std::uint8_t>(byte >> 4);
    }
    if ((m & 1) != 0) letters[m - 1] = key[pos + m / 2] & 0x0Fu;
    return static_cast<std::size_t>(n);
}

template <class Offset>
Result<std::vector<double>> scores_impl(const PrefilterQuery& query, std::span<const std::uint8_t> data,
                                        std::span<const Offset> offsets, const Cancel& cancel) {
    std::vector<double> scores;
    if (offsets.empty()) return scores;
    const std::size_t n = offsets.size() - 1;
    const std::int64_t base = static_cast<std::int64_t>(offsets[0]);
    if (base < 0) return Error::invalid_parameter("search key offsets are negative");
    // Check the whole column before scoring anything.
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t lo = static_cast<std::int64_t>(offsets[i]);
        const std::int64_t hi = static_cast<std::int64_t>(offsets[i + 1]);
        if (hi < lo) return Error::invalid_parameter("search key offsets decrease at entry " + std::to_string(i));
        if (static_cast<std::uint64_t>(hi - base) > data.size()) {
            return Error::invalid_parameter("search key offsets point past the key data at entry " + std::to_string(i));
        }
    }
    scores.resize(n);
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
        scores[i] = query.score_letters(letters);
    }
    return scores;
}

}  // namespace

std::vector<std::uint8_t> shape_letters(std::span<const Point> ca) {
    const std::size_t m = letter_count(ca.size());
    std::vector<std::uint8_t> letters(m);
    for (std::size_t k = 0; k < m; ++k) letters[k] = letter_of(ca[k], ca[k + 1], ca[k + 2], ca[k + 3]);
    return letters;
}

std::vector<std::uint8_t> search_key(std::span<const Point> ca) {
    if (ca.size() > kMaxKeyResidues) throw InternalError("search_key: chain longer than a key can describe");
    const std::vector<std::uint8_t> letters = shape_letters(ca);
    std::vector<std::uint8_t> key;
    key.reserve(5 + (letters.size() + 1) / 2);
    key.push_back(kSearchKeyVersion);
    std::size_t n = ca.size();
    do {
        std::uint8_t byte = n & 0x7Fu;
        n >>= 7;
        if (n != 0) byte |= 0x80u;
        key.push_back(byte);
    } while (n != 0);
    for (std::size_t k = 0; k < letters.size(); k += 2) {
        const std::uint8_t high = k + 1 < letters.size() ? letters[k + 1] : 0;
        key.push_back(static_cast<std::uint8_t>(letters[k] | (high << 4)));
    }
    return key;
}

Result<std::vector<std::uint8_t>> search_key_letters(std::span<const std::uint8_t> key) {
    std::vector<std::uint8_t> letters;
    auto parsed = parse_key(key, letters);
    if (!parsed.ok()) return Error::invalid_parameter("malformed search key: " + parsed.error());
    return letters;
}

void PrefilterQuery::build(std::vector<std::uint8_t> letters, std::vector<std::uint8_t> alternates,
                           std::size_t n_residues, const PrefilterOptions& options) {
    options_ = options;
    n_residues_ = n_residues;
    letters_ = std::move(letters);
    if (alternates.size() != letters_.size()) alternates.assign(letters_.size(), kNoLetter);
    n_words_ = word_count(letters_.size());
    // Every word of the query is indexed under its own code and, for letters
    // close to a boundary, under the codes with the letter across it, so that
    // a target whose trace differs a little still meets it.
    std::vector<std::uint32_t> variants;
    const auto for_each_variant = [&](std::size_t p, auto&& f) {
        variants.assign(1, 0);
        for (std::size_t k = 0; k < kPrefilterWordLetters; ++k) {
            const std::size_t n_before = variants.size();
            const std::uint8_t alt = alternates[p + k];
            for (std::size_t v = 0; v < n_before; ++v) {
                if (alt != kNoLetter) variants.push_back((variants[v] << 4) | alt);
                variants[v] = (variants[v] << 4) | letters_[p + k];
            }
        }
        for (std::uint32_t code : variants) f(code);
    };
    std::vector<std::uint32_t> count(kWordCodes, 0);
    for (std::size_t p = 0; p < n_words_; ++p) for_each_variant(p, [&](std::uint32_t code) { ++count[code]; });
    for (auto& c : count) {
        if (c > options_.max_word_occurrences) c = 0;
    }
    n_unmasked_ = 0;
    for (std::size_t p = 0; p < n_words_; ++p) n_unmasked_ += count[word_at(&letters_[p])] != 0;
    bucket_start_.assign(kWordCodes + 1, 0);
    for (std::size_t c = 0; c < kWordCodes; ++c) bucket_start_[c + 1] = bucket_start_[c] + count[c];
    positions_.assign(bucket_start_[kWordCodes], 0);
    std::vector<std::uint32_t> fill(bucket_start_.begin(), bucket_start_.end() - 1);
    for (std::size_t p = 0; p < n_words_; ++p) {
        for_each_variant(p, [&](std::uint32_t code) {
            if (count[code] != 0) positions_[fill[code]++] = static_cast<std::uint32_t>(p);
        });
    }
}

Result<PrefilterQuery> PrefilterQuery::from_key(std::span<const std::uint8_t> key, const PrefilterOptions& options) {
    std::vector<std::uint8_t> letters;
    auto parsed = parse_key(key, letters);
    if (!parsed.ok()) return Error::invalid_parameter("malformed search key: " + parsed.error());
    PrefilterQuery q;
    q.build(std::move(letters), {}, parsed.value(), options);
    return q;
}

PrefilterQuery PrefilterQuery::from_points(std::span<const Point> ca, const PrefilterOptions& options) {
    const std::size_t m = letter_count(ca.size());
    std::vector<std::uint8_t> letters(m), alternates(m);
    for (std::size_t k = 0; k < m; ++k) letters[k] = letter_of(ca[k], ca[k + 1], ca[k + 2], ca[k + 3], &alternates[k]);
    PrefilterQuery q;
    q.build(std::move(letters), std::move(alternates), ca.size(), options);
    return q;
}

double PrefilterQuery::score_letters(std::span<const std::uint8_t> target) const {
    const std::size_t wt = word_count(target.size());
    if (wt == 0 || n_unmasked_ == 0) return 0.0;
    const std::size_t n_diag = n_words_ + wt - 1;
    diagonals_.assign(n_diag, 0);
    std::uint16_t* diag = diagonals_.data();
    // Diagonal of query word p and target word j: p - j + (wt - 1).
    for (std::size_t j = 0; j < wt; ++j) {
        std::uint32_t code = 0;
        for (std::size_t k = 0; k < kPrefilterWordLetters; ++k) code = (code << 4) | (target[j + k] & 0x0Fu);
        const std::uint32_t* p = positions_.data() + bucket_start_[code];
        const std::uint32_t* end = positions_.data() + bucket_start_[code + 1];
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
    // The query's unmasked words scaled by sqrt(target words / query words):
    // a longer target has more chances, a shorter one fewer, and a chain
    // against itself scores 1.
    const double norm = static_cast<double>(n_unmasked_) *
                        std::sqrt(static_cast<double>(wt) / static_cast<double>(n_words_));
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
