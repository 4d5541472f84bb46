#include "torva/search_key.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <string>
#include <unordered_map>

namespace torva {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Vec {
    double x, y, z;
};

Vec sub(const Point& a, const Point& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec scaled(const Vec& a, double f) { return {a.x * f, a.y * f, a.z * f}; }
Vec minus(const Vec& a, const Vec& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
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

// The context letter of residue i: where its nearest neighbour in space
// lies, among the residues at least kMinSeparation away along the chain. 0
// when none lies within kContactDistance; otherwise 1 + the octant of the
// neighbour's direction in the residue's own frame: e1 along the chain
// (i-1 to i+1), e2 the outward bisector at i (away from the local bend),
// e3 = e1 x e2. The frame turns with the chain, so the letter does not
// depend on the coordinates' frame; e3 keeps handedness. `alternate`, when
// given, receives the letter across the nearest octant plane (or across the
// contact distance) when the neighbour lies close to it, else kNoLetter.
constexpr std::size_t kMinSeparation = 5;  // past the i+3, i+4 contacts inside a helix
constexpr double kContactDistance = 8.0;
constexpr double kDirectionMargin = 0.25;  // |cos| to a plane, sin of ~14 degrees
constexpr double kDistanceMargin = 0.75;

std::size_t letter_count(std::size_t n_residues) { return n_residues >= 4 ? n_residues - 3 : 0; }

std::size_t word_count(std::size_t n_letters) {
    return n_letters >= kPrefilterWordLetters ? n_letters - kPrefilterWordLetters + 1 : 0;
}

bool finite_point(const Point& p) { return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]); }

// Nearest neighbours within a cutoff, by a grid of cells of the cutoff's size.
class NeighbourGrid {
public:
    NeighbourGrid(std::span<const Point> ca, double cell) : ca_(ca), cell_(cell) {
        entries_.reserve(ca.size());
        for (std::size_t i = 0; i < ca.size(); ++i) {
            if (finite_point(ca[i]) && std::abs(ca[i][0]) < 1e6 && std::abs(ca[i][1]) < 1e6 &&
                std::abs(ca[i][2]) < 1e6) {
                entries_.push_back({key_of(cell_of(ca[i])), static_cast<std::uint32_t>(i)});
            }
        }
        std::sort(entries_.begin(), entries_.end(),
                  [](const Entry& a, const Entry& b) { return a.key < b.key || (a.key == b.key && a.index < b.index); });
    }

