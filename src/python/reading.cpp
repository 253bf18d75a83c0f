// extract, locate_all, strip.
#include <algorithm>
#include <optional>
#include <quorvane/wrapper.hpp>
#include <string>
#include <vector>

#include "convert.hpp"
#include "functions.hpp"
#include "utf8.hpp"

namespace quorvane::python {
namespace {

const Signature kExtractSig{"extract", {"text"}, 1};
const Signature kLocateAllSig{"locate_all", {"text"}, 1};
const Signature kStripSig{"strip", {"text", "start", "length"}, 3};

// True when the str `obj` is pure ASCII, which str knows without a scan.
bool is_ascii(PyObject* obj) {
  const auto ascii = str_isascii(obj);
  if (!ascii) throw PythonError{};
  return *ascii;
}

// A str argument of strip, with the character offsets that correspond to
// UTF-8 byte offsets, found from its code points without producing its
// UTF-8. It is read a piece at a time: each piece is cut out by the
// interpreter, which narrows it as far as its own characters allow; an
// all-ASCII piece is its own UTF-8 and needs no look at its characters, any
// other has its code points read into a small buffer. Pieces are dropped as
// soon as they are read, so the memory they take is reused from one to the
// next; only the result is new memory.
class CodePointIndex {
 public:
  // Checks `obj` as the text rule does: TypeError for anything but a str,
  // the interpreter's own UnicodeEncodeError for a lone surrogate.
  CodePointIndex(PyObject* obj, const char* param) : str_(obj) {
    if (!PyUnicode_Check(obj)) (void)to_text(obj, param);  // raises its TypeError
    length_ = PyUnicode_GetLength(obj);
    if (length_ < 0) throw PythonError{};
    if (is_ascii(obj)) {
      ascii_ = true;
      utf8_size_ = static_cast<std::uint64_t>(length_);
      return;
    }
    piece_starts_.reserve(static_cast<std::size_t>((length_ + kPiece - 1) / kPiece));
    for (Py_ssize_t at = 0; at < length_; at += kPiece) {
      piece_starts_.push_back(utf8_size_);
      const Ref piece = substring(obj, at, std::min(length_, at + kPiece));
      if (is_ascii(piece.get())) {
        utf8_size_ += static_cast<std::uint64_t>(PyUnicode_GetLength(piece.get()));
        continue;
      }
      const utf8::CodePointScan scan = utf8::scan(code_points(piece));
      if (scan.surrogate) {
        // Raised by the interpreter's own encoder, so that it is exactly
        // the exception of the text rule.
        (void)to_text(obj, param);
        throw Panic("a str with a lone surrogate was encoded to UTF-8");
      }
      utf8_size_ += scan.utf8_size;
    }
  }

  // The index of the character that begins at byte `offset` of the UTF-8
  // form, or the length for its end; nullopt for an offset inside a
  // character or beyond the end.
  std::optional<Py_ssize_t> index_of(std::uint64_t offset) {
    if (offset > utf8_size_) return std::nullopt;
    if (ascii_) return static_cast<Py_ssize_t>(offset);
    if (offset == utf8_size_) return length_;
    const auto next = std::upper_bound(piece_starts_.begin(), piece_starts_.end(), offset);
    const auto i = static_cast<std::size_t>(next - piece_starts_.begin()) - 1;
    const std::uint64_t into = offset - piece_starts_[i];
    const Py_ssize_t at = static_cast<Py_ssize_t>(i) * kPiece;
    if (into == 0) return at;
    const Ref piece = substring(str_, at, std::min(length_, at + kPiece));
    if (is_ascii(piece.get())) return at + static_cast<Py_ssize_t>(into);
    const auto found = utf8::index_of_offset(code_points(piece), into);
    if (!found) return std::nullopt;
    return at + static_cast<Py_ssize_t>(*found);
  }

  // The str without the characters [start, end), as a new exact str.
  Ref without(Py_ssize_t start, Py_ssize_t end) const {
    if (start == end) {
      // A slice of the whole str is the str itself, and every result must
      // be a new object: join two halves instead. (Strings of one
      // character or none may be the interpreter's shared singletons
      // whatever is done.)
      if (length_ < 2) return substring(str_, 0, length_);
      return joined(0, length_ / 2, length_ / 2, length_);
    }
    if (start == 0) return substring(str_, end, length_);
    if (end == length_) return substring(str_, 0, start);
    return joined(0, start, end, length_);
  }

