// Errors about a file named by a path, worded as file:// words them: the
// path in front of the text, the kind kept.
#pragma once

#include <string>

#include "core/result.hpp"

namespace sigtap {

/// The error with "PATH: " in front of its text and its kind kept, so that a
/// script can tell a missing file from a forbidden one.
inline Error path_error(const std::string& path, const Error& error) {
  return Error::io(error.io_kind(), path + ": " + error.fmt());
}

/// InvalidInput "PATH: file name contained an unexpected NUL byte" for a path
/// that the system would cut short at the NUL.
inline Status check_path(const std::string& path) {
  if (path.find('\0') == std::string::npos) return {};
  return path_error(path, Error::io(IoKind::InvalidInput, "file name contained an unexpected NUL byte"));
}

}  // namespace sigtap