    // The nearest point to ca[i] at least `min_sep` away along the chain and
    // within the cutoff (squared distance returned), or npos.
    std::size_t nearest(std::size_t i, std::size_t min_sep, double cutoff, double& best_d2) const {
        best_d2 = cutoff * cutoff;
        std::size_t best = npos;
        if (!finite_point(ca_[i])) return best;
        const auto c = cell_of(ca_[i]);
        for (long dx = -1; dx <= 1; ++dx) {
            for (long dy = -1; dy <= 1; ++dy) {
                for (long dz = -1; dz <= 1; ++dz) {
                    const std::uint64_t k = key_of({c[0] + dx, c[1] + dy, c[2] + dz});
                    auto it = std::lower_bound(entries_.begin(), entries_.end(), k,
                                               [](const Entry& e, std::uint64_t v) { return e.key < v; });
                    for (; it != entries_.end() && it->key == k; ++it) {
                        const std::size_t j = it->index;
                        if ((j > i ? j - i : i - j) < min_sep) continue;
                        const Vec v = sub(ca_[j], ca_[i]);
                        const double d2 = dot(v, v);
                        if (d2 < best_d2 || (d2 == best_d2 && best != npos && j < best)) {
                            best_d2 = d2;
                            best = j;
                        }
                    }
                }
            }
        }
        return best;
    }

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

private:
    struct Entry {
        std::uint64_t key;
        std::uint32_t index;
    };
    std::array<long, 3> cell_of(const Point& p) const {
        return {static_cast<long>(std::floor(p[0] / cell_)), static_cast<long>(std::floor(p[1] / cell_)),
                static_cast<long>(std::floor(p[2] / cell_))};
    }
    static std::uint64_t key_of(const std::array<long, 3>& c) {
        const auto part = [](long v) { return static_cast<std::uint64_t>(v + (1L << 20)) & 0x1FFFFFu; };
        return (part(c[0]) << 42) | (part(c[1]) << 21) | part(c[2]);
    }
    std::span<const Point> ca_;
    double cell_;
    std::vector<Entry> entries_;
};

// Context letters of residues 1 .. n-3 (those that have a shape letter).
void context_letters(std::span<const Point> ca, std::uint8_t* out, std::uint8_t* alternates) {
    const std::size_t m = letter_count(ca.size());
    if (m == 0) return;
    const NeighbourGrid grid(ca, kContactDistance);
    for (std::size_t k = 0; k < m; ++k) {
        const std::size_t i = k + 1;
        out[k] = 0;
        if (alternates != nullptr) alternates[k] = kNoLetter;
        double d2 = 0;
        const std::size_t j = grid.nearest(i, kMinSeparation, kContactDistance + kDistanceMargin, d2);
        if (j == NeighbourGrid::npos) continue;
        const Vec along = sub(ca[i + 1], ca[i - 1]);
        const Vec out_dir = minus(sub(ca[i], ca[i - 1]), sub(ca[i + 1], ca[i]));
        const double la = std::sqrt(dot(along, along));
        if (!(la > 1e-9)) continue;
        const Vec e1 = scaled(along, 1.0 / la);
        const Vec o = minus(out_dir, scaled(e1, dot(out_dir, e1)));
        const double lo = std::sqrt(dot(o, o));
        if (!(lo > 1e-9)) continue;
        const Vec e2 = scaled(o, 1.0 / lo);
        const Vec e3 = cross(e1, e2);
        const Vec v = sub(ca[j], ca[i]);
        const double d = std::sqrt(d2);
        if (!(d > 1e-9)) continue;
        const double c[3] = {dot(v, e1) / d, dot(v, e2) / d, dot(v, e3) / d};
        unsigned octant = 0;
        for (int a = 0; a < 3; ++a) octant = octant * 2 + (c[a] > 0.0 ? 1u : 0u);
        const auto letter = static_cast<std::uint8_t>(1 + octant);
        const bool beyond = d > kContactDistance;
        out[k] = beyond ? 0 : letter;
        if (alternates == nullptr) continue;
        const double to_distance_edge = std::abs(d - kContactDistance) / kDistanceMargin;
        int axis = 0;
        for (int a = 1; a < 3; ++a) {
            if (std::abs(c[a]) < std::abs(c[axis])) axis = a;
        }
        const double to_plane_edge = std::abs(c[axis]) / kDirectionMargin;
        if (beyond || to_distance_edge < std::min(1.0, to_plane_edge)) {
            if (to_distance_edge < 1.0) alternates[k] = beyond ? letter : 0;
        } else if (to_plane_edge < 1.0) {
            alternates[k] = static_cast<std::uint8_t>(1 + (octant ^ (4u >> axis)));
        }
    }
}

// Parses a key into `letters` (resized), returning the residue count, or an
// error detail. Reads only key[0 .. key.size()).
Result<std::size_t, std::string> parse_key(std::span<const std::uint8_t> key, std::vector<std::uint8_t>& letters) {
    if (key.empty()) return std::string("empty search key");
    if (key[0] != kSearchKeyVersion) {
        if (key[0] == 1) return std::string("search key of version 1 (shape letters only): rebuild the keys");
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
    if (key.size() - pos != m) {
        return std::string(key.size() - pos < m ? "truncated search key" : "search key has trailing bytes");
    }
    letters.assign(key.begin() + static_cast<std::ptrdiff_t>(pos), key.end());
    for (std::uint8_t l : letters) {
        if ((l >> 4) >= kContextAlphabetSize) return std::string("search key letter out of range");
    }
    return static_cast<std::size_t>(n);
}

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

}  // namespace

std::vector<std::uint8_t> shape_letters(std::span<const Point> ca) {
    const std::size_t m = letter_count(ca.size());
    std::vector<std::uint8_t> letters(m), context(m);
    context_letters(ca, context.data(), nullptr);
    for (std::size_t k = 0; k < m; ++k) {
        letters[k] = static_cast<std::uint8_t>(letter_of(ca[k], ca[k + 1], ca[k + 2], ca[k + 3]) | (context[k] << 4));
    }
    return letters;
}

std::vector<std::uint8_t> search_key(std::span<const Point> ca) {
    if (ca.size() > kMaxKeyResidues) throw InternalError("search_key: chain longer than a key can describe");
    const std::vector<std::uint8_t> letters = shape_letters(ca);
    std::vector<std::uint8_t> key;
    key.reserve(5 + letters.size());
    key.push_back(kSearchKeyVersion);
    std::size_t n = ca.size();
    do {
        std::uint8_t byte = n & 0x7Fu;
        n >>= 7;
        if (n != 0) byte |= 0x80u;
        key.push_back(byte);
    } while (n != 0);
    key.insert(key.end(), letters.begin(), letters.end());
    return key;
}

Result<std::vector<std::uint8_t>> search_key_letters(std::span<const std::uint8_t> key) {
    std::vector<std::uint8_t> letters;
    auto parsed = parse_key(key, letters);
    if (!parsed.ok()) return Error::invalid_parameter("malformed search key: " + parsed.error());
    return letters;
}

namespace {

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
    // The query's unmasked words scaled by sqrt(target words / query words):
    // a longer target has more chances, a shorter one fewer, and a chain
    // against itself scores 1.
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
