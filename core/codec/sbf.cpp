// The sbf codec: per-source framing into named messages, and the two block writers.
#include "core/codec/sbf.hpp"

#include <charconv>
#include <chrono>
#include <cmath>
#include <iterator>
#include <limits>
#include <utility>

#include "core/codec/builtin.hpp"
#include "core/fields_pool.hpp"
#include "core/sbf/block_decoder.hpp"
#include "core/sbf/writer.hpp"
#include "core/text.hpp"

namespace sigtap::codec::sbf {
namespace {

constexpr double kGpsEpoch = 315964800.0;  // 1980-01-06 in Unix seconds
constexpr double kLeapSeconds = 18.0;
constexpr std::uint64_t kWeekMs = 604800000;

Error field_error(std::string_view key, const Value& v, std::string_view what) {
  std::string text = "field ";
  text += key;
  text += ": ";
  v.append_fmt(text);
  text += what;
  return Error::encode(std::move(text));
}

// Truncation towards zero with saturation, for floats already known finite.
std::int64_t saturating_int(double x) {
  const double t = std::trunc(x);
  if (t >= 0x1p63) return std::numeric_limits<std::int64_t>::max();
  if (t < -0x1p63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(t);
}

// Readers that store into a record field; an absent integer becomes 0.
template <class T>
Status read(Fields& f, std::string_view key, std::optional<T>& dst) {
  SIGTAP_ASSIGN_OR_RETURN(dst, f.integer<T>(key));
  return {};
}
template <class T>
Status read_or_zero(Fields& f, std::string_view key, T& dst) {
  SIGTAP_ASSIGN_OR_RETURN(std::optional<T> v, f.integer<T>(key));
  dst = v.value_or(0);
  return {};
}
Status read(Fields& f, std::string_view key, std::optional<double>& dst) {
  SIGTAP_ASSIGN_OR_RETURN(dst, f.f64(key));
  return {};
}

// "tow" and "wnc", the clock's time where a message has none.
template <class Record>
Status read_time(Fields& f, Record& r, GpsTime now) {
  SIGTAP_TRY(read(f, "tow", r.tow));
  SIGTAP_TRY(read(f, "wnc", r.wnc));
  if (!r.tow) r.tow = now.tow;
  if (!r.wnc) r.wnc = now.wnc;
  return {};
}

Result<Bytes> encode_pvt_geodetic(Fields& f, GpsTime now) {
  using sigtap::sbf::PvtGeodetic;
  PvtGeodetic r;
  f.ignore_decoded();
  SIGTAP_ASSIGN_OR_RETURN(const bool mode_2d, f.boolean("mode_2d"));
  SIGTAP_TRY(read_time(f, r, now));
  SIGTAP_TRY(read_or_zero(f, "mode", r.mode));
  SIGTAP_TRY(read_or_zero(f, "error", r.error));
  for (auto [key, dst] : {std::pair{"latitude", &PvtGeodetic::latitude}, {"longitude", &PvtGeodetic::longitude},
                          {"height", &PvtGeodetic::height}, {"undulation", &PvtGeodetic::undulation},
                          {"vn", &PvtGeodetic::vn}, {"ve", &PvtGeodetic::ve}, {"vu", &PvtGeodetic::vu},
                          {"cog", &PvtGeodetic::cog}, {"rx_clk_bias", &PvtGeodetic::rx_clk_bias},
                          {"rx_clk_drift", &PvtGeodetic::rx_clk_drift}}) {
    SIGTAP_TRY(read(f, key, r.*dst));
  }
  // Time system and datum are always written as values: a null one becomes 0.
  std::uint8_t time_system = 0, datum = 0;
  SIGTAP_TRY(read_or_zero(f, "time_system", time_system));
  SIGTAP_TRY(read_or_zero(f, "datum", datum));
  SIGTAP_TRY(read(f, "nr_sv", r.nr_sv));
  SIGTAP_TRY(read_or_zero(f, "wa_corr_info", r.wa_corr_info));
  SIGTAP_TRY(read(f, "reference_id", r.reference_id));
  SIGTAP_TRY(read(f, "mean_corr_age", r.mean_corr_age));
  SIGTAP_TRY(read_or_zero(f, "signal_info", r.signal_info));
  SIGTAP_TRY(read_or_zero(f, "alert_flag", r.alert_flag));
  SIGTAP_TRY(read_or_zero(f, "nr_bases", r.nr_bases));
  SIGTAP_TRY(read_or_zero(f, "ppp_info", r.ppp_info));
  SIGTAP_TRY(read(f, "latency", r.latency));
  SIGTAP_TRY(read(f, "h_accuracy", r.h_accuracy));
  SIGTAP_TRY(read(f, "v_accuracy", r.v_accuracy));
  SIGTAP_TRY(read_or_zero(f, "misc", r.misc));
  SIGTAP_TRY(f.finish("PVTGeodetic"));
  if (mode_2d) r.mode |= 0x80;
  r.time_system = time_system;
  r.datum = datum;
  return r.encode();
}

Result<Bytes> encode_att_euler(Fields& f, GpsTime now) {
  using sigtap::sbf::AttEuler;
  AttEuler r;
  f.ignore_decoded();
  SIGTAP_TRY(read_time(f, r, now));
  SIGTAP_TRY(read(f, "nr_sv", r.nr_sv));
  SIGTAP_TRY(read_or_zero(f, "error", r.error));
  SIGTAP_TRY(read_or_zero(f, "mode", r.mode));
  for (auto [key, dst] : {std::pair{"heading", &AttEuler::heading}, {"pitch", &AttEuler::pitch},
                          {"roll", &AttEuler::roll}, {"pitch_dot", &AttEuler::pitch_dot},
                          {"roll_dot", &AttEuler::roll_dot}, {"heading_dot", &AttEuler::heading_dot}}) {
    SIGTAP_TRY(read(f, key, r.*dst));
  }
  SIGTAP_TRY(f.finish("AttEuler"));
  return r.encode();
}

void add_optional(FieldWriter& out, std::string_view name, std::optional<std::uint32_t> v) {
  if (v) {
    out.add_int(name, *v);
  } else {
    out.add_null(name);
  }
}

// Each block the framing completes becomes a message appended to `out`: its
// fields are written over a recycled list (see FieldWriter), so a steady
// stream allocates only the copy of each block's bytes.
class MessageSink final : public sigtap::sbf::BlockSink {
 public:
  MessageSink(std::vector<Message>& out, std::optional<double> timestamp) : out_(out), timestamp_(timestamp) {}

  void on_block(std::span<const std::uint8_t> block) override {
    const sigtap::sbf::BlockHeader header = sigtap::sbf::read_header(block);
    Message& m = out_.emplace_back();
    FieldWriter fields(m.fields, pool_);
    const sigtap::sbf::BlockName decoded = sigtap::sbf::decode_block_into(block, fields);
    if (decoded.name != nullptr) {
      m.name.emplace(decoded.name);
    } else {
      // "Block" and the number, for blocks the block decoder cannot name.
      char text[16] = "Block";
      m.name.emplace(text, std::to_chars(text + 5, text + sizeof text, header.number).ptr);
    }
    if (!decoded.has_fields) {
      fields.reserve(3);
      add_optional(fields, "tow", header.tow);
      add_optional(fields, "wnc", header.wnc);
    }
    fields.add_int("revision", header.revision);
    Packet& packet = m.packet.emplace();
    packet.data = Bytes(block.begin(), block.end());
    packet.timestamp = timestamp_;
  }

 private:
  std::vector<Message>& out_;
  std::optional<double> timestamp_;
  FieldsPool* pool_ = FieldsPool::local();  // once per packet, not per block
};

}  // namespace

std::optional<Value> Fields::take(std::string_view key) {
  for (auto it = fields_.begin(); it != fields_.end(); ++it) {
    if (it->first != key) continue;
    Value v = std::move(it->second);
    fields_.erase(it);
    return v;
  }
  return std::nullopt;
}

template <class T>
Result<std::optional<T>> Fields::integer(std::string_view key) {
  constexpr std::int64_t kMax = std::numeric_limits<T>::max();
  std::optional<Value> v = take(key);
  if (!v || v->is_null()) return std::optional<T>{};
  switch (v->kind()) {
    case Value::Kind::Bool: return std::optional<T>{static_cast<T>(v->as_bool())};
    case Value::Kind::Int:
      if (v->as_int() >= 0 && v->as_int() <= kMax) return std::optional<T>{static_cast<T>(v->as_int())};
      break;
    case Value::Kind::Float: {
      const double x = v->as_float();
      if (!std::isfinite(x) || x - std::trunc(x) != 0) break;
      const std::int64_t i = saturating_int(x);
      if (i >= 0 && i <= kMax) return std::optional<T>{static_cast<T>(i)};
      break;
    }
    default: break;
  }
  return field_error(key, *v, " is out of range");
}

template Result<std::optional<std::uint8_t>> Fields::integer(std::string_view);
template Result<std::optional<std::uint16_t>> Fields::integer(std::string_view);
template Result<std::optional<std::uint32_t>> Fields::integer(std::string_view);

Result<std::optional<double>> Fields::f64(std::string_view key) {
  std::optional<Value> v = take(key);
  if (!v || v->is_null()) return std::optional<double>{};
  switch (v->kind()) {
    case Value::Kind::Bool: return std::optional<double>{v->as_bool() ? 1.0 : 0.0};
    case Value::Kind::Int: return std::optional<double>{static_cast<double>(v->as_int())};
    case Value::Kind::Float: return std::optional<double>{v->as_float()};
    default: return field_error(key, *v, " is not a number");
  }
}

Result<bool> Fields::boolean(std::string_view key) {
  std::optional<Value> v = take(key);
  if (!v || v->is_null()) return false;
  if (v->kind() == Value::Kind::Bool) return v->as_bool();
  return field_error(key, *v, " is not a boolean");
}

void Fields::ignore_decoded() {
  std::erase_if(fields_, [](const Field& f) { return f.first == "mode_name" || f.first == "revision"; });
}

Status Fields::finish(std::string_view block_name) const {
  if (fields_.empty()) return {};
  return Error::encode(std::string(block_name) + " has no field " + quoted(fields_.front().first));
}

GpsTime gps_time(double unix_seconds) {
  const double ms = std::round((unix_seconds - kGpsEpoch + kLeapSeconds) * 1000.0);
  std::uint64_t count = 0;
  if (ms >= 0x1p64) {
    count = std::numeric_limits<std::uint64_t>::max();
  } else if (ms > 0) {  // NaN and negatives stay 0
    count = static_cast<std::uint64_t>(ms);
  }
  return {static_cast<std::uint32_t>(count % kWeekMs), static_cast<std::uint16_t>(count / kWeekMs)};
}

double wall_clock() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds);
  return static_cast<double>(seconds.count()) + static_cast<double>(nanos.count()) / 1e9;
}

