// Shortest digits by exact integer arithmetic: the float and its rounding
// interval scaled by one power of ten, each as a whole part and an exact
// fraction; then at most two digit counts to look at (for a power of two,
// one count after another from one digit up). No tolerance, no retry.
#include "core/sbf/float_digits.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace sigtap::sbf {
namespace {

using U128 = unsigned __int128;

// 5^j up to j = 43: with a mantissa m below 2^24, 4 m 5^43 stays below 2^126.
constexpr int kMaxPow5 = 43;
constexpr std::array<U128, kMaxPow5 + 1> kPow5 = [] {
  std::array<U128, kMaxPow5 + 1> table{};
  U128 p = 1;
  for (U128& x : table) {
    x = p;
    p *= 5;
  }
  return table;
}();

// 10^i up to i = 30: floats stay below 10^39, so one from 2^30 on is scaled
// down by at most 10^30 (below 2^100).
constexpr std::array<U128, 31> kPow10Wide = [] {
  std::array<U128, 31> table{};
  U128 p = 1;
  for (U128& x : table) {
    x = p;
    p *= 10;
  }
  return table;
}();

// Powers of ten that a double holds exactly.
constexpr std::array<double, 23> kPow10 = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                           1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// whole + frac / den, with 0 <= frac < den; every quantity of one float
// shares the same den.
struct Fixed {
  std::uint64_t whole = 0;
  U128 frac = 0;
};

bool less(const Fixed& a, const Fixed& b) { return a.whole < b.whole || (a.whole == b.whole && a.frac < b.frac); }
bool same(const Fixed& a, const Fixed& b) { return a.whole == b.whole && a.frac == b.frac; }

Fixed split(U128 numerator, U128 den) {
  return {static_cast<std::uint64_t>(numerator / den), numerator % den};
}
Fixed split_pow2(U128 numerator, int shift) {
  return {static_cast<std::uint64_t>(numerator >> shift), numerator & ((U128{1} << shift) - 1)};
}

// |f| * 10^j, and the two half gaps to its neighbours, scaled alike.
struct Scaled {
  Fixed x;      // in [1e8, 1e10)
  Fixed above;  // half the gap to the next float up
  Fixed below;  // half the gap to the float below: a quarter of it for a power of two
  U128 den = 1;
};

// w / 10^s and w % 10^s, each case a division by a constant (a multiply).
std::uint64_t divide(std::uint64_t w, int s, std::uint64_t& rest) {
  std::uint64_t q = 0;
  switch (s) {
    case 0: q = w; break;
    case 1: q = w / 10; break;
    case 2: q = w / 100; break;
    case 3: q = w / 1'000; break;
    case 4: q = w / 10'000; break;
    case 5: q = w / 100'000; break;
    case 6: q = w / 1'000'000; break;
    case 7: q = w / 10'000'000; break;
    case 8: q = w / 100'000'000; break;
    default: q = w / 1'000'000'000; break;
  }
  rest = w - q * static_cast<std::uint64_t>(kPow10[s]);
  return q;
}

// The distance from x up to the next multiple of 10^s, where rest is x's
// whole part modulo 10^s.
Fixed distance_up(const Scaled& v, std::uint64_t rest, int s) {
  const auto step = static_cast<std::uint64_t>(kPow10[s]);
  return v.x.frac == 0 ? Fixed{step - rest, 0} : Fixed{step - rest - 1, v.den - v.x.frac};
}

// The multiple n * 10^s nearest to x (a tie goes to the even n, as correct
// rounding does), and its distance from x.
struct Candidate {
  std::uint64_t n;
  Fixed distance;
};

Candidate nearest(const Scaled& v, int s) {
  std::uint64_t rest = 0;
  const std::uint64_t q = divide(v.x.whole, s, rest);
  const Fixed down{rest, v.x.frac};
  const auto step = static_cast<std::uint64_t>(kPow10[s]);
  const Fixed up = v.x.frac == 0 ? Fixed{step - rest, 0} : Fixed{step - rest - 1, v.den - v.x.frac};
  if (less(down, up) || (same(down, up) && q % 2 == 0)) return {q, down};
  return {q + 1, up};
}

// n * 10^exponent, correctly rounded: one exact operation when the power of
// ten is exact (n is below 2^53), else read from text.
double decimal_value(std::uint64_t n, int exponent) {
  if (exponent >= 0 && exponent < static_cast<int>(kPow10.size())) return static_cast<double>(n) * kPow10[exponent];
  if (exponent < 0 && -exponent < static_cast<int>(kPow10.size())) return static_cast<double>(n) / kPow10[-exponent];
  char text[32];
  char* end = std::to_chars(text, text + 20, n).ptr;  // at most 20 digits
  *end++ = 'e';
  end = std::to_chars(end, text + sizeof text, exponent).ptr;
  double d = 0;
  std::from_chars(text, end, d);
  return d;
}

// A power of two's digits (see below), kept apart from the common path.
[[gnu::noinline]] double power_of_two_value(const Scaled& v, int j) {
  for (int s = v.x.whole >= 1'000'000'000 ? 9 : 8;; --s) {  // nine digits always fit
    std::uint64_t rest = 0;
    const std::uint64_t q = divide(v.x.whole, s, rest);
    const Fixed down{rest, v.x.frac}, up = distance_up(v, rest, s);
    const bool down_fits = !less(v.below, down), up_fits = !less(v.above, up);
    if (!down_fits && !up_fits) continue;
    const bool nearer_down = less(down, up) || (same(down, up) && q % 2 == 0);
    return decimal_value(down_fits && (nearer_down || !up_fits) ? q : q + 1, s - j);
  }
}

// With |f| = m 2^e, x = |f| 10^j lies in [1e8, 1e10) and the digits that
// read back to f are the multiples n 10^s within half a gap of x (the ends
// count when m is even, as a tie reads back to the even mantissa). The
// nearest multiple of 10^s fits whenever any does, and if it fits so does
// that of 10^(s - 1): the answer is the nearest multiple for the largest s
// that fits. Where the interval is wider than 10^s0 one fits for sure, and
// at 10^(s0 + 1) or above at most one multiple lies in it, the same point at
// every such s, so s0 + 1 and s0 are the only counts to try. A power of two
// has a narrower half below, where the nearer multiple may not fit while the
// farther one above does: there the counts are tried from one digit up, each
// with both multiples around x, the first count where one fits giving the
// value (the nearer one where both fit).
[[gnu::noinline]] double shortest_value_general(float f) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
  const int biased = static_cast<int>(bits >> 23 & 0xFF);
  if (biased == 0xFF) return std::isnan(f) ? std::numeric_limits<double>::quiet_NaN() : f;
  if (biased == 0) return f == 0 ? f : shortest_value_by_text(f);  // subnormals
  const std::uint32_t m = (bits & 0x7FFFFF) | 0x800000;
  const int e = biased - 150;
  const double sign = bits >> 31 ? -1.0 : 1.0;
  const int j = 8 - (((biased - 127) * 1233) >> 12);  // 8 - floor(log10 |f|), or one more
  if (j > kMaxPow5) return shortest_value_by_text(f);  // below 1e-35

