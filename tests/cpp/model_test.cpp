// Values, packets, messages and errors: equality rules and display texts.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <functional>
#include <limits>

#include "core/error.hpp"
#include "core/message.hpp"
#include "core/value.hpp"

using namespace sigtap;

TEST(Value, FormsAndEquality) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Value nested = Value::map({{"lat", Value::real(1.0)}, {"name", Value::str("a \"b\"")}});
  const std::pair<Value, const char*> cases[] = {
      {Value::integer(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {Value::real(-0.0), "-0.0"},
      {Value::str("it's\t"), "\"it's\\t\""},
      {Value::map({}), "{}"},
      {Value::map({{"a", Value::integer(1)}, {"c", Value::real(1e16)}, {"d", Value::null()}, {"e", Value::boolean(true)}}),
       "{a: 1, c: 1e16, d: null, e: true}"},
      {Value::map({{"pos x", nested}}), "{pos x: {lat: 1.0, name: \"a \\\"b\\\"\"}}"},
  };
  for (const auto& [v, form] : cases) EXPECT_EQ(v.fmt(), form);

  const auto one = [](const char* k) { return std::pair{std::string(k), Value::integer(1)}; };
  const std::tuple<Value, Value, bool> pairs[] = {
      {Value::integer(1), Value::real(1.0), false}, {Value::integer(1), Value::boolean(true), false},
      {Value::real(nan), Value::real(nan), false},  {Value::real(0.0), Value::real(-0.0), true},
      {Value::null(), Value::null(), true},         {Value::map({one("a")}), Value::map({one("a"), one("a")}), false},
      {Value::map({one("a"), one("b")}), Value::map({one("b"), one("a")}), false},  // order counts
  };
  for (const auto& [a, b, equal] : pairs) EXPECT_EQ(a == b, equal) << a.fmt() << " " << b.fmt();
}

// Each mutation of one field (and a NaN timestamp) makes the packet, and a message carrying it, unequal.
TEST(Packet, EqualityTestsEveryField) {
  const Packet base{{1, 2}, CanHeader{0x123, false, true, false}, 1.5, 7};
  const std::function<void(Packet&)> changes[] = {
      [](Packet& p) { p.timestamp.reset(); }, [](Packet& p) { p.can->brs = true; }, [](Packet& p) { p.source = 8; },
      [](Packet& p) { p.data.make_owned().push_back(0); }, [](Packet& p) { p.timestamp = std::nan(""); },
  };
  const Message m{"A", {{"x", Value::integer(1)}}, base};
  EXPECT_EQ(m, m.clone());
  for (const auto& change : changes) {
    Packet p = base;
    change(p);
    EXPECT_NE(base, p);
    EXPECT_EQ(p == Packet(p), !std::isnan(p.timestamp.value_or(0.0)));  // a NaN timestamp: unequal to itself
    EXPECT_NE(m, (Message{"A", m.fields, p}));
  }
  EXPECT_NE(m, (Message{"A", {{"x", Value::real(1.0)}}, base}));
  EXPECT_NE(m, (Message{std::nullopt, m.fields, base}));
}

TEST(Error, DisplayTexts) {
  const std::pair<Error, const char*> cases[] = {
      {Error::closed(), "the channel is closed"},         {Error::config("x"), "x"},
      {Error::invalid_packet("x"), "invalid packet: x"},  {Error::dbc_parse("x"), "DBC parse error: x"},
      {Error::encode(""), "encode error: "},              {Error::decode("x"), "decode error: x"},
      {Error::sbf("x"), "SBF error: x"},
      {Error::external(std::make_unique<ExternalError>("ValueError: bad")), "ValueError: bad"},
      {Error::io_errno(ENOENT), "No such file or directory (os error 2)"},
  };
  for (const auto& [e, text] : cases) EXPECT_EQ(e.fmt(), text);
  // The kind picks the Python exception class.
  const std::pair<int, IoKind> kinds[] = {{ENOENT, IoKind::NotFound}, {ECONNREFUSED, IoKind::ConnectionRefused},
                                          {EPIPE, IoKind::BrokenPipe}, {ENETUNREACH, IoKind::Other}};
  for (const auto& [code, kind] : kinds) {
    const Error e = Error::io_errno(code);
    EXPECT_TRUE(e.kind() == ErrorKind::Io && e.io_kind() == kind && e.os_code() == code) << code;
  }
}
