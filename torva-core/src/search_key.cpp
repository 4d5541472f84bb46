#include "torva/search_key.hpp"

#include "search_key_letters.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <string>
#include <unordered_map>

namespace torva {

namespace keys {

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

std::uint8_t letter_of(const Point& a, const Point& b, const Point& c, const Point& d, std::uint8_t* alternate) {
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
            if (in_range(ca[i])) entries_.push_back({key_of(cell_of(ca[i])), static_cast<std::uint32_t>(i)});
        }
        std::sort(entries_.begin(), entries_.end(),
                  [](const Entry& a, const Entry& b) { return a.key < b.key || (a.key == b.key && a.index < b.index); });
    }

    // The nearest point to ca[i] at least `min_sep` away along the chain and
    // within the cutoff (squared distance returned), or npos.
    std::size_t nearest(std::size_t i, std::size_t min_sep, double cutoff, double& best_d2) const {
        best_d2 = cutoff * cutoff;
        std::size_t best = npos;
        if (!in_range(ca_[i])) return best;  // in no cell: its cell number would not fit
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
    // The points the grid holds: finite and within 1e6 A of the origin on every axis.
    static bool in_range(const Point& p) {
        return finite_point(p) && std::abs(p[0]) < 1e6 && std::abs(p[1]) < 1e6 && std::abs(p[2]) < 1e6;
    }
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
}  // namespace keys

using keys::context_letters;
using keys::letter_count;
using keys::letter_of;
using keys::parse_key;

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

}  // namespace torva
