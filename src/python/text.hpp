// Reading a str argument: its UTF-8 in full (the text rule), a chunk at a
// time (Utf8Chunks), and whether it is all ASCII.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <quorvane/internal/big_buffer.hpp>
#include <span>
#include <string>
#include <string_view>

#include "call.hpp"
#include "hardbinding/utf32.hpp"
#include "ref.hpp"

namespace quorvane::python {

// A text argument as UTF-8, valid while the object lives.
struct Text {
  Ref utf8;  // the intermediate bytes object that holds the encoding, or
  std::basic_string<char, std::char_traits<char>, BigBufferAllocator<char>>
      owned;  // for long texts
  std::string_view view;
};

// A long str read as UTF-8 a chunk at a time. Each chunk is copied out of
// the str with the interpreter lock held and transcoded with it released,
// so that other threads run meanwhile. The interpreter encodes a str
// character by character; this reads its code points in bulk.
class Utf8Chunks {
 public:
  // Code points read at a time. The scratch buffer and the chunk's UTF-8
  // (256 KiB each at most) stay in a core's second-level cache, and each
  // chunk costs a release and a retaking of the interpreter lock, which
  // with two threads reading at once is what bounds smaller chunks.
  static constexpr Py_ssize_t kChunk = Py_ssize_t{1} << 16;
  // The most bytes that one chunk's UTF-8 takes.
  static constexpr std::size_t kMaxChunkBytes = 4 * static_cast<std::size_t>(kChunk);

  // `str` is a str of `length` characters that the caller holds. With
  // `set`, each chunk not all ASCII is also scanned against it (see next).
  Utf8Chunks(PyObject* str, Py_ssize_t length,
             std::optional<hardbinding::provided::CodePointSet> set = std::nullopt);

  bool done() const noexcept { return at_ == length_; }
  // Characters not read yet.
  Py_ssize_t left() const noexcept { return length_ - at_; }

  // Writes the UTF-8 of the next chunk to `out`, which must have room for
  // kMaxChunkBytes, then calls `then(utf8, scan, code_points)` on it,
  // still with the lock released; returns its size. `scan` (a
  // std::optional<Utf32Scan>) says whether the chunk's code points are all
  // in the set and whether U+FEFF is among them; it is empty for a chunk
  // of ASCII, or when no set was given. `code_points` are the chunk's, or
  // empty for a chunk of ASCII. nullopt, with no exception pending, when
  // the chunk has no UTF-8 (a lone surrogate) or cannot be read (exhausted
  // memory): converting the whole str then raises the interpreter's own
  // exception for it. Call with the lock held; `then` must not touch
  // Python.
  template <class Then>
  std::optional<std::size_t> next(char* out, Then&& then) {
    namespace provided = hardbinding::provided;
    const Py_ssize_t end = std::min(length_, at_ + kChunk);
    std::span<const char32_t> code_points;
    std::size_t ascii = 0;
    if (!read(end, out, code_points, ascii)) {
      PyErr_Clear();
      return std::nullopt;
    }
    at_ = end;
    const std::size_t n = without_gil(kMaxChunkBytes, [&]() -> std::size_t {
      std::optional<provided::Utf32Scan> scan;
      std::size_t size = ascii;
      if (!code_points.empty()) {
        if (set_) {
          scan = provided::utf8_from_utf32_scan(code_points, out, *set_);
          size = scan->size;
        } else {
          size = provided::utf8_from_utf32(code_points, out);
        }
      }
      if (size == provided::kNotScalarValues) return size;
      then(std::string_view(out, size), scan, code_points);
      return size;
    });
    if (n == provided::kNotScalarValues) return std::nullopt;
    return n;
  }

 private:
  // Reads characters [at_, end): an all-ASCII chunk straight to `out` as
  // UTF-8 (`ascii` set to its size), any other into the scratch buffer
  // (`code_points`). False when the interpreter fails.
  bool read(Py_ssize_t end, char* out, std::span<const char32_t>& code_points,
            std::size_t& ascii) noexcept;

  PyObject* str_;
  Py_ssize_t length_;
  std::optional<hardbinding::provided::CodePointSet> set_;
  Py_ssize_t at_ = 0;
  char32_t* scratch_;
};

// The text rule: raises (throws PythonError) TypeError "argument
// '<param>': '<type>' object cannot be converted to 'PyString'" for
// anything but a str, and the interpreter's UnicodeEncodeError for a lone
// surrogate.
Text to_text(PyObject* obj, const char* param);

// Texts of at most this many characters fit a ShortTextRoom.
inline constexpr std::size_t kShortText = 256;

// Room in the caller's frame for the UTF-8 of a short text argument.
struct ShortTextRoom {
  char utf8[4 * kShortText];
};

// As to_text(obj, param), with the same exceptions. A str of at most
// kShortText characters is transcoded from its code points into `room`,
// without an intermediate bytes object; the view then lies in `room`.
Text to_text(PyObject* obj, const char* param, ShortTextRoom& room);

// Whether the str (or subclass of str) `obj` is all ASCII, answered by
// str.isascii itself (an override in a subclass is not asked), which reads
// a flag, no scan. nullopt, with the exception set, when the call fails.
// The one ASCII check of the module.
std::optional<bool> str_isascii(PyObject* obj) noexcept;
// Looks up, once, at import, what reading a str needs: str.isascii (for
// str_isascii) and, where the interpreter has it in its stable ABI,
// PyUnicode_AsUTF8AndSize.
void prepare_str_isascii();

}  // namespace quorvane::python
