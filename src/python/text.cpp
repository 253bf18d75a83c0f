#include "text.hpp"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <quorvane/utf8.hpp>

#include "args.hpp"

namespace quorvane::python {
namespace {

constexpr auto kCodePointsFrom = static_cast<Py_ssize_t>(thresholds::kStreamFrom);

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
            const auto chunk = chunks.read(out + written);
            std::size_t n = chunk ? chunk->ascii : utf8::kNotScalarValues;
            if (chunk && !chunk->latin1.empty()) {
              n = without_gil(Utf8Chunks::kMaxChunkBytes,
                              [&] { return utf8::from_latin1(chunk->latin1, out + written); });
            } else if (chunk && !chunk->code_points.empty()) {
              n = without_gil(Utf8Chunks::kMaxChunkBytes,
                              [&] { return utf8::from_utf32(chunk->code_points, out + written); });
            }
            // A lone surrogate, or the interpreter failing.
            if (n == utf8::kNotScalarValues) {
              ok = false;
              return std::size_t{0};
            }
            written += n;
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

Utf8Chunks::Utf8Chunks(PyObject* str, Py_ssize_t length) : str_(str), length_(length) {
  thread_local std::unique_ptr<char32_t[]> scratch;
  if (!scratch) scratch.reset(new char32_t[kChunk]);
  scratch_ = scratch.get();
}

std::optional<Utf8Chunks::Chunk> Utf8Chunks::read(char* ascii_out) noexcept {
  const Py_ssize_t end = std::min(length_, at_ + kChunk);
  const Py_ssize_t count = end - at_;
  const auto fail = []() -> std::optional<Chunk> {
    PyErr_Clear();
    return std::nullopt;
  };
  Ref piece = at_ == 0 && end == length_ ? Ref::borrow(str_)
                                         : Ref::steal(PyUnicode_Substring(str_, at_, end));
  if (!piece) return fail();
  Chunk chunk;
  // A chunk comes out as a str of the narrowest width that holds it: an
  // all-ASCII one is its own UTF-8 and is copied.
  bool ascii = false;
  if (piece.get() != str_) {
    const auto is_ascii = str_isascii(piece.get());
    if (!is_ascii) return fail();
    ascii = *is_ascii;
  }
  if (ascii) {
    if (!copy_ascii(piece.get(), count, ascii_out)) return fail();
    chunk.ascii = static_cast<std::size_t>(count);
  } else if (!read_latin1(piece.get(), count, chunk)) {
    if (PyErr_Occurred() != nullptr) return fail();
    if (PyUnicode_AsUCS4(piece.get(), reinterpret_cast<Py_UCS4*>(scratch_), count, 0) == nullptr) {
      return fail();
    }
    chunk.code_points = {scratch_, static_cast<std::size_t>(count)};
  }
  at_ = end;
  return chunk;
}

// A str narrower than 2 bytes a character (all below U+0100: most text in
// Western European languages, cut from a str that a wrapper widens to 4)
// is encoded to Latin-1 by a copy of its characters, a quarter of the
// bytes its code points take. Whether it is all Latin-1 shows only in the
// encoder's failing on its first other character, whose exception costs
// more than that copy: after a failure the next chunks are read as code
// points without trying, as a text keeps to its scripts.
bool Utf8Chunks::read_latin1(PyObject* piece, Py_ssize_t count, Chunk& chunk) noexcept {
  constexpr unsigned kSkipAfterFailure = 15;
  latin1_.reset();
  if (skip_ != 0) {
    --skip_;
    return false;
  }
  latin1_ = Ref::steal(PyUnicode_AsLatin1String(piece));
  if (!latin1_) {
    // Only a character past U+00FF (or a lone surrogate) is left to the
    // code points; anything else fails the read.
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) PyErr_Clear();
    skip_ = kSkipAfterFailure;
    return false;
  }
  const char* data = PyBytes_AsString(latin1_.get());
  if (data == nullptr || PyBytes_Size(latin1_.get()) != count) {
    latin1_.reset();
    return false;  // with the exception set, if any
  }
  chunk.latin1 = {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(count)};
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
            utf8::from_utf32({code_points, static_cast<std::size_t>(length)}, room.utf8);
        // A lone surrogate: the interpreter's encoder below raises for it.
        if (size != utf8::kNotScalarValues) {
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

}  // namespace quorvane::python
