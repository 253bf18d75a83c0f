#include "convert.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "simd/utf32.hpp"

namespace quorvane::python {
namespace {

bool has_flag(PyObject* obj, unsigned long flag) noexcept {
  return (PyType_GetFlags(Py_TYPE(obj)) & flag) != 0;
}
bool is_str(PyObject* obj) noexcept { return has_flag(obj, Py_TPFLAGS_UNICODE_SUBCLASS); }
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

// The prefix rule, applied to the exception that a conversion of `param`
// left pending.
[[noreturn]] void rethrow_prefixed(const char* param) {
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

// Runs `convert`, applying the prefix rule for `param` to its failure.
template <class F>
auto with_prefix(const char* param, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    rethrow_prefixed(param);
  }
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

namespace {

// Texts of this many characters and more are read as code points.
constexpr Py_ssize_t kCodePointsFrom = 4096;

// Frees a buffer's storage, not only its contents.
template <class S>
void free_storage(S& buffer) noexcept {
  S().swap(buffer);
}

// str.isascii unbound, looked up once, so that a subclass cannot answer.
PyObject* g_str_isascii = nullptr;

// PyUnicode_AsUTF8AndSize, where the running interpreter has it in its
// stable ABI (3.10 and later; this module is built for 3.9's): for an
// all-ASCII str it returns the str's own characters, which are their UTF-8.
using AsUtf8AndSize = const char* (*)(PyObject*, Py_ssize_t*);
AsUtf8AndSize g_as_utf8_and_size = nullptr;

// Copies the UTF-8 of the all-ASCII str `piece` of `count` characters to
// `out`. The interpreter keeps such a str as its own UTF-8, so its encoder
// only copies it.
bool copy_ascii(PyObject* piece, Py_ssize_t count, char* out) noexcept {
  if (g_as_utf8_and_size != nullptr) {
    Py_ssize_t size = 0;
    const char* data = g_as_utf8_and_size(piece, &size);
    if (data == nullptr || size != count) return false;
    std::memcpy(out, data, static_cast<std::size_t>(count));
    return true;
  }
  Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(piece));
  if (!utf8) return false;
  const char* data = PyBytes_AsString(utf8.get());
  if (data == nullptr || PyBytes_Size(utf8.get()) != count) return false;
  std::memcpy(out, data, static_cast<std::size_t>(count));
  return true;
}

// The UTF-8 of a long str that is not all ASCII, into one buffer of our
// own, a chunk at a time. Returns false, with no exception pending, where
// that fails: the caller then converts the whole str, which raises the
// interpreter's own exception for it.
bool read_code_points(PyObject* obj, Py_ssize_t length, Text& text) {
  bool ok = true;
  try {
    Utf8Chunks chunks(obj, length);
    text.owned.resize_and_overwrite(
        static_cast<std::size_t>(length) * 4, [&](char* out, std::size_t) noexcept {
          std::size_t written = 0;
          while (!chunks.done()) {
            const auto n = chunks.next(out + written, [](std::string_view, const auto&, auto) {});
            if (!n) {
              ok = false;
              return std::size_t{0};
            }
            written += *n;
          }
          return written;
        });
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok) {
    PyErr_Clear();
    free_storage(text.owned);
    return false;
  }
  text.view = text.owned;
  return true;
}

}  // namespace

Utf8Chunks::Utf8Chunks(PyObject* str, Py_ssize_t length, std::optional<simd::CodePointSet> set)
    : str_(str), length_(length), set_(set) {
  thread_local std::unique_ptr<char32_t[]> scratch;
  if (!scratch) scratch.reset(new char32_t[kChunk]);
  scratch_ = scratch.get();
}

bool Utf8Chunks::read(Py_ssize_t end, char* out, std::span<const char32_t>& code_points,
                      std::size_t& ascii) noexcept {
  const Py_ssize_t count = end - at_;
  Ref piece = at_ == 0 && end == length_ ? Ref::borrow(str_)
                                         : Ref::steal(PyUnicode_Substring(str_, at_, end));
  if (!piece) return false;
  // A chunk comes out as a str of the narrowest width that holds it: an
  // all-ASCII one is its own UTF-8 and is copied.
  if (piece.get() != str_) {
    const auto is_ascii = str_isascii(piece.get());
    if (!is_ascii) return false;
    if (*is_ascii) {
      ascii = static_cast<std::size_t>(count);
      return copy_ascii(piece.get(), count, out);
    }
  }
  if (PyUnicode_AsUCS4(piece.get(), reinterpret_cast<Py_UCS4*>(scratch_), count, 0) == nullptr) {
    return false;
  }
  code_points = {scratch_, static_cast<std::size_t>(count)};
  return true;
}

std::optional<bool> str_isascii(PyObject* obj) noexcept {
  const Ref answer = Ref::steal(PyObject_CallFunctionObjArgs(g_str_isascii, obj, nullptr));
  if (!answer) return std::nullopt;
  return answer.get() == Py_True;
}

void prepare_str_isascii() {
  if (g_str_isascii != nullptr) return;
  int major = 0, minor = 0;
  if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) == 2 &&
      (major > 3 || (major == 3 && minor >= 10))) {
    g_as_utf8_and_size =
        reinterpret_cast<AsUtf8AndSize>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
  }
  g_str_isascii =
      check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "isascii"))
          .release();
}

