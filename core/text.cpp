#include "core/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <system_error>

#include "core/unicode_table.hpp"

namespace sigtap {

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Decodes the well-formed UTF-8 sequence starting at text[i] into `cp` and
// returns its length, or returns 0 when the bytes there do not start one
// (stray continuation byte, overlong form, surrogate, value above U+10FFFF,
// truncated sequence). Only the second byte's range depends on the lead
// byte; checking it up front rejects every ill-formed case without decoding.
std::size_t decode_utf8(std::string_view text, std::size_t i, char32_t& cp) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    std::size_t length;
    unsigned char second_min = 0x80;
    unsigned char second_max = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) second_min = 0xA0;       // overlong below U+0800
        else if (lead == 0xED) second_max = 0x9F;  // surrogates U+D800..U+DFFF
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) second_min = 0x90;       // overlong below U+10000
        else if (lead == 0xF4) second_max = 0x8F;  // above U+10FFFF
    } else {
        return 0;  // continuation byte, C0/C1 overlong lead, or F5..FF
    }
    if (text.size() - i < length) return 0;
    if (byte(i + 1) < second_min || byte(i + 1) > second_max) return 0;
    char32_t value = lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) return 0;
        value = (value << 6) | (b & 0x3F);
    }
    cp = value;
    return length;
}

namespace {

constexpr char32_t replacement_character = 0xFFFD;


void append_unicode_escape(std::string& out, char32_t cp) {
    char hex[8];
    const auto result = std::to_chars(hex, hex + sizeof hex, static_cast<unsigned long>(cp), 16);
    out += "\\u{";
    out.append(hex, result.ptr);
    out += '}';
}

// Short escapes for the characters that are common in real text and have a
// familiar spelling; returns nullptr for everything else.
const char* short_escape(char32_t cp) {
    switch (cp) {
        case 0x00: return "\\0";
        case '\t': return "\\t";
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\\': return "\\\\";
        case '"': return "\\\"";
        default: return nullptr;
    }
}

// Shortest round-trip digits of a finite, non-negative double:
// value = digits[0].digits[1..count) * 10^exponent. The digits never end in
// a zero unless the value is zero itself, since a shorter string would then
// round-trip as well.
struct ShortestDigits {
    char digits[24];
    int count = 0;
    int exponent = 0;
};

ShortestDigits shortest_digits(double magnitude) {
    // Scientific notation keeps the buffer small for every magnitude
    // ("d.dddddddddddddddde-308" at most); fixed notation would need ~330
    // bytes and, for large values, yields the exact binary value's digits
    // instead of the shortest ones.
    char buffer[32];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
    ShortestDigits s;
    const char* p = buffer;
    for (; p != result.ptr && *p != 'e'; ++p) {
        if (*p != '.') s.digits[s.count++] = *p;
    }
    if (p != result.ptr) ++p;                   // 'e'
    if (p != result.ptr && *p == '+') ++p;      // from_chars accepts '-' only
    std::from_chars(p, result.ptr, s.exponent);
    return s;
}

void append_positional(std::string& out, const ShortestDigits& s, bool keep_fraction_digit) {
    const int count = s.count;
    if (s.exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-s.exponent - 1), '0');
        out.append(s.digits, static_cast<std::size_t>(count));
        return;
    }
    const int integer_digits = s.exponent + 1;
    if (count <= integer_digits) {
        out.append(s.digits, static_cast<std::size_t>(count));
        out.append(static_cast<std::size_t>(integer_digits - count), '0');
        if (keep_fraction_digit) out += ".0";
        return;
    }
    out.append(s.digits, static_cast<std::size_t>(integer_digits));
    out += '.';
    out.append(s.digits + integer_digits, static_cast<std::size_t>(count - integer_digits));
}

void append_exponential(std::string& out, const ShortestDigits& s) {
    out += s.digits[0];
    if (s.count > 1) {
        out += '.';
        out.append(s.digits + 1, static_cast<std::size_t>(s.count - 1));
    }
    out += 'e';
    char exponent[8];
    const auto result = std::to_chars(exponent, exponent + sizeof exponent, s.exponent);
    out.append(exponent, result.ptr);
}

// Writes NaN, the sign and infinities, which both numeric forms spell the
// same way; returns true when nothing is left to write.
bool append_sign_or_nonfinite(std::string& out, double v) {
    if (std::isnan(v)) {
        // The sign bit of a NaN carries no meaning for users and differs
        // between platforms' arithmetic, so it is never shown.
        out += "NaN";
        return true;
    }
    if (std::signbit(v)) out += '-';
    if (std::isinf(v)) {
        out += "inf";
        return true;
    }
    return false;
}

}  // namespace

bool needs_unicode_escape(char32_t cp) {
    const auto* begin = std::begin(unicode_table::escape_ranges);
    const auto* end = std::end(unicode_table::escape_ranges);
    // First range starting after cp; only its predecessor can contain cp.
    const auto* after = std::upper_bound(
        begin, end, cp,
        [](char32_t c, const unicode_table::CodePointRange& r) { return c < r.first; });
    return after != begin && cp <= std::prev(after)->last;
}

void append_quoted(std::string& out, std::string_view text) {
    out.reserve(out.size() + text.size() + 2);
    out += '"';
    // Characters written as themselves are copied in runs rather than one
    // at a time; `run` is where the pending verbatim run starts.
    std::size_t run = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead >= 0x20 && lead < 0x7F && lead != '"' && lead != '\\') {
            ++i;
            continue;
        }
        char32_t cp = replacement_character;
        std::size_t length = decode_utf8(text, i, cp);
        const char* escape = nullptr;
        if (length == 0) {
            // Each byte that does not start a well-formed sequence is shown
            // on its own, so decoding resumes at the very next byte.
            length = 1;
            cp = replacement_character;
        } else if ((escape = short_escape(cp)) == nullptr && !needs_unicode_escape(cp)) {
            i += length;
            continue;
        }
        out.append(text.data() + run, i - run);
        if (escape != nullptr) {
            out += escape;
        } else {
            append_unicode_escape(out, cp);
        }
        i += length;
        run = i;
    }
    out.append(text.data() + run, i - run);
    out += '"';
}

std::string quoted(std::string_view text) {
    std::string out;
    append_quoted(out, text);
    return out;
}

void append_decimal(std::string& out, double v) {
    if (append_sign_or_nonfinite(out, v)) return;
    append_positional(out, shortest_digits(std::fabs(v)), false);
}

std::string decimal(double v) {
    std::string out;
    append_decimal(out, v);
    return out;
}

void append_float_value_form(std::string& out, double v) {
    if (append_sign_or_nonfinite(out, v)) return;
    const ShortestDigits s = shortest_digits(std::fabs(v));
    // Positional exactly for 1e-4 <= |v| < 1e16 (and zero): the shortest
    // digits round-trip, so their decimal exponent lies in [-4, 15] exactly
    // when the double itself lies in that interval. This keeps the form in
    // step with Python's repr() of a float.
    if (s.exponent >= -4 && s.exponent < 16) {
        append_positional(out, s, true);
    } else {
        append_exponential(out, s);
    }
}

std::string float_value_form(double v) {
    std::string out;
    append_float_value_form(out, v);
    return out;
}

}  // namespace sigtap
