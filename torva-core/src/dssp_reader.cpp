// The DSSP readers: secondary structure and accessibility applied to a domain,
// from a file (matched by residue label) or from text checked against the chain.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "file.hpp"
#include "torva/io.hpp"

namespace torva {

namespace {

constexpr std::string_view kResidueHeader = "  #  RESIDUE";

// What one line of the residue table gives.
struct DsspEntry {
    std::string label;  // residue number (columns 6-10) and insertion code (column 11)
    char32_t code = U'C';
    double accessibility = 0.0;
};

// The entry of a residue-table line; nullopt for a line that holds no residue
// (too short, or a chain break "!").
std::optional<DsspEntry> residue_entry(const Line& line, std::size_t length) {
    if (length <= 16 || line.char_at(14) == U'!') return std::nullopt;
    DsspEntry e;
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
    return e;
}

// Characters first..last (1-based, clipped to the line) of a line.
std::string columns(const Line& line, std::size_t first, std::size_t last) {
    std::string out;
    for (std::size_t col = first; col <= last; ++col) {
        const auto c = line.char_at(col);
        if (!c) break;
        append_utf8(out, *c);
    }
    return out;
}

// DSSP writes a bridged cysteine as a lower-case letter (its bridge) and a
// residue it does not know as X.
bool same_amino_acid(char32_t dssp, char32_t chain) {
    if (dssp >= U'a' && dssp <= U'z') dssp = U'C';
    return dssp == chain || dssp == U'X' || chain == U'X';
}

}  // namespace

Status apply_dssp(Domain& domain, const std::string& path) {
    LineReader reader;
    if (Status s = reader.open(path); !s) return s;

    std::vector<DsspEntry> entries;
    bool in_residues = false;

    Line line;
    for (;;) {
        const auto next = reader.next(line);
        if (next == LineReader::Next::Failed) return reader.error();
        if (next == LineReader::Next::End) break;
        if (!in_residues) {
            if (line.text.find(kResidueHeader) != std::string_view::npos) in_residues = true;
            continue;
        }
        if (line.size() <= 16) continue;
        if (line.char_at(14) == U'!') continue;
        const auto c = line.char_at(12);
        if (domain.chain != U'_' && c && *c != U' ' && *c != domain.chain) continue;
        if (auto e = residue_entry(line, line.size())) entries.push_back(std::move(*e));
    }

    // The whole file has been read: only now is the record changed.
    for (const DsspEntry& e : entries) {
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

Status apply_dssp_text(Domain& domain, std::string_view text, std::string_view chain,
                       std::span<const std::string> labels) {
    if (!labels.empty() && labels.size() != domain.size()) {
        return Error::invalid_parameter(std::to_string(labels.size()) + " residue labels for " +
                                        std::to_string(domain.size()) + " residues");
    }
    std::size_t valid = 0;
    bool ascii = true;
    if (check_utf8(text, valid, ascii) != Utf8::Valid) return Error::dssp_parse("not a DSSP file (not UTF-8 text)");

    // Each label's residues, in order: a label the chain holds twice takes them in turn.
    struct Slots {
        std::vector<std::size_t> at;
        std::size_t used = 0;
    };
    std::unordered_map<std::string_view, Slots> by_label;
    for (std::size_t i = 0; i < domain.size(); ++i) {
        by_label[labels.empty() ? std::string_view(domain.residues[i].label) : std::string_view(labels[i])].at.push_back(i);
    }
    std::size_t first = 0;
    const char32_t chain_letter = chain.empty() ? U' ' : decode_at(chain, first);
    const std::string_view chain_id = trim(chain);

    std::vector<std::pair<std::size_t, DsspEntry>> found;
    bool in_residues = false;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view row = text.substr(pos, end - pos);
        pos = end + 1;
        if (!row.empty() && row.back() == '\r') row.remove_suffix(1);
        Line line{row, true};
        std::size_t n = 0;
        (void)check_utf8(row, n, line.ascii);
        if (!in_residues) {
            in_residues = row.find(kResidueHeader) != std::string_view::npos;
            continue;
        }
        const std::size_t length = line.ascii ? row.size() : char_count(row);
        auto entry = residue_entry(line, length);
        if (!entry) continue;
        const char32_t line_chain = line.char_at(12).value_or(U' ');
        if (line_chain != U' ' && line_chain != chain_letter) continue;
        // Newer DSSP writes the full chain id at columns 160-163; honour it when present.
        if (length >= 163) {
            const std::string full = columns(line, 160, 163);
            if (const std::string_view id = trim(full); !id.empty() && id != chain_id) continue;
        }
        // The label as the file writes it (characters, not bytes).
        const std::string label = std::string(trim(columns(line, 6, 10))) + std::string(trim(columns(line, 11, 11)));
        const char32_t dssp_aa = line.char_at(14).value_or(U' ');
        auto slot = by_label.find(label);
        if (slot == by_label.end() || slot->second.used >= slot->second.at.size()) {
            return Error::dssp_parse("DSSP file of another structure: its residue " + label + " (" + to_utf8(dssp_aa) +
                                     ") is not in chain " + std::string(chain));
        }
        const std::size_t residue = slot->second.at[slot->second.used++];
        const char32_t chain_aa = domain.residues[residue].amino_acid;
        if (!same_amino_acid(dssp_aa, chain_aa)) {
            return Error::dssp_parse("DSSP file of another structure: residue " + label + " is " + to_utf8(dssp_aa) +
                                     " there, " + to_utf8(chain_aa) + " in chain " + std::string(chain));
        }
        found.emplace_back(residue, std::move(*entry));
    }
    if (!in_residues) return Error::dssp_parse("not a DSSP file (no residue table header)");
    if (found.empty()) {
        return Error::dssp_parse("DSSP file of another structure: no residue of chain " + std::string(chain));
    }

    // Everything checked: only now is the record changed.
    for (const auto& [residue, e] : found) {
        domain.residues[residue].secondary_structure = e.code;
        domain.residues[residue].accessibility = e.accessibility;
    }
    domain.has_dssp = true;
    return {};
}

}  // namespace torva
