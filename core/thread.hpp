// Starting the library's own threads: named, with asynchronous signals blocked; what they report for a caught exception.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <thread>

#include "core/result.hpp"

namespace sigtap {

/// Starts `body` on a new thread named `name` (cut to the 15 bytes Linux
/// allows; a name that cannot be set never stops the start). The thread
/// blocks every asynchronous signal, so Ctrl-C reaches the interpreter's main
/// thread and never interrupts one of our system calls. Fails with an Io
/// error when the system refuses the thread.
Result<std::thread> spawn_thread(std::string_view name, std::function<void()> body);

/// The error a library thread reports for the std::exception it caught from
/// the code it runs (the containers throw std::bad_alloc when memory runs
/// out): Io OutOfMemory "out of memory" for a failed allocation or a size
/// beyond what can be allocated (std::length_error), Io Other with what() for
/// any other. Call only inside a catch block of a std::exception. Never
/// throws: "out of memory" needs no allocation, and it stands in for the
/// other text when that cannot be made.
Error caught_error() noexcept;

/// spawn_thread() for a thread nobody joins, with a stack of `stack_size`
/// bytes (at least the system's minimum) instead of the default 8 MiB: for
/// the many small threads that serve one connection each.
Status spawn_detached(std::string_view name, std::function<void()> body, std::size_t stack_size);

}  // namespace sigtap
