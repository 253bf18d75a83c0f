#include "results.hpp"

#include <string>

namespace quorvane::python {

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

void map_err(Error error) {
  const std::string message = error.text();
  Ref text = new_str(message);
  PyErr_SetObject(PyExc_ValueError, text.get());
  throw PythonError{};
}

}  // namespace quorvane::python
