// Database loading tests: every load error text, the converted facts
// (choices, ranges, FD, multiplexing, initial values) and a walk over the
// real files in tests/data/dbc.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <map>

#include "core/dbc/database.hpp"
#include "core/fd.hpp"
#include "tests/cpp/test_data.hpp"

namespace sigtap::dbc {
namespace {

std::string load_error(std::string_view text) {
  auto r = Database::parse(text);
  return r.ok() ? "" : r.error().fmt();
}

Database load(std::string_view text) {
  auto r = Database::parse(text);
  EXPECT_TRUE(r.ok()) << r.error().fmt();
  return r.ok() ? std::move(r).value() : Database::create({}, {}, {}).value();
}

// A message M (id 1) of `size` bytes with one signal line.
std::string one_signal(std::string_view size, std::string_view layout, std::string_view rest = "") {
  return "BO_ 1 M: " + std::string(size) + " X\n SG_ s : " + std::string(layout) + " [0|0] \"\" X\n" + std::string(rest);
}

TEST(DbcDatabase, LoadErrorTexts) {
  const std::string mux = "BO_ 1 M: 8 X\n SG_ a M : 0|8@1+ (1,0) [0|0] \"\" X\n SG_ s m1 : 8|8@1+ (1,0) [0|0] \"\" X\n";
  const std::pair<std::string, std::string> cases[] = {
      {one_signal("65", "0|8@1+ (1,0)"), "message M is 65 bytes (at most 64)"},
      {one_signal("0", "0|8@1+ (1,0)"), "signal s of M: 8 bits from bit 0 do not fit in 0 bytes"},
      {one_signal("8", "0|0@1+ (1,0)"), "signal s of M: 0 bits from bit 0 do not fit in 8 bytes"},
      {one_signal("8", "0|65@1+ (1,0)"), "signal s of M: 65 bits from bit 0 do not fit in 8 bytes"},
      {one_signal("8", "60|5@1+ (1,0)"), "signal s of M: 5 bits from bit 60 do not fit in 8 bytes"},
      {one_signal("1", "0|2@0+ (1,0)"), "signal s of M: 2 bits from bit 0 do not fit in 1 bytes"},
      {one_signal("8", "4294967296|32@1+ (1,0)", "SIG_VALTYPE_ 1 s : 1;"), "signal s of M: start bit out of range"},
      {one_signal("8", "0|4294967296@1+ (1,0)"), "signal s of M: size out of range"},
      {one_signal("8", "0|16@1+ (1,0)", "SIG_VALTYPE_ 1 s : 1;"), "signal s of M: a float is 32 bits, not 16"},
      {one_signal("8", "0|32@1+ (1,0)", "SIG_VALTYPE_ 1 s : 2;"), "signal s of M: a double is 64 bits, not 32"},
      {one_signal("8", "0|8@1+ (0,0)"), "signal s of M: invalid factor 0"},
      {one_signal("8", "0|8@1+ (1e400,0)"), "signal s of M: invalid factor inf"},
      {one_signal("8", "0|8@1+ (-1e400,0)"), "signal s of M: invalid factor -inf"},
      {"BO_ 1 M: 8 X\n SG_ s m1 : 8|8@1+ (1,0) [0|0] \"\" X\n",
       "signal s of M is multiplexed but the message has no single multiplexor (and no SG_MUL_VAL_ entry)"},
      {mux + " SG_ b M : 16|8@1+ (1,0) [0|0] \"\" X\n",
       "signal s of M is multiplexed but the message has no single multiplexor (and no SG_MUL_VAL_ entry)"},
      {mux + "SG_MUL_VAL_ 1 s nope 1-1;", "signal s of M: unknown multiplexor nope"},
      {"BO_ 1 M: 8 X\nBO_ 2 M: 8 X\n", "duplicate message name M"},
      {"BO_ 256 A: 8 X\nBO_ 256 B: 8 X\n", "duplicate message identifier 0x100 (B)"},
      {"BO_ 256 A: 8 X\nBO_ 2147483904 B: 8 X\n", ""},
  };
  for (const auto& [text, error] : cases)
    EXPECT_EQ(load_error(text), error.empty() ? "" : "DBC parse error: " + error) << text;
}

TEST(DbcDatabase, SignalFacts) {
  const Database db = load(
      "BO_ 1 M: 8 Vector__XXX\n"
      " SG_ s : 0|8@1- (0.5,2) [0|0] \"\" A,B\n SG_ r : 8|8@0+ (1,0) [0|100] \"\" X\n"
      " SG_ n : 16|8@1+ (1,0) [-5|0] \"\" X\n"
      "BO_ 2 N: 8 Node\nCM_ BO_ 2 \"hello\";\nCM_ SG_ 1 s \"sig\";\n"
      "VAL_ 1 s 3 \"c\" 1 \"a\" 3 \"d\" 2 \"b\";\n"
      "BA_DEF_ SG_ \"GenSigStartValue\" FLOAT 0 100;\nBA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 1000;\n"
      "BA_DEF_DEF_ \"GenSigStartValue\" 7;\nBA_DEF_DEF_ \"GenMsgCycleTime\" 0;\n"
      "BA_ \"GenSigStartValue\" SG_ 1 r 2.5;\nBA_ \"GenSigStartValue\" SG_ 1 n \"x\";\nBA_ \"GenMsgCycleTime\" BO_ 2 100.9;");
  const Message& m = db.messages()[0];
  const Signal& s = m.signals[0];
  EXPECT_EQ(s.choices, (std::vector<std::pair<std::int64_t, std::string>>{{1, "a"}, {2, "b"}, {3, "c"}, {3, "d"}}));
  // Minimum, maximum ([0|0]: none), initial value (the default unless set;
  // none for a text, without falling back), signed, big endian.
  using Facts = std::tuple<std::optional<double>, std::optional<double>, std::optional<double>, bool, bool>;
  const auto facts = [](const Signal& x) { return Facts(x.min, x.max, x.initial, x.is_signed, x.big_endian); };
  EXPECT_EQ(facts(s), Facts({}, {}, 7.0, true, false));
  EXPECT_EQ(facts(m.signals[1]), Facts(0.0, 100.0, 2.5, false, true));
  EXPECT_EQ(facts(m.signals[2]), Facts(-5.0, 0.0, {}, false, false));
  EXPECT_EQ(s.comment, "sig");
  EXPECT_EQ(s.receivers, (std::vector<std::string>{"A", "B"}));
  EXPECT_FALSE(m.sender || m.cycle_time || m.comment);
  const Message& n = db.messages()[1];
  EXPECT_EQ(n.sender, "Node");
  EXPECT_EQ(n.comment, "hello");
  EXPECT_EQ(n.cycle_time, 100u);
}

TEST(DbcDatabase, FdFromVFrameFormatAndSize) {
  const std::string defs =
      "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"StandardCAN\",\"ExtendedCAN\",\"StandardCAN_FD\",\"fd\";\n";
  const auto of_m = [](std::string value) { return "BA_ \"VFrameFormat\" BO_ 1 " + value + ";"; };
  const std::tuple<std::string, std::string, bool> cases[] = {
      {"8", of_m("2"), true}, {"8", of_m("0"), false}, {"8", of_m("3"), false}, {"8", of_m("9"), false},
      {"8", of_m("-2"), false}, {"8", of_m("2.9"), true}, {"8", of_m("\"CAN FD\""), true},
      {"8", "BA_DEF_DEF_ \"VFrameFormat\" 2;", true}, {"12", of_m("0"), true}, {"64", "", true}, {"8", "", false},
  };
  for (const auto& [size, attr, fd] : cases) {
    const Database db = load("BO_ 1 M: " + size + " X\n" + defs + attr);
    EXPECT_EQ(db.messages()[0].fd, fd) << size << " " << attr;
  }
}

TEST(DbcDatabase, Multiplexing) {
  const Database db = load(
      "BO_ 1 M: 8 X\n SG_ a M : 0|8@1+ (1,0) [0|0] \"\" X\n SG_ b m4 : 8|8@1+ (1,0) [0|0] \"\" X\n"
      " SG_ c m1M : 16|8@1+ (1,0) [0|0] \"\" X\n SG_ d m0 : 24|8@1+ (1,0) [0|0] \"\" X\n"
      "SG_MUL_VAL_ 1 d c 1-2;\nSG_MUL_VAL_ 1 d a 5-5;\n");
  const auto& s = db.messages()[0].signals;
  EXPECT_FALSE(s[0].mux);
  EXPECT_TRUE(s[0].is_multiplexor && s[2].is_multiplexor && !s[1].is_multiplexor);
  ASSERT_TRUE(s[1].mux && s[2].mux && s[3].mux);
  EXPECT_EQ(s[1].mux->multiplexor, 0u);
  EXPECT_EQ(s[1].mux->ranges, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{4, 4}}));
  EXPECT_EQ(s[3].mux->multiplexor, 2u);
  EXPECT_EQ(s[3].mux->ranges, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 2}, {5, 5}}));
}