Text to_text(PyObject* obj, const char* param) {
  return with_prefix(param, [&] {
    if (!is_str(obj)) raise_cannot_convert(obj, "PyString");
    Text text;
    const Py_ssize_t length = PyUnicode_GetLength(obj);
    if (length < 0) throw PythonError{};
    // An all-ASCII str is its own UTF-8, which the interpreter copies at
    // memory speed.
    std::optional<bool> ascii;
    if (length >= kCodePointsFrom) {
      ascii = str_isascii(obj);
      if (!ascii) PyErr_Clear();
    }
    if (length >= kCodePointsFrom && !ascii.value_or(false) &&
        read_code_points(obj, length, text)) {
      return text;
    }
    text.utf8 = Ref::steal(PyUnicode_AsUTF8String(obj));
    if (!text.utf8) throw PythonError{};
    char* data = PyBytes_AsString(text.utf8.get());
    const Py_ssize_t size = PyBytes_Size(text.utf8.get());
    if (data == nullptr || size < 0) throw PythonError{};
    text.view = std::string_view(data, static_cast<std::size_t>(size));
    return text;
  });
}

Text to_text(PyObject* obj, const char* param, ShortTextRoom& room) {
  if (is_str(obj)) {
    const Py_ssize_t length = PyUnicode_GetLength(obj);
    if (length >= 0 && static_cast<std::size_t>(length) <= kShortText) {
      // The str's code points, copied as they are stored, and transcoded
      // here: no bytes object, and none of the interpreter's per-character
      // encoder.
      char32_t code_points[kShortText];
      if (length == 0 || PyUnicode_AsUCS4(obj, reinterpret_cast<Py_UCS4*>(code_points),
                                          static_cast<Py_ssize_t>(kShortText), 0) != nullptr) {
        const std::size_t size =
            simd::utf8_from_utf32({code_points, static_cast<std::size_t>(length)}, room.utf8);
        // A lone surrogate: the interpreter's encoder below raises for it.
        if (size != simd::kNotScalarValues) {
          Text text;
          text.view = std::string_view(room.utf8, size);
          return text;
        }
      }
    }
    // Whatever failed is found again, and raised, by the plain conversion.
    PyErr_Clear();
  }
  return to_text(obj, param);
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

Ref new_str(std::string_view utf8) {
  return check(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

Ref new_str(std::u32string_view code_points) {
  // Building from code points skips the UTF-8 decoder, which is slow on the
  // 4-byte selectors that make up a wrapper.
  if constexpr (sizeof(wchar_t) == sizeof(char32_t)) {
    return check(PyUnicode_FromWideChar(reinterpret_cast<const wchar_t*>(code_points.data()),
                                        static_cast<Py_ssize_t>(code_points.size())));
  } else {
    int byteorder = 0;  // native
    return check(PyUnicode_DecodeUTF32(reinterpret_cast<const char*>(code_points.data()),
                                       static_cast<Py_ssize_t>(4 * code_points.size()), "strict",
                                       &byteorder));
  }
}

Ref new_bytes(std::span<const std::uint8_t> bytes) {
  return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size())));
}

Ref new_int(std::uint64_t value) { return check(PyLong_FromUnsignedLongLong(value)); }

Ref new_pair(std::uint64_t first, std::uint64_t second) {
  Ref tuple = check(PyTuple_New(2));
  Ref a = new_int(first);
  Ref b = new_int(second);
  if (PyTuple_SetItem(tuple.get(), 0, a.release()) != 0) api_failed();
  if (PyTuple_SetItem(tuple.get(), 1, b.release()) != 0) api_failed();
  return tuple;
}

Ref new_dict() { return check(PyDict_New()); }

void dict_set(const Ref& dict, PyObject* key, const Ref& value) {
  if (PyDict_SetItem(dict.get(), key, value.get()) != 0) throw PythonError{};
}

namespace {
Names g_names;
}  // namespace

const Names& names() noexcept { return g_names; }

void prepare_names() {
  if (g_names.payload != nullptr) return;
  using hardbinding::Algorithm;
  const auto make = [](std::string_view text) {
    return check(PyUnicode_InternFromString(std::string(text).c_str()));
  };
  // Made in full before any is kept, so a failure leaves nothing half done.
  Ref made[] = {make("payload"),
                make("version"),
                make("start"),
                make("length"),
                make("alg"),
                make("hash"),
                make("exclusions"),
                make(Algorithm(Algorithm::Sha256).id()),
                make(Algorithm(Algorithm::Sha384).id()),
                make(Algorithm(Algorithm::Sha512).id())};
  static_assert(Algorithm::Sha256 == 0 && Algorithm::Sha384 == 1 && Algorithm::Sha512 == 2);
  g_names.payload = made[0].release();
  g_names.version = made[1].release();
  g_names.start = made[2].release();
  g_names.length = made[3].release();
  g_names.alg = made[4].release();
  g_names.hash = made[5].release();
  g_names.exclusions = made[6].release();
  for (std::size_t i = 0; i < g_names.algorithms.size(); ++i) {
    g_names.algorithms[i] = made[7 + i].release();
  }
}

std::string exception_message(const Error& error) {
  std::string message = error.message();
  if (const auto code = error.status_code()) {
    message += " [";
    message += *code;
    message += ']';
  }
  return message;
}

void map_err(Error error) {
  const std::string message = exception_message(error);
  Ref text = new_str(message);
  PyErr_SetObject(PyExc_ValueError, text.get());
  throw PythonError{};
}

}  // namespace quorvane::python
