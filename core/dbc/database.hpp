// The loaded DBC database: messages and signals, checked once at load so that
// encoding and decoding never meet a signal that does not fit its message.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "core/dbc/plan.hpp"
#include "core/dbc/shared.hpp"
#include "core/bytes.hpp"
#include "core/result.hpp"
#include "core/value.hpp"

namespace sigtap::dbc {

namespace ast {
struct Dbc;
}

enum class SignalKind { Integer, Float32, Float64 };

/// When a multiplexed signal is present: its switch's raw bits lie in one of
/// `ranges` (inclusive). An empty list means never.
struct Multiplexing {
  SharedList<std::pair<std::uint64_t, std::uint64_t>> ranges;
  std::size_t multiplexor = 0;  ///< index of the switch in the message's signals
};

/// A signal value as encoding takes it and decoding gives it: an integer, a
/// float or a choice text.
using Value = std::variant<std::int64_t, double, std::string>;
/// Named signal values, in order.
using NamedValues = std::vector<std::pair<std::string, Value>>;

/// Encoding flags: `scaling` (values are physical, not raw) and `strict`
/// (missing values, values of absent signals and values out of range fail).
struct EncodeOptions {
  bool scaling = true;
  bool strict = true;
};
/// Decoding flags: `decode_choices` (integers with a value description
/// become its text) and `scaling`.
struct DecodeOptions {
  bool decode_choices = true;
  bool scaling = true;
};

/// One signal. The signals of one name in a loaded message share their
/// choices, comment and SG_MUL_VAL_ ranges (see shared.hpp).
struct Signal {
  std::optional<double> min, max;  ///< both or neither; [0|0] means no range
  std::optional<double> initial;   ///< raw units
  std::string name;
  std::string unit;
  std::vector<std::string> receivers;
  SharedList<std::pair<std::int64_t, std::string>> choices;  ///< by value, stable
  SharedText comment;
  std::optional<Multiplexing> mux;
  double factor = 1;  ///< finite, not zero
  double offset = 0;
  std::uint32_t start_bit = 0;
  std::uint32_t size = 0;
  bool big_endian = false;
  bool is_signed = false;
  bool is_multiplexor = false;
  SignalKind value_type = SignalKind::Integer;
};

struct Message {
  std::optional<std::uint64_t> cycle_time;
  std::string name;
  std::vector<Signal> signals;
  std::optional<std::string> sender;
  std::optional<std::string> comment;
  std::uint64_t size = 0;  ///< payload bytes, at most 64
  std::uint32_t id = 0;
  bool extended = false;
  bool fd = false;
  /// Per-signal read/write plans computed once when the database is built.
  MessagePlan plan;

  /// The payload of exactly `size` bytes for these values, or Error::Encode.
  Result<Bytes> encode(const NamedValues& values, const EncodeOptions& options) const;
  /// The present signals' values in signal order, or Error::Decode when the
  /// data is too short for a present signal or a deciding switch.
  Result<NamedValues> decode(std::span<const std::uint8_t> data, const DecodeOptions& options) const;
  /// The same as decode, appended straight to message fields (the codec's
  /// path: no intermediate list).
  Status decode_into(std::span<const std::uint8_t> data, const DecodeOptions& options, Fields& out) const;
};

/// A loaded DBC file. Built once, then read-only: safe to read from many
/// threads without a lock.
class Database {
 public:
  /// The largest file from_file reads; real DBC files stay far below it.
  static constexpr std::uint64_t kMaxFileSize = std::uint64_t{64} << 20;

  /// Reads and loads a file: Error::Io when it cannot be read, is not a
  /// regular file ("PATH: not a regular file") or holds more than
  /// kMaxFileSize bytes ("PATH: the file is larger than 64 MiB"), else as
  /// from_bytes. Never waits for a writer; an interrupted system call ends
  /// the read when the thread's interrupt check asks for it.
  static Result<Database> from_file(const std::string& path);
  /// Decodes the bytes (UTF-8, else a byte-order mark or windows-1252) and loads them.
  static Result<Database> from_bytes(std::string_view bytes);
  /// Parses the text and converts the tree.
  static Result<Database> parse(std::string_view text);
  /// Converts a syntax tree with every load-time check.
  static Result<Database> from_dbc(const ast::Dbc& dbc);
  /// Builds the look-up tables; fails on a duplicate name or identifier.
  static Result<Database> create(std::string version, std::vector<std::string> nodes, std::vector<Message> messages);

  /// Error::UnknownMessage "no message with standard identifier 0x7FF".
  Result<const Message*> message_by_id(std::uint32_t id, bool extended) const;
  /// Error::UnknownMessage "no message named \"X\"".
  Result<const Message*> message_by_name(std::string_view name) const;
  /// The message with that identifier, or nullptr (the decode path: no error text built).
  const Message* find_by_id(std::uint32_t id, bool extended) const;

  const std::string& version() const { return version_; }
  const std::vector<std::string>& nodes() const { return nodes_; }
  const std::vector<Message>& messages() const { return messages_; }

 private:
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::string version_;
  std::vector<std::string> nodes_;
  std::vector<Message> messages_;
  std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>> by_name_;
  std::unordered_map<std::uint64_t, std::size_t> by_id_;  ///< key: id | extended << 32
};

}  // namespace sigtap::dbc
