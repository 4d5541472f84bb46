// The PDB reader: the C-alpha atoms of one chain of the first model.
#include <string>
#include <utility>
#include <vector>

#include "file.hpp"
#include "torva/io.hpp"

namespace torva {

namespace {

// Residue numbers are the same when both parse as integers of equal value;
// when either is not an integer (hybrid-36 numbers, numbers carrying an
// insertion code) the texts are compared.
bool same_residue_number(std::string_view a, std::string_view b) {
    const auto ia = parse_int32(a);
    const auto ib = parse_int32(b);
    if (ia && ib) return *ia == *ib;
    return a == b;
}

}  // namespace

Result<Domain> read_pdb(const std::string& path, std::optional<char32_t> chain) {
    LineReader reader;
    if (Status s = reader.open(path); !s) return s.error();

    std::optional<char32_t> selected;
    if (chain && *chain != U'?') selected = chain;

    std::vector<Residue> residues;
    std::string last_number;  // trimmed number text of the last accepted residue
    char32_t last_insertion = U' ';
    char32_t last_chain = U' ';

    Line line;
    for (;;) {
        const auto next = reader.next(line);
        if (next == LineReader::Next::Failed) return reader.error();
        if (next == LineReader::Next::End) break;
        if (line.size() < 4) continue;
        if (line.size() >= 6 && (line.starts_with("ENDMDL") || line.starts_with("END   "))) {
            if (!residues.empty()) break;
            continue;
        }
        if (!line.starts_with("ATOM") || line.size() < 54 || line.text.substr(12, 4) != " CA ") continue;

        const char32_t c = line.char_at(22).value_or(U' ');
        if (!selected) selected = c;
        if (c != *selected) continue;

        const char32_t alt = line.char_at(17).value_or(U' ');
        if (alt != U' ' && alt != U'A' && alt != U'1' && alt != U'L' && alt != U'O') continue;

        const std::string_view number = trim(line.bytes(23, 26).value_or("0"));
        const char32_t insertion = line.char_at(27).value_or(U' ');
        if (!residues.empty() && c == last_chain && insertion == last_insertion &&
            same_residue_number(number, last_number)) {
            continue;
        }

        double xyz[3];
        static constexpr const char* axis_names[3] = {"X", "Y", "Z"};
        for (std::size_t k = 0; k < 3; ++k) {
            const std::string_view field = trim(line.bytes(31 + 8 * k, 38 + 8 * k).value_or("0.0"));
            const auto v = parse_double(field);
            if (!v) {
                return Error::pdb_parse(std::string("Invalid ") + axis_names[k] + " coordinate in line: " +
                                        std::string(line.text));
            }
            xyz[k] = *v;
        }

        Residue& r = residues.emplace_back();
        r.label.assign(number);
        if (insertion != U' ') append_utf8(r.label, insertion);
        r.coord = {xyz[0], xyz[1], xyz[2]};
        r.amino_acid = one_letter_code(line.bytes(18, 20).value_or("UNK"));
        r.index = static_cast<std::uint32_t>(residues.size() - 1);

        last_number.assign(number);
        last_insertion = insertion;
        last_chain = c;
    }

    if (residues.empty()) {
        return Error::pdb_parse("No C-alpha atoms found in chain '" + (selected ? to_utf8(*selected) : "_") +
                                "' of " + lossy_utf8(path));
    }
    Domain d;
    const auto stem = file_stem(path);
    d.id = stem ? lossy_utf8(*stem) : "unknown";
    d.pdb_file = lossy_utf8(path);
    d.residues = std::move(residues);
    d.chain = *selected;
    return d;
}

}  // namespace torva
