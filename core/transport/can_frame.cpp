// CAN frame checks, acceptance filters and the filter-list number reader.
#include "core/transport/can_frame.hpp"

#include <string>

#include "core/text.hpp"

namespace sigtap::can_frame {
namespace {

constexpr std::uint32_t kStandardMax = 0x7FF;
constexpr std::uint32_t kExtendedMax = 0x1FFFFFFF;


std::string_view trim_white_space(std::string_view text) {
  for (;;) {
    char32_t cp = 0;
    std::size_t n = text.empty() ? 0 : decode_utf8(text, 0, cp);
    if (n == 0 || !is_white_space(cp)) break;
    text.remove_prefix(n);
  }
  for (;;) {
    std::size_t trimmed = 0;
    for (std::size_t n = 1; n <= 3 && n <= text.size(); ++n) {
      char32_t cp = 0;
      if (decode_utf8(text, text.size() - n, cp) == n && is_white_space(cp)) {
        trimmed = n;
        break;
      }
    }
    if (trimmed == 0) break;
    text.remove_suffix(trimmed);
  }
  return text;
}

int digit_value(char c, unsigned base) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
  return v >= 0 && static_cast<unsigned>(v) < base ? v : -1;
}

void append_hex(std::string& out, std::uint32_t v) {
  char buf[8];
  int n = 0;
  do {
    buf[n++] = "0123456789ABCDEF"[v & 0xF];
    v >>= 4;
  } while (v != 0);
  while (n > 0) out += buf[--n];
}

}  // namespace

bool is_white_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

Result<std::uint32_t> parse_u32(std::string_view text) {
  const std::string_view trimmed = trim_white_space(text);
  std::string_view digits = trimmed;
  unsigned base = 10;
  if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
    base = 16;
  }
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  bool ok = !digits.empty();
  std::uint64_t value = 0;
  for (char c : digits) {
    const int d = digit_value(c, base);
    if (d < 0) {
      ok = false;
      break;
    }
    value = value * base + static_cast<unsigned>(d);
    if (value > 0xFFFFFFFFu) {
      ok = false;
      break;
    }
  }
  if (!ok) {
    std::string msg = "filter: ";
    append_quoted(msg, trimmed);
    msg += " is not a number";
    return Error::config(std::move(msg));
  }
  return static_cast<std::uint32_t>(value);
}

Result<std::vector<Filter>> Filter::parse_list(std::string_view text) {
  std::vector<Filter> filters;
  while (!text.empty()) {
    const auto comma = text.find(',');
    std::string_view piece = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    if (piece.empty()) continue;
    std::string_view mask_text;
    if (const auto colon = piece.find(':'); colon != std::string_view::npos) {
      mask_text = piece.substr(colon + 1);
      piece = piece.substr(0, colon);
    }
    Filter f;
    SIGTAP_ASSIGN_OR_RETURN(f.id, parse_u32(piece));
    // The identifier alone decides the frame format, even with a mask given.
    f.extended = f.id > kStandardMax;
    if (mask_text.empty()) {
      f.mask = f.extended ? kExtendedMax : kStandardMax;
    } else {
      SIGTAP_ASSIGN_OR_RETURN(f.mask, parse_u32(mask_text));
    }
    filters.push_back(f);
  }
  return filters;
}

Status check_frame(const CanHeader& header, std::size_t len) {
  const std::uint32_t max = header.extended ? kExtendedMax : kStandardMax;
  if (header.id > max) {
    std::string msg = "identifier 0x";
    append_hex(msg, header.id);
    msg += header.extended ? " exceeds the 29-bit maximum 0x" : " exceeds the 11-bit maximum 0x";
    append_hex(msg, max);
    return Error::invalid_packet(std::move(msg));
  }
  if (len <= 8) {
    if (header.brs && !header.fd) return Error::invalid_packet("bit rate switch needs a CAN FD frame");
    return {};
  }
  switch (len) {
    case 12: case 16: case 20: case 24: case 32: case 48: case 64: return {};
    default:
      return Error::invalid_packet(std::to_string(len) +
                                   " bytes is not a CAN FD length (0-8, 12, 16, 20, 24, 32, 48, 64)");
  }
}

}  // namespace sigtap::can_frame
