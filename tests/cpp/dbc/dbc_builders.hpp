// Hand-built DBC signals and messages for tests that must not depend on the loader.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/dbc/database.hpp"

namespace sigtap::test {

/// A signal: little endian, unsigned integer, factor 1, offset 0 unless told.
struct Sig {
  dbc::Signal s;
  Sig(std::string name, std::uint32_t start, std::uint32_t size) {
    s.name = std::move(name);
    s.start_bit = start;
    s.size = size;
  }
  Sig& be() { s.big_endian = true; return *this; }
  Sig& sgn() { s.is_signed = true; return *this; }
  Sig& kind(dbc::SignalKind k) { s.value_type = k; return *this; }
  Sig& scale(double factor, double offset) { s.factor = factor; s.offset = offset; return *this; }
  Sig& range(double lo, double hi) { s.min = lo; s.max = hi; return *this; }
  Sig& init(double raw) { s.initial = raw; return *this; }
  Sig& choice(std::int64_t v, std::string text) { s.choices.emplace_back(v, std::move(text)); return *this; }
  Sig& mux(std::size_t sw, std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges) {
    s.mux = dbc::Multiplexing{std::move(ranges), sw};
    return *this;
  }
  operator dbc::Signal() const { return s; }  // NOLINT: builders convert implicitly
};

/// A message with its plan built, as Database::create leaves it.
inline dbc::Message make_message(std::string name, std::uint64_t size, std::vector<dbc::Signal> signals,
                                 std::uint32_t id = 0x100, bool extended = false) {
  dbc::Message m;
  m.name = std::move(name);
  m.size = size;
  m.id = id;
  m.extended = extended;
  m.fd = size > 8;
  m.signals = std::move(signals);
  dbc::build_plan(m);
  return m;
}

}  // namespace sigtap::test
