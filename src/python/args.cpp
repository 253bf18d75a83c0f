#include "args.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace quorvane::python {
namespace {

bool has_flag(PyObject* obj, unsigned long flag) noexcept {
  return (PyType_GetFlags(Py_TYPE(obj)) & flag) != 0;
}
bool is_bytes(PyObject* obj) noexcept { return has_flag(obj, Py_TPFLAGS_BYTES_SUBCLASS); }
bool is_int(PyObject* obj) noexcept { return has_flag(obj, Py_TPFLAGS_LONG_SUBCLASS); }
bool is_tuple(PyObject* obj) noexcept { return has_flag(obj, Py_TPFLAGS_TUPLE_SUBCLASS); }

// The __qualname__ of obj's type, or "<failed to extract type name>".
Ref type_name(PyObject* obj) {
  Ref name =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && is_str(name.get())) return name;
  PyErr_Clear();
  return check(PyUnicode_FromString("<failed to extract type name>"));
}

[[noreturn]] void raise_type_error(Ref message) {
  PyErr_SetObject(PyExc_TypeError, message.get());
  throw PythonError{};
}

// UTF-8 of a str key, or nullopt when it has none (lone surrogates).
bool key_equals(PyObject* key, const char* name) {
  if (!is_str(key)) return false;
  Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(key));
  if (!utf8) {
    PyErr_Clear();
    return false;
  }
  const Py_ssize_t n = PyBytes_Size(utf8.get());
  return static_cast<std::size_t>(n) == std::strlen(name) &&
         std::memcmp(PyBytes_AsString(utf8.get()), name, static_cast<std::size_t>(n)) == 0;
}

std::uint64_t int_to_u64(PyObject* integer) {
  const unsigned long long v = PyLong_AsUnsignedLongLong(integer);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    throw PythonError{};
  }
  return v;
}

std::uint64_t size_value(PyObject* obj) {
  if (is_int(obj)) return int_to_u64(obj);
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) throw PythonError{};
  return int_to_u64(index.get());
}

// Reservation bound for a sequence that reports its own length: a lying
// __len__ must not make the conversion allocate for items it never yields.
constexpr Py_ssize_t kMaxExclusionReserve = 1024;

std::vector<hardbinding::Exclusion> exclusions_value(PyObject* obj) {
  if (is_str(obj)) {
    raise_type_error(check(PyUnicode_FromString("Can't extract `str` to `Vec`")));
  }
  if (PySequence_Check(obj) == 0) raise_cannot_convert(obj, "Sequence");
  std::vector<hardbinding::Exclusion> out;
  const Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) {
    // An ordinary exception only costs the reservation. An interrupt, an
    // exit or exhausted memory is the caller's to see: dropping it would
    // turn a failure into success.
    if (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception)) {
      throw PythonError{};
    }
    PyErr_Clear();
  } else {
    out.reserve(static_cast<std::size_t>(std::min(length, kMaxExclusionReserve)));
  }
  Ref iter = Ref::steal(PyObject_GetIter(obj));
  if (!iter) throw PythonError{};
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    if (!is_tuple(item.get())) raise_cannot_convert(item.get(), "PyTuple");
    const Py_ssize_t n = PyTuple_Size(item.get());
    if (n < 0) throw PythonError{};
    if (n != 2) {
      Ref message =
          check(PyUnicode_FromFormat("expected tuple of length 2, but got tuple of length %zd", n));
      PyErr_SetObject(PyExc_ValueError, message.get());
      throw PythonError{};
    }
    PyObject* start = PyTuple_GetItem(item.get(), 0);
    PyObject* length_obj = PyTuple_GetItem(item.get(), 1);
    if (start == nullptr || length_obj == nullptr) throw PythonError{};
    const std::uint64_t s = size_value(start);
    const std::uint64_t l = size_value(length_obj);
    out.push_back({s, l});
  }
  if (PyErr_Occurred() != nullptr) throw PythonError{};
  return out;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

}  // namespace

void rethrow_prefixed(const char* param) {
  if (PyErr_Occurred() == nullptr) raise_pending();
  PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
  PyErr_Fetch(&t, &v, &tb);
  if (t != PyExc_TypeError) {
    PyErr_Restore(t, v, tb);
    throw PythonError{};
  }
  PyErr_NormalizeException(&t, &v, &tb);
  Ref type = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(tb);
  Ref text = check(PyObject_Str(value.get()));
  Ref message = check(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  Ref replacement = check(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  // The new exception takes over the old one's cause; the old one itself is
  // not chained to it.
  if (PyObject* cause = PyException_GetCause(value.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals `cause`
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
  throw PythonError{};
}

[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target) {
  Ref name = type_name(obj);
  raise_type_error(
      check(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", name.get(), target)));
}

Bound bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
  Bound bound;
  const std::size_t count = sig.params.size();
  const char* const* names = sig.params.begin();

  const Py_ssize_t given_signed = args != nullptr ? PyTuple_Size(args) : 0;
  if (given_signed < 0) throw PythonError{};
  const auto given = static_cast<std::size_t>(given_signed);
  if (given > count) {
    const char* verb = given == 1 ? "was" : "were";
    Ref message =
        sig.required == count
            ? check(PyUnicode_FromFormat("%s() takes %zu positional arguments but %zu %s given",
                                         sig.function, count, given, verb))
            : check(PyUnicode_FromFormat(
                  "%s() takes from %zu to %zu positional arguments but %zu %s given", sig.function,
                  sig.required, count, given, verb));
    raise_type_error(std::move(message));
  }
  for (std::size_t i = 0; i < given; ++i) {
    PyObject* arg = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    if (arg == nullptr) throw PythonError{};
    bound.set(i, arg);
  }
  // The common call: positional arguments only, and enough of them.
  if (kwargs == nullptr && given >= sig.required) return bound;

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value) != 0) {
      std::size_t match = count;
      for (std::size_t i = 0; i < count; ++i) {
        if (key_equals(key, names[i])) {
          match = i;
          break;
        }
      }
      if (match == count) {
        raise_type_error(check(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'",
                                                    sig.function, key)));
      }
      if (bound[match] != nullptr) {
        raise_type_error(check(PyUnicode_FromFormat("%s() got multiple values for argument '%s'",
                                                    sig.function, names[match])));
      }
      bound.set(match, value);
    }
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (bound[i] == nullptr) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    const std::string list = quoted_list(missing);
    raise_type_error(check(
        PyUnicode_FromFormat("%s() missing %zu required positional argument%s: %s", sig.function,
                             missing.size(), missing.size() == 1 ? "" : "s", list.c_str())));
  }
  return bound;
}

std::span<const std::uint8_t> to_bytes(PyObject* obj, const char* param) {
  return with_prefix(param, [&] {
    if (!is_bytes(obj)) raise_cannot_convert(obj, "PyBytes");
    char* data = PyBytes_AsString(obj);
    const Py_ssize_t size = PyBytes_Size(obj);
    if (data == nullptr || size < 0) throw PythonError{};
    return std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data),
                                         static_cast<std::size_t>(size));
  });
}

std::uint64_t to_size(PyObject* obj, const char* param) {
  return with_prefix(param, [&] { return size_value(obj); });
}

std::optional<std::uint64_t> int_size(PyObject* obj) noexcept {
  if (!is_int(obj)) return std::nullopt;
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return v;
}

std::vector<hardbinding::Exclusion> to_exclusions(PyObject* obj, const char* param) {
  return with_prefix(param, [&] { return exclusions_value(obj); });
}

}  // namespace quorvane::python
