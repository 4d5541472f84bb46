// The kit's checks of structure text (internal to dovelkit._core): PDB records (records.cpp)
// and mmCIF atom_site rows (cif_records.cpp); records.cpp binds both.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace torva_kit::records {

// A field as shown in a message: printable ASCII as is, other bytes as \xNN.
std::string show(std::string_view field);

// A coordinate bound as shown in a message: no trailing zeros.
std::string shown_bound(double bound);

// What scan_cif found: the first bad coordinate's line (0 when none) and why; with ca_only and
// an atom_site loop, the text with only its C-alpha rows.
struct CifScan {
    std::int64_t bad_line = 0;
    std::string problem;
    bool thinned = false;
    std::string kept;
};

CifScan scan_cif(std::string_view text, double max_coordinate, bool ca_only);

}  // namespace torva_kit::records