// The signals of one name in a message share what the file says about the
// name (value table, comment, SG_MUL_VAL_ ranges) rather than each holding
// a copy, and decode as ever.
TEST(DbcDatabase, SignalsOfOneNameShareTheirTables) {
  const Database db = load(
      "BO_ 1 M: 8 X\n SG_ S M : 8|8@1+ (1,0) [0|0] \"\" X\n SG_ d m1 : 0|8@1+ (1,0) [0|0] \"\" X\n"
      " SG_ d m1 : 0|8@1+ (1,0) [0|0] \"\" X\n SG_ d m2 : 16|8@1+ (1,0) [0|0] \"\" X\n"
      "VAL_ 1 d 7 \"seven\" 1 \"one\";\nCM_ SG_ 1 d \"c\";\nSG_MUL_VAL_ 1 d S 1-1, 3-4;\n");
  const Message& m = db.messages()[0];
  for (const std::size_t i : {2, 3}) {
    EXPECT_EQ(m.signals[i].choices.data(), m.signals[1].choices.data()) << i;
    EXPECT_EQ(m.signals[i].comment->data(), m.signals[1].comment->data()) << i;
    EXPECT_EQ(m.signals[i].mux->ranges.data(), m.signals[1].mux->ranges.data()) << i;
  }
  const std::uint8_t frame[8] = {7, 3, 1};
  EXPECT_EQ(m.decode(frame, {}).value(), (NamedValues{{"S", 3}, {"d", "seven"}, {"d", "seven"}, {"d", "one"}}));
}

