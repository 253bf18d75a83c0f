// extract, locate_all, strip.
#include <algorithm>
#include <cstring>
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

// Objects that every call would otherwise build again. Made once, at the
// first import, and kept for the life of the process like the module.
struct Cached {
  // The keys of extract's result, interned.
  PyObject* payload = nullptr;
  PyObject* version = nullptr;
  PyObject* start = nullptr;
  PyObject* length = nullptr;
  // str.isascii unbound, so that a subclass of str cannot answer for it.
  PyObject* isascii = nullptr;
};
Cached g_cached;

// True when the str `obj` is pure ASCII, which str knows without a scan.
bool is_ascii(PyObject* obj) {
  const Ref answer = check(PyObject_CallFunctionObjArgs(g_cached.isascii, obj, nullptr));
  return answer.get() == Py_True;
}

void dict_set(const Ref& dict, PyObject* key, const Ref& value) {
  if (PyDict_SetItem(dict.get(), key, value.get()) != 0) throw PythonError{};
}

// Uninitialised storage for `count` values, large ones mapped on their own
// (BigBufferAllocator).
template <class T>
class Storage {
 public:
  explicit Storage(std::size_t count)
      : count_(count), data_(count > 0 ? BigBufferAllocator<T>().allocate(count) : nullptr) {}
  ~Storage() {
    if (data_ != nullptr) BigBufferAllocator<T>().deallocate(data_, count_);
  }
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  T* data() const noexcept { return data_; }
  std::span<T> span(std::size_t from, std::size_t to) const noexcept {
    return {data_ + from, to - from};
  }

 private:
  std::size_t count_;
  T* data_;
};

// A str argument of strip that is not pure ASCII, held as its code points.
// strip works on these rather than on the UTF-8 of the text: the UTF-8 sizes
// of blocks of characters map the byte offsets to character indices, and
// the result is built from the code points that stay, in the narrowest form
// the interpreter takes them in. This spares encoding the text (which the
// interpreter does one character at a time for a 4-byte str, as every text
// with a wrapper is) and decoding the result.
class CodePointText {
 public:
  // Checks as the text rule does: raises the interpreter's own
  // UnicodeEncodeError for a lone surrogate.
  CodePointText(PyObject* obj, Py_ssize_t length, const char* param)
      : length_(static_cast<std::size_t>(length)), code_points_(length_) {
    if (length_ > 0 && PyUnicode_AsUCS4(obj, reinterpret_cast<Py_UCS4*>(code_points_.data()),
                                        length, 0) == nullptr) {
      api_failed();
    }
    const std::size_t blocks = (length_ + kBlock - 1) / kBlock;
    blocks_.resize(blocks);
    const bool surrogate = without_gil(4 * length_, [&] {
      bool found = false;
      std::uint64_t size = 0;
      for (std::size_t i = 0; i < blocks; ++i) {
        const utf8::CodePointScan scan = utf8::scan(block(i));
        blocks_[i] = {size, scan.max};
        size += scan.utf8_size;
        found = found || scan.surrogate;
      }
      utf8_size_ = size;
      return found;
    });
    if (surrogate) {
      // Raised by the interpreter's own encoder, so that it is exactly the
      // exception of the text rule.
      (void)to_text(obj, param);
      throw Panic("a str with a lone surrogate was encoded to UTF-8");
    }
  }

  // The index of the character that begins at byte `offset` of the UTF-8
  // form, or the length for its end; nullopt for an offset inside a
  // character or beyond the end.
  std::optional<std::size_t> index_of(std::uint64_t offset) const {
    if (offset > utf8_size_) return std::nullopt;
    if (offset == utf8_size_) return length_;
    const auto next = std::upper_bound(blocks_.begin(), blocks_.end(), offset,
                                       [](std::uint64_t o, const Block& b) { return o < b.start; });
    const auto i = static_cast<std::size_t>(next - blocks_.begin()) - 1;
    const auto found = utf8::index_of_offset(block(i), offset - blocks_[i].start);
    if (!found) return std::nullopt;
    return i * kBlock + *found;
  }

