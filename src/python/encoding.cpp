// encode, encode_padded, target_length, embed.
#include <quorvane/wrapper.hpp>

#include "args.hpp"
#include "functions.hpp"
#include "results.hpp"
#include "text.hpp"

namespace quorvane::python {
namespace {

const Signature kEncodeSig{"encode", {"payload"}, 1};
const Signature kEncodePaddedSig{"encode_padded", {"payload"}, 1};
const Signature kTargetLengthSig{"target_length", {"manifest_len"}, 1};
const Signature kEmbedSig{"embed", {"text", "payload"}, 2};

// True for an exact str that is pure ASCII, which str knows without a scan.
// A subclass always takes the full conversion.
bool ascii_str(PyObject* obj) {
  if (Py_TYPE(obj) != &PyUnicode_Type) return false;
  const auto ascii = str_isascii(obj);
  if (!ascii) PyErr_Clear();
  return ascii.value_or(false);
}

template <class S>
Ref str_or_raise(Result<S> result) {
  if (!result) map_err(std::move(result.error()));
  return new_str(*result);
}

// The code points of a wrapper, built with the interpreter lock released
// for a large payload: the bytes object it lies in is immutable and held by
// the call's bound arguments.
template <class Encode>
auto encoded(std::span<const std::uint8_t> payload, Encode encode) {
  return without_gil(payload.size(), [&] { return encode(payload); });
}

}  // namespace

PyObject* py_encode(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Bound a = bind(kEncodeSig, args, kwargs);
    const auto payload = to_bytes(a[0], "payload");
    return str_or_raise(encoded(payload, wrapper::encode_code_points));
  });
}

PyObject* py_encode_padded(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Bound a = bind(kEncodePaddedSig, args, kwargs);
    const auto payload = to_bytes(a[0], "payload");
    return str_or_raise(encoded(payload, wrapper::encode_padded_code_points));
  });
}

PyObject* py_target_length(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Bound a = bind(kTargetLengthSig, args, kwargs);
    const std::uint64_t n = to_size(a[0], "manifest_len");
    if (const auto t = wrapper::target_length(n)) return new_int(*t);
    // T(n) no longer fits in 64 bits: answer the exact number.
    Ref wide = new_int(n);
    Ref per_byte = new_int(wrapper::TARGET_PER_BYTE);
    Ref base = new_int(wrapper::TARGET_BASE);
    Ref times = check(PyNumber_Multiply(wide.get(), per_byte.get()));
    return check(PyNumber_Add(times.get(), base.get()));
  });
}

PyObject* py_embed(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Bound a = bind(kEmbedSig, args, kwargs);
    // The host is joined to the wrapper as a str, which spares decoding it
    // from UTF-8 again. Its conversion stands only for the checks (wrong
    // type, lone surrogates); an exact str that is pure ASCII, which str
    // knows without a scan, can hold no surrogate and skips it.
    Text text;
    if (!ascii_str(a[0])) text = to_text(a[0], "text");
    const auto payload = to_bytes(a[1], "payload");
    Ref wrapper = str_or_raise(encoded(payload, wrapper::encode_code_points));
    return check(PyUnicode_Concat(a[0], wrapper.get()));
  });
}

}  // namespace quorvane::python
