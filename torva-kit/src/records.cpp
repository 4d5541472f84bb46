// PDB text checks that gemmi's reader leaves to its caller, in one pass over the file.
//
// A coordinate whose magnitude reaches the caller's bound (max_coordinate) is refused with its
// line too: eight columns hold 99999999, far beyond any structure.
//
// gemmi reads a coordinate field it cannot parse as 0.0, and files every atom line of a chain
// under the first residue with the same number, name and segment, however far back: a chain
// whose numbering starts again loses residues. scan_pdb finds the first atom record whose
// coordinates are not numbers, tells the legacy layout (entry id and line number in columns
// 73-80) and, when asked, gives the text back with the segment columns (73-76) of every repeated
// run of residue numbers marked "~N", so that each run reads as residues of its own.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <optional>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "kit.hpp"

namespace nb = nanobind;

namespace torva_kit {

namespace {

constexpr std::size_t kSegment = 72;  // columns 73-76
constexpr std::size_t kLineNumber = 76;  // columns 77-80 of the legacy layout

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool upper_equals(std::string_view line, std::string_view word) {
    if (line.size() < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if ((line[i] & ~0x20) != word[i]) return false;
    return true;
}

// The records gemmi takes for atoms: ATOM (any 4 characters case-blind, as in "ATOM1" of files
// with six-digit serials) and HETATM.
bool is_atom_record(std::string_view line) { return upper_equals(line, "ATOM") || upper_equals(line, "HETATM"); }

// An 8-column coordinate: blanks, an optional sign, digits with at most one decimal point.
bool is_number_field(std::string_view f) {
    std::size_t i = 0;
    while (i < f.size() && f[i] == ' ') ++i;
    if (i < f.size() && (f[i] == '-' || f[i] == '+')) ++i;
    int digits = 0, points = 0;
    for (; i < f.size(); ++i) {
        if (is_digit(f[i]))
            ++digits;
        else if (f[i] == '.' && points == 0)
            ++points;
        else
            return false;
    }
    return digits > 0;
}

// Columns 73-80 hold a four-character entry id and a line number (digits, right-justified):
// never the case for the element and charge columns of the current layout.
bool is_legacy_layout(std::string_view line) {
    if (line.size() < 80) return false;
    std::string_view id = line.substr(kSegment, 4), number = line.substr(kLineNumber, 4);
    if (id.find_first_not_of(' ') == std::string_view::npos) return false;
    std::size_t i = number.find_first_not_of(' ');
    if (i == std::string_view::npos) return false;
    for (; i < number.size(); ++i)
        if (!is_digit(number[i])) return false;
    return true;
}

std::string_view trimmed(std::string_view field) {
    std::size_t first = field.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return field.substr(first, field.find_last_not_of(' ') - first + 1);
}

std::string show(std::string_view field) {
    std::string out;
    for (char c : field) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f) {
            out += c;
        } else {
            static const char* hex = "0123456789abcdef";
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

// What gemmi compares to tell residues apart: name, chain, number and insertion code (columns
// 18-27) and segment (columns 73-76; blank when the layout is legacy or the line shorter).
struct Key {
    std::uint64_t a = 0, b = 0;
    bool operator==(const Key&) const = default;
};

struct KeyHash {
    std::size_t operator()(const Key& k) const noexcept { return std::hash<std::uint64_t>{}(k.a * 0x9e3779b97f4a7c15ULL ^ k.b); }
};

Key key_of(std::string_view line, bool legacy) {
    char c[16];
    std::memset(c, ' ', sizeof c);
    std::memcpy(c, line.data() + 17, 10);  // the caller checked the line has 54 columns
    if (!legacy && line.size() >= kSegment + 4) std::memcpy(c + 10, line.data() + kSegment, 4);
    Key k;
    std::memcpy(&k.a, c, 8);
    std::memcpy(&k.b, c + 8, 8);
    return k;
}

struct Scan {
    std::int64_t bad_line = 0;  // 1-based; 0 when every atom record reads
    std::string problem;
    bool legacy = false;
    bool restarts = false;
    std::string marked;  // the text with restarted runs marked (only when asked and found)
};

// The value of a field is_number_field accepted (at most 8 characters).
double field_value(std::string_view field) {
    char buf[16] = {};
    const std::string_view t = trimmed(field);
    std::memcpy(buf, t.data(), std::min(t.size(), sizeof buf - 1));
    return std::strtod(buf, nullptr);
}

std::string shown_bound(double bound) {
    std::string s = std::to_string(bound);
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0') s.pop_back();
        if (s.back() == '.') s.pop_back();
    }
    return s;
}

Scan scan(std::string_view text, bool mark, double max_coordinate) {
    Scan out;
    bool layout_known = false;
    // The residues of the current chain block: gemmi starts a new chain whenever the chain id
    // changes from one atom record to the next, and at MODEL / ENDMDL.
    std::string block_chain;
    bool in_block = false;
    Key last_key;
    std::unordered_set<Key, KeyHash> seen;
    int run = 0;
    std::size_t copied = 0;  // text up to here is already in `marked`
    std::int64_t line_no = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (end == std::string_view::npos) end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ++line_no;
        if (is_atom_record(line)) {
            if (!layout_known) {
                out.legacy = is_legacy_layout(line);
                layout_known = true;
            }
            if (line.size() < 54) {
                out.bad_line = line_no;
                out.problem = "atom record cut short (" + std::to_string(line.size()) + " columns)";
                return out;
            }
            for (int k = 0; k < 3; ++k) {
                std::string_view field(line.data() + 30 + 8 * k, 8);
                if (!is_number_field(field)) {
                    out.bad_line = line_no;
                    const char* axis = k == 0 ? "x" : k == 1 ? "y" : "z";
                    out.problem = field.find_first_not_of(' ') == std::string_view::npos
                                      ? std::string("blank ") + axis + " coordinate"
                                      : std::string(axis) + " coordinate '" + show(trimmed(field)) + "' is not a number";
                    return out;
                }
                if (!(std::fabs(field_value(field)) < max_coordinate)) {
                    out.bad_line = line_no;
                    const char* axis = k == 0 ? "x" : k == 1 ? "y" : "z";
                    out.problem = std::string(axis) + " coordinate " + std::string(trimmed(field)) +
                                  " is out of range (coordinates must lie within +-" + shown_bound(max_coordinate) +
                                  " A)";
                    return out;
                }
            }
            // Residue identity as gemmi compares it: name, chain, number, insertion code, segment.
            std::string_view chain(line.data() + 20, 2);
            if (!in_block || chain != block_chain) {
                in_block = true;
                block_chain = std::string(chain);
                seen.clear();
                last_key = Key{};
                run = 0;
            }
            Key key = key_of(line, out.legacy);
            if (!(key == last_key)) {
                if (!seen.insert(key).second) {
                    out.restarts = true;
                    if (!mark) return out;
                    ++run;
                    seen.clear();
                    seen.insert(key);
                }
                last_key = key;
            }
            // Marked text drops the legacy columns 77-80 of every atom record (read as charges).
            if (mark && (run > 0 || out.legacy)) {
                out.marked.append(text.substr(copied, pos - copied));
                std::string_view head = line.substr(0, std::min(line.size(), kSegment));
                out.marked.append(head);
                out.marked.append(kSegment - head.size(), ' ');
                std::string tag = run > 0 ? "~" + std::to_string(run % 1000) : "";
                tag.resize(4, ' ');
                out.marked.append(tag);
                if (!out.legacy && line.size() > kLineNumber) out.marked.append(line.substr(kLineNumber));
                out.marked.push_back('\n');
                copied = next;
            }
        } else if (upper_equals(line, "MODEL") || upper_equals(line, "ENDMDL")) {
            in_block = false;
        }
        pos = next;
    }
    if (mark && out.restarts) out.marked.append(text.substr(copied));
    return out;
}

// ---- mmCIF: the atom_site loop's rows, checked and (when asked) thinned to the C-alpha atoms.

struct Token {
    std::size_t begin = 0, end = 0;            // the value (quotes and semicolons left out)
    std::size_t span_begin = 0, span_end = 0;  // the text it takes
    std::int64_t line = 0;
    bool quoted = false;
    std::string_view value(std::string_view text) const { return text.substr(begin, end - begin); }
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The CIF tokens of a text in turn: bare words, quoted strings, text fields between lines that
// start with ';', comments skipped.
class Tokens {
public:
    explicit Tokens(std::string_view text) : text_(text) {}

