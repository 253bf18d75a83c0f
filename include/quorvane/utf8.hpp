// UTF-8 helpers shared by every front end: the library's operations take
// UTF-8 text and byte offsets into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

}  // namespace quorvane::utf8
