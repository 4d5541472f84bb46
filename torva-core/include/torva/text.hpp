// Text handling shared by the readers, the writers and the binding: number
// formatting and parsing, UTF-8, and the file-name rule for identifiers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace torva {

// ---------------------------------------------------------------------------
// Numbers

// "NaN", "inf" or "-inf" for a value that is not finite; nullopt otherwise.
std::optional<std::string_view> special_text(double value);

// Fixed-point text with `decimals` digits, correctly rounded from the exact
// double; keeps the sign of a negative zero; "NaN", "inf", "-inf".
std::string format_fixed(double value, int decimals);
// The fewest significant digits that read back to `value`, written without an
// exponent (2.0 -> "2", 1e-7 -> "0.0000001", 2^60 -> "1152921504606847000");
// "NaN", "inf", "-inf".
std::string format_shortest(double value);
// Appends format_fixed(value, 3) right-aligned in `width` characters.
void append_coordinate(std::string& out, double value, std::size_t width = 8);

// Signed 32-bit decimal integer with an optional sign, nothing else.
std::optional<std::int32_t> parse_int32(std::string_view s);
// Decimal floating-point number: optional sign, digits with an optional point
// and exponent, or inf / infinity / nan (any case). No blanks, no hex. Out of
// range gives a signed zero or infinity.
std::optional<double> parse_double(std::string_view s);

inline bool is_blank_byte(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Without leading and trailing ASCII blanks.
inline std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank_byte(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank_byte(s.back())) s.remove_suffix(1);
    return s;
}

// ---------------------------------------------------------------------------
// UTF-8

std::string to_utf8(std::u32string_view text);
std::string to_utf8(char32_t c);
// Appends `c`; a value that is no Unicode scalar becomes U+FFFD.
void append_utf8(std::string& out, char32_t c);

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// What a lead byte starts: the sequence's length (0 for a byte that starts
// none) and the range allowed for its second byte, which rules out overlong
// forms, surrogates and values past U+10FFFF.
struct LeadByte {
    std::size_t length = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
};

constexpr LeadByte lead_byte(unsigned char c) {
    LeadByte lead;
    if (c >= 0xC2 && c <= 0xDF) {
        lead.length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        lead.length = 3;
        if (c == 0xE0) lead.lo = 0xA0;
        if (c == 0xED) lead.hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        lead.length = 4;
        if (c == 0xF0) lead.lo = 0x90;
        if (c == 0xF4) lead.hi = 0x8F;
    }
    return lead;
}

enum class Utf8 { Valid, Incomplete, Invalid };

// Strict UTF-8 check (no overlong forms, surrogates or values past U+10FFFF).
// `valid_len` receives the length of the prefix made of complete sequences;
// Incomplete means the text ends inside a sequence that may still be valid.
// Inline: the line reader runs it on every line.
inline Utf8 check_utf8(std::string_view s, std::size_t& valid_len, bool& ascii) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    ascii = true;
    while (i + 8 <= n) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ULL) break;
        i += 8;
    }
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        ascii = false;
        const LeadByte lead = lead_byte(c);
        if (lead.length == 0) {
            valid_len = i;
            return Utf8::Invalid;
        }
        for (std::size_t k = 1; k < lead.length; ++k) {
            if (i + k >= n) {
                valid_len = i;
                return Utf8::Incomplete;
            }
            const unsigned char b = p[i + k];
            if (k == 1 ? (b < lead.lo || b > lead.hi) : !is_continuation(b)) {
                valid_len = i;
                return Utf8::Invalid;
            }
        }
        i += lead.length;
    }
    valid_len = n;
    return Utf8::Valid;
}

// Decodes the scalar starting at s[i] of valid UTF-8 and advances i.
char32_t decode_at(std::string_view s, std::size_t& i);

// Lossy conversion of arbitrary bytes to UTF-8: every maximal invalid
// sequence becomes one U+FFFD.
std::string lossy_utf8(std::string_view s);

// Characters (not bytes) of valid UTF-8.
std::size_t char_count(std::string_view s);

// ---------------------------------------------------------------------------
// Names

// File stem by the reader's identifier rule; nullopt when the path has no file name.
std::optional<std::string> file_stem(std::string_view path);

}  // namespace torva
