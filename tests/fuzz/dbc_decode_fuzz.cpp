// seeds: dbc
// Decodes arbitrary payloads with arbitrary options through a fixed database
// (multiplexing, both byte orders, signed, float and 64-bit signals, a loop
// of SG_MUL_VAL_ switches) and encodes values taken from the input.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/codec/dbc.hpp"

namespace {

constexpr const char* kDbc = R"(VERSION "fuzz"
BU_: A B
BO_ 256 Mux: 8 A
 SG_ Sel M : 0|8@1+ (1,0) [0|0] "" B
 SG_ Lo m1 : 8|16@1- (0.5,-3) [-100|100] "" B
 SG_ Hi m2 : 15|12@0+ (2,-40) [0|0] "" B
 SG_ Sub m3M : 24|8@1+ (1,0) [0|0] "" B
 SG_ Deep m7 : 32|32@1- (1,0) [0|0] "" B
 SG_ Fl : 32|32@1- (1.5,2) [-10|10] "" B
 SG_ Big : 7|64@0- (1,0) [0|0] "" B
BO_ 2147484160 Loop: 16 A
 SG_ A m1M : 0|4@1+ (1,0) [0|0] "" B
 SG_ Q m1M : 4|4@1+ (1,0) [0|0] "" B
 SG_ C : 8|64@1- (3,-1) [0|0] "" B
 SG_ D : 71|64@0+ (1e30,0) [0|0] "" B
BO_ 512 Fd: 64 A
 SG_ Dbl : 7|64@0- (1,0) [0|0] "" B
 SG_ U : 500|12@1+ (0.001,1000) [0|0] "" B
VAL_ 256 Sel 1 "one" 2 "two" 3 "three" ;
VAL_ 256 Hi -1 "never" 4095 "max" ;
SIG_VALTYPE_ 256 Fl : 1;
SIG_VALTYPE_ 512 Dbl : 2;
SG_MUL_VAL_ 2147484160 A Q 0-15;
SG_MUL_VAL_ 2147484160 Q A 0-15;
BA_DEF_ SG_ "GenSigStartValue" INT 0 100;
BA_ "GenSigStartValue" SG_ 256 Sel 3;
)";

struct Input {
  const std::uint8_t* p;
  std::size_t n;
  std::uint8_t byte() { return n ? (--n, *p++) : 0; }
  std::uint64_t word() {
    std::uint64_t w = 0;
    for (int i = 0; i < 8; ++i) w = w << 8 | byte();
    return w;
  }
};

const sigtap::dbc::Database& database() {
  static const sigtap::dbc::Database db = sigtap::dbc::Database::parse(kDbc).value();  // throws (aborts) if refused
  return db;
}

sigtap::dbc::NamedValues values_from(Input& in, const sigtap::dbc::Message& m) {
  sigtap::dbc::NamedValues values;
  for (const auto& signal : m.signals) {
    switch (in.byte() % 6) {
      case 0: break;
      case 1: values.emplace_back(signal.name, static_cast<std::int64_t>(in.word())); break;
      case 2: values.emplace_back(signal.name, std::bit_cast<double>(in.word())); break;
      case 3: values.emplace_back(signal.name, static_cast<double>(static_cast<std::int8_t>(in.byte())) / 4); break;
      case 4: values.emplace_back(signal.name, std::string(in.byte() % 2 ? "two" : "never")); break;
      case 5: values.emplace_back(in.byte() % 8 ? signal.name : "nope", static_cast<std::int64_t>(in.byte()) - 128); break;
    }
  }
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace sigtap;
  const dbc::Database& db = database();
  Input in{data, size};
  const dbc::Message& m = db.messages()[in.byte() % db.messages().size()];
  const std::uint8_t flags = in.byte();
  const dbc::DecodeOptions dec{.decode_choices = (flags & 1) != 0, .scaling = (flags & 2) != 0};
  const dbc::EncodeOptions enc{.scaling = (flags & 4) != 0, .strict = (flags & 8) != 0};
  const std::size_t length = std::min<std::size_t>(in.byte() % 80, in.n);
  const std::vector<std::uint8_t> payload(in.p, in.p + length);
  in.p += length;
  in.n -= length;

  (void)m.decode(payload, dec);
  static Dbc codec{db, {}, {}};
  std::vector<Message> out;
  (void)codec.decode(Packet{payload, CanHeader{m.id, m.extended}, {}, {}}, out);

  auto encoded = m.encode(values_from(in, m), enc);
  if (encoded.ok()) {
    // A payload that encoding produced always decodes: every signal fits it.
    if (encoded->size() != m.size || !m.decode(*encoded, dec).ok()) std::abort();
  }
  return 0;
}