  // The text without the characters [start, end), start < end, as a new
  // str. Consumes the code points.
  Ref without(std::size_t start, std::size_t end) {
    const std::size_t kept = length_ - (end - start);
    const char32_t max = std::max(max_of(0, start), max_of(end, length_));
    if (max < 0x100) {
      // As bytes, which the interpreter copies; from code points it would
      // look for the largest one again and narrow them one by one. The
      // bytes are written over the code points, in place.
      auto* latin1 = reinterpret_cast<unsigned char*>(code_points_.data());
      without_gil(4 * length_, [&] {
        utf8::narrow_to_latin1(code_points_.span(0, start), latin1);
        utf8::narrow_to_latin1(code_points_.span(end, length_), latin1 + start);
      });
      return check(PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(latin1),
                                          static_cast<Py_ssize_t>(kept), nullptr));
    }
    without_gil(4 * (length_ - end), [&] {
      std::memmove(code_points_.data() + start, code_points_.data() + end,
                   (length_ - end) * sizeof(char32_t));
    });
    return new_str(std::u32string_view(code_points_.data(), kept));
  }

 private:
  static constexpr std::size_t kBlock = std::size_t{1} << 12;

  struct Block {
    std::uint64_t start;  // UTF-8 offset of the block's first character
    char32_t max;         // its largest code point
  };

  std::span<const char32_t> block(std::size_t i) const noexcept {
    return code_points_.span(i * kBlock, std::min(length_, (i + 1) * kBlock));
  }

  // The largest code point of [from, to), from the blocks' own maxima where
  // the range covers them whole.
  char32_t max_of(std::size_t from, std::size_t to) const {
    char32_t max = 0;
    while (from < to) {
      const std::size_t i = from / kBlock;
      const std::size_t block_end = std::min(length_, (i + 1) * kBlock);
      const std::size_t until = std::min(to, block_end);
      if (from == i * kBlock && until == block_end) {
        max = std::max(max, blocks_[i].max);
      } else {
        max = std::max(max, utf8::max_code_point(code_points_.span(from, until)));
      }
      from = until;
    }
    return max;
  }

  std::size_t length_;
  Storage<char32_t> code_points_;
  std::vector<Block> blocks_;
  std::uint64_t utf8_size_ = 0;
};

// strip's result for an ASCII str: offsets are indices.
Ref ascii_without(PyObject* str, Py_ssize_t length, Py_ssize_t start, Py_ssize_t end) {
  if (start == 0) return check(PyUnicode_Substring(str, end, length));
  if (end == length) return check(PyUnicode_Substring(str, 0, start));
  const Ref head = check(PyUnicode_Substring(str, 0, start));
  const Ref tail = check(PyUnicode_Substring(str, end, length));
  return check(PyUnicode_Concat(head.get(), tail.get()));
}

}  // namespace

void prepare_reading() {
  if (g_cached.isascii != nullptr) return;
  Ref payload = check(PyUnicode_InternFromString("payload"));
  Ref version = check(PyUnicode_InternFromString("version"));
  Ref start = check(PyUnicode_InternFromString("start"));
  Ref length = check(PyUnicode_InternFromString("length"));
  Ref isascii =
      check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "isascii"));
  g_cached = {payload.release(), version.release(), start.release(), length.release(),
              isascii.release()};
}

PyObject* py_extract(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Bound a = bind(kExtractSig, args, kwargs);
    const Text text = to_text(a[0], "text");
    auto found = without_gil(text.view.size(), [&] { return wrapper::extract(text.view); });
    if (!found) {
      if (found.error().kind() == ErrorKind::NotFound) return Ref::borrow(Py_None);
      map_err(std::move(found.error()));
    }
    Ref dict = new_dict();
    dict_set(dict, g_cached.payload, new_bytes(found->payload));
    dict_set(dict, g_cached.version, new_int(found->version));
    dict_set(dict, g_cached.start, new_int(found->start));
    dict_set(dict, g_cached.length, new_int(found->length));
    return dict;
  });
}

PyObject* py_locate_all(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Bound a = bind(kLocateAllSig, args, kwargs);
    const Text text = to_text(a[0], "text");
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
    PyObject* str = a[0];
    if (!PyUnicode_Check(str)) (void)to_text(str, "text");  // raises its TypeError
    const Py_ssize_t length = PyUnicode_GetLength(str);
    if (length < 0) throw PythonError{};
    // An ASCII str, which str knows without a scan, has no surrogate and
    // its UTF-8 offsets are its indices.
    std::optional<CodePointText> text;
    if (!is_ascii(str)) text.emplace(str, length, "text");
    const std::uint64_t start = to_size(a[1], "start");
    const std::uint64_t size = to_size(a[2], "length");
    const std::uint64_t end = start + size;
    if (end < start) map_err(Error::exclusion_malformed());
    // The range must lie inside the text with both ends on character
    // boundaries; which condition failed is not told.
    const auto index_of = [&](std::uint64_t offset) -> std::optional<std::size_t> {
      if (text) return text->index_of(offset);
      if (offset > static_cast<std::uint64_t>(length)) return std::nullopt;
      return static_cast<std::size_t>(offset);
    };
    const std::optional<std::size_t> first = index_of(start);
    const std::optional<std::size_t> last = first ? index_of(end) : std::nullopt;
    if (!first || !last) map_err(Error::exclusion_malformed());
    if (*first == *last) return check(PyUnicode_Substring(str, 0, length));
    if (!text) {
      return ascii_without(str, length, static_cast<Py_ssize_t>(*first),
                           static_cast<Py_ssize_t>(*last));
    }
    return text->without(*first, *last);
  });
}

}  // namespace quorvane::python