Result<CodecPtr> Sbf::open(CodecSpec spec) {
  if (spec.argument) return Error::config("the sbf codec takes no argument");
  SIGTAP_TRY(spec.options.finish("the sbf codec"));
  return CodecPtr(std::make_unique<Sbf>());
}

Result<std::vector<Packet>> Sbf::encode(const Message& message) {
  const GpsTime now = gps_time(clock_());
  const std::string_view name = message.name ? std::string_view(*message.name) : std::string_view();
  const bool pvt = name == "PVTGeodetic";
  if (!pvt && name != "AttEuler") {
    return Error::unknown_message("the sbf codec cannot encode " + quoted(name) +
                                  " (PVTGeodetic, AttEuler; other blocks: send their bytes as data)");
  }
  Fields fields(message.fields);
  SIGTAP_ASSIGN_OR_RETURN(Bytes block,
                          pvt ? encode_pvt_geodetic(fields, now) : encode_att_euler(fields, now));
  std::vector<Packet> packets(1);
  packets[0].data = std::move(block);
  return packets;
}

void Sbf::feed(const Source& source, std::span<const std::uint8_t> bytes, sigtap::sbf::BlockSink& sink) {
  if (auto it = index_.find(source); it != index_.end()) {
    sigtap::sbf::Decoder& decoder = it->second->decoder;
    decoder.feed(bytes, sink);
    if (decoder.buffered() == 0) {
      streams_.erase(it->second);
      index_.erase(it);
    } else {
      streams_.splice(streams_.begin(), streams_, it->second);
    }
    return;
  }
  // A source that holds nothing has no state, so that sources sending whole
  // blocks cost nothing and never push out one that waits for the rest of a block.
  spare_.feed(bytes, sink);
  if (spare_.buffered() == 0) return;
  if (streams_.size() >= kMaxStreams) {
    // The least recently fed incomplete block goes; its node takes the new one.
    index_.erase(streams_.back().source);
    streams_.back() = Stream{source, std::exchange(spare_, {})};
    streams_.splice(streams_.begin(), streams_, std::prev(streams_.end()));
  } else {
    streams_.push_front(Stream{source, std::exchange(spare_, {})});
  }
  index_.emplace(source, streams_.begin());
}

Status Sbf::decode(Packet packet, std::vector<Message>& out) {
  MessageSink sink(out, packet.timestamp);
  feed(packet.source, packet.data, sink);
  return {};
}

}  // namespace sigtap::codec::sbf

namespace sigtap::codec::builtin {
Result<CodecPtr> sbf(CodecSpec spec) { return codec::sbf::Sbf::open(std::move(spec)); }
}  // namespace sigtap::codec::builtin
