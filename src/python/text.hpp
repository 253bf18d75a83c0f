// Reading a str argument: its UTF-8 in full (the text rule), a chunk at a
// time (Utf8Chunks), and whether it is all ASCII.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <quorvane/internal/big_buffer.hpp>
#include <quorvane/internal/thresholds.hpp>
#include <span>
#include <string>
#include <string_view>

#include "call.hpp"
#include "ref.hpp"

namespace quorvane::python {

// A text argument as UTF-8, valid while the object lives.
struct Text {
  Ref utf8;  // the intermediate bytes object that holds the encoding, or
  std::basic_string<char, std::char_traits<char>, BigBufferAllocator<char>>
      owned;  // for long texts
  std::string_view view;
};

// A long str read a chunk at a time, as the str holds it: an all-ASCII
// chunk as its own UTF-8, an all-Latin-1 one as its Latin-1 bytes, any
// other as its code points. Reading takes the interpreter lock; what is
// done with a chunk (transcoding, hashing) can then run with it released,
// so that other threads run meanwhile. The interpreter encodes a str
// character by character; this reads its characters in bulk.
class Utf8Chunks {
 public:
  static constexpr Py_ssize_t kChunk = static_cast<Py_ssize_t>(thresholds::kChunk);
  // The most bytes that one chunk's UTF-8 takes.
  static constexpr std::size_t kMaxChunkBytes = 4 * thresholds::kChunk;

  // One chunk: `ascii` bytes of ASCII written where read() was told; or,
  // when `latin1` is not empty, the chunk's characters as Latin-1 bytes;
  // or, when `code_points` is not empty, its code points. Either is valid
  // until the next read, and reading it needs no lock.
  struct Chunk {
    std::size_t ascii = 0;
    std::span<const std::uint8_t> latin1;
    std::span<const char32_t> code_points;
  };

  // `str` is a str of `length` characters that the caller holds.
  Utf8Chunks(PyObject* str, Py_ssize_t length);

  bool done() const noexcept { return at_ == length_; }
  // Characters not read yet.
  Py_ssize_t left() const noexcept { return length_ - at_; }

  // Reads the next chunk, an all-ASCII one straight to `ascii_out` (room
  // for kChunk bytes). nullopt, with no exception pending, when it cannot
  // be read (exhausted memory): converting the whole str then raises the
  // interpreter's own exception for it. Call with the lock held.
  std::optional<Chunk> read(char* ascii_out) noexcept;

 private:
  // Reads the str `piece` of `count` characters as Latin-1 into `chunk`.
  // False when it is not all Latin-1 (nothing raised) or the interpreter
  // fails (its exception set).
  bool read_latin1(PyObject* piece, Py_ssize_t count, Chunk& chunk) noexcept;

  PyObject* str_;
  Py_ssize_t length_;
  Py_ssize_t at_ = 0;
  char32_t* scratch_;
  Ref latin1_;         // the bytes of the last chunk read as Latin-1
  unsigned skip_ = 0;  // chunks not to try as Latin-1
};

// The text rule: raises (throws PythonError) TypeError "argument
// '<param>': '<type>' object cannot be converted to 'PyString'" for
// anything but a str, and the interpreter's UnicodeEncodeError for a lone
// surrogate.
Text to_text(PyObject* obj, const char* param);

// Texts of at most this many characters fit a ShortTextRoom.
inline constexpr std::size_t kShortText = thresholds::kShortText;

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
