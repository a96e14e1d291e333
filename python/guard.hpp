// The boundary where the interpreter calls C++: guarded<F> turns what F throws into a Python exception.
//
// The containers below the binding throw std::bad_alloc when memory runs out
// (a 700 MB packet copied, a long text converted). An exception that reached
// the interpreter's C frames would end the process with std::terminate, so
// every function the interpreter calls (methods, getters and setters, type
// slots, module functions, the exec step, the exit hook) is named in its
// table through guarded<F>, method<F>() or slot<F>(), never bare; except the
// slots that must not raise at all (traverse, clear, dealloc: the collector
// and a freeing thread cannot take an exception), which are noexcept, allocate
// nothing, and go in bare through nothrow_slot<Id, F>(). The guard refuses
// them at compile time.
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

// A noexcept function has nothing for a guard to catch, and the slots that
// must be noexcept (traverse, clear, dealloc) must not raise either, which a
// guard does when it catches.
template <class R, class... A>
struct Guard<R (*)(A...) noexcept> {
  template <R (*F)(A...) noexcept>
  static R call(A...) {
    static_assert(F == nullptr, "a noexcept slot (traverse, clear, dealloc) goes in bare: use nothrow_slot<Id, F>()");
    if constexpr (!std::is_void_v<R>) return R{};
  }
};

template <class R, class... A>
struct Guard<R (*)(A...)> {
  static_assert(!std::is_same_v<R (*)(A...), traverseproc>,
                "traverse must not raise: make it noexcept and use nothrow_slot<Py_tp_traverse, F>()");

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

/// The table entry of a slot that must not raise: Py_tp_traverse,
/// Py_tp_clear or Py_tp_dealloc, with F of that slot's signature and
/// noexcept. F goes in bare; it allocates nothing, so nothing below it throws.
template <int Id, auto F>
PyType_Slot nothrow_slot() {
  using T = decltype(F);
  static_assert((Id == Py_tp_traverse && std::is_same_v<T, int (*)(PyObject*, visitproc, void*) noexcept>) ||
                    (Id == Py_tp_clear && std::is_same_v<T, int (*)(PyObject*) noexcept>) ||
                    (Id == Py_tp_dealloc && std::is_same_v<T, void (*)(PyObject*) noexcept>),
                "only traverse, clear and dealloc go in bare, each noexcept and of its slot's signature");
  return {Id, reinterpret_cast<void*>(F)};
}

}  // namespace sigtap::py
