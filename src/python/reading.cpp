// extract, locate_all, strip.
#include <algorithm>
#include <optional>
#include <quorvane/utf8.hpp>
#include <quorvane/wrapper.hpp>
#include <string>
#include <vector>

#include "args.hpp"
#include "functions.hpp"
#include "results.hpp"
#include "text.hpp"

namespace quorvane::python {
namespace {

const Signature kExtractSig{"extract", {"text"}, 1};
const Signature kLocateAllSig{"locate_all", {"text"}, 1};
const Signature kStripSig{"strip", {"text", "start", "length"}, 3};

// True when the str `obj` is pure ASCII; raises where str_isascii fails.
bool is_ascii(PyObject* obj) {
  const auto ascii = str_isascii(obj);
  if (!ascii) throw PythonError{};
  return *ascii;
}

// The str argument of strip, read a piece at a time to map UTF-8 byte
// offsets to characters without producing its UTF-8. Each piece is cut out
// by the interpreter, which narrows it as far as its own characters allow:
// an all-ASCII piece is its own UTF-8 and needs no look at its characters;
// any other has its code points read into a buffer. The result is joined
// from the pieces on the way, outside the range: every character is read
// once, pieces reuse one another's memory, and only the result is new.
class StripText {
 public:
  // Checks the type as the text rule does: TypeError for anything but a str.
  StripText(PyObject* obj, const char* param) : str_(obj), param_(param) {
    if (!PyUnicode_Check(obj)) (void)to_text(obj, param);  // raises its TypeError
    length_ = PyUnicode_GetLength(obj);
    if (length_ < 0) throw PythonError{};
    ascii_ = is_ascii(obj);
  }

  // Reads the whole text for the other failure of the text rule: a lone
  // surrogate raises the interpreter's own UnicodeEncodeError.
  void check_text() {
    if (!ascii_) (void)walk(0, 0, false);
  }

  // The text without its UTF-8 bytes [start, end), as a new exact str;
  // nullopt when the range is not acceptable (wrapper::range_acceptable).
  // Raises as check_text() does first, whatever the range.
  std::optional<Ref> without(std::uint64_t start, std::uint64_t end) {
    const bool empty = start == end;
    std::optional<Ref> out;
    if (ascii_) {
      // Every offset of an all-ASCII text is a character boundary.
      if (!wrapper::range_acceptable(start, end, static_cast<std::uint64_t>(length_),
                                     [](std::uint64_t) { return true; })) {
        return std::nullopt;
      }
      if (!empty) out = slices(static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end));
    } else {
      Walk w = walk(start, end, !empty);
      // The walk found the characters at `start` and `end` that lie inside
      // the text and begin there.
      const auto boundary = [&](std::uint64_t offset) {
        return (offset == start ? w.first : w.last).has_value();
      };
      if (!wrapper::range_acceptable(start, end, w.size, boundary)) return std::nullopt;
      if (!empty) out = w.out ? std::move(w.out) : check(PyUnicode_FromStringAndSize("", 0));
    }
    if (empty) {
      // A slice of the whole str is the str itself, and every result must
      // be a new object: join two halves instead. (Strings of one
      // character or none may be the interpreter's shared singletons
      // whatever is done.)
      if (length_ < 2) return substring(str_, 0, length_);
      return slices(length_ / 2, length_ / 2);
    }
    return out;
  }

 private:
  static constexpr Py_ssize_t kPiece = Py_ssize_t{1} << 18;

  struct Walk {
    std::optional<Py_ssize_t> first, last;  // the characters at the range's ends
    std::uint64_t size = 0;                 // the UTF-8 size of the text
    Ref out;                                // what was kept, when built
  };

  static Ref substring(PyObject* str, Py_ssize_t start, Py_ssize_t end) {
    return check(PyUnicode_Substring(str, start, end));
  }

  // `part` appended to `out`, which it becomes when `out` is empty. A new
  // str that nothing else holds is grown in place (realloc).
  static void append(Ref& out, Ref part) {
    if (!out) {
      out = std::move(part);
      return;
    }
    PyObject* joined = out.release();
    PyUnicode_Append(&joined, part.get());  // on failure releases it and leaves null
    out = check(joined);
  }

