// UTF-8 facts about text held as code points, for front ends whose strings
// are code-point arrays: the UTF-8 length of a run and the code point that a
// UTF-8 byte offset falls on, computed without producing the UTF-8. Private
// to this repository; the public helpers are in <quorvane/utf8.hpp>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <quorvane/utf8.hpp>
#include <span>

namespace quorvane::utf8 {

struct CodePointScan {
  std::uint64_t utf8_size = 0;  // bytes of the run's UTF-8 form
  bool surrogate = false;       // a code point in U+D800..U+DFFF, which has none
  char32_t max = 0;             // the largest code point
};

// The UTF-8 size of `code_points`, whether any of them is a surrogate (then
// `utf8_size` counts it as 3 bytes, as if it could be encoded), and the
// largest of them.
CodePointScan scan(std::span<const char32_t> code_points) noexcept;

// The number of leading code points of `code_points` whose UTF-8 form is
// exactly `offset` bytes long; nullopt when `offset` falls inside a
// character or past the end. Assumes no surrogates.
std::optional<std::size_t> index_of_offset(std::span<const char32_t> code_points,
                                           std::uint64_t offset) noexcept;

}  // namespace quorvane::utf8
