// file:// on real files and FIFOs: chunked replay, follow, recording, errors, close.
#include "core/transport/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>

#include "core/interrupt.hpp"

#include "tests/cpp/transport/net_util.hpp"

namespace sigtap::nettest {
namespace {

// A fresh directory, removed with everything in it.
struct TempDir {
  TempDir() { EXPECT_NE(mkdtemp(dir.data()), nullptr); }
  ~TempDir() { std::filesystem::remove_all(dir); }
  std::string path(const std::string& name) const { return dir + "/" + name; }
  std::string dir = "/tmp/sigtap-file-test-XXXXXX";
};
void put(const std::string& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }

TEST(File, ReplaysInChunksThenEnds) {
  TempDir tmp;
  std::string big(100000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 251);
  for (const std::string& bytes : {big, std::string()}) {
    put(tmp.path("f"), bytes);
    auto t = open_as("file://" + tmp.path("f"));  // the third slash starts an absolute path
    ASSERT_TRUE(t);
    // Not EXPECT_EQ: 64 KiB would be printed.
    for (std::size_t at = 0; at < bytes.size(); at += 65536) EXPECT_TRUE(next_text(*t) == bytes.substr(at, 65536));
    for (int i = 0; i < 2; ++i) EXPECT_EQ(next_text(*t, std::nullopt), "<the channel is closed>") << bytes.size();
  }
}

TEST(File, RecordsDataBackToBack) {
  TempDir tmp;
  const std::string a(10, 'a'), b(20, 'b'), c(30, 'c'), old(100, 'o');
  // The query, whether the file held `old` before, and whether it still does.
  const std::tuple<const char*, bool, bool> cases[] = {
      {"?write", true, false},        {"?append", true, true},               {"?write&append", true, true},
      {"?write&follow", true, false}, {"?append=YES&write=off", true, true}, {"?append", false, false}};
  int n = 0;
  for (const auto& [query, existed, kept] : cases) {
    const std::string f = tmp.path(std::to_string(n++));
    if (existed) put(f, old);
    auto w = open_as("file://" + f + query);
    ASSERT_TRUE(w);
    for (const std::string& piece : {a, b, std::string(), c}) ASSERT_TRUE(w->send(packet(piece)).ok());
    auto r = open_as("file://" + f);
    ASSERT_TRUE(r);
    EXPECT_EQ(next_text(*r), (kept ? old : "") + a + b + c) << query;  // complete before close: nothing is buffered
    auto refused = r->send(packet("x"));
    EXPECT_TRUE(!refused.ok() && refused.error().kind() == ErrorKind::Config);
    EXPECT_EQ(test::error_text(refused), "this file:// channel reads; open it with ?write or ?append to record");
  }
}

// A followed file and a FIFO both wait for more; only the FIFO ends, once its writers are gone.
TEST(File, WaitsForMoreData) {
  TempDir tmp;
  ASSERT_EQ(mkfifo(tmp.path("fifo").c_str(), 0600), 0);
  put(tmp.path("log"), "");
  for (bool fifo : {false, true}) {
    SCOPED_TRACE(fifo ? "fifo" : "follow");
    // Read-write, a FIFO opens at once, and the transport's open need not wait for a writer.
    Fd writer(::open(tmp.path(fifo ? "fifo" : "log").c_str(), (fifo ? O_RDWR : O_WRONLY | O_APPEND) | O_CLOEXEC));
    auto t = open_as("file://" + tmp.path(fifo ? "fifo" : "log?follow"));
    ASSERT_TRUE(t);
    EXPECT_EQ(next_text(*t, Duration::from_millis(60)), "<nothing>");
    auto later = run_async([t] { return next_text(*t); });
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(::write(writer.get(), "grown", 5), 5);
    EXPECT_EQ(later.get(), "grown");
    writer.reset();
    EXPECT_EQ(next_text(*t, fifo ? kLong : Duration::from_millis(60)), fifo ? "<the channel is closed>" : "<nothing>");
  }
}

TEST(File, OpenErrors) {
  expect_open_errors({
      {"file:///nonexistent-sigtap", "/nonexistent-sigtap: No such file or directory (os error 2)", IoKind::NotFound},
      {"file:///tmp?write", "/tmp: Is a directory (os error 21)", IoKind::IsADirectory},
      {"file://x?b=1&a=2&write", "file:// does not take the option(s) a, b"},
  });
}

// Opening a FIFO for writing waits for a reader in slices, giving up (and
// leaving no descriptor behind) once the caller's interrupt check says so.
TEST(File, FifoWriteOpenGivesUpOnInterrupt) {
  TempDir tmp;
  ASSERT_EQ(mkfifo(tmp.path("fifo").c_str(), 0600), 0);
  const Usage before = baseline();
  static std::atomic<int> checks{0};
  auto opening = run_async([&] {
    InterruptScope scope([] { return ++checks == 3; });
    return test::error_text(transport::open("file://" + tmp.path("fifo?write")));
  });
  ASSERT_EQ(opening.wait_for(30s), std::future_status::ready) << "open hung";
  EXPECT_EQ(opening.get(), "Interrupted system call (os error 4)");
  EXPECT_EQ(usage().first, before.first);
}

// A file or a FIFO in a fresh directory; the FIFO's other end stays open
// (for reading and writing) and idle, so reads find nothing and writes stall.
Blocked blocked_file(bool fifo, const char* query, bool sends) {
  auto keep = std::make_shared<std::pair<TempDir, Fd>>();
  const std::string path = keep->first.path("f");
  if (!fifo) put(path, "");
  if (fifo && mkfifo(path.c_str(), 0600) != 0) return {};  // fails the test: no transport
  if (fifo) keep->second = Fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  return {open_as("file://" + path + query), keep, sends};
}

INSTANTIATE_TEST_SUITE_P(
    File, CloseWhileBlocked,
    ::testing::Values(BlockedCase{"follow", [] { return blocked_file(false, "?follow", false); }},
                      BlockedCase{"record", [] { return blocked_file(false, "?write", false); }},
                      BlockedCase{"fifo_read", [] { return blocked_file(true, "", false); }},
                      BlockedCase{"fifo_write", [] { return blocked_file(true, "?write", true); }}),
    case_name);

}  // namespace
}  // namespace sigtap::nettest