  // The text without the characters [first, last), from slices of the str:
  // the part behind the range is appended to the part before it kPiece
  // characters at a time, so that it is not written twice, once as a
  // slice of its own and again into the result.
  Ref slices(Py_ssize_t first, Py_ssize_t last) const {
    Ref out;
    if (first > 0) out = substring(str_, 0, first);
    for (Py_ssize_t at = last; at < length_; at += kPiece) {
      append(out, substring(str_, at, std::min(length_, at + kPiece)));
    }
    return out ? std::move(out) : check(PyUnicode_FromStringAndSize("", 0));
  }

  // One pass over the pieces: raises for a lone surrogate, maps the byte
  // offsets `start` <= `end` to characters, and when `build` is set joins
  // the characters outside them into `out`.
  Walk walk(std::uint64_t start, std::uint64_t end, bool build) {
    Walk w;
    bool inside = false;      // an end of the range falls inside a character
    std::uint64_t bytes = 0;  // UTF-8 size of the pieces before this one
    for (Py_ssize_t at = 0; at < length_; at += kPiece) {
      const Py_ssize_t until = std::min(length_, at + kPiece);
      Ref piece = substring(str_, at, until);
      const bool ascii = is_ascii(piece.get());
      std::span<const char32_t> units;
      std::uint64_t size = static_cast<std::uint64_t>(until - at);
      if (!ascii) {
        units = code_points(piece);
        const utf8::CodePointScan scan = utf8::scan(units);
        if (scan.surrogate) raise_surrogate();
        size = scan.utf8_size;
      }
      // An offset at the end of this piece is the start of the next.
      const auto locate = [&](std::uint64_t offset, std::optional<Py_ssize_t>& index) {
        if (index || offset < bytes || offset - bytes >= size) return;
        const std::uint64_t into = offset - bytes;
        if (ascii) {
          index = at + static_cast<Py_ssize_t>(into);
        } else if (const auto found = utf8::index_of_offset(units, into)) {
          index = at + static_cast<Py_ssize_t>(*found);
        } else {
          inside = true;
        }
      };
      locate(start, w.first);
      locate(end, w.last);
      bytes += size;
      if (!build || inside) continue;
      // An end not found yet lies behind this piece.
      const Py_ssize_t cut = w.first ? std::clamp(*w.first, at, until) : until;
      const Py_ssize_t resume = w.last ? std::clamp(*w.last, at, until) : until;
      // The piece is as narrow as its own characters allow, often narrower
      // than the str, and was just written: joining it (or a slice of it)
      // costs less than slicing the str again for the result.
      if (cut == until && at == resume) {
        append(w.out, std::move(piece));
        continue;
      }
      if (cut > at) append(w.out, substring(piece.get(), 0, cut - at));
      if (resume < until) append(w.out, substring(piece.get(), resume - at, until - at));
    }
    if (!w.first && start == bytes) w.first = length_;
    if (!w.last && end == bytes) w.last = length_;
    w.size = bytes;
    return w;
  }

  [[noreturn]] void raise_surrogate() {
    // Raised by the interpreter's own encoder, so that it is exactly the
    // exception of the text rule.
    (void)to_text(str_, param_);
    throw Panic("a str with a lone surrogate was encoded to UTF-8");
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
  const char* param_;
  Py_ssize_t length_ = 0;
  bool ascii_ = false;
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
    StripText text(a[0], "text");
    // Sizes given as ints are read without running any Python code, so the
    // text can be read once with the range known. Otherwise it is checked
    // in full before the sizes are converted, as the text rule comes first.
    std::optional<std::uint64_t> start = int_size(a[1]);
    std::optional<std::uint64_t> length = int_size(a[2]);
    if (!start || !length) {
      text.check_text();
      start = to_size(a[1], "start");
      length = to_size(a[2], "length");
    }
    // The range must be acceptable (wrapper::range_end, range_acceptable);
    // which condition failed is not told.
    const auto end = wrapper::range_end(*start, *length);
    if (!end) {
      text.check_text();
      map_err(Error::exclusion_malformed());
    }
    std::optional<Ref> stripped = text.without(*start, *end);
    if (!stripped) map_err(Error::exclusion_malformed());
    return std::move(*stripped);
  });
}

}  // namespace quorvane::python
