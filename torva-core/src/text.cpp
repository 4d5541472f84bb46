// Number formatting and parsing, UTF-8 and file names.
#include "torva/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "torva/error.hpp"

namespace torva {

// ---------------------------------------------------------------------------
// Numbers

std::optional<std::string_view> special_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    return std::nullopt;
}

std::string format_fixed(double value, int decimals) {
    if (const auto special = special_text(value)) return std::string(*special);
    if (decimals < 0) decimals = 0;
    std::string out;
    // The largest double has 309 integer digits; sign, point and decimals come on top.
    out.resize(320 + static_cast<std::size_t>(decimals));
    auto [end, ec] = std::to_chars(out.data(), out.data() + out.size(), value, std::chars_format::fixed, decimals);
    if (ec != std::errc{}) throw InternalError("format_fixed: buffer too small");
    out.resize(static_cast<std::size_t>(end - out.data()));
    return out;
}

std::string format_shortest(double value) {
    if (const auto special = special_text(value)) return std::string(*special);
    std::string out;
    // The fewest significant digits that read back to `value` (as the
    // scientific form gives them), written out without an exponent: beyond 17
    // digits an integral value continues with zeros, not with its exact digits.
    char sci[40];
    const auto [end, ec] = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    if (ec != std::errc{}) throw InternalError("format_shortest: buffer too small");
    std::string_view text(sci, static_cast<std::size_t>(end - sci));
    if (text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') digits.push_back(c);
    }
    std::string_view exponent_text = text.substr(e + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    int exponent = 0;
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
    // The decimal point follows the first `point` digits.
    const long point = static_cast<long>(exponent) + 1;
    const auto n = static_cast<long>(digits.size());
    if (point <= 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits);
    } else if (point >= n) {
        out.append(digits);
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

void append_coordinate(std::string& out, double value, std::size_t width) {
    char buf[340];
    std::size_t n;
    if (const auto special = special_text(value)) {
        n = special->size();
        std::memcpy(buf, special->data(), n);
    } else {
        const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 3);
        if (ec != std::errc{}) throw InternalError("coordinate formatting overflowed its buffer");
        n = static_cast<std::size_t>(end - buf);
    }
    if (n < width) out.append(width - n, ' ');
    out.append(buf, n);
}

std::optional<std::int32_t> parse_int32(std::string_view s) {
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
        if (s.empty() || s.front() == '-') return std::nullopt;
    }
    std::int32_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc{} || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return v;
}

namespace {

// Whether the decimal text (already known to be well formed) is below 1 in
// magnitude, used to tell underflow from overflow.
bool decimal_below_one(std::string_view s) {
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) s.remove_prefix(1);
    std::size_t e = s.find_first_of("eE");
    std::int64_t exponent = 0;
    if (e != std::string_view::npos) {
        std::string_view es = s.substr(e + 1);
        bool neg = false;
        if (!es.empty() && (es.front() == '+' || es.front() == '-')) {
            neg = es.front() == '-';
            es.remove_prefix(1);
        }
        for (char c : es) {
            exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), 1'000'000'000);
        }
        if (neg) exponent = -exponent;
        s = s.substr(0, e);
    }
    // Decimal order of the first non-zero digit.
    const std::size_t point = s.find('.');
    const std::size_t int_digits = point == std::string_view::npos ? s.size() : point;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '.' || s[i] == '0') continue;
        const std::int64_t order =
            i < int_digits ? static_cast<std::int64_t>(int_digits - i) : -static_cast<std::int64_t>(i - int_digits - 1);
        return order + exponent <= 0;
    }
    return true;
}

}  // namespace

std::optional<double> parse_double(std::string_view s) {
    bool plus = false;
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
        plus = true;
    }
    if (s.empty() || (plus && s.front() == '-')) return std::nullopt;
    if (s.find('(') != std::string_view::npos) return std::nullopt;  // no nan(...) payloads
    double v = 0.0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (end != s.data() + s.size()) return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        const bool negative = s.front() == '-';
        const double magnitude = decimal_below_one(s) ? 0.0 : std::numeric_limits<double>::infinity();
        return negative ? -magnitude : magnitude;
    }
    if (ec != std::errc{}) return std::nullopt;
    return v;
}

// ---------------------------------------------------------------------------
// UTF-8

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

char32_t decode_at(std::string_view s, std::size_t& i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        ++i;
        return c;
    }
    const std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    std::uint32_t v = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
    for (std::size_t k = 1; k < len && i + k < s.size(); ++k) {
        v = (v << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    }
    i += len;
    return static_cast<char32_t>(v);
}

std::string lossy_utf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    while (!s.empty()) {
        std::size_t valid = 0;
        bool ascii = true;
        const Utf8 r = check_utf8(s, valid, ascii);
        out.append(s.substr(0, valid));
        if (r == Utf8::Valid) break;
        s.remove_prefix(valid);
        // Skip the lead byte and the continuation bytes that were still acceptable.
        std::size_t skip = 1;
        const auto c = static_cast<unsigned char>(s[0]);
        const LeadByte lead = lead_byte(c);
        while (skip < lead.length && skip < s.size()) {
            const auto b = static_cast<unsigned char>(s[skip]);
            if (skip == 1 ? (b < lead.lo || b > lead.hi) : !is_continuation(b)) break;
            ++skip;
        }
        out.append("\xEF\xBF\xBD");
        s.remove_prefix(skip);
    }
    return out;
}

std::size_t char_count(std::string_view s) {
    std::size_t n = 0;
    for (char c : s) n += !is_continuation(static_cast<unsigned char>(c));
    return n;
}

// ---------------------------------------------------------------------------
// Names

std::optional<std::string> file_stem(std::string_view path) {
    // Last component, ignoring empty and "." components as a path walk does.
    std::string_view name;
    std::size_t end = path.size();
    while (end > 0) {
        const std::size_t slash = path.rfind('/', end - 1);
        const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
        const std::string_view comp = path.substr(begin, end - begin);
        if (!comp.empty() && comp != ".") {
            name = comp;
            break;
        }
        if (slash == std::string_view::npos) break;
        end = slash;
    }
    if (name.empty() || name == "..") return std::nullopt;
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::string(name);
    return std::string(name.substr(0, dot));
}

}  // namespace torva
