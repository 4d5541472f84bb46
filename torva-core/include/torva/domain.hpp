// The domain record: one chain's residues, one C-alpha point each, with what
// the readers attach to them; and the residue name tables.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "torva/error.hpp"
#include "torva/math.hpp"

namespace torva {

struct Residue {
    std::string label;            // residue number text (+ insertion code), or "1", "2", ... from arrays
    Point coord{0.0, 0.0, 0.0};   // C-alpha x, y, z
    double accessibility = 0.0;
    char32_t amino_acid = U'X';   // one-letter code, as given (Unicode scalar)
    char32_t secondary_structure = U'C';
    std::uint32_t index = 0;
};

struct Domain {
    std::string id;
    std::string pdb_file;  // empty when not read from a file
    std::vector<Residue> residues;
    char32_t chain = U'A';
    bool has_dssp = false;

    static Domain empty(std::string id, std::optional<char32_t> chain = std::nullopt);
    // Fails with InvalidParameter when the sizes differ.
    static Result<Domain> from_arrays(std::string id, std::span<const Point> coords, std::u32string_view sequence,
                                      std::optional<char32_t> chain = std::nullopt);

    std::size_t size() const { return residues.size(); }
    std::u32string sequence() const;
    std::u32string secondary_structure() const;
    PointSet coordinates() const;
    // Precondition: points.size() == size() (InternalError otherwise).
    void set_coordinates(std::span<const Point> points);
    // (helix, strand, coil) fractions; G/H/I helix, B/E strand, anything else coil.
    std::array<double, 3> ss_content() const;
};

char32_t one_letter_code(std::string_view residue_name);
// Three-letter name written for a one-letter code (UNK outside A-Z).
std::string_view three_letter_code(char32_t one_letter);

}  // namespace torva
