// The DSSP reader: secondary structure and accessibility applied to a domain.
#include <string>
#include <vector>

#include "file.hpp"
#include "torva/io.hpp"

namespace torva {

Status apply_dssp(Domain& domain, const std::string& path) {
    LineReader reader;
    if (Status s = reader.open(path); !s) return s;

    struct Entry {
        std::string label;
        char32_t code;
        double accessibility;
    };
    std::vector<Entry> entries;
    bool in_residues = false;

    Line line;
    for (;;) {
        const auto next = reader.next(line);
        if (next == LineReader::Next::Failed) return reader.error();
        if (next == LineReader::Next::End) break;
        if (!in_residues) {
            if (line.text.find("  #  RESIDUE") != std::string_view::npos) in_residues = true;
            continue;
        }
        if (line.size() <= 16) continue;
        if (line.char_at(14) == U'!') continue;
        const auto c = line.char_at(12);
        if (domain.chain != U'_' && c && *c != U' ' && *c != domain.chain) continue;

        Entry& e = entries.emplace_back();
        e.label.assign(trim(line.bytes(6, 10).value_or("")));
        if (const char32_t ins = line.char_at(11).value_or(U' '); ins != U' ') append_utf8(e.label, ins);
        switch (line.char_at(17).value_or(U'C')) {
            case U'H':
            case U'G':
            case U'I': e.code = U'H'; break;
            case U'E':
            case U'B': e.code = U'E'; break;
            default: e.code = U'C'; break;
        }
        e.accessibility = parse_double(trim(line.bytes(35, 38).value_or("0"))).value_or(0.0);
    }

    // The whole file has been read: only now is the record changed.
    for (const Entry& e : entries) {
        for (Residue& r : domain.residues) {
            if (r.label.size() == e.label.size() && r.label == e.label) {
                r.secondary_structure = e.code;
                r.accessibility = e.accessibility;
                break;
            }
        }
    }
    domain.has_dssp = true;
    return {};
}

}  // namespace torva
