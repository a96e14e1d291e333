// file:// on real files and FIFOs: chunked replay, follow, recording, errors, close.
#include "core/transport/file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>

using namespace sigtap;
using namespace std::chrono_literals;

namespace {

// Runs `f` on a thread of its own. A call that never returns leaves its
// thread behind (detached), so a hang fails the test instead of freezing it.
template <class F>
auto run_async(F f) {
  using R = decltype(f());
  auto promise = std::make_shared<std::promise<R>>();
  auto future = promise->get_future();
  std::thread([promise, f = std::move(f)]() mutable { promise->set_value(f()); }).detach();
  return future;
}

class FileTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/sigtap-file-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  static void put(const std::string& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }
  static std::string contents(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static Packet packet(const std::string& s) {
    Packet p;
    p.data.assign(s.begin(), s.end());
    return p;
  }
  static std::string text(const Packet& p) { return {p.data.begin(), p.data.end()}; }

  std::string dir_;
};

TEST_F(FileTransportTest, ReplaysInChunksThenReportsEndAsClosed) {
  std::string bytes(100000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  put(path("big"), bytes);
  // A third slash after the scheme names an absolute path.
  auto t = transport::open("file://" + path("big"));
  ASSERT_TRUE(t.ok()) << t.error().fmt();
  auto first = (*t)->recv(Duration::from_millis(100));
  ASSERT_TRUE(first.ok() && first->has_value());
  EXPECT_EQ(text(**first), bytes.substr(0, 65536));
  EXPECT_TRUE((*first)->timestamp.has_value());
  EXPECT_FALSE((*first)->source.has_value());
  auto second = (*t)->recv(std::nullopt);
  ASSERT_TRUE(second.ok() && second->has_value());
  EXPECT_EQ(text(**second), bytes.substr(65536));
  for (int i = 0; i < 2; ++i) {
    auto end = (*t)->recv(std::nullopt);
    ASSERT_FALSE(end.ok());
    EXPECT_EQ(end.error().fmt(), "the channel is closed");
  }

  put(path("empty"), "");
  auto empty = transport::open("file://" + path("empty"));
  ASSERT_TRUE(empty.ok());
  auto r = (*empty)->recv(std::nullopt);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is_closed());
}

TEST_F(FileTransportTest, RecordsDataBackToBack) {
  auto w = transport::open("file://" + path("rec") + "?write");
  ASSERT_TRUE(w.ok()) << w.error().fmt();
  std::string all;
  for (std::size_t n : {10u, 20u, 0u, 30u}) {
    std::string chunk(n, static_cast<char>('a' + n / 10));
    all += chunk;
    Packet p = packet(chunk);
    p.timestamp = 12.5;  // only the data is recorded
    p.source = 3;
    ASSERT_TRUE((*w)->send(p).ok());
  }
  // No buffering in the process: the file is complete before close.
  EXPECT_EQ(contents(path("rec")), all);
  // Recording mode only waits.
  auto idle = (*w)->recv(Duration::from_millis(20));
  ASSERT_TRUE(idle.ok());
  EXPECT_FALSE(idle->has_value());

  auto r = transport::open("file://" + path("rec"));
  ASSERT_TRUE(r.ok());
  auto replay = (*r)->recv(std::nullopt);
  ASSERT_TRUE(replay.ok() && replay->has_value());
  EXPECT_EQ(text(**replay), all);

  auto refused = (*r)->send(packet("x"));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind(), ErrorKind::Config);
  EXPECT_EQ(refused.error().fmt(), "this file:// channel reads; open it with ?write or ?append to record");
}

TEST_F(FileTransportTest, WriteTruncatesAppendKeeps) {
  struct Case {
    std::string query;
    std::string expected;
  } cases[] = {
      {"?write", "new"},
      {"?append", "oldnew"},
      {"?write&append", "oldnew"},
      {"?append=YES&write=off", "oldnew"},
      {"?write&follow", "new"},  // follow means nothing to a recorder
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    put(path("f"), "old");
    auto t = transport::open("file://" + path("f") + c.query);
    ASSERT_TRUE(t.ok()) << t.error().fmt();
    ASSERT_TRUE((*t)->send(packet("new")).ok());
    EXPECT_EQ(contents(path("f")), c.expected);

    std::string missing = path("missing" + std::to_string(&c - cases));
    auto created = transport::open("file://" + missing + c.query);
    ASSERT_TRUE(created.ok()) << created.error().fmt();
    EXPECT_TRUE(std::filesystem::exists(missing));
  }
}

TEST_F(FileTransportTest, FollowWaitsForGrowth) {
  put(path("log"), "");
  auto t = transport::open("file://" + path("log") + "?follow");
  ASSERT_TRUE(t.ok());
  auto idle = (*t)->recv(Duration::from_millis(60));
  ASSERT_TRUE(idle.ok());
  EXPECT_FALSE(idle->has_value());

  auto later = run_async([t = *t] { return t->recv(Duration::from_millis(10000)); });
  std::this_thread::sleep_for(100ms);
  std::ofstream(path("log"), std::ios::app | std::ios::binary) << "grown";
  ASSERT_EQ(later.wait_for(20s), std::future_status::ready);
  auto got = later.get();
  ASSERT_TRUE(got.ok() && got->has_value());
  EXPECT_EQ(text(**got), "grown");
}

