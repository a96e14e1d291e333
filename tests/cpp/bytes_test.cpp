// Bytes: the in-place/heap boundary, growth and shrinking, copies and moves, and the vector-like edits.
#include "core/bytes.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <sstream>
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

TEST(BytesTest, SixtyFourBytesStayInPlaceAndSixtyFiveGoToTheHeap) {
  for (std::size_t n : {0, 1, 64, 65, 1000}) {
    Bytes pushed;
    for (std::uint8_t b : counting(n)) pushed.push_back(b);
    for (const Bytes& b : {Bytes(n, 7), Bytes(counting(n)), pushed}) {
      EXPECT_EQ(in_place(b), n <= Bytes::kInline) << n;
      EXPECT_EQ(b.size(), n);
    }
    EXPECT_EQ(Bytes(n, 7), Vec(n, 7));
    EXPECT_EQ(pushed, counting(n));
  }
}

TEST(BytesTest, ShrinkToFitKeepsTheBytesAndReturnsInPlace) {
  Bytes b(counting(200));
  b.resize(100);
  b.shrink_to_fit();
  EXPECT_EQ(std::pair(b.capacity(), b), std::pair(std::size_t{100}, Bytes(counting(100))));
  b.resize(64);
  b.shrink_to_fit();
  EXPECT_TRUE(in_place(b));
  EXPECT_EQ(b, counting(64));
}

TEST(BytesTest, CopiesAndMovesOfBothKinds) {
  for (std::size_t n : {5, 100}) {
    const Vec want = counting(n);
    Bytes a(want);
    Bytes copy(a), assigned(300, 1);
    assigned = a;
    copy[0] = 0xEE;
    EXPECT_EQ(std::pair(a, assigned), std::pair(Bytes(want), Bytes(want))) << n;
    Bytes moved(std::move(a));
    EXPECT_TRUE(a.empty() && in_place(a)) << n;
    a = {9};  // a moved-from object is usable
    Bytes target(300, 1);
    target = std::move(moved);
    EXPECT_TRUE(moved.empty()) << n;
    Bytes& same = target;
    target = same;
    target = std::move(same);
    EXPECT_EQ(std::pair(target, a), std::pair(Bytes(want), Bytes{9})) << n;
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
    Vec want(n, 0);
    std::fill_n(want.begin(), 10, 0xFF);
    EXPECT_EQ(b, want) << n;
  }
}

TEST(BytesTest, EditsFromItsOwnBytesAndFromOtherRanges) {
  Bytes b(counting(64));
  b.insert(b.end(), b.begin(), b.end());  // grows while reading itself
  Vec want = counting(64);
  want.insert(want.end(), want.begin(), want.begin() + 64);
  EXPECT_EQ(b, want);
  b.assign(b.begin() + 1, b.begin() + 4);
  EXPECT_EQ(b, (Vec{2, 3, 4}));
  std::istringstream in("xyz");
  b.insert(b.begin() + 1, std::istreambuf_iterator<char>(in), {});
  const std::vector<int> ints{5, 6};
  b.insert(b.end(), ints.begin(), ints.end());
  b.append(b.data(), 2);
  EXPECT_EQ(b, (Vec{2, 'x', 'y', 'z', 3, 4, 5, 6, 2, 'x'}));
}

}  // namespace
}  // namespace sigtap
