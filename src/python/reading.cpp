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
// interpreter, which narrows it as far as its own characters allow, and its
// code points are read into a small buffer where it is not ASCII.
//
// A text that carries a wrapper is stored with 4 bytes per character (the
// selectors lie beyond the BMP), and any slice of it would be scanned and
// narrowed again. So pieces that narrowed are kept, and the result is
// joined from them and from slices of the str over the pieces that did not.
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
    const auto count = static_cast<std::size_t>((length_ + kPiece - 1) / kPiece);
    pieces_.reserve(count);
    piece_starts_.reserve(count);
    char32_t max = 0;
    for (Py_ssize_t at = 0; at < length_; at += kPiece) {
      piece_starts_.push_back(utf8_size_);
      Ref piece = substring(obj, at, std::min(length_, at + kPiece));
      if (is_ascii(piece.get())) {
        utf8_size_ += static_cast<std::uint64_t>(PyUnicode_GetLength(piece.get()));
        pieces_.push_back(std::move(piece));
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
      max = std::max(max, scan.max);
      pieces_.push_back(scan.max < kWide ? std::move(piece) : Ref());
    }
    // Without characters beyond the BMP few pieces are narrower than the
    // str; slicing the str itself then costs no more and holds no copy.
    if (max < kWide) {
      for (Ref& piece : pieces_) piece.reset();
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
    const Ref piece = pieces_[i] ? Ref::borrow(pieces_[i].get())
                                 : substring(str_, at, std::min(length_, at + kPiece));
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
      const Ref head = substring(str_, 0, length_ / 2);
      const Ref tail = substring(str_, length_ / 2, length_);
      return check(PyUnicode_Concat(head.get(), tail.get()));
    }
    if (ascii_) {
      if (start == 0) return substring(str_, end, length_);
      if (end == length_) return substring(str_, 0, start);
      const Ref head = substring(str_, 0, start);
      const Ref tail = substring(str_, end, length_);
      return check(PyUnicode_Concat(head.get(), tail.get()));
    }
    std::vector<Ref> parts;
    append_range(parts, 0, start);
    append_range(parts, end, length_);
    if (parts.size() == 1) return std::move(parts[0]);
    if (parts.size() == 2) {
      // The first part is new and not shared, so the interpreter grows it
      // in place (realloc) instead of copying it into a third str.
      PyObject* joined = parts[0].release();
      PyUnicode_Append(&joined, parts[1].get());
      return check(joined);
    }
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(parts.size())));
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), parts[i].release()) != 0) {
        api_failed();
      }
    }
    const Ref empty = check(PyUnicode_FromStringAndSize("", 0));
    return check(PyUnicode_Join(empty.get(), list.get()));
  }

 private:
  static constexpr Py_ssize_t kPiece = Py_ssize_t{1} << 16;
  static constexpr char32_t kWide = 0x10000;  // from here a str stores 4 bytes a character

  static Ref substring(PyObject* str, Py_ssize_t start, Py_ssize_t end) {
    return check(PyUnicode_Substring(str, start, end));
  }

  // Appends the characters [from, to) to `parts`: from the kept pieces, and
  // as one slice of the str over each run of pieces not kept.
  void append_range(std::vector<Ref>& parts, Py_ssize_t from, Py_ssize_t to) const {
    while (from < to) {
      auto i = static_cast<std::size_t>(from / kPiece);
      Ref part;
      Py_ssize_t until = 0;
      if (pieces_[i]) {
        const Py_ssize_t at = static_cast<Py_ssize_t>(i) * kPiece;
        until = std::min(to, at + kPiece);
        part = substring(pieces_[i].get(), from - at, until - at);
      } else {
        while (i + 1 < pieces_.size() && !pieces_[i + 1] &&
               static_cast<Py_ssize_t>(i + 1) * kPiece < to) {
          ++i;
        }
        until = std::min(to, static_cast<Py_ssize_t>(i + 1) * kPiece);
        part = substring(str_, from, until);
      }
      parts.push_back(std::move(part));
      from = until;
    }
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
  // kPiece characters each, the last one shorter; null where not kept
  std::vector<Ref> pieces_;
  std::vector<std::uint64_t> piece_starts_;  // UTF-8 offset of each piece
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
