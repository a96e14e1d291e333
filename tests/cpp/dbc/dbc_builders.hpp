// Hand-built DBC signals and messages for tests that must not depend on the loader.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/dbc/database.hpp"

namespace sigtap::test {

/// A signal: little endian, unsigned integer, factor 1, offset 0 unless told.
struct Sig : dbc::Signal {
  Sig(std::string n, std::uint32_t start, std::uint32_t bits) { name = std::move(n), start_bit = start, size = bits; }
  Sig& be() { big_endian = true; return *this; }
  Sig& sgn() { is_signed = true; return *this; }
  Sig& kind(dbc::SignalKind k) { value_type = k; return *this; }
  Sig& scale(double f, double o) { factor = f, offset = o; return *this; }
  Sig& range(double lo, double hi) { min = lo, max = hi; return *this; }
  Sig& init(double raw) { initial = raw; return *this; }
  Sig& choice(std::int64_t v, std::string text) {
    std::vector<std::pair<std::int64_t, std::string>> more(choices.begin(), choices.end());
    more.emplace_back(v, std::move(text));
    choices = std::move(more);
    return *this;
  }
  Sig& muxed(std::size_t sw, std::vector<std::pair<std::uint64_t, std::uint64_t>> r) { this->mux = dbc::Multiplexing{std::move(r), sw}; return *this; }
};

/// A message with its plan built, as Database::create leaves it.
inline dbc::Message make_message(std::string name, std::uint64_t size, std::vector<dbc::Signal> signals,
                                 std::uint32_t id = 0x100, bool extended = false) {
  dbc::Message m;
  m.name = std::move(name), m.size = size, m.id = id, m.extended = extended, m.fd = size > 8, m.signals = std::move(signals);
  dbc::build_plan(m);
  return m;
}

}  // namespace sigtap::test
