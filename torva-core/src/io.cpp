#include "torva/io.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace torva {

// ---------------------------------------------------------------------------
// Number formatting

namespace {

// Writes the special values; returns false for finite values.
bool format_special(double value, std::string& out) {
    if (std::isnan(value)) {
        out = "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out = value < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

}  // namespace

std::string format_fixed(double value, int decimals) {
    std::string out;
    if (format_special(value, out)) return out;
    if (decimals < 0) decimals = 0;
    // The largest double has 309 integer digits; sign, point and decimals come on top.
    out.resize(320 + static_cast<std::size_t>(decimals));
    auto [end, ec] = std::to_chars(out.data(), out.data() + out.size(), value, std::chars_format::fixed, decimals);
    if (ec != std::errc{}) throw InternalError("format_fixed: buffer too small");
    out.resize(static_cast<std::size_t>(end - out.data()));
    return out;
}

std::string format_shortest(double value) {
    std::string out;
    if (format_special(value, out)) return out;
    // Shortest round-trip digits in fixed notation: at most 309 integer digits
    // or 324 leading fractional digits (denormals), plus sign and point.
    out.resize(400);
    auto [end, ec] = std::to_chars(out.data(), out.data() + out.size(), value, std::chars_format::fixed);
    if (ec != std::errc{}) throw InternalError("format_shortest: buffer too small");
    out.resize(static_cast<std::size_t>(end - out.data()));
    return out;
}

// ---------------------------------------------------------------------------
// UTF-8

namespace {

void append_utf8(std::string& out, char32_t c) {
    auto u = static_cast<std::uint32_t>(c);
    if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) u = 0xFFFD;  // not a Unicode scalar
    if (u < 0x80) {
        out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (u >> 6)));
        out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else if (u < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (u >> 12)));
        out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (u >> 18)));
        out.push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
}

}  // namespace

std::string to_utf8(std::u32string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t c : text) append_utf8(out, c);
    return out;
}

std::string to_utf8(char32_t c) {
    std::string out;
    append_utf8(out, c);
    return out;
}

// ---------------------------------------------------------------------------
// Domain record

Domain Domain::empty(std::string id, std::optional<char32_t> chain) {
    Domain d;
    d.id = std::move(id);
    d.chain = chain.value_or(U'A');
    return d;
}

Result<Domain> Domain::from_arrays(std::string id, std::span<const Point> coords, std::u32string_view sequence,
                                   std::optional<char32_t> chain) {
    if (coords.size() != sequence.size()) {
        return Error::invalid_parameter("Number of coordinates must match sequence length");
    }
    Domain d = empty(std::move(id), chain);
    d.residues.resize(coords.size());
    for (std::size_t i = 0; i < coords.size(); ++i) {
        Residue& r = d.residues[i];
        r.label = std::to_string(i + 1);
        r.coord = coords[i];
        r.amino_acid = sequence[i];
        r.index = static_cast<std::uint32_t>(i);
    }
    return d;
}

std::u32string Domain::sequence() const {
    std::u32string s;
    s.reserve(residues.size());
    for (const Residue& r : residues) s.push_back(r.amino_acid);
    return s;
}

std::u32string Domain::secondary_structure() const {
    std::u32string s;
    s.reserve(residues.size());
    for (const Residue& r : residues) s.push_back(r.secondary_structure);
    return s;
}

PointSet Domain::coordinates() const {
    PointSet p;
    p.reserve(residues.size());
    for (const Residue& r : residues) p.push_back(r.coord);
    return p;
}

void Domain::set_coordinates(std::span<const Point> points) {
    if (points.size() != residues.size()) {
        throw InternalError("set_coordinates: expected " + std::to_string(residues.size()) + " points, got " +
                            std::to_string(points.size()));
    }
    for (std::size_t i = 0; i < points.size(); ++i) residues[i].coord = points[i];
}

std::array<double, 3> Domain::ss_content() const {
    if (residues.empty()) return {0.0, 0.0, 0.0};
    std::size_t helix = 0, strand = 0, coil = 0;
    for (const Residue& r : residues) {
        switch (r.secondary_structure) {
            case U'G':
            case U'H':
            case U'I': ++helix; break;
            case U'B':
            case U'E': ++strand; break;
            default: ++coil; break;
        }
    }
    const auto n = static_cast<double>(residues.size());
    return {static_cast<double>(helix) / n, static_cast<double>(strand) / n, static_cast<double>(coil) / n};
}

}  // namespace torva
