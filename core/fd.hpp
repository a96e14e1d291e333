// Fd: sole ownership of one file descriptor, closed when the owner goes away.
#pragma once

#include <unistd.h>

#include <utility>

namespace sigtap {

/// Owns a descriptor (or none, -1) and closes it on destruction. Move-only.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  /// Gives up ownership without closing.
  int release() { return std::exchange(fd_, -1); }
  /// Closes the owned descriptor (a failing close is ignored: the descriptor
  /// is gone either way on Linux, and retrying could close someone else's).
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace sigtap