  Scaled v;
  if (j >= 0) {
    // x = m 5^j 2^t; with t < 2 it is 4 m 5^j / 2^(2 - t), the half gaps
    // 2 * 5^j and 5^j over the same power of two.
    const int t = e + j;
    const U128 four_x = U128{4u * m} * kPow5[j];
    if (t >= 2) {
      v.x = {static_cast<std::uint64_t>(four_x << (t - 2)), 0};
      v.above = {static_cast<std::uint64_t>(kPow5[j] << (t - 1)), 0};
      v.below = {static_cast<std::uint64_t>(kPow5[j] << (t - 2)), 0};
    } else {
      const int shift = 2 - t;
      v.den = U128{1} << shift;
      v.x = split_pow2(four_x, shift);
      v.above = split_pow2(2 * kPow5[j], shift);
      v.below = split_pow2(kPow5[j], shift);
    }
  } else {
    // From 2^30 on: x = m 2^e / 10^-j, e >= 7.
    v.den = kPow10Wide[-j];
    v.x = split(U128{m} << e, v.den);
    v.above = split(U128{1} << (e - 1), v.den);
    v.below = split(U128{1} << (e - 2), v.den);
  }

  if ((bits & 0x7FFFFF) == 0) return sign * power_of_two_value(v, j);
  // s0: the largest s with 10^s < 2 * half gap (the half gap is 3 to 600).
  int s0 = 0;
  for (const std::uint64_t half_step : {5u, 50u, 500u}) {
    if (v.above.whole > half_step || (v.above.whole == half_step && v.above.frac != 0)) ++s0;
  }
  const bool ends_fit = m % 2 == 0;
  int s = s0 + 1;
  Candidate c = nearest(v, s);
  if (!(less(c.distance, v.above) || (ends_fit && same(c.distance, v.above)))) c = nearest(v, s = s0);
  return sign * decimal_value(c.n, s - j);
}

}  // namespace

