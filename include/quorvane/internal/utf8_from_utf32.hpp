// Internal: not installed for use outside quorvane; no stability promise.
// UTF-32 to UTF-8, for reading texts that the caller holds as code points.
#pragma once

#include <cstddef>
#include <span>

namespace quorvane {

// Returned by utf8_from_utf32 for input that holds a surrogate or a value
// above U+10FFFF.
inline constexpr std::size_t kNotScalarValues = static_cast<std::size_t>(-1);

// Writes the UTF-8 of `in` to `out`, which must have room for 4 bytes per
// code point, and returns the number of bytes written; kNotScalarValues
// (with `out` partly written) when `in` is not all Unicode scalar values.
std::size_t utf8_from_utf32(std::span<const char32_t> in, char* out) noexcept;

}  // namespace quorvane