TEST(DbcDatabase, TextDecodingAndReadErrors) {
  auto cp1252 = Database::from_bytes("BO_ 1 M: 8 X\n SG_ s : 0|8@1+ (1,0) [0|0] \"\xB0\" X");
  ASSERT_TRUE(cp1252.ok()) << cp1252.error().fmt();
  EXPECT_EQ(cp1252->messages()[0].signals[0].unit, "\xC2\xB0");
  // Other encodings and byte order marks: DbcParse.DecodesNonUtf8Bytes.
  EXPECT_EQ(Database::from_bytes("\xFF\xFE" "ABC").error().fmt(),
            "DBC parse error: the file is neither UTF-8 nor Windows-1252");

  auto missing = Database::from_file("no/such.dbc");
  EXPECT_EQ(missing.error().io_kind(), IoKind::NotFound);
  EXPECT_EQ(missing.error().text().rfind("no/such.dbc: ", 0), 0u);
}

// A message of many multiplexed signals whose SG_MUL_VAL_ entries all name
// its last signal as their switch (names of one length, so that no name is
// told apart by its length alone) loads well within the guard.
TEST(DbcDatabase, SwitchesFoundByNameInLinearTime) {
  constexpr std::size_t kSignals = 100000;
  std::string text = "BO_ 1 M: 8 X\n", entries;
  for (std::size_t i = 1000000; i < 1000000 + kSignals; ++i) {
    text += " SG_ s" + std::to_string(i) + " m1 : 0|8@1+ (1,0) [0|0] \"\" X\n";
    entries += "SG_MUL_VAL_ 1 s" + std::to_string(i) + " s9999999 1-1;\n";
  }
  text += " SG_ s9999999 M : 8|8@1+ (1,0) [0|0] \"\" X\n" + entries;
  auto loading = std::async(std::launch::async, [&text] { return Database::parse(text); });
  ASSERT_EQ(loading.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  const auto db = loading.get();
  ASSERT_TRUE(db.ok()) << db.error().fmt();
  const auto& signals = db->messages()[0].signals;
  for (const std::size_t i : {std::size_t{0}, kSignals - 1})
    EXPECT_TRUE(signals[i].mux && signals[i].mux->multiplexor == kSignals) << i;
}

// Only a regular file of a DBC file's size is read; anything else fails at
// once, naming the path: a FIFO without a writer, an endless device, a
// directory, a file past the limit (sparse, so it costs no disk), a path
// that the system would cut short.
TEST(DbcDatabase, ReadsOnlyRegularFilesUpToTheLimit) {
  std::string dir = "/tmp/sigtap-dbc-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string fifo = dir + "/fifo.dbc", big = dir + "/big.dbc", nul = dir + std::string(1, '\0') + "x";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const Fd file(::open(big.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
  ASSERT_EQ(ftruncate(file.get(), (off_t{64} << 20) + 1), 0);
  const std::tuple<std::string, std::string, IoKind> cases[] = {
      {fifo, fifo + ": not a regular file", IoKind::InvalidInput},
      {"/dev/zero", "/dev/zero: not a regular file", IoKind::InvalidInput},
      {dir, dir + ": Is a directory (os error 21)", IoKind::IsADirectory},
      {big, big + ": the file is larger than 64 MiB", IoKind::InvalidInput},
      {nul, nul + ": file name contained an unexpected NUL byte", IoKind::InvalidInput},
  };
  for (const auto& [path, text, kind] : cases) {
    auto loading = std::async(std::launch::async, [&path = path] { return Database::from_file(path); });
    if (loading.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      ADD_FAILURE() << path << ": still loading";
      Fd(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // a writer that comes and goes ends a wait
    }
    const auto r = loading.get();
    EXPECT_EQ(r.ok() ? "" : r.error().fmt(), text);
    EXPECT_TRUE(!r.ok() && r.error().io_kind() == kind) << path;
  }
  std::filesystem::remove_all(dir);
}

// Files that fail, and why: a signal outside a message of size 0 or of its
// own size, and lines that no DBC grammar accepts (cantools refuses them at
// the same places).
const std::map<std::string, std::string> kFailing = {
    {"bad_message_length.dbc", "signal Signal1 of Message1: 1 bits from bit 8 do not fit in 1 bytes"},
    {"issue_62.dbc", "of VECTOR__INDEPENDENT_SIG_MSG: 8 bits from bit 0 do not fit in 0 bytes"},
    {"FORD_CADS.dbc", "of VECTOR__INDEPENDENT_SIG_MSG: 8 bits from bit 0 do not fit in 0 bytes"},
    {"FORD_CADS_64.dbc", "of VECTOR__INDEPENDENT_SIG_MSG: 8 bits from bit 0 do not fit in 0 bytes"},
    {"gm_global_a_object.dbc", "of VECTOR__INDEPENDENT_SIG_MSG: 8 bits from bit 0 do not fit in 0 bytes"},
    {"hyundai_2015_mcan.dbc", "of VECTOR__INDEPENDENT_SIG_MSG: 12 bits from bit 0 do not fit in 0 bytes"},
    {"mazda_3_2019.dbc", "signal NEW_SIGNAL_4 of CAM_KEEP_ALIVE_1: 30 bits from bit 55 do not fit in 8 bytes"},
    {"mazda_2017.dbc", "line 273, column 10: expected the message name"},       // name 2017_5
    {"psa_aee2010_r3.dbc", "line 165, column 6: expected the signal name"},     // name 0_COUNTER
    {"toyota_radar_dsu_tssp.dbc", "line 139, column 1: expected ';' to end the CM_ statement"},
    {"vw_pq.dbc", "line 394, column 18: expected a multiplexer indicator"},    // "m" without a number
};

TEST(DbcDatabase, RealFilesLoadOrFailWithLoadErrors) {
  std::size_t loaded = 0;
  for (const char* dir : {"/dbc/opendbc", "/dbc/cantools"}) {
    for (const auto& entry : std::filesystem::directory_iterator(test::test_data() + dir)) {
      if (entry.path().extension() != ".dbc") continue;
      const std::string name = entry.path().filename().string();
      auto r = Database::from_file(entry.path().string());
      auto failing = kFailing.find(name);
      if (failing == kFailing.end()) {
        EXPECT_TRUE(r.ok()) << name << ": " << r.error().fmt();
        loaded += r.ok();
      } else {
        ASSERT_FALSE(r.ok()) << name;
        EXPECT_NE(r.error().fmt().find(failing->second), std::string::npos) << name << ": " << r.error().fmt();
      }
    }
  }
  EXPECT_EQ(loaded, 128u);

  // Counts as cantools gives them.
  const std::tuple<const char*, std::size_t, std::size_t> counts[] = {
      {"opendbc/ford_lincoln_base_pt.dbc", 331, 2150}, {"opendbc/vw_mlb.dbc", 145, 1442}};
  for (const auto& [file, messages, signals] : counts) {
    auto r = Database::from_file(test::test_data() + "/dbc/" + file);
    ASSERT_TRUE(r.ok()) << file;
    std::size_t n = 0;
    for (const Message& m : r->messages()) n += m.signals.size();
    EXPECT_EQ(r->messages().size(), messages) << file;
    EXPECT_EQ(n, signals) << file;
  }
  auto gm = Database::from_file(test::test_data() + "/dbc/opendbc/gm_global_a_lowspeed.dbc");
  ASSERT_TRUE(gm.ok());
  auto m = gm->message_by_id(0x10400000, true);
  ASSERT_TRUE(m.ok()) << m.error().fmt();
  EXPECT_EQ(gm->messages().size(), 13u);
}

}  // namespace
}  // namespace sigtap::dbc
