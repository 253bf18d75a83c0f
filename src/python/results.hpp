// Building the results of the exported functions as new Python objects,
// and the mapping of library errors to exceptions.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <quorvane/error.hpp>
#include <quorvane/hardbinding.hpp>
#include <span>
#include <string>
#include <string_view>

#include "call.hpp"
#include "ref.hpp"

namespace quorvane::python {

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

// Raises ValueError for a library error with its one argument
// error.text(): "<message> [<status code>]", or the bare message for the
// kinds without a code.
[[noreturn]] void map_err(Error error);

}  // namespace quorvane::python
