// The field-list pool: decoding over recycled lists gives what fresh lists give, and the pool stays in its budget.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "core/codec/dbc.hpp"
#include "core/fields_pool.hpp"
#include "tests/cpp/dbc/dbc_builders.hpp"

namespace sigtap {
namespace {

using test::make_message, test::Sig;

TEST(FieldsPool, DecodingOverRecycledListsMatchesFreshLists) {
  // Lengths 3, 12 and 1; long names and texts; a choice that comes and goes, a switch.
  std::vector<dbc::Signal> many;
  for (std::uint32_t i = 0; i < 12; ++i) many.push_back(Sig("s" + std::to_string(i), i * 5, 5));
  auto db = dbc::Database::create(
      "", {},
      {make_message("Long", 8, {Sig("a_rather_long_signal_name", 0, 8).choice(1, "a choice text longer than 15"),
                                Sig("another_long_signal_name_here", 8, 8).choice(2, "two").scale(0.5, 0),
                                Sig("x", 16, 8).muxed(0, {{1, 1}})}, 0x1),
       make_message("Many", 8, many, 0x2), make_message("One", 1, {Sig("long_single_signal_name", 0, 8)}, 0x3)});
  Dbc codec(std::move(db).value(), {}, {});
  using Frame = std::pair<std::uint32_t, std::vector<std::uint8_t>>;
  const std::vector<Frame> frames = {{1, {1, 2, 7}}, {2, {1, 2, 3, 4, 5, 6, 7, 8}}, {3, {9}},    {1, {3, 4, 7}},
                                     {1, {1, 0, 7}}, {2, {8, 7, 6, 5, 4, 3, 2, 1}}, {1, {2, 2, 9}}, {3, {1}}};
  const auto decode_all = [&](bool recycle) {
    std::vector<Fields> got;
    for (const auto& [id, data] : frames) {
      std::vector<Message> out;
      EXPECT_TRUE(codec.decode(Packet{data, CanHeader{id}, {}, {}}, out).ok());
      got.push_back(out[0].fields);
      if (recycle) recycle_fields(out[0].fields);
    }
    return got;
  };
  std::vector<Fields> fresh, recycled, reshaped;
  std::thread([&] { fresh = decode_all(false); }).join();  // a thread whose pool stays empty
  recycled = decode_all(true);
  std::thread([&] {
    // A budget full of lists of other lengths: those are cut down or extended.
    for (std::size_t length = FieldsPool::kMaxListLength; length > 3; --length) {
      Fields filler(length == 12 ? 0 : length, Field(std::string(100, 'f'), Value::str(std::string(100, 't'))));
      recycle_fields(filler);
    }
    reshaped = decode_all(true);
  }).join();
  for (std::size_t i = 0; i < fresh.size(); ++i) {
    EXPECT_TRUE(fields_equal(fresh[i], recycled[i]) && fields_equal(fresh[i], reshaped[i])) << i;
  }
  EXPECT_EQ(fresh[0][0].second.as_str(), "a choice text longer than 15");
  // Appending to a list that already has fields keeps them.
  Fields kept = {{"first", Value::integer(1)}};
  ASSERT_TRUE(codec.database().messages()[2].decode_into(std::vector<std::uint8_t>{4}, {}, kept).ok());
  EXPECT_TRUE(fields_equal(kept, {{"first", Value::integer(1)}, {"long_single_signal_name", Value::integer(4)}}));
}

TEST(FieldsPool, KeepsOneListPerLengthWithinItsBudget) {
  FieldsPool pool;
  const std::string huge(FieldsPool::kMaxTextCapacity + 1, 'h');
  for (std::size_t length = 1; length <= FieldsPool::kMaxListLength + 1; ++length) {
    for (int copy = 0; copy < 2; ++copy) {
      Fields list(length, Field(huge, Value::map({{"m", Value::str(huge)}})));
      pool.give_back(list);
      EXPECT_TRUE(list.empty() && list.capacity() == 0);
    }
  }
  EXPECT_EQ(pool.list_count(), FieldsPool::kMaxListLength);  // the longest list and every second copy are freed
  EXPECT_LE(pool.bytes(), FieldsPool::kMaxBytes);
  const Fields back = pool.take_list(3);
  EXPECT_EQ(back.size(), 3u);
  for (const Field& field : back) EXPECT_TRUE(field.first.empty() && field.second.is_null());  // oversized parts dropped
  for (int i = 0; i < 1000; ++i) {
    std::string name(FieldsPool::kMaxTextCapacity, 'n');
    pool.keep_buffer(name);
  }
  EXPECT_LE(pool.bytes(), FieldsPool::kMaxBytes);
  EXPECT_LE(pool.name_count(), FieldsPool::kMaxNames);
}

// A stream codec's packet gives many messages of one length at once: as many
// lists as were asked for while none was held come back, within their own budget.
TEST(FieldsPool, KeepsAsManyListsOfALengthAsWereWantedAtOnce) {
  FieldsPool pool;
  for (const std::size_t wanted : {5, 2000}) {
    std::vector<Fields> taken(wanted);
    for (Fields& list : taken) {
      list = pool.take_list(64);
      list.resize(64, Field(std::string(FieldsPool::kMaxTextCapacity, 'n'), Value::map({{"m", Value::integer(1)}})));
    }
    for (Fields& list : taken) pool.give_back(list);
    // All five come back; of 2000 such lists, what the budget holds.
    EXPECT_EQ(pool.list_count() == wanted, wanted == 5) << pool.list_count();
  }
  EXPECT_LE(pool.run_bytes(), FieldsPool::kMaxRunBytes);
  EXPECT_LE(pool.bytes(), FieldsPool::kMaxBytes);
}

// Writes `length` fields over a list from the pool, as a decode does, and
// says what differs from the fields written ("" when nothing does).
std::string write_over_pooled_list(FieldsPool& pool, Fields& list, std::size_t length, std::int64_t seed) {
  Fields want;
  {
    FieldWriter writer(list, &pool);
    writer.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
      const std::string name = "signal_name_number_" + std::to_string(i);
      if (i % 3 == 0) {
        const std::string text = "a text longer than a string holds inline " + std::to_string(seed + i);
        writer.add_text(name, text), want.emplace_back(name, Value::str(text));
      } else {
        writer.add_int(name, seed + i), want.emplace_back(name, Value::integer(seed + i));
      }
    }
  }
  if (list.size() != length) return std::to_string(list.size()) + " fields for " + std::to_string(length);
  return fields_equal(list, want) ? "" : "wrong fields for " + std::to_string(length);
}

// Runs sequences of lists held and given back, with the budget filled by
// lists of other lengths or not, and says whether every list taken was
// written over into exactly the fields wanted, within the pool's budgets.
bool pool_sequences_hold() {
  // hold N: take and write a list of N fields, kept until drop; fill: the
  // budget filled with lists of 64 fields down to 7 and spare names.
  struct Step { enum { Hold, Drop, Fill } op; std::size_t length = 0; int times = 1; };
  struct Case { const char* what; std::vector<Step> steps; };
  const Case cases[] = {
      {"further lists of a length, then longer than any kept list, twice",
       {{Step::Hold, 5, 3}, {Step::Drop}, {Step::Hold, 3000}, {Step::Drop}, {Step::Hold, 3000}, {Step::Drop}}},
      {"a full budget: the nearest is taken from a length with further lists",
       {{Step::Hold, 5, 3}, {Step::Drop}, {Step::Fill}, {Step::Hold, 6, 2}, {Step::Hold, 3000, 80}, {Step::Hold, 4, 4},
        {Step::Drop}, {Step::Hold, 5, 4}, {Step::Drop}, {Step::Hold, 3000, 2}}},
      {"runs of several lengths taken past the ones held",
       {{Step::Hold, 64, 5}, {Step::Hold, 3, 4}, {Step::Drop}, {Step::Fill}, {Step::Hold, 2, 10}, {Step::Hold, 64, 8},
        {Step::Hold, 65, 3}, {Step::Drop}, {Step::Hold, 3, 6}, {Step::Hold, 1, 2}, {Step::Drop}}},
      {"a full budget and nothing else", {{Step::Fill}, {Step::Hold, 3000, 70}, {Step::Hold, 1, 3}, {Step::Drop}}},
  };
  bool good = true;
  for (const Case& c : cases) {
    FieldsPool pool;
    std::vector<Fields> held;
    std::int64_t seed = 0;
    for (const Step& step : c.steps) {
      if (step.op == Step::Drop) {
        for (Fields& list : held) pool.give_back(list);
        held.clear();
      } else if (step.op == Step::Fill) {
        for (std::size_t length = FieldsPool::kMaxListLength; length > 6; --length) {
          Fields filler(length, Field(std::string(100, 'f'), Value::str(std::string(100, 't'))));
          pool.give_back(filler);
        }
        for (std::size_t i = 0; i < FieldsPool::kMaxNames; ++i) {
          std::string name(FieldsPool::kMaxTextCapacity, 'n');
          pool.keep_buffer(name);
        }
      }
      for (int i = 0; step.op == Step::Hold && i < step.times; ++i) {
        const std::string wrong = write_over_pooled_list(pool, held.emplace_back(), step.length, seed += 1000000);
        if (!wrong.empty()) std::fprintf(stderr, "%s: %s\n", c.what, wrong.c_str()), good = false;
      }
      if (pool.bytes() > FieldsPool::kMaxBytes || pool.run_bytes() > FieldsPool::kMaxRunBytes) {
        std::fprintf(stderr, "%s: over budget\n", c.what), good = false;
      }
    }
  }
  return good;
}

// Whatever the pool holds, a list taken from it becomes the fields written;
// a request that no kept list fits gets an empty list. In a child process,
// so that a pool that writes past its own storage fails this test alone.
TEST(FieldsPool, EveryTakeGivesAllItsFieldsWhateverThePoolHolds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(pool_sequences_hold() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace sigtap
