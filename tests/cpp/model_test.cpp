// Values, packets, messages and errors: equality rules and display texts.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>

#include "core/error.hpp"
#include "core/message.hpp"
#include "core/value.hpp"

using namespace sigtap;

TEST(Value, FormsAndEquality) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Value nested = Value::map({{"lat", Value::real(1.0)}, {"name", Value::str("a \"b\"")}});
  struct Case {
    Value v;
    const char* form;
  } cases[] = {
      {Value::null(), "null"},
      {Value::boolean(true), "true"},
      {Value::integer(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {Value::real(1.0), "1.0"},
      {Value::real(-0.0), "-0.0"},
      {Value::real(1e16), "1e16"},
      {Value::str("it's\t"), "\"it's\\t\""},
      {Value::map({}), "{}"},
      {Value::map({{"a", Value::integer(1)}, {"c", Value::real(2.5)}, {"d", Value::null()}, {"e", Value::boolean(true)}}),
       "{a: 1, c: 2.5, d: null, e: true}"},
      {Value::map({{"pos x", nested}}), "{pos x: {lat: 1.0, name: \"a \\\"b\\\"\"}}"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.v.fmt(), c.form);

  EXPECT_FALSE(Value::integer(1) == Value::real(1.0));
  EXPECT_FALSE(Value::integer(1) == Value::boolean(true));
  EXPECT_FALSE(Value::real(nan) == Value::real(nan));
  EXPECT_TRUE(Value::real(0.0) == Value::real(-0.0));
  EXPECT_TRUE(Value::null() == Value::null());
  EXPECT_FALSE(Value::map({{"a", Value::integer(1)}}) == Value::map({{"a", Value::integer(1)}, {"a", Value::integer(1)}}));
  EXPECT_FALSE(Value::map({{"a", Value::integer(1)}, {"b", Value::integer(2)}}) ==
               Value::map({{"b", Value::integer(2)}, {"a", Value::integer(1)}}));
}

TEST(Packet, EqualityTestsEveryField) {
  Packet base{{1, 2}, CanHeader{0x123, false, true, false}, 1.5, 7};
  EXPECT_EQ(base, base);
  Packet p = base;
  p.timestamp.reset();
  EXPECT_NE(base, p);
  p = base;
  p.can->brs = true;
  EXPECT_NE(base, p);
  p = base;
  p.source = 8;
  EXPECT_NE(base, p);
  p = base;
  p.data.push_back(0);
  EXPECT_NE(base, p);
  Packet a = base, b = base;
  a.timestamp = b.timestamp = std::numeric_limits<double>::quiet_NaN();
  EXPECT_NE(a, b);

  Message m1{"A", {{"x", Value::integer(1)}}, base};
  Message m2 = m1.clone();
  EXPECT_EQ(m1, m2);
  m2.fields[0].second = Value::real(1.0);
  EXPECT_NE(m1, m2);
  EXPECT_NE(m1, (Message{std::nullopt, m1.fields, base}));
}

TEST(Error, DisplayTexts) {
  struct Case {
    Error e;
    const char* text;
  } cases[] = {
      {Error::closed(), "the channel is closed"},
      {Error::config("x"), "x"},
      {Error::unknown_message("x"), "x"},
      {Error::invalid_packet("x"), "invalid packet: x"},
      {Error::dbc_parse("x"), "DBC parse error: x"},
      {Error::encode(""), "encode error: "},
      {Error::decode("x"), "decode error: x"},
      {Error::sbf("x"), "SBF error: x"},
      {Error::io(IoKind::NotFound, "/x: gone"), "/x: gone"},
      {Error::external(std::make_unique<ExternalError>("ValueError: bad")), "ValueError: bad"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.e.fmt(), c.text);

  Error e = Error::io_errno(ENOENT);
  EXPECT_EQ(e.fmt(), "No such file or directory (os error 2)");
  EXPECT_EQ(e.kind(), ErrorKind::Io);
  EXPECT_EQ(e.io_kind(), IoKind::NotFound);
  EXPECT_EQ(e.os_code(), ENOENT);
  EXPECT_EQ(Error::io_errno(ECONNREFUSED).io_kind(), IoKind::ConnectionRefused);
  EXPECT_EQ(Error::io_errno(EPIPE).io_kind(), IoKind::BrokenPipe);
  EXPECT_EQ(Error::io_errno(ENETUNREACH).io_kind(), IoKind::Other);
}
