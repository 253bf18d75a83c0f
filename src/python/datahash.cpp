// compute_data_hash, verify_data_hash.
#include <quorvane/hardbinding.hpp>
#include <quorvane/hardbinding/provided.hpp>

#include "convert.hpp"
#include "functions.hpp"

namespace quorvane::python {
namespace {

using hardbinding::Algorithm;
using hardbinding::provided::BuiltinCrypto;
using hardbinding::provided::UnicodeNfc;

const Signature kComputeSig{"compute_data_hash", {"text", "alg"}, 1};
const Signature kVerifySig{"verify_data_hash", {"text", "hash", "exclusions", "alg"}, 3};

constexpr std::string_view kDefaultAlg = "sha256";

Algorithm parse_alg(std::string_view id) {
  auto alg = Algorithm::from_id(id);
  if (!alg) map_err(std::move(alg.error()));
  return *alg;
}

}  // namespace

PyObject* py_compute_data_hash(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Bound a = bind(kComputeSig, args, kwargs);
    ShortTextRoom room, alg_room;
    const Text text = to_text(a[0], "text", room);
    Text alg_text;
    if (a[1] != nullptr) alg_text = to_text(a[1], "alg", alg_room);
    const Algorithm alg = parse_alg(a[1] != nullptr ? alg_text.view : kDefaultAlg);

    auto binding = without_gil(text.view.size(), [&] {
      return hardbinding::compute_data_hash(text.view, alg, BuiltinCrypto{}, UnicodeNfc{});
    });
    if (!binding) map_err(std::move(binding.error()));

    const Names& key = names();
    Ref dict = new_dict();
    dict_set(dict, key.alg, key.algorithm(alg));
    dict_set(dict, key.hash, new_bytes(binding->hash));
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(binding->exclusions.size())));
    for (std::size_t i = 0; i < binding->exclusions.size(); ++i) {
      const auto& ex = binding->exclusions[i];
      Ref pair = new_pair(ex.start, ex.length);
      if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release()) != 0) {
        api_failed();
      }
    }
    dict_set(dict, key.exclusions, list);
    return dict;
  });
}

PyObject* py_verify_data_hash(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const Bound a = bind(kVerifySig, args, kwargs);
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
