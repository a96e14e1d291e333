// Text forms used to show values inside error messages and representations, and ASCII lower-casing.
//
// All three forms are deterministic and locale independent, so messages are
// reproducible across machines, and the append_* variants write straight
// into a caller's buffer so building a message does not allocate per piece.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sigtap {

/// ASCII-only lower-casing (A-Z), used for schemes and codec names.
std::string ascii_lower(std::string_view s);

/// Appends `text` (UTF-8) as a double-quoted string in which invisible, ambiguous and invalid characters are escaped.
void append_quoted(std::string& out, std::string_view text);
/// Returns `text` in quoted form; see append_quoted.
std::string quoted(std::string_view text);
/// Appends `v` with its shortest round-trip digits in positional notation, never with an exponent.
void append_decimal(std::string& out, double v);
/// Returns `v` in decimal form; see append_decimal.
std::string decimal(double v);
/// Appends `v` as a float literal: positional with a fractional digit for moderate magnitudes, else d.ddde±N.
void append_float_value_form(std::string& out, double v);
/// Returns `v` in value form; see append_float_value_form.
std::string float_value_form(double v);
/// True when the quoted form writes `cp` as a \u{...} escape (controls, whitespace, invisible, private use or unassigned).
bool needs_unicode_escape(char32_t cp);
/// Decodes the well-formed UTF-8 sequence at text[i] (i < text.size()) into
/// `cp` and returns its length, or 0 for ill-formed bytes (stray continuation,
/// overlong form, surrogate, above U+10FFFF, truncated).
std::size_t decode_utf8(std::string_view text, std::size_t i, char32_t& cp);

}  // namespace sigtap