    bool next(Token& tok) {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == '\n') {
                ++line_;
                ++pos_;
            } else if (is_blank(c)) {
                ++pos_;
            } else if (c == '#') {
                const std::size_t eol = text_.find('\n', pos_);
                pos_ = eol == std::string_view::npos ? text_.size() : eol;
            } else if (c == ';' && (pos_ == 0 || text_[pos_ - 1] == '\n')) {
                std::size_t close = text_.find("\n;", pos_);
                if (close == std::string_view::npos) close = text_.size();
                tok = Token{pos_ + 1, close, pos_, std::min(text_.size(), close + 2), line_, true};
                line_ += static_cast<std::int64_t>(std::count(text_.begin() + static_cast<std::ptrdiff_t>(pos_),
                                                              text_.begin() + static_cast<std::ptrdiff_t>(tok.span_end), '\n'));
                pos_ = tok.span_end;
                return true;
            } else if (c == '\'' || c == '"') {
                std::size_t close = pos_ + 1;
                while (close < text_.size() && text_[close] != '\n' &&
                       !(text_[close] == c && (close + 1 == text_.size() || is_blank(text_[close + 1]))))
                    ++close;
                if (close < text_.size() && text_[close] == c) {
                    tok = Token{pos_ + 1, close, pos_, close + 1, line_, true};
                } else {  // no closing quote on the line: the parser will say so
                    tok = Token{pos_, close, pos_, close, line_, false};
                }
                pos_ = tok.span_end;
                return true;
            } else {
                std::size_t end = pos_;
                while (end < text_.size() && !is_blank(text_[end])) ++end;
                tok = Token{pos_, end, pos_, end, line_, false};
                pos_ = end;
                return true;
            }
        }
        return false;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    std::int64_t line_ = 1;
};

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    return true;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// A coordinate value: a number (a standard uncertainty in brackets after it allowed).
bool read_number(std::string_view v, double& out) {
    char buf[64] = {};
    if (v.empty() || v.size() >= sizeof buf) return false;
    std::memcpy(buf, v.data(), v.size());
    char* end = nullptr;
    out = std::strtod(buf, &end);
    if (end == buf) return false;
    return *end == '\0' || *end == '(';
}

struct CifScan {
    std::int64_t bad_line = 0;
    std::string problem;
    bool thinned = false;
    std::string kept;
};

CifScan scan_cif(std::string_view text, double max_coordinate, bool ca_only) {
    CifScan out;
    Tokens tokens(text);
    Token tok;
    enum { kOutside, kTags, kRows } state = kOutside;
    std::vector<std::string> tags;
    std::vector<Token> row;
    bool atoms = false;
    int col_x = -1, col_y = -1, col_z = -1, col_id = -1, col_name = -1, col_auth_name = -1, col_comp = -1, col_seq = -1;
    std::size_t copied = 0;

    auto column = [&](std::string_view name) {
        for (std::size_t i = 0; i < tags.size(); ++i)
            if (tags[i] == name) return static_cast<int>(i);
        return -1;
    };
    auto value = [&](int col) { return col < 0 ? std::string_view("?") : row[static_cast<std::size_t>(col)].value(text); };
    auto end_rows = [&]() {
        if (state == kRows && atoms && ca_only && !row.empty()) {  // a cut row: left for the parser to refuse
            out.kept.append(text.substr(row.front().span_begin, row.back().span_end - row.front().span_begin));
            copied = row.back().span_end;
        }
        row.clear();
    };
    // Checks one row of the atom_site loop; false when it is refused.
    auto check_row = [&]() {
        const int cols[3] = {col_x, col_y, col_z};
        const char* axes[3] = {"x", "y", "z"};
        for (int k = 0; k < 3; ++k) {
            if (cols[k] < 0) continue;
            const Token& t = row[static_cast<std::size_t>(cols[k])];
            double v = 0.0;
            const bool number = !t.quoted && read_number(t.value(text), v) && std::isfinite(v);
            if (number && std::fabs(v) < max_coordinate) continue;
            out.bad_line = t.line;
            const std::string seq(value(col_seq));
            std::string what = "coordinates of atom " + show(value(col_id)) + " (" + show(value(col_name)) + " of " +
                               show(value(col_comp)) + " " + show(seq) + ")";
            out.problem = number ? what + " are out of range (coordinates must lie within +-" +
                                       shown_bound(max_coordinate) + " A): " + axes[k] + " = " + show(t.value(text))
                                 : what + " are not finite numbers (" + axes[k] + " = '" + show(t.value(text)) + "')";
            return false;
        }
        return true;
    };

    while (tokens.next(tok)) {
        const std::string_view v = tok.value(text);
        const bool keyword = !tok.quoted && (starts_with_nocase(v, "data_") || starts_with_nocase(v, "save_") ||
                                             starts_with_nocase(v, "global_") || starts_with_nocase(v, "stop_"));
        if (!tok.quoted && v.size() == 5 && starts_with_nocase(v, "loop_")) {
            end_rows();
            state = kTags;
            tags.clear();
            continue;
        }
        if (!tok.quoted && !v.empty() && v[0] == '_') {
            if (state == kTags) {
                tags.push_back(lower(v));
                continue;
            }
            end_rows();
            state = kOutside;
            continue;
        }
        if (keyword) {
            end_rows();
            state = kOutside;
            continue;
        }
        if (state == kTags) {  // the loop's first value: its rows begin
            state = kRows;
            atoms = !tags.empty() && std::all_of(tags.begin(), tags.end(), [](const std::string& t) {
                return t.rfind("_atom_site.", 0) == 0;
            });
            col_x = column("_atom_site.cartn_x");
            col_y = column("_atom_site.cartn_y");
            col_z = column("_atom_site.cartn_z");
            col_id = column("_atom_site.id");
            col_name = column("_atom_site.label_atom_id");
            col_auth_name = column("_atom_site.auth_atom_id");
            if (col_name < 0) col_name = col_auth_name;
            col_comp = column("_atom_site.label_comp_id");
            if (col_comp < 0) col_comp = column("_atom_site.auth_comp_id");
            col_seq = column("_atom_site.auth_seq_id");
            if (col_seq < 0) col_seq = column("_atom_site.label_seq_id");
            if (atoms && ca_only) {
                out.thinned = true;
                out.kept.append(text.substr(copied, tok.span_begin - copied));
                copied = tok.span_begin;
            }
        }
        if (state != kRows) continue;
        row.push_back(tok);
        if (row.size() < tags.size()) continue;
        if (atoms) {
            if (!check_row()) return out;
            if (ca_only) {
                const bool ca = value(col_name) == "CA" || (col_auth_name >= 0 && value(col_auth_name) == "CA");
                if (ca) {
                    out.kept.append(text.substr(row.front().span_begin, row.back().span_end - row.front().span_begin));
                    out.kept.push_back('\n');
                }
                copied = row.back().span_end;
            }
        }
        row.clear();
    }
    end_rows();
    if (out.thinned) out.kept.append(text.substr(copied));
    return out;
}

// PDB text with only the atom records of C-alpha atoms (and no ANISOU, SIGATM, SIGUIJ or CONECT
// records, which refer to atoms by serial number): all that the chains are read from.
std::string pdb_ca_only(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 6);
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        std::string_view line(text.data() + pos, next - pos);
        bool keep = true;
        if (is_atom_record(line))
            keep = line.size() >= 16 && trimmed(line.substr(12, 4)) == "CA";
        else if (upper_equals(line, "ANISOU") || upper_equals(line, "SIGATM") || upper_equals(line, "SIGUIJ") ||
                 upper_equals(line, "CONECT"))
            keep = false;
        if (keep) out.append(line);
        pos = next;
    }
    return out;
}

}  // namespace

