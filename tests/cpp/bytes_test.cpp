// Bytes: the in-place/heap boundary, growth and shrinking, copies and moves, the vector-like edits,
// and adopted storage (given back once, never written).
#include "core/bytes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <sstream>
#include <tuple>
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

// Adopted storage is given back exactly once, whichever way the bytes go:
// dropped, moved on, copied (the copy owns its own), grown out of, shrunk out
// of, or written to, which moves the bytes to storage of their own first:
// the storage belongs to an immutable Python bytes object.
TEST(BytesTest, AdoptedStorageIsGivenBackOnce) {
  static int released = 0;
  const auto release = [](void* context) { released += *static_cast<int*>(context); };
  int one = 1;
  std::vector<std::uint8_t> storage(65536, 7);  // the size of a lent read buffer
  const auto adopt = [&] { return Bytes::adopt(storage.data(), 100, storage.size(), release, &one); };
  const std::vector<std::function<void(Bytes&)>> fates = {
      [](Bytes&) {},
      [](Bytes& b) { Bytes moved = std::move(b); },
      [](Bytes& b) { Bytes copy = b; EXPECT_FALSE(copy.adopted()); EXPECT_EQ(copy, Bytes(100, 7)); },
      [](Bytes& b) { b.resize(65537); EXPECT_FALSE(b.adopted()); EXPECT_EQ(b[99], 7); },
      [](Bytes& b) { b.resize(10); b.shrink_to_fit(); EXPECT_EQ(b, Bytes(10, 7)); },
      [](Bytes& b) { b[0] = 1; EXPECT_EQ(b.size(), 100u); },
      [](Bytes& b) { b.data()[99] = 1; },
      [](Bytes& b) { b.resize(200, 1); EXPECT_EQ(b[150], 1); },
      [](Bytes& b) { b.push_back(1); },
      [](Bytes& b) { b.append(b.data(), 2); EXPECT_EQ(b.size(), 102u); },
      [](Bytes& b) { const Vec two{1, 1}; b.insert(b.begin(), two.begin(), two.end()); EXPECT_EQ(b[1], 1); },
      [](Bytes& b) { b.assign(3, 1); },
      [](Bytes& b) { b = Bytes(3, 1); },
      [](Bytes& b) { b.resize_for_overwrite(100); std::fill(b.begin(), b.end(), 1); },
  };
  for (std::size_t i = 0; i < fates.size(); ++i) {
    released = 0;
    {
      Bytes b = adopt();
      EXPECT_EQ(b.adopted_context(release), &one);
      fates[i](b);
    }
    EXPECT_EQ(released, 1) << "fate " << i;
    EXPECT_EQ(std::count(storage.begin(), storage.end(), 7), 65536) << "fate " << i;
  }
}

}  // namespace
}  // namespace sigtap
