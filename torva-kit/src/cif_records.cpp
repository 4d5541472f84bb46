// mmCIF text checks: the atom_site loop's rows, checked and (when asked) thinned to the
// C-alpha atoms, in one pass over the CIF tokens.
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

#include "records.hpp"

namespace torva_kit::records {

namespace {

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

}  // namespace

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

}  // namespace torva_kit::records
