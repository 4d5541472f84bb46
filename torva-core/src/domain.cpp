// The domain record and the residue name tables.
#include "torva/domain.hpp"

#include <utility>

#include "torva/text.hpp"

namespace torva {

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

// ---------------------------------------------------------------------------
// Residue names

char32_t one_letter_code(std::string_view residue_name) {
    const std::string_view t = trim(residue_name);
    if (t.empty() || t.size() > 3) return U'X';
    char n[3] = {0, 0, 0};
    for (std::size_t i = 0; i < t.size(); ++i) {
        const char c = t[i];
        if (static_cast<unsigned char>(c) >= 0x80) return U'X';
        n[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    const std::string_view u(n, t.size());
    if (u.size() == 1) {
        switch (u[0]) {
            case 'A': return U'A';
            case 'C': return U'C';
            case 'G': return U'G';
            case 'T': return U'T';
            case 'U': return U'U';
            default: return U'X';
        }
    }
    if (u.size() == 2) {
        if (u == "DA") return U'A';
        if (u == "DC") return U'C';
        if (u == "DG") return U'G';
        if (u == "DT") return U'T';
        return U'X';
    }
    struct Entry {
        const char* name;
        char32_t code;
    };
    static constexpr Entry table[] = {
        {"ALA", U'A'}, {"ARG", U'R'}, {"ASN", U'N'}, {"ASP", U'D'}, {"CYS", U'C'}, {"GLN", U'Q'}, {"GLU", U'E'},
        {"GLY", U'G'}, {"HIS", U'H'}, {"ILE", U'I'}, {"LEU", U'L'}, {"LYS", U'K'}, {"MET", U'M'}, {"PHE", U'F'},
        {"PRO", U'P'}, {"SER", U'S'}, {"THR", U'T'}, {"TRP", U'W'}, {"TYR", U'Y'}, {"VAL", U'V'}, {"MSE", U'M'},
        {"SEC", U'U'}, {"PYL", U'O'}, {"ASX", U'B'}, {"GLX", U'Z'}, {"XLE", U'J'}, {"ADE", U'A'}, {"CYT", U'C'},
        {"GUA", U'G'}, {"THY", U'T'}, {"URA", U'U'},
    };
    for (const Entry& e : table) {
        if (u == e.name) return e.code;
    }
    return U'X';
}

std::string_view three_letter_code(char32_t one_letter) {
    static constexpr std::string_view names[26] = {"ALA", "ASX", "CYS", "ASP", "GLU", "PHE", "GLY", "HIS", "ILE",
                                                   "XLE", "LYS", "LEU", "MET", "ASN", "PYL", "PRO", "GLN", "ARG",
                                                   "SER", "THR", "SEC", "VAL", "TRP", "UNK", "TYR", "GLX"};
    char32_t c = one_letter;
    if (c >= U'a' && c <= U'z') c = c - U'a' + U'A';
    if (c >= U'A' && c <= U'Z') return names[c - U'A'];
    return "UNK";
}

}  // namespace torva
