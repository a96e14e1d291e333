// Display texts and errno classification of Error.
#include "core/error.hpp"

#include <cerrno>
#include <cstring>

namespace sigtap {

IoKind io_kind_from_errno(int code) {
  switch (code) {
    case ENOENT: return IoKind::NotFound;
    case EPERM:
    case EACCES: return IoKind::PermissionDenied;
    case ECONNREFUSED: return IoKind::ConnectionRefused;
    case ECONNRESET: return IoKind::ConnectionReset;
    case ECONNABORTED: return IoKind::ConnectionAborted;
    case EPIPE: return IoKind::BrokenPipe;
    case EEXIST: return IoKind::AlreadyExists;
    case EAGAIN: return IoKind::WouldBlock;
    case ENOTDIR: return IoKind::NotADirectory;
    case EISDIR: return IoKind::IsADirectory;
    case ETIMEDOUT: return IoKind::TimedOut;
    case EINTR: return IoKind::Interrupted;
    case ENOMEM: return IoKind::OutOfMemory;
    case EADDRINUSE: return IoKind::AddrInUse;
    case EADDRNOTAVAIL: return IoKind::AddrNotAvailable;
    case EINVAL: return IoKind::InvalidInput;
    default: return IoKind::Other;
  }
}

Error Error::io_errno(int code) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char* msg = strerror_r(code, buf, sizeof buf);
  Error e(ErrorKind::Io, std::string(msg) + " (os error " + std::to_string(code) + ")");
  e.io_kind_ = io_kind_from_errno(code);
  e.os_code_ = code;
  return e;
}

Error Error::io(IoKind kind, std::string text) {
  Error e(ErrorKind::Io, std::move(text));
  e.io_kind_ = kind;
  return e;
}

Error Error::external(std::unique_ptr<ExternalError> payload) {
  Error e(ErrorKind::External, {});
  e.external_ = std::move(payload);
  return e;
}

std::string Error::fmt() const {
  switch (kind_) {
    case ErrorKind::Io:
    case ErrorKind::Config:
    case ErrorKind::UnknownMessage: return text_;
    case ErrorKind::InvalidPacket: return "invalid packet: " + text_;
    case ErrorKind::Closed: return "the channel is closed";
    case ErrorKind::DbcParse: return "DBC parse error: " + text_;
    case ErrorKind::Encode: return "encode error: " + text_;
    case ErrorKind::Decode: return "decode error: " + text_;
    case ErrorKind::Sbf: return "SBF error: " + text_;
    case ErrorKind::External: return external_ ? external_->display() : text_;
  }
  return text_;
}

}  // namespace sigtap