void bind_records(nb::module_& m) {
    m.def(
        "scan_pdb",
        [](nb::bytes data, bool mark_restarts, double max_coordinate) {
            std::string_view text(data.c_str(), data.size());
            Scan s;
            {
                nb::gil_scoped_release release;
                s = scan(text, mark_restarts, max_coordinate);
            }
            std::optional<nb::bytes> marked;
            if (mark_restarts && s.restarts) marked = nb::bytes(s.marked.data(), s.marked.size());
            return std::make_tuple(s.bad_line, s.problem, s.legacy, s.restarts, marked);
        },
        nb::arg("data"), nb::arg("mark_restarts") = false, nb::arg("max_coordinate") = HUGE_VAL,
        "Check the atom records of PDB text: (bad_line, problem, legacy_layout, restarts, marked_text).\n\n"
        "bad_line is the 1-based line of the first atom record whose coordinates are not numbers, or whose\n"
        "magnitude reaches max_coordinate (0 when none); legacy_layout tells an entry id and line number in columns 73-80; restarts tells a chain\n"
        "whose residue numbering starts again. With mark_restarts, marked_text is the text with the\n"
        "segment columns of each repeated run set to '~N' (None when nothing repeats).");
    m.def(
        "scan_cif",
        [](nb::bytes data, double max_coordinate, bool ca_only) {
            std::string_view text(data.c_str(), data.size());
            CifScan s;
            {
                nb::gil_scoped_release release;
                s = scan_cif(text, max_coordinate, ca_only);
            }
            std::optional<nb::bytes> kept;
            if (s.thinned && !s.bad_line) kept = nb::bytes(s.kept.data(), s.kept.size());
            return std::make_tuple(s.bad_line, s.problem, kept);
        },
        nb::arg("data"), nb::arg("max_coordinate"), nb::arg("ca_only") = false,
        "Check the atom_site rows of mmCIF text: (bad_line, problem, kept_text).\n\n"
        "bad_line is the 1-based line of the first coordinate that is not a finite number or whose\n"
        "magnitude reaches max_coordinate (0 when none). With ca_only, kept_text is the text with only\n"
        "the rows of atoms named CA left in the atom_site loops (None when it has no such loop).");
    m.def(
        "pdb_ca_only",
        [](nb::bytes data) {
            std::string_view text(data.c_str(), data.size());
            std::string out;
            {
                nb::gil_scoped_release release;
                out = pdb_ca_only(text);
            }
            return nb::bytes(out.data(), out.size());
        },
        nb::arg("data"),
        "PDB text with only the atom records of atoms named CA, and without the records that refer to\n"
        "atoms by serial number (ANISOU, SIGATM, SIGUIJ, CONECT).");
}

}  // namespace torva_kit
