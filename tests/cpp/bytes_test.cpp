// Bytes: the in-place/heap boundary, growth and shrinking, copies and moves, the vector-like edits;
// packet bytes: lent storage (given back once, never written) and owned bytes written in place.
#include "core/bytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <sstream>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace sigtap {
namespace {

using Vec = std::vector<std::uint8_t>;

bool in_place(const Bytes& b) {
  const auto* self = reinterpret_cast<const std::uint8_t*>(&b);
  return b.data() >= self && b.data() + b.capacity() <= self + sizeof b;
}
Vec counting(std::size_t n) {
  Vec v(n);
  std::iota(v.begin(), v.end(), std::uint8_t{1});
  return v;
}

TEST(BytesTest, SixtyFourBytesStayInPlaceAndMoreGoToTheHeapAndBack) {
  for (std::size_t n : {0, 64, 65, 1000}) {
    Bytes pushed;
    for (std::uint8_t b : counting(n)) pushed.push_back(b);
    for (const Bytes& b : {Bytes(n, 7), Bytes(counting(n)), pushed}) EXPECT_EQ(in_place(b), n <= Bytes::kInline) << n;
    EXPECT_EQ(std::pair(pushed, Bytes(n, 7)), std::pair(Bytes(counting(n)), Bytes(Vec(n, 7))));
    pushed.resize(std::min<std::size_t>(n, 64));
    pushed.shrink_to_fit();
    EXPECT_TRUE(in_place(pushed) && pushed == counting(pushed.size())) << n;
  }
}

TEST(BytesTest, CopiesAndMovesOfBothKinds) {
  for (std::size_t n : {5, 100}) {
    const Bytes want(counting(n));
    Bytes a(want), copy(a), assigned(300, 1);
    assigned = a;
    copy[0] = 0xEE;
    Bytes moved(std::move(a));
    EXPECT_TRUE(a.empty() && in_place(a)) << n;
    a = {9};  // a moved-from object is usable
    Bytes target(300, 1);
    target = std::move(moved);
    Bytes& same = target;
    target = same;
    target = std::move(same);
    EXPECT_EQ(std::tuple(assigned, target, moved, a), std::tuple(want, want, Bytes{}, Bytes{9})) << n;
  }
}

TEST(BytesTest, ResizeClearsNewBytesButResizeForOverwriteKeepsTheStorage) {
  for (std::size_t n : {40, 100}) {
    Bytes b(n, 0xFF);
    b.resize(10);
    b.resize_for_overwrite(n);
    EXPECT_EQ(b, Vec(n, 0xFF)) << n;
    b.resize(10);
    b.resize(n);
    EXPECT_TRUE(b[9] == 0xFF && Bytes(b.begin() + 10, b.end()) == Vec(n - 10, 0)) << n;
  }
}

TEST(BytesTest, EditsFromItsOwnBytesAndFromOtherRanges) {
  Bytes b(counting(64));
  b.insert(b.end(), b.begin(), b.end());  // grows while reading itself
  EXPECT_EQ(Bytes(b.begin() + 64, b.end()), counting(64));
  b.assign(b.begin() + 1, b.begin() + 4);
  std::istringstream in("xy");
  b.insert(b.begin() + 1, std::istreambuf_iterator<char>(in), {});
  const std::vector<int> ints{5};
  b.insert(b.end(), ints.begin(), ints.end());
  b.append(b.data(), 2);
  EXPECT_EQ(b, (Vec{2, 'x', 'y', 3, 4, 5, 2, 'x'}));
}

// Plain owned bytes: no member allocates behind an accessor.
static_assert(noexcept(std::declval<Bytes&>().data()) && noexcept(std::declval<Bytes&>()[0]) &&
              noexcept(std::declval<Bytes&>().begin()) && noexcept(std::declval<Bytes&>().end()) &&
              noexcept(std::declval<Bytes&>().front()) && noexcept(std::declval<Bytes&>().back()));
// A packet's bytes are read-only: writing needs Bytes, through make_owned().
static_assert(std::is_same_v<decltype(std::declval<PacketBytes&>().data()), const std::uint8_t*> &&
              std::is_same_v<decltype(std::declval<PacketBytes&>()[0]), const std::uint8_t&> &&
              std::is_same_v<decltype(std::declval<PacketBytes&>().begin()), const std::uint8_t*>);
template <typename T>
concept Writable = requires(T& b) { b.push_back(0); } || requires(T& b) { b.resize(1); };
static_assert(Writable<Bytes> && !Writable<PacketBytes>);
static_assert(std::is_nothrow_move_constructible_v<PacketBytes> && !std::is_copy_constructible_v<LentBytes>);

// Lent storage is given back exactly once, whichever way the bytes go:
// dropped, moved on, replaced, or made owned for a write, which copies them
// first and gives the storage back at once. Copies are owned, and nothing
// ever writes into the storage: it belongs to an immutable Python bytes
// object, which `.data` may already have handed out.
TEST(BytesTest, LentStorageIsGivenBackOnceAndNeverWritten) {
  static int released = 0;
  const auto release = [](void* context) { released += *static_cast<int*>(context); };
  int one = 1;
  std::vector<std::uint8_t> storage(65536, 7);  // the size of a lent read buffer
  const auto lend = [&] { return PacketBytes(LentBytes(storage.data(), 100, release, &one)); };
  const auto owns_its_copy = [&](const PacketBytes& b) {
    return b.owned() && !b.lent() && (b.empty() || b.data() < storage.data() || b.data() >= &*storage.end());
  };
  const Bytes want(100, 7);
  // Each fate returns how many releases must have run before the bytes go.
  const std::vector<std::function<int(PacketBytes&)>> fates = {
      [](PacketBytes&) { return 0; },
      [](PacketBytes& b) { { PacketBytes moved = std::move(b); } EXPECT_TRUE(b.empty()); return 1; },
      [&](PacketBytes& b) { PacketBytes copy = b; EXPECT_TRUE(owns_its_copy(copy) && copy == want); return 0; },
      [&](PacketBytes& b) { PacketBytes copy{1}; copy = b; EXPECT_TRUE(owns_its_copy(copy) && copy == want); return 0; },
      [&](PacketBytes& b) { Bytes copy = b.owned_copy(); EXPECT_TRUE(copy == want && b.lent()); return 0; },
      [&](PacketBytes& b) { b.make_owned()[0] = 1; EXPECT_TRUE(owns_its_copy(b) && b.size() == 100u); return 1; },
      [](PacketBytes& b) { b.make_owned().resize(65537); EXPECT_EQ(b[99], 7); return 1; },
      [](PacketBytes& b) { b.make_owned().push_back(1); EXPECT_EQ(b.size(), 101u); return 1; },
      [](PacketBytes& b) { Bytes& own = b.make_owned(); own.append(own.data(), 2); EXPECT_EQ(b[101], 7); return 1; },
      [](PacketBytes& b) { std::fill(b.make_owned().begin(), b.make_owned().end(), 1); return 1; },
      [](PacketBytes& b) { b = Bytes(3, 1); EXPECT_TRUE(b.owned() && b == Bytes(3, 1)); return 1; },
      [](PacketBytes& b) { b = {1, 2}; return 1; },
      [&](PacketBytes& b) { b = LentBytes(storage.data(), 5, release, &one); EXPECT_EQ(b, Bytes(5, 7)); return 1; },
      [&](PacketBytes& b) { b = PacketBytes(Bytes(3, 1)); return 1; },
  };
  for (std::size_t i = 0; i < fates.size(); ++i) {
    released = 0;
    int before_drop = -1;
    {
      PacketBytes b = lend();
      ASSERT_TRUE(b.lent() && !b.owned()) << i;
      EXPECT_TRUE(b.lent()->context_for(release) == &one && b.lent()->context_for(nullptr) == nullptr) << i;
      EXPECT_TRUE(b == want && b.data() == storage.data() && b.view().size() == 100u) << i;
      const int expected = fates[i](b);
      before_drop = released;
      EXPECT_EQ(released, expected) << "fate " << i;
    }
    EXPECT_EQ(released, i == 12 ? 2 : 1) << "fate " << i << " (" << before_drop << " before the drop)";
    EXPECT_EQ(std::count(storage.begin(), storage.end(), 7), 65536) << "fate " << i;
  }
}

// Owned packet bytes are written in place: make_owned() copies nothing, and
// assigning Bytes reuses the storage held.
TEST(BytesTest, OwnedPacketBytesAreWrittenInPlace) {
  PacketBytes b = Bytes(counting(1000));
  const std::uint8_t* storage = b.data();
  b.make_owned()[0] = 0xEE;
  b = Bytes(counting(10));
  PacketBytes copy(b);
  copy.make_owned().push_back(11);
  EXPECT_TRUE(b.data() != storage && b == counting(10) && copy == counting(11) && copy.data() != b.data());
  Bytes& own = b.make_owned();
  own.resize(2000);
  const std::uint8_t* grown = b.data();
  b = copy;  // fits: copied into the storage b already has
  EXPECT_TRUE(b.data() == grown && b == counting(11));
}

}  // namespace
}  // namespace sigtap
