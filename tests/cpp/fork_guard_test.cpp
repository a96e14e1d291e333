// Forked children: the bus, queue and channel locks that other threads held at the fork work again in the child.
#include "core/fork_guard.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "core/periodic.hpp"
#include "core/queue.hpp"
#include "core/subscription.hpp"
#include "tests/cpp/test_util.hpp"

namespace sigtap {
namespace {

using namespace std::chrono_literals;

// Runs `child` in a forked child that exits with its answer: "exit N", or
// "hung" when it has not ended within a generous limit (it is then killed).
// The child starts no thread, so it also runs under ThreadSanitizer.
std::string in_child(const std::function<int()>& child) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(child());
  int status = 0;
  for (const Instant end = Clock::now() + 30s; Clock::now() < end; std::this_thread::sleep_for(2ms)) {
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status)) : "signal " + std::to_string(WTERMSIG(status));
    }
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return "hung";
}

Message tagged(std::uint8_t tag) { return test::raw(Bytes{tag}); }

// Receives until the packet tagged `tag` comes, skipping what the parent's
// senders left queued; false when nothing comes for a while.
bool receives(Channel& ch, std::uint8_t tag) {
  for (;;) {
    auto m = ch.recv(Duration::from_millis(5000));
    if (!m.ok() || !m->has_value()) return false;
    if ((*m)->packet->data.size() == 1 && (*m)->packet->data[0] == tag) return true;
  }
}

// Senders every 1 ms and subscriptions waiting inside their receive keep the
// bus, its queues and the receive locks busy, so that forks catch threads
// inside them. Each child stops what it inherited, then sends and receives on
// a new channel and on inherited ones.
TEST(ForkGuard, ChildOfABusyBusSendsAndReceives) {
  const std::string bus = "mem://fork-guard-busy";
  auto tx = Channel::open(bus, "raw", {}), rx = Channel::open(bus, "raw", {});
  ASSERT_TRUE(tx.ok() && rx.ok());
  std::vector<std::unique_ptr<Periodic>> senders;
  std::vector<std::unique_ptr<Subscription>> subscriptions;
  std::vector<Channel> others;
  for (int i = 0; i < 2; ++i) senders.push_back(std::move(tx->every(Duration::from_millis(1), tagged(1), {}).value()));
  for (int i = 0; i < 2; ++i) others.push_back(std::move(Channel::open(bus, "raw", {}).value()));
  for (Channel* ch : {&*rx, &others[0], &others[1]}) {
    subscriptions.push_back(std::move(ch->subscribe([](Result<Message>) { return true; }).value()));
  }
  // Channels opened and dropped meanwhile, on this bus and on buses of their
  // own: the name tables, hubs, ports and queues come and go across forks.
  std::atomic<bool> done{false};
  std::thread opener([&] {
    for (int i = 0; !done.load(); ++i) {
      auto ch = Channel::open(i % 2 ? bus : bus + std::to_string(i % 7), "raw", {});
      if (ch.ok()) (void)ch->send(tagged(9));
    }
  });
  std::this_thread::sleep_for(50ms);

  for (int fork = 0; fork < 20; ++fork) {
    const std::string child = in_child([&] {
      for (auto& s : senders) (void)s->stop_and_join();  // only forgets their threads
      for (auto& s : subscriptions) (void)s->stop_and_join();
      auto fresh = Channel::open(bus, "raw", {});
      if (!fresh.ok() || !fresh->send(tagged(2)).ok()) return 1;
      if (!receives(*rx, 2)) return 2;
      if (!tx->send(tagged(3)).ok() || !receives(*fresh, 3)) return 3;
      return 0;
    });
    EXPECT_EQ(child, "exit 0") << "fork " << fork;
    std::this_thread::sleep_for(3ms);
  }
  done = true;
  opener.join();
}

// A queue forgets the producers and receivers that waited on it: room granted
// to a producer that is not in the child is free again there.
TEST(ForkGuard, QueueForgetsItsWaiters) {
  Queue q(8);
  q.push(test::bytes(Bytes(8)));
  std::thread producer([&] { q.push_waiting(test::bytes(Bytes(8))); });  // waits for room
  ASSERT_TRUE(test::eventually([&] { return q.size() == 1; }));
  std::this_thread::sleep_for(100ms);  // the producer is queued behind the full queue

  EXPECT_EQ(in_child([&] {
    if (!q.try_pop()) return 1;  // grants the room to the vanished producer
    q.push_waiting(test::bytes(Bytes(4)));
    auto p = q.pop(Duration::from_millis(0));
    return p.ok() && p->has_value() && (*p)->data.size() == 4 ? 0 : 2;
  }), "exit 0");

  q.close();
  producer.join();
}

}  // namespace
}  // namespace sigtap
