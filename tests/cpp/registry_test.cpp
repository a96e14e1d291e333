// The transport and codec registries and the raw codec.
#include <gtest/gtest.h>

#include <atomic>

#include "core/codec/codec.hpp"
#include "core/codec/raw.hpp"
#include "core/transport/transport.hpp"

using namespace sigtap;

namespace {
class NullTransport final : public Transport {
 public:
  Status send(const Packet&) override { return {}; }
  Result<std::optional<Packet>> recv(std::optional<Duration>) override { return std::optional<Packet>{}; }
  void close() override {}
};
}  // namespace

TEST(Registry, BuiltinsAndUnknownNames) {
  // Runs before anything else registers in this program (registrations below
  // use names that sort after the built-in ones and are checked separately).
  auto schemes = transport::schemes();
  for (const char* s : {"can", "file", "mem", "tcp", "udp"}) {
    EXPECT_NE(std::find(schemes.begin(), schemes.end(), s), schemes.end()) << s;
  }
  EXPECT_TRUE(std::is_sorted(schemes.begin(), schemes.end()));
  auto codecs = codec::names();
  EXPECT_TRUE(std::is_sorted(codecs.begin(), codecs.end()));

  auto t = transport::open("FOO://x");
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().fmt().rfind("unknown transport \"foo\" (known: can, file, mem, tcp, udp", 0), 0u)
      << t.error().fmt();
  auto c = codec::open("xyz:1", {});
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error().fmt().rfind("unknown codec \"xyz\" (known: dbc, raw, sbf", 0), 0u) << c.error().fmt();
  // Parse errors win over unknown names.
  EXPECT_EQ(transport::open("bad_scheme://x").error().fmt(), "invalid URL scheme \"bad_scheme\"");
  EXPECT_EQ(codec::open(":x", {}).error().fmt(), "invalid codec \":x\"");
  EXPECT_EQ(transport::open("CAN://vcan0?fd&bogus=1").error().fmt(),
            "can:// (SocketCAN) is only available on Linux; mem:// works everywhere");
}

TEST(Registry, RegisterIsCaseInsensitiveAndReplaces) {
  std::atomic<int> calls{0};
  transport::register_factory("ZzBus", [&](Endpoint ep) -> Result<TransportPtr> {
    ++calls;
    EXPECT_EQ(ep.scheme, "zzbus");
    EXPECT_EQ(ep.address, "x");
    // A factory may register while it runs: no registry lock is held.
    transport::register_factory("zzother", [](Endpoint) -> Result<TransportPtr> { return Error::config("o"); });
    return TransportPtr(std::make_shared<NullTransport>());
  });
  EXPECT_TRUE(transport::open("zzbus://x").ok());
  EXPECT_TRUE(transport::open("ZZBUS://x").ok());
  EXPECT_EQ(calls.load(), 2);
  auto schemes = transport::schemes();
  EXPECT_NE(std::find(schemes.begin(), schemes.end(), "zzbus"), schemes.end());
  EXPECT_NE(std::find(schemes.begin(), schemes.end(), "zzother"), schemes.end());

  transport::register_factory("zzbus", [](Endpoint) -> Result<TransportPtr> { return Error::config("replaced"); });
  EXPECT_EQ(transport::open("zzbus://x").error().fmt(), "replaced");
}

TEST(RawCodec, PassesPacketsThrough) {
  auto codec = codec::open("RAW", {});
  ASSERT_TRUE(codec.ok());
  Packet p{{}, CanHeader{5, false, false, false}, 2.5, 9};
  std::vector<Message> out;
  ASSERT_TRUE((*codec)->decode(p, out).ok());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FALSE(out[0].name);
  EXPECT_TRUE(out[0].fields.empty());
  EXPECT_EQ(*out[0].packet, p);

  Message named{"ping", {}, std::nullopt};
  EXPECT_EQ((*codec)->encode(named).error().fmt(),
            "encode error: the raw codec has no named messages (\"ping\"); send data instead");

  Options opts;
  opts.set("x", Value::integer(1));
  EXPECT_EQ(codec::open("raw:x", std::move(opts)).error().fmt(), "the raw codec takes no argument");
  EXPECT_EQ(codec::open("raw:", {}).error().fmt(), "the raw codec takes no argument");
  Options opts2;
  opts2.set("x", Value::integer(1));
  EXPECT_EQ(codec::open("raw", std::move(opts2)).error().fmt(), "the raw codec does not take the option(s) x");
}
