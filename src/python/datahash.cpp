// compute_data_hash, verify_data_hash.
#include <memory>
#include <optional>
#include <quorvane/hardbinding.hpp>
#include <quorvane/hardbinding/provided.hpp>
#include <quorvane/hardbinding/streamed.hpp>
#include <quorvane/internal/thresholds.hpp>
#include <string>
#include <utility>

#include "args.hpp"
#include "functions.hpp"
#include "results.hpp"
#include "text.hpp"

namespace quorvane::python {
namespace {

using hardbinding::Algorithm;
using hardbinding::provided::BuiltinCrypto;
using hardbinding::provided::StreamedDataHash;
using hardbinding::provided::UnicodeNfc;

const Signature kComputeSig{"compute_data_hash", {"text", "alg"}, 1};
const Signature kVerifySig{"verify_data_hash", {"text", "hash", "exclusions", "alg"}, 3};

constexpr std::string_view kDefaultAlg = "sha256";

Algorithm parse_alg(std::string_view id) {
  auto alg = Algorithm::from_id(id);
  if (!alg) map_err(std::move(alg.error()));
  return *alg;
}

// The algorithm named by the str `obj`, or nullopt (nothing raised) when
// it is not a str or names none.
std::optional<Algorithm> try_alg(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return std::nullopt;
  Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(obj));
  if (!utf8) {
    PyErr_Clear();
    return std::nullopt;
  }
  char* data = PyBytes_AsString(utf8.get());
  const Py_ssize_t size = PyBytes_Size(utf8.get());
  if (data == nullptr || size < 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  auto alg = Algorithm::from_id(std::string_view(data, static_cast<std::size_t>(size)));
  if (!alg) return std::nullopt;
  return *alg;
}

constexpr auto kStreamFrom = static_cast<Py_ssize_t>(thresholds::kStreamFrom);

// A long str handed to `hash` a chunk at a time as it is read, and then
// `finish()` (its compute or verify) called. Each chunk is read with the
// interpreter lock held and hashed with it released, so other threads run
// meanwhile; no copy of the whole text is made. nullopt, with nothing
// raised, when the str cannot be read this way (a lone surrogate): the
// caller converts it as usual, which raises the interpreter's exception.
template <class Finish>
auto stream_text(PyObject* str, Py_ssize_t length, StreamedDataHash& hash, Finish&& finish)
    -> std::optional<decltype(finish())> {
  Utf8Chunks chunks(str, length);
  while (!chunks.done()) {
    const auto chunk = chunks.read(hash.room(Utf8Chunks::kMaxChunkBytes));
    if (!chunk) return std::nullopt;
    const bool added = without_gil(Utf8Chunks::kMaxChunkBytes, [&] {
      if (!chunk->latin1.empty()) {
        hash.add_latin1(chunk->latin1);
        return true;
      }
      if (chunk->code_points.empty()) {
        hash.add_ascii(chunk->ascii);
        return true;
      }
      return hash.add(chunk->code_points);
    });
    if (!added) return std::nullopt;
  }
  return without_gil(hash.gathered(), finish);
}

// The conversions of verify_data_hash's hash and exclusions where they
// are of the plain types (bytes; a list or tuple of 2-tuples of ints), which
// run no Python code and so can be made ahead of the text's without a
// difference anyone can see. nullopt, with nothing raised, for anything
// else or any value the conversions would refuse.
std::optional<hardbinding::DataHash> plain_binding(PyObject* hash, PyObject* exclusions) {
  if (!PyBytes_Check(hash)) return std::nullopt;
  const bool list = PyList_CheckExact(exclusions);
  if (!list && !PyTuple_CheckExact(exclusions)) return std::nullopt;
  hardbinding::DataHash binding;
  const char* data = PyBytes_AsString(hash);
  const Py_ssize_t size = PyBytes_Size(hash);
  if (data == nullptr || size < 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  binding.hash.assign(data, data + size);
  const Py_ssize_t count = list ? PyList_Size(exclusions) : PyTuple_Size(exclusions);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item =
        list ? PyList_GetItem(exclusions, i) : PyTuple_GetItem(exclusions, i);  // borrowed
    if (item == nullptr || !PyTuple_CheckExact(item) || PyTuple_Size(item) != 2) {
      PyErr_Clear();
      return std::nullopt;
    }
    const auto start = int_size(PyTuple_GetItem(item, 0));
    const auto length = int_size(PyTuple_GetItem(item, 1));
    if (!start || !length) return std::nullopt;
    binding.exclusions.push_back({*start, *length});
  }
  return binding;
}

// compute_data_hash of a text converted whole, with the conversions in their
// plain order; `alg` is set once it is parsed.
Result<hardbinding::DataHash> compute_converted(const Bound& a, Algorithm& alg) {
  ShortTextRoom room, alg_room;
  const Text text = to_text(a[0], "text", room);
  Text alg_text;
  if (a[1] != nullptr) alg_text = to_text(a[1], "alg", alg_room);
  alg = parse_alg(a[1] != nullptr ? alg_text.view : kDefaultAlg);
  return without_gil(text.view.size(), [&] {
    return hardbinding::compute_data_hash(text.view, alg, BuiltinCrypto{}, UnicodeNfc{});
  });
}

// The result of compute_data_hash.
Ref data_hash_dict(Algorithm alg, const hardbinding::DataHash& binding) {
  const Names& key = names();
  Ref dict = new_dict();
  dict_set(dict, key.alg, key.algorithm(alg));
  dict_set(dict, key.hash, new_bytes(binding.hash));
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(binding.exclusions.size())));
  for (std::size_t i = 0; i < binding.exclusions.size(); ++i) {
    const auto& ex = binding.exclusions[i];
    Ref pair = new_pair(ex.start, ex.length);
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release()) != 0) {
      api_failed();
    }
  }
  dict_set(dict, key.exclusions, list);
  return dict;
}

}  // namespace

