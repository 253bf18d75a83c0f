// Binding the arguments of an exported function to its parameters, and the
// conversions of bytes, sizes and exclusions, with the prefix rule that
// every conversion's TypeError follows.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <quorvane/hardbinding.hpp>
#include <span>
#include <vector>

#include "call.hpp"
#include "ref.hpp"

namespace quorvane::python {

// The parameters of one exported function: names in order, the first
// `required` of them required. None is positional-only or keyword-only.
struct Signature {
  const char* function;
  std::initializer_list<const char*> params;
  std::size_t required;
};

inline constexpr std::size_t kMaxParams = 4;

// Arguments bound to parameters, each held by a strong reference for the
// whole call: a conversion can run Python code (__index__, __iter__) that
// empties the keyword dictionary the arguments came from. Null for an
// optional parameter left out.
class Bound {
 public:
  PyObject* operator[](std::size_t i) const noexcept { return refs_[i].get(); }
  void set(std::size_t i, PyObject* borrowed) noexcept { refs_[i] = Ref::borrow(borrowed); }

 private:
  std::array<Ref, kMaxParams> refs_;
};

// Binds positional and keyword arguments to `sig`'s parameters, raising
// the fixed TypeErrors for too many positional arguments, an unknown or
// repeated keyword, and missing required parameters.
Bound bind(const Signature& sig, PyObject* args, PyObject* kwargs);

// True for a str or a subclass of str.
inline bool is_str(PyObject* obj) noexcept {
  return (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

// The prefix rule, applied to the exception that a conversion of `param`
// left pending: an exception that is exactly TypeError is replaced by
// TypeError "argument '<param>': <message>"; any other is raised unchanged.
[[noreturn]] void rethrow_prefixed(const char* param);

// Runs `convert`, applying the prefix rule for `param` to its failure.
template <class F>
auto with_prefix(const char* param, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    rethrow_prefixed(param);
  }
}

// Conversions. Each raises (throws PythonError) with the exception of its
// rule; `param` names the parameter for the prefix rule. The text rule is
// in text.hpp.
std::span<const std::uint8_t> to_bytes(PyObject* obj, const char* param);
std::uint64_t to_size(PyObject* obj, const char* param);
// The value of an int (or subclass) that the size rule accepts, read
// without running any Python code; nullopt, with no exception left, for any
// other object or value.
std::optional<std::uint64_t> int_size(PyObject* obj) noexcept;
std::vector<hardbinding::Exclusion> to_exclusions(PyObject* obj, const char* param);

// Raises TypeError "'<type>' object cannot be converted to '<target>'",
// with the __qualname__ of obj's type.
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target);

}  // namespace quorvane::python