TEST_F(FileTransportTest, OpenErrors) {
  ASSERT_EQ(mkdir(path("dir").c_str(), 0755), 0);
  struct Case {
    std::string url;
    ErrorKind kind;
    IoKind io_kind;
    std::string text;
  } cases[] = {
      {"file://" + path("absent"), ErrorKind::Io, IoKind::NotFound,
       path("absent") + ": No such file or directory (os error 2)"},
      {"file://" + path("dir") + "?write", ErrorKind::Io, IoKind::IsADirectory,
       path("dir") + ": Is a directory (os error 21)"},
      {"file://" + path("dir") + "/no/such/file?append", ErrorKind::Io, IoKind::NotFound,
       path("dir") + "/no/such/file: No such file or directory (os error 2)"},
      {"file://x?follow=maybe", ErrorKind::Config, IoKind::Other, "option follow: \"maybe\" is not a boolean"},
      {"file://x?b=1&a=2&write", ErrorKind::Config, IoKind::Other, "file:// does not take the option(s) a, b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    auto t = transport::open(c.url);
    ASSERT_FALSE(t.ok());
    EXPECT_EQ(t.error().kind(), c.kind);
    if (c.kind == ErrorKind::Io) {
      EXPECT_EQ(t.error().io_kind(), c.io_kind);
    }
    EXPECT_EQ(t.error().fmt(), c.text);
  }
}

// Every way a receiver can wait must end when another thread closes: the
// follower and the recorder sleep in slices; a FIFO (whose reads would block)
// is polled in slices instead of being read blindly under the file lock.
TEST_F(FileTransportTest, CloseReleasesBlockedReceivers) {
  put(path("plain"), "");
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  struct Case {
    std::string query;
    bool fifo;
  } cases[] = {{"?follow", false}, {"?write", false}, {"", true}, {"?follow", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query + (c.fifo ? " fifo" : " plain"));
    // Opening a FIFO for reading waits for a writer: keep one open, silent.
    auto writer = c.fifo ? std::async(std::launch::async, [&] { return ::open(path("fifo").c_str(), O_WRONLY); })
                         : std::future<int>();
    auto t = transport::open("file://" + path(c.fifo ? "fifo" : "plain") + c.query);
    ASSERT_TRUE(t.ok()) << t.error().fmt();
    int writer_fd = c.fifo ? writer.get() : -1;

    auto blocked = run_async([t = *t] { return t->recv(std::nullopt); });
    std::this_thread::sleep_for(120ms);
    EXPECT_EQ(blocked.wait_for(0s), std::future_status::timeout);
    auto closing = run_async([t = *t] {
      t->close();
      return true;
    });
    ASSERT_EQ(closing.wait_for(10s), std::future_status::ready) << "close hung";
    ASSERT_EQ(blocked.wait_for(10s), std::future_status::ready) << "receiver not released";
    auto r = blocked.get();
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().is_closed());
    EXPECT_TRUE((*t)->send(packet("x")).error().is_closed());
    EXPECT_TRUE((*t)->recv(Duration{}).error().is_closed());
    if (writer_fd >= 0) ::close(writer_fd);
  }
}

TEST_F(FileTransportTest, FifoDeliversDataAndEnd) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  auto writer = std::async(std::launch::async, [&] { return ::open(path("fifo").c_str(), O_WRONLY); });
  auto t = transport::open("file://" + path("fifo"));
  ASSERT_TRUE(t.ok());
  int fd = writer.get();
  ASSERT_GE(fd, 0);
  auto idle = (*t)->recv(Duration::from_millis(30));
  ASSERT_TRUE(idle.ok());
  EXPECT_FALSE(idle->has_value());
  ASSERT_EQ(::write(fd, "abc", 3), 3);
  auto got = (*t)->recv(Duration::from_millis(10000));
  ASSERT_TRUE(got.ok() && got->has_value());
  EXPECT_EQ(text(**got), "abc");
  ::close(fd);
  auto end = (*t)->recv(Duration::from_millis(10000));
  ASSERT_FALSE(end.ok());
  EXPECT_TRUE(end.error().is_closed());
}

// A recorder writing into a FIFO that nobody drains must not keep close
// (which waits for the write in progress) waiting forever.
TEST_F(FileTransportTest, CloseEndsAWriteIntoAStalledFifo) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  auto reader = std::async(std::launch::async, [&] { return ::open(path("fifo").c_str(), O_RDONLY); });
  auto t = transport::open("file://" + path("fifo") + "?write");
  ASSERT_TRUE(t.ok());
  int reader_fd = reader.get();
  auto blocked = run_async([t = *t] { return t->send(packet(std::string(1 << 20, 'x'))); });
  std::this_thread::sleep_for(120ms);
  EXPECT_EQ(blocked.wait_for(0s), std::future_status::timeout);
  auto closing = run_async([t = *t] {
    t->close();
    return true;
  });
  ASSERT_EQ(closing.wait_for(10s), std::future_status::ready) << "close hung";
  ASSERT_EQ(blocked.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(blocked.get().error().is_closed());
  ::close(reader_fd);
}

}  // namespace
