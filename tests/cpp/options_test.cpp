// Option readers and the URL and codec-spec grammars.
#include <gtest/gtest.h>

#include "core/endpoint.hpp"
#include "core/options.hpp"

using namespace sigtap;

namespace {
Options one(const char* key, Value v) {
  Options o;
  o.set(key, std::move(v));
  return o;
}
}  // namespace

TEST(Options, TakeBoolWords) {
  struct Case {
    Value v;
    bool ok, expected;
    const char* error;
  } cases[] = {
      {Value::str("TRUE"), true, true, ""},    {Value::str("Yes"), true, true, ""},
      {Value::str("oN"), true, true, ""},      {Value::str(""), true, true, ""},
      {Value::str("1"), true, true, ""},       {Value::str("OFF"), true, false, ""},
      {Value::str("0"), true, false, ""},      {Value::str("fAlSe"), true, false, ""},
      {Value::integer(2), true, true, ""},     {Value::integer(0), true, false, ""},
      {Value::boolean(false), true, false, ""},
      {Value::str("2"), false, false, "option k: \"2\" is not a boolean"},
      {Value::str(" true"), false, false, "option k: \" true\" is not a boolean"},
      {Value::str("t"), false, false, "option k: \"t\" is not a boolean"},
      {Value::real(1.0), false, false, "option k: 1.0 is not a boolean"},
      {Value::null(), false, false, "option k: null is not a boolean"},
      {Value::map({{"a", Value::integer(1)}}), false, false, "option k: {a: 1} is not a boolean"},
  };
  for (auto& c : cases) {
    Options o = one("k", c.v);
    auto r = o.take_bool("k", !c.expected);
    ASSERT_EQ(r.ok(), c.ok) << c.v.fmt();
    if (c.ok) EXPECT_EQ(*r, c.expected) << c.v.fmt();
    else EXPECT_EQ(r.error().fmt(), c.error);
    EXPECT_TRUE(o.finish("x").ok()) << "a failed read still removes the key";
  }
  Options empty;
  EXPECT_TRUE(*empty.take_bool("k", true));
  EXPECT_FALSE(*empty.take_bool("k", false));
}

TEST(Options, TakeStrAndFinish) {
  Options o = one("n", Value::integer(-5));
  EXPECT_EQ(**o.take_str("n"), "-5");
  EXPECT_FALSE(o.take_str("n")->has_value());
  o = one("b", Value::boolean(true));
  EXPECT_EQ(o.take_str("b").error().fmt(), "option b: true is not a string");

  Options left;
  left.set("b", Value::str(""));
  left.set("a", Value::str(""));
  left.set("Echo", Value::str(""));
  EXPECT_FALSE(left.take_bool("echo", false).value());  // keys are case-sensitive
  EXPECT_EQ(left.finish("mem://").error().fmt(), "mem:// does not take the option(s) Echo, a, b");
  EXPECT_TRUE(Options{}.finish("mem://").ok());
}

TEST(Endpoint, Grammar) {
  auto ep = Endpoint::parse("MEM://Bus?echo");
  ASSERT_TRUE(ep.ok());
  EXPECT_EQ(ep->scheme, "mem");
  EXPECT_EQ(ep->address, "Bus");
  EXPECT_EQ(ep->options.take("echo")->as_str(), "");

  ep = Endpoint::parse("udp://host:5000?listen&&peer=a:1&peer=b:2&=5&a=b=c&sp=%20&");
  ASSERT_TRUE(ep.ok());
  EXPECT_EQ(ep->address, "host:5000");
  EXPECT_EQ(ep->options.size(), 5u);
  EXPECT_EQ(ep->options.take("peer")->as_str(), "b:2");
  EXPECT_EQ(ep->options.take("")->as_str(), "5");
  EXPECT_EQ(ep->options.take("a")->as_str(), "b=c");
  EXPECT_EQ(ep->options.take("sp")->as_str(), "%20");

  EXPECT_EQ(Endpoint::parse("file:///tmp/x.bin")->address, "/tmp/x.bin");
  EXPECT_EQ(Endpoint::parse("mem://?echo")->address, "");
  EXPECT_EQ(Endpoint::parse("mem://a?b?c")->options.take("b?c")->as_str(), "");
  EXPECT_EQ(Endpoint::parse("x+y.z-1://q")->scheme, "x+y.z-1");

  struct Bad {
    const char* url;
    const char* error;
  } bad[] = {
      {"my_scheme://q", "invalid URL scheme \"my_scheme\""},
      {"://q", "invalid URL scheme \"\""},
      {"mem:bus",
       "\"mem:bus\" is not a transport URL (scheme://address, e.g. can://vcan0, udp://192.168.1.10:5000, "
       "tcp://host:28784, mem://bus)"},
  };
  for (const auto& b : bad) EXPECT_EQ(Endpoint::parse(b.url).error().fmt(), b.error);
}

TEST(CodecSpec, Grammar) {
  auto s = CodecSpec::parse("RAW", {});
  EXPECT_EQ(s->name, "raw");
  EXPECT_FALSE(s->argument);
  s = CodecSpec::parse("dbc:Path/To/File.DBC", {});
  EXPECT_EQ(s->name, "dbc");
  EXPECT_EQ(*s->argument, "Path/To/File.DBC");
  EXPECT_EQ(*CodecSpec::parse("raw:", {})->argument, "");
  s = CodecSpec::parse("a:b:c", {});
  EXPECT_EQ(s->name, "a");
  EXPECT_EQ(*s->argument, "b:c");
  EXPECT_EQ(CodecSpec::parse("", {}).error().fmt(), "invalid codec \"\"");
  EXPECT_EQ(CodecSpec::parse(":x", {}).error().fmt(), "invalid codec \":x\"");
}
