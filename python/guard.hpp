// The boundary where the interpreter calls C++: guarded<F> turns what F throws into a Python exception.
//
// The containers below the binding throw std::bad_alloc when memory runs out
// (a 700 MB packet copied, a long text converted). An exception that reached
// the interpreter's C frames would end the process with std::terminate, so
// every function the interpreter calls (methods, getters and setters, type
// slots, module functions, the exec step, the exit hook) is named in its
// table through guarded<F>, method<F>() or slot<F>(), never bare.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "python/py.hpp"

namespace sigtap::py {

/// Sets the Python exception for the C++ exception being handled: MemoryError
/// for a failed allocation (std::bad_alloc, and std::length_error, a size
/// beyond what can be allocated), SystemError with what() for any other
/// std::exception: that is a fault of the library, not of the caller's
/// arguments, as CPython's own SystemError is. Call only in a catch block of
/// a std::exception, with the lock held (see caught_error()).
void raise_caught_exception() noexcept;

namespace detail {

template <class Function>
struct Guard;

template <class R, class... A>
struct Guard<R (*)(A...)> {
  // Not noexcept: a thread that the interpreter ends while it finalizes is
  // unwound through here (abi::__forced_unwind, which is no std::exception
  // and is never caught), and a noexcept frame would turn that into
  // std::terminate.
  template <R (*F)(A...)>
  static R call(A... args) {
    try {
      return F(args...);
    } catch (const std::exception&) {
      if constexpr (std::is_void_v<R>) {
        // A deallocator cannot raise, and may run while an exception is
        // being raised: that one is kept.
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        raise_caught_exception();
        PyErr_WriteUnraisable(nullptr);
        PyErr_Restore(type, value, traceback);
      } else {
        raise_caught_exception();
        if constexpr (std::is_pointer_v<R>) {
          return nullptr;
        } else {
          return -1;
        }
      }
    }
  }
};

}  // namespace detail

/// F behind the guard: the same signature, and nothing thrown gets out.
template <auto F>
inline constexpr auto guarded = &detail::Guard<decltype(F)>::template call<F>;

/// A guarded method or module function as PyMethodDef stores it (the flags
/// tell the interpreter the real signature).
template <auto F>
PyCFunction method() {
  if constexpr (std::is_same_v<decltype(F), PyCFunction>) {
    return guarded<F>;
  } else {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<F>));
  }
}

/// A guarded type slot as PyType_Slot stores it.
template <auto F>
void* slot() {
  return reinterpret_cast<void*>(guarded<F>);
}

}  // namespace sigtap::py