PyObject* py_compute_data_hash(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Bound a = bind(kComputeSig, args, kwargs);
    // Short texts, and arguments that are no str, go straight to the whole
    // conversion: none of the streamed path's state is made for them.
    const Py_ssize_t length = PyUnicode_Check(a[0]) ? PyUnicode_GetLength(a[0]) : -1;
    Algorithm alg = Algorithm::Sha256;
    if (length < kStreamFrom) {
      Result<hardbinding::DataHash> binding = compute_converted(a, alg);
      if (!binding) map_err(std::move(binding.error()));
      return data_hash_dict(alg, *binding);
    }
    // Only where the conversions would all succeed, so that every failure
    // is raised as the plain order of conversions raises it.
    std::optional<Result<hardbinding::DataHash>> streamed;
    std::optional<Algorithm> named = Algorithm::Sha256;
    if (a[1] != nullptr) named = try_alg(a[1]);
    if (named) {
      alg = *named;
      StreamedDataHash hash(alg, static_cast<std::uint64_t>(length));
      streamed = stream_text(a[0], length, hash, [&] { return hash.finish_compute(); });
    }
    Result<hardbinding::DataHash> binding =
        streamed ? std::move(*streamed) : compute_converted(a, alg);
    if (!binding) map_err(std::move(binding.error()));
    return data_hash_dict(alg, *binding);
  });
}

PyObject* py_verify_data_hash(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Bound a = bind(kVerifySig, args, kwargs);
    const Py_ssize_t length = PyUnicode_Check(a[0]) ? PyUnicode_GetLength(a[0]) : -1;
    if (length >= kStreamFrom) {
      // As compute_data_hash: only where every conversion would succeed.
      std::optional<Algorithm> alg = Algorithm::Sha256;
      if (a[3] != nullptr) alg = try_alg(a[3]);
      std::optional<hardbinding::DataHash> binding;
      if (alg) binding = plain_binding(a[1], a[2]);
      if (binding) {
        binding->alg = std::string(alg->id());
        StreamedDataHash hash(*binding, *alg, static_cast<std::uint64_t>(length));
        auto verified =
            stream_text(a[0], length, hash, [&] { return hash.finish_verify(*binding); });
        if (verified) {
          if (!*verified) map_err(std::move(verified->error()));
          return Ref::borrow(Py_None);
        }
      }
    }
    ShortTextRoom room, alg_room;
    const Text text = to_text(a[0], "text", room);
    const auto hash = to_bytes(a[1], "hash");
    std::vector<hardbinding::Exclusion> exclusions = to_exclusions(a[2], "exclusions");
    Text alg_text;
    if (a[3] != nullptr) alg_text = to_text(a[3], "alg", alg_room);
    const Algorithm alg = parse_alg(a[3] != nullptr ? alg_text.view : kDefaultAlg);

    hardbinding::DataHash binding;
    binding.exclusions = std::move(exclusions);
    binding.alg = std::string(alg.id());
    binding.hash.assign(hash.begin(), hash.end());
    auto verified = without_gil(text.view.size(), [&] {
      return hardbinding::verify_data_hash(text.view, binding, BuiltinCrypto{}, UnicodeNfc{});
    });
    if (!verified) map_err(std::move(verified.error()));
    return Ref::borrow(Py_None);
  });
}

}  // namespace quorvane::python
