// UTF-32 to UTF-8, vectorised with Google Highway for the best instruction
// set of the CPU, chosen at run time. For front ends whose strings are
// arrays of code points. Internal to quorvane_provided and its users in
// this repository.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace quorvane::hardbinding::provided {

// Returned for input that holds a surrogate or a value above U+10FFFF.
inline constexpr std::size_t kNotScalarValues = static_cast<std::size_t>(-1);

// Writes the UTF-8 of `in` to `out`, which must have room for 4 bytes per
// code point, and returns the number of bytes written; kNotScalarValues
// (with `out` partly written) when `in` is not all Unicode scalar values.
// Bytes of `out` past the returned size, within the 4 per code point, may
// be overwritten.
std::size_t utf8_from_utf32(std::span<const char32_t> in, char* out) noexcept;

// The same, one code point at a time: what a CPU without vector
// instructions runs, and the reference the vector code is tested against.
std::size_t utf8_from_utf32_scalar(std::span<const char32_t> in, char* out) noexcept;

// utf8_from_utf32 run under each instruction set that is compiled in and
// that this CPU has, the output of each (empty for kNotScalarValues).
std::vector<std::vector<char>> utf8_from_utf32_every_target(std::span<const char32_t> in);

}  // namespace quorvane::hardbinding::provided