double shortest_value_by_text(float f) {
  // Only the exponent form gives the fewest digits at every magnitude: where
  // the plain form is as short, it writes every digit of a large float
  // (-20000002048 for -2.0000002e10f). Its fewest digits weigh the narrower
  // half gap below a power of two, so they may lie above f where the nearest
  // digits of that length lie below it and read back to the float below.
  char buf[32];
  const char* end = std::to_chars(buf, buf + sizeof buf, f, std::chars_format::scientific).ptr;
  double d = 0;
  std::from_chars(buf, end, d);
  return d;
}

// The common case, |f| from 2^-33 up to 2^24 and not a power of two, in
// 64-bit integers. With |f| = m 2^e (e from -56 to 0), the floats that read
// back to f lie within h = 2^(e - 1) of it (the ends count when m is even,
// as a tie reads back to the even mantissa). 10^g is the largest power of
// ten below 2h, so the interval holds a multiple of 10^g, and at most one of
// 10^(g + 1), which is then also the only multiple of any higher power in
// it: the digits are the nearest multiple of 10^(g + 1) if it fits, else the
// nearest of 10^g (a tie there goes to the even digit, as correct rounding
// does; at 10^(g + 1) a tie never fits). Both come from y = |f| / 10^(g + 1)
// = 2 m 5^p / 2^b exactly (p = -(g + 1), b = 1 - e - p), and 10 y.
double shortest_value(float f) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
  const std::uint32_t biased = bits >> 23 & 0xFF, fraction = bits & 0x7FFFFF;
  if (fraction == 0 || biased - 94 > 150 - 94) return shortest_value_general(f);
  const std::uint32_t m = fraction | 0x800000;
  const int e = static_cast<int>(biased) - 150;
  const int p = (-e * 78913) >> 18;  // floor(-e log10 2): 0 to 16, so 2 m 5^p < 2^63
  const int b = 1 - e - p;           // 1 to 41, so 10 y stays within 64 bits
  const std::uint64_t unit = std::uint64_t{1} << b, half = unit >> 1;
  const auto half_gap = static_cast<std::uint64_t>(kPow5[p]);  // h, over the same 2^b
  const std::uint64_t y = 2 * std::uint64_t{m} * half_gap;
  const std::uint64_t whole = y >> b, frac = y & (unit - 1);
  const std::uint64_t up = frac > half;
  const std::uint64_t distance = up ? unit - frac : frac;
  const std::uint64_t fits = (distance < half_gap) | ((distance == half_gap) & (m % 2 == 0));
  const std::uint64_t tenfold = frac * 10;
  const std::uint64_t whole10 = whole * 10 + (tenfold >> b), frac10 = tenfold & (unit - 1);
  const std::uint64_t up10 = (frac10 > half) | ((frac10 == half) & (whole10 & 1));
  // Which count fits, and the sign, are as likely one way as the other for
  // varying values: a branch on either is mispredicted half the time, which
  // costs more than both divisions (each n is below 2^35 and each power at
  // most 10^17, so each quotient is correctly rounded), so the answer is
  // picked by mask and the sign set by its bit.
  const double longer = static_cast<double>(static_cast<std::int64_t>(whole10 + up10)) / kPow10[p + 1];
  const double shorter = static_cast<double>(static_cast<std::int64_t>(whole + up)) / kPow10[p];
  const std::uint64_t pick = std::uint64_t{0} - fits;
  const std::uint64_t value = (std::bit_cast<std::uint64_t>(shorter) & pick) | (std::bit_cast<std::uint64_t>(longer) & ~pick);
  return std::bit_cast<double>(value | std::uint64_t{bits >> 31} << 63);
}

}  // namespace sigtap::sbf
