// UTF-8 helpers shared by every front end: the library's operations take
// UTF-8 text and byte offsets into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quorvane::utf8 {

// True when `offset` is 0, the text's length, or the byte at `offset` is not
// a continuation byte (80..BF). Offsets past the end are not boundaries.
constexpr bool is_char_boundary(std::string_view text, std::uint64_t offset) noexcept {
  if (offset == 0 || offset == text.size()) return true;
  if (offset > text.size()) return false;
  const auto b = static_cast<unsigned char>(text[static_cast<std::size_t>(offset)]);
  return b < 0x80 || b > 0xBF;
}

// One decoded character.
struct Decoded {
  char32_t code_point = 0;
  std::size_t length = 0;  // bytes it takes, 1..4
};

// The character that starts at byte `offset` of `text`, or nullopt when the
// bytes there are not a well-formed sequence (overlong forms, surrogates,
// values above U+10FFFF, stray or missing continuation bytes, or the end of
// the text inside a sequence). `offset` must be less than text.size().
std::optional<Decoded> decode(std::string_view text, std::size_t offset) noexcept;

// The byte offset at which the first ill-formed sequence of `text` starts,
// or nullopt when all of `text` is well-formed UTF-8.
std::optional<std::size_t> first_invalid(std::string_view text) noexcept;

// ---- text held as code points ---------------------------------------------
// For front ends whose strings are arrays of code points (or UTF-16 units):
// the UTF-8 of such a string, and the facts about it that the library's
// byte offsets need, computed without producing the UTF-8.

// Returned by the transcoders for input that is not all Unicode scalar
// values (a surrogate, or a value above U+10FFFF).
inline constexpr std::size_t kNotScalarValues = static_cast<std::size_t>(-1);

// Writes the UTF-8 of `in` to `out`, which must have room for 4 bytes per
// code point, and returns the number of bytes written; kNotScalarValues
// (with `out` partly written) when `in` is not all Unicode scalar values.
// Bytes of `out` past the returned size, within the 4 per code point, may
// be overwritten. Vectorised for the best instruction set of the CPU.
std::size_t from_utf32(std::span<const char32_t> in, char* out) noexcept;

// The UTF-8 of the UTF-16 `in` in `out`, which must have room for 3 bytes
// per code unit; the number of bytes written, or kNotScalarValues for a
// lone surrogate. Bytes of `out` past the returned size, within the 3 per
// unit, may be overwritten.
std::size_t from_utf16(std::span<const char16_t> in, char* out) noexcept;

// The UTF-8 of the Latin-1 `in` (U+0000..U+00FF, a byte each) in `out`,
// which must have room for 2 bytes per character; the number of bytes
// written. Bytes of `out` past it, within the 2 per character, may be
// overwritten.
std::size_t from_latin1(std::span<const std::uint8_t> in, char* out) noexcept;

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
