// file:// reads into lent storage: a chunk that fills enough of it stays there as read-only lent
// bytes, a short one moves to storage of its own, and every loan goes back exactly once.
#include <fstream>
#include <memory>

#include "core/transport/file.hpp"
#include "tests/cpp/transport/net_util.hpp"

namespace sigtap::nettest {
namespace {

// Lends a fresh buffer of kReadChunk bytes for each read, and counts loans
// and returns.
struct Lender {
  static inline int lent = 0, returned = 0;
  static inline std::vector<std::unique_ptr<std::vector<std::uint8_t>>> buffers;
  static LentStorage lend() {
    buffers.push_back(std::make_unique<std::vector<std::uint8_t>>(transport::kReadChunk));
    ++lent;
    return LentStorage(buffers.back()->data(), transport::kReadChunk, &give_back, buffers.back().get());
  }
  static void give_back(void*) { ++returned; }
  Lender() {
    lent = returned = 0;
    buffers.clear();
    transport::set_read_lender(&lend);
  }
  ~Lender() { transport::set_read_lender(nullptr); }
};

TEST(FileLent, FullChunksStayLentAndShortOnesGetStorageOfTheirOwn) {
  const std::string dir = "/tmp/sigtap-file-lent-XXXXXX";
  std::string path = dir;
  ASSERT_NE(mkdtemp(path.data()), nullptr);
  path += "/f";
  // Two full chunks, then a tail: lent when it fills a quarter of a chunk
  // or more, copied out when it is shorter.
  for (const std::size_t tail : {std::size_t{20000}, std::size_t{100}}) {
    std::string bytes(2 * transport::kReadChunk + tail, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13 + i / 509);
    std::ofstream(path, std::ios::binary) << bytes;
    Lender lender;
    auto t = open_as("file://" + path);
    ASSERT_TRUE(t);
    ASSERT_TRUE(t->reads_into_lent_storage());
    std::vector<Packet> got;
    for (;;) {
      auto r = t->recv(kLong);
      if (!r.ok()) break;
      ASSERT_TRUE(r->has_value());
      got.push_back(std::move(**r));
    }
    ASSERT_EQ(got.size(), 3u) << tail;
    std::string joined;
    for (std::size_t i = 0; i < got.size(); ++i) {
      const bool stays_lent = i < 2 || tail >= transport::kReadChunk / 4;
      EXPECT_EQ(got[i].data.lent() != nullptr, stays_lent) << tail << " packet " << i;
      EXPECT_TRUE(!stays_lent || got[i].data.data() == Lender::buffers[i]->data()) << tail << " packet " << i;
      joined += text(got[i]);
    }
    EXPECT_TRUE(joined == bytes) << tail;  // not EXPECT_EQ: 150 KiB would be printed
    // Only the loans the packets still hold are out; the loan of the read
    // that found the end went back too.
    EXPECT_EQ(Lender::lent - Lender::returned, tail >= transport::kReadChunk / 4 ? 3 : 2) << tail;
    got.clear();
    EXPECT_EQ(Lender::returned, Lender::lent) << tail;
  }
  std::filesystem::remove_all(path.substr(0, path.size() - 2));
}

}  // namespace
}  // namespace sigtap::nettest
