// extract, locate_all, strip.
#include "convert.hpp"
#include "functions.hpp"
#include <quorvane/wrapper.hpp>

namespace quorvane::python {
namespace {

const Signature kExtractSig{"extract", {"text"}, 1};
const Signature kLocateAllSig{"locate_all", {"text"}, 1};
const Signature kStripSig{"strip", {"text", "start", "length"}, 3};

}  // namespace

PyObject* py_extract(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Bound a = bind(kExtractSig, args, kwargs);
    const Text text = to_text(a[0], "text");
    auto found = wrapper::extract(text.view);
    if (!found) {
      if (found.error().kind() == ErrorKind::NotFound) return Ref::borrow(Py_None);
      map_err(std::move(found.error()));
    }
    Ref dict = new_dict();
    dict_set(dict, "payload", new_bytes(found->payload));
    dict_set(dict, "version", new_int(found->version));
    dict_set(dict, "start", new_int(found->start));
    dict_set(dict, "length", new_int(found->length));
    return dict;
  });
}

PyObject* py_locate_all(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Bound a = bind(kLocateAllSig, args, kwargs);
    const Text text = to_text(a[0], "text");
    const std::vector<wrapper::Wrapper> found = wrapper::locate_all(text.view);
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
    const Text text = to_text(a[0], "text");
    const std::uint64_t start = to_size(a[1], "start");
    const std::uint64_t length = to_size(a[2], "length");
    const std::uint64_t end = start + length;
    if (end < start) map_err(Error::exclusion_malformed());
    auto stripped = wrapper::strip(text.view, start, end);
    if (!stripped) map_err(std::move(stripped.error()));
    return new_str(*stripped);
  });
}

}  // namespace quorvane::python
