// The binding's argument parser: binds positional and keyword arguments to declared parameters.
//
// The interpreter's own parsers are either outside the limited API or word
// their errors differently; this one names the function as "Class.method()"
// or "function()" and uses the interpreter's wording for Python functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "python/py.hpp"
#include "python/ref.hpp"

namespace sigtap::py {

enum class ParamKind { kPositionalOrKeyword, kPositionalOnly, kKeywordOnly };

/// One declared parameter. Positional ones come first, in order; a required
/// parameter may not follow an optional positional one.
struct Param {
  const char* name;
  bool required = false;
  ParamKind kind = ParamKind::kPositionalOrKeyword;
};

/// A function's parameter list. `function` is the name the errors show
/// before "()": "Message.__new__", "_Channel.send", "_open".
struct Signature {
  const char* function;
  std::span<const Param> params;
  /// Collect keywords that match no parameter (**kwargs) instead of failing.
  bool var_keywords = false;
};

/// Binds a tuple-and-dict call (tp_new, METH_VARARGS | METH_KEYWORDS).
/// out[i] receives a borrowed reference to the argument of parameter i, or
/// nullptr when it was not given. With sig.var_keywords, `extra` receives a
/// new dict of the other keywords in the order given (left empty when there
/// are none). On an argument-list error returns false with TypeError set:
///   "F() takes from 0 to 2 positional arguments but 3 were given"
///   "F() got an unexpected keyword argument 'x'"
///   "F() got multiple values for argument 'name'"
///   "F() missing required argument 'url' (pos 1)"
bool parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out, Ref* extra = nullptr);

/// The same for a vectorcall (METH_FASTCALL | METH_KEYWORDS): `nargs`
/// positional arguments, then one value for each name in `kwnames`.
bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                    Ref* extra = nullptr);

/// None counts as not given for optional parameters.
inline PyObject* unless_none(PyObject* arg) { return arg == Py_None ? nullptr : arg; }

/// Adds `note` to the currently set exception through its add_note method;
/// the exception is neither replaced nor re-wrapped.
void add_note(const char* note);
/// Adds the argument note "while processing 'NAME'" to the current exception.
void add_argument_note(const char* name);

/// Conversions of declared parameters: the conversion's own exception with
/// the argument note for `name`.
std::optional<std::string> text_param(PyObject* arg, const char* name);
std::optional<bool> bool_param(PyObject* arg, const char* name);
std::optional<std::uint32_t> u32_param(PyObject* arg, const char* name);
/// A float as the interpreter's float conversion takes it (float, int, bool,
/// __float__ or __index__).
std::optional<double> float_param(PyObject* arg, const char* name);

}  // namespace sigtap::py
