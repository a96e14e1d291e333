// The library's single error type: one kind per failure class, moved, never copied.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sigtap {

/// The class of an operating-system I/O error. The binding raises the
/// matching OSError subclass for each named kind and plain OSError for Other.
enum class IoKind {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  ConnectionAborted,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  TimedOut,
  Interrupted,
  OutOfMemory,
  AddrInUse,
  AddrNotAvailable,
  InvalidInput,
  WriteZero,
  Other,
};

/// The kind an errno value maps to.
IoKind io_kind_from_errno(int code);

/// An error raised by foreign code (a Python plug-in). The display text is
/// computed once, where the error is captured (with whatever lock the foreign
/// runtime needs held), so that formatting it later never needs that lock.
class ExternalError {
 public:
  explicit ExternalError(std::string display) : display_(std::move(display)) {}
  virtual ~ExternalError() = default;
  ExternalError(const ExternalError&) = delete;
  ExternalError& operator=(const ExternalError&) = delete;
  const std::string& display() const { return display_; }

 private:
  std::string display_;
};

enum class ErrorKind {
  Io,              ///< OS I/O error (transports, DBC file, thread start) -> OSError subclass
  Config,          ///< URL, option, registry, period, address resolution -> sigtap.Error, no prefix
  InvalidPacket,   ///< CAN frame checks, UDP listener without peer -> "invalid packet: "
  Closed,          ///< closed channel or end of input -> "the channel is closed"
  DbcParse,        ///< loading a DBC file -> "DBC parse error: "
  UnknownMessage,  ///< DBC look-ups, SBF refusals -> no prefix
  Encode,          ///< encoding a message -> "encode error: "
  Decode,          ///< decoding a packet -> "decode error: "
  Sbf,             ///< SBF block writer -> "SBF error: "
  External,        ///< raised by a Python plug-in -> re-raised unchanged
};

/// A failure. Display it with fmt(); match on kind().
class [[nodiscard]] Error {
 public:
  /// An I/O error from an errno value: "<strerror> (os error N)".
  static Error io_errno(int code);
  /// An I/O error built by the library itself: the text is shown as is.
  static Error io(IoKind kind, std::string text);
  static Error config(std::string text) { return Error(ErrorKind::Config, std::move(text)); }
  static Error invalid_packet(std::string text) { return Error(ErrorKind::InvalidPacket, std::move(text)); }
  static Error closed() { return Error(ErrorKind::Closed, {}); }
  static Error dbc_parse(std::string text) { return Error(ErrorKind::DbcParse, std::move(text)); }
  static Error unknown_message(std::string text) { return Error(ErrorKind::UnknownMessage, std::move(text)); }
  static Error encode(std::string text) { return Error(ErrorKind::Encode, std::move(text)); }
  static Error decode(std::string text) { return Error(ErrorKind::Decode, std::move(text)); }
  static Error sbf(std::string text) { return Error(ErrorKind::Sbf, std::move(text)); }
  static Error external(std::unique_ptr<ExternalError> payload);

  Error(Error&&) noexcept = default;
  Error& operator=(Error&&) noexcept = default;
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  ~Error() = default;

  ErrorKind kind() const { return kind_; }
  bool is_closed() const { return kind_ == ErrorKind::Closed; }
  /// For Io errors: the kind of the OS error.
  IoKind io_kind() const { return io_kind_; }
  /// For Io errors built from errno: the code.
  std::optional<int> os_code() const { return os_code_; }
  /// The text the error carries (without the kind's prefix).
  const std::string& text() const { return text_; }
  /// For External errors: the foreign error object.
  ExternalError* external() const { return external_.get(); }
  /// The display text: the kind's prefix followed by the text.
  std::string fmt() const;

 private:
  Error(ErrorKind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  ErrorKind kind_;
  IoKind io_kind_ = IoKind::Other;
  std::optional<int> os_code_;
  std::string text_;
  std::unique_ptr<ExternalError> external_;
};

}  // namespace sigtap
