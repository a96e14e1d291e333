// The transport and codec registries and the raw codec.
#include <gtest/gtest.h>

#include <atomic>

#include "core/codec/codec.hpp"
#include "core/codec/raw.hpp"
#include "core/transport/transport.hpp"
#include "tests/cpp/test_util.hpp"

using namespace sigtap;
using sigtap::test::error_text;

// The known names come sorted from the registry itself; the registrations
// below sort after the built-in ones, so they do not disturb these prefixes.
TEST(Registry, BuiltinsAndUnknownNames) {
  const std::pair<std::string, std::string> cases[] = {  // the error text, or its start
      {error_text(transport::open("FOO://x")), "unknown transport \"foo\" (known: can, file, mem, tcp, udp"},
      {error_text(codec::open("xyz:1", {})), "unknown codec \"xyz\" (known: dbc, raw, sbf"},
      {error_text(transport::open("bad_scheme://x")), "invalid URL scheme \"bad_scheme\""},  // parse errors first
      {error_text(codec::open(":x", {})), "invalid codec \":x\""},
      {error_text(Channel::open("nosuchscheme://x", "nosuchcodec", {})), "unknown codec \"nosuchcodec\""},
      {error_text(transport::open("CAN://vcan0?fd&bogus=1")),
       "can:// (SocketCAN) is only available on Linux; mem:// works everywhere"},
  };
  for (const auto& [text, start] : cases) EXPECT_TRUE(text.starts_with(start)) << text;
}

TEST(Registry, RegisterIsCaseInsensitiveAndReplaces) {
  std::atomic<int> calls{0};
  transport::register_factory("ZzBus", [&](Endpoint ep) -> Result<TransportPtr> {
    ++calls;
    EXPECT_EQ(ep.scheme + ep.address, "zzbusx");
    // A factory may register while it runs: no registry lock is held.
    transport::register_factory("zzother", [](Endpoint) -> Result<TransportPtr> { return Error::config("o"); });
    return TransportPtr(std::make_shared<test::FakeTransport>());
  });
  EXPECT_TRUE(transport::open("zzbus://x").ok() && transport::open("ZZBUS://x").ok());
  EXPECT_EQ(calls.load(), 2);
  EXPECT_EQ(error_text(transport::open("zzother://x")), "o");
  transport::register_factory("zzbus", [](Endpoint) -> Result<TransportPtr> { return Error::config("replaced"); });
  EXPECT_EQ(error_text(transport::open("zzbus://x")), "replaced");
}

TEST(RawCodec, PassesPacketsThrough) {
  auto codec = codec::open("RAW", {});
  ASSERT_TRUE(codec.ok());
  const Packet p{{}, CanHeader{5, false, false, false}, 2.5, 9};
  std::vector<Message> out;
  ASSERT_TRUE((*codec)->decode(p, out).ok());
  EXPECT_TRUE(out.size() == 1 && out[0] == (Message{std::nullopt, {}, p}));
  EXPECT_EQ(error_text((*codec)->encode(test::named("ping"))),
            "encode error: the raw codec has no named messages (\"ping\"); send data instead");
  const auto with_x = [] { Options o; o.set("x", Value::integer(1)); return o; };
  EXPECT_EQ(error_text(codec::open("raw:x", with_x())), "the raw codec takes no argument");
  EXPECT_EQ(error_text(codec::open("raw:", {})), "the raw codec takes no argument");
  EXPECT_EQ(error_text(codec::open("raw", with_x())), "the raw codec does not take the option(s) x");
}
