// The calling convention of the exported functions: argument binding,
// argument conversions with the prefix rule, result construction and the
// mapping of library errors to exceptions.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <quorvane/error.hpp>
#include <quorvane/hardbinding.hpp>
#include <quorvane/internal/big_buffer.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "call.hpp"
#include "ref.hpp"
#include "simd/utf32.hpp"

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
             std::optional<simd::CodePointSet> set = std::nullopt);

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
    namespace provided = simd;
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
  std::optional<simd::CodePointSet> set_;
  Py_ssize_t at_ = 0;
  char32_t* scratch_;
};

// Conversions. Each raises (throws PythonError) with the exception of its
// rule; `param` names the parameter for the prefix rule: a failure that is
// exactly TypeError becomes TypeError "argument '<param>': <message>".
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

// Whether the str `obj` is all ASCII, answered by str.isascii itself (an
// override in a subclass is not asked), which reads a flag, no scan.
// nullopt, with the exception set, when the call fails.
std::optional<bool> str_isascii(PyObject* obj) noexcept;
// Looks up, once, at import, what reading a str needs: str.isascii (for
// str_isascii) and, where the interpreter has it in its stable ABI,
// PyUnicode_AsUTF8AndSize.
void prepare_str_isascii();
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

// Results: new objects, or api_failed() when the interpreter cannot make them.
Ref new_str(std::string_view utf8);
// A str from code points that are all valid scalar values.
Ref new_str(std::u32string_view code_points);
Ref new_bytes(std::span<const std::uint8_t> bytes);
Ref new_int(std::uint64_t value);
Ref new_pair(std::uint64_t first, std::uint64_t second);
Ref new_dict();
// Inserts key -> value; a failed insertion raises that failure. `key` is
// one of the prepared names below.
void dict_set(const Ref& dict, PyObject* key, const Ref& value);

// The str objects that calls would otherwise build again and again: the
// keys of the result dicts and the algorithm identifiers, interned. Made by
// prepare_names at import, before any function can run, and owned here for
// the life of the process, like the module itself (which has no teardown
// that could release them).
struct Names {
  PyObject* payload = nullptr;
  PyObject* version = nullptr;
  PyObject* start = nullptr;
  PyObject* length = nullptr;
  PyObject* alg = nullptr;
  PyObject* hash = nullptr;
  PyObject* exclusions = nullptr;
  std::array<PyObject*, 3> algorithms{};  // by hardbinding::Algorithm::Value

  // The identifier of `alg` ("sha256", ...) as a new reference.
  Ref algorithm(hardbinding::Algorithm alg) const noexcept {
    return Ref::borrow(algorithms[alg.value()]);
  }
};
const Names& names() noexcept;
// Makes the names once; does nothing when they exist.
void prepare_names();

// Raises ValueError for a library error: "<message> [<status code>]", or the
// bare message for the kinds without a code.
[[noreturn]] void map_err(Error error);

// The ValueError message of an error, as map_err builds it.
std::string exception_message(const Error& error);

}  // namespace quorvane::python
