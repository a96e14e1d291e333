// Option readers and the URL and codec-spec grammars.
#include <gtest/gtest.h>

#include "core/endpoint.hpp"
#include "core/options.hpp"
#include "tests/cpp/test_util.hpp"

using namespace sigtap;
using sigtap::test::error_text;

TEST(Options, TakeBoolWords) {
  const auto s = Value::str;
  const std::pair<Value, std::string> cases[] = {  // "true", "false" or the error
      {s("TRUE"), "true"},  {s("Yes"), "true"}, {s("oN"), "true"},  {s(""), "true"},      {s("1"), "true"},
      {s("OFF"), "false"},  {s("0"), "false"},  {s("fAlSe"), "false"}, {Value::integer(2), "true"},
      {Value::integer(0), "false"}, {Value::boolean(false), "false"},
      {s("2"), "option k: \"2\" is not a boolean"},  {s(" true"), "option k: \" true\" is not a boolean"},
      {s("t"), "option k: \"t\" is not a boolean"},  {Value::real(1.0), "option k: 1.0 is not a boolean"},
      {Value::null(), "option k: null is not a boolean"},
  };
  for (const auto& [v, expected] : cases) {
    Options o;
    o.set("k", v);
    auto r = o.take_bool("k", expected != "true");  // the default would give the other answer
    EXPECT_EQ(r.ok() ? (*r ? "true" : "false") : r.error().fmt(), expected) << v.fmt();
    EXPECT_TRUE(o.finish("x").ok()) << "a failed read still removes the key";
  }
  for (bool fallback : {true, false}) EXPECT_EQ(*Options{}.take_bool("k", fallback), fallback);
}

TEST(Options, TakeStrAndFinish) {
  Options o;
  o.set("n", Value::integer(-5));
  o.set("b", Value::boolean(true));
  EXPECT_EQ(**o.take_str("n"), "-5");
  EXPECT_FALSE(o.take_str("n")->has_value());
  EXPECT_EQ(error_text(o.take_str("b")), "option b: true is not a string");

  for (const char* key : {"b", "a", "Echo"}) o.set(key, Value::str(""));
  EXPECT_FALSE(o.take_bool("echo", false).value());  // keys are case-sensitive
  EXPECT_EQ(error_text(o.finish("mem://")), "mem:// does not take the option(s) Echo, a, b");
  EXPECT_TRUE(Options{}.finish("mem://").ok());
}

TEST(Endpoint, Grammar) {
  auto ep = Endpoint::parse("MEM://Bus?echo");
  ASSERT_TRUE(ep.ok());
  EXPECT_EQ(ep->scheme + " " + ep->address + " " + ep->options.take("echo")->as_str(), "mem Bus ");

  ep = Endpoint::parse("udp://host:5000?listen&&peer=a:1&peer=b:2&=5&a=b=c&sp=%20&");
  ASSERT_TRUE(ep.ok());
  EXPECT_EQ(ep->address, "host:5000");
  EXPECT_EQ(ep->options.size(), 5u);
  for (const auto& [key, value] : {std::pair{"peer", "b:2"}, {"", "5"}, {"a", "b=c"}, {"sp", "%20"}}) {
    EXPECT_EQ(ep->options.take(key)->as_str(), value) << key;
  }
  EXPECT_EQ(Endpoint::parse("file:///tmp/x.bin")->address, "/tmp/x.bin");
  EXPECT_EQ(Endpoint::parse("mem://?echo")->address, "");
  EXPECT_EQ(Endpoint::parse("mem://a?b?c")->options.take("b?c")->as_str(), "");
  EXPECT_EQ(Endpoint::parse("x+y.z-1://q")->scheme, "x+y.z-1");

  const std::pair<const char*, const char*> bad[] = {
      {"my_scheme://q", "invalid URL scheme \"my_scheme\""},
      {"://q", "invalid URL scheme \"\""},
      {"mem:bus",
       "\"mem:bus\" is not a transport URL (scheme://address, e.g. can://vcan0, udp://192.168.1.10:5000, "
       "tcp://host:28784, mem://bus)"},
  };
  for (const auto& [url, error] : bad) EXPECT_EQ(error_text(Endpoint::parse(url)), error);
}

TEST(CodecSpec, Grammar) {
  const std::pair<const char*, const char*> cases[] = {  // name|argument, or the error
      {"RAW", "raw"}, {"dbc:Path/To/File.DBC", "dbc|Path/To/File.DBC"}, {"raw:", "raw|"}, {"a:b:c", "a|b:c"},
      {"", "invalid codec \"\""}, {":x", "invalid codec \":x\""},
  };
  for (const auto& [text, expected] : cases) {
    auto s = CodecSpec::parse(text, {});
    EXPECT_EQ(s.ok() ? s->name + (s->argument ? "|" + *s->argument : "") : s.error().fmt(), expected);
  }
}