 private:
  static constexpr Py_ssize_t kPiece = Py_ssize_t{1} << 16;
  // Characters appended at a time to a result joined from two slices.
  static constexpr Py_ssize_t kAppend = Py_ssize_t{1} << 20;

  static Ref substring(PyObject* str, Py_ssize_t start, Py_ssize_t end) {
    return check(PyUnicode_Substring(str, start, end));
  }

  // The characters [a, b) followed by [c, d), as a new str. The first slice
  // is new and not shared, so the interpreter grows it in place (realloc)
  // for each part of the second appended to it; those parts are cut a
  // bounded number of characters at a time, so that they reuse one another's
  // memory instead of the second slice being written twice, once on its own
  // and once into the result.
  Ref joined(Py_ssize_t a, Py_ssize_t b, Py_ssize_t c, Py_ssize_t d) const {
    PyObject* out = substring(str_, a, b).release();
    for (Py_ssize_t at = c; at < d && out != nullptr; at += kAppend) {
      const Ref part = Ref::steal(PyUnicode_Substring(str_, at, std::min(d, at + kAppend)));
      if (!part) {
        Py_DecRef(out);
        api_failed();
      }
      PyUnicode_Append(&out, part.get());  // on failure releases `out` and sets it to null
    }
    return check(out);
  }

  std::span<const char32_t> code_points(const Ref& piece) {
    const Py_ssize_t count = PyUnicode_GetLength(piece.get());
    if (count < 0) throw PythonError{};
    buffer_.resize(static_cast<std::size_t>(count));
    if (count > 0 && PyUnicode_AsUCS4(piece.get(), reinterpret_cast<Py_UCS4*>(buffer_.data()),
                                      count, 0) == nullptr) {
      api_failed();
    }
    return buffer_;
  }

  PyObject* str_;  // borrowed from the call's bound arguments
  Py_ssize_t length_ = 0;
  bool ascii_ = false;
  std::uint64_t utf8_size_ = 0;
  std::vector<std::uint64_t> piece_starts_;  // UTF-8 offset of each piece of kPiece characters
  std::u32string buffer_;
};

}  // namespace

PyObject* py_extract(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Bound a = bind(kExtractSig, args, kwargs);
    ShortTextRoom room;
    const Text text = to_text(a[0], "text", room);
    auto found = without_gil(text.view.size(), [&] { return wrapper::extract(text.view); });
    if (!found) {
      if (found.error().kind() == ErrorKind::NotFound) return Ref::borrow(Py_None);
      map_err(std::move(found.error()));
    }
    const Names& key = names();
    Ref dict = new_dict();
    dict_set(dict, key.payload, new_bytes(found->payload));
    dict_set(dict, key.version, new_int(found->version));
    dict_set(dict, key.start, new_int(found->start));
    dict_set(dict, key.length, new_int(found->length));
    return dict;
  });
}

PyObject* py_locate_all(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Bound a = bind(kLocateAllSig, args, kwargs);
    ShortTextRoom room;
    const Text text = to_text(a[0], "text", room);
    const std::vector<wrapper::Wrapper> found =
        without_gil(text.view.size(), [&] { return wrapper::locate_all(text.view); });
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(found.size())));
    for (std::size_t i = 0; i < found.size(); ++i) {
      Ref pair = new_pair(found[i].start, found[i].length);
      if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release()) != 0) {
        api_failed();
      }
    }
    return list;
  });
}

PyObject* py_strip(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Bound a = bind(kStripSig, args, kwargs);
    CodePointIndex text(a[0], "text");
    const std::uint64_t start = to_size(a[1], "start");
    const std::uint64_t length = to_size(a[2], "length");
    const std::uint64_t end = start + length;
    if (end < start) map_err(Error::exclusion_malformed());
    // The range must lie inside the text with both ends on character
    // boundaries; which condition failed is not told.
    const std::optional<Py_ssize_t> first = text.index_of(start);
    const std::optional<Py_ssize_t> last = first ? text.index_of(end) : std::nullopt;
    if (!first || !last) map_err(Error::exclusion_malformed());
    return text.without(*first, *last);
  });
}

}  // namespace quorvane::python
