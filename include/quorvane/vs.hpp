// The codec between bytes and Unicode variation selectors.
//
// Each byte value has a selector of its own:
//   0x00..0x0F -> U+FE00..U+FE0F    (VS1..VS16,    3 bytes of UTF-8)
//   0x10..0xFF -> U+E0100..U+E01EF  (VS17..VS256,  4 bytes of UTF-8)
// No other code point is a selector; U+FEFF in particular is not one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::vs {

// The selector code point of `byte`. Cannot fail.
constexpr char32_t encode_byte(std::uint8_t byte) noexcept {
  return byte < 0x10 ? char32_t{0xFE00} + byte : char32_t{0xE0100} + (byte - 0x10);
}

// True when `cp` is a selector, the code point of some byte.
constexpr bool is_selector(char32_t cp) noexcept {
  return (cp >= 0xFE00 && cp <= 0xFE0F) || (cp >= 0xE0100 && cp <= 0xE01EF);
}

// Number of UTF-8 bytes that the selector of `byte` takes: 3 or 4.
constexpr std::size_t selector_width(std::uint8_t byte) noexcept { return byte < 0x10 ? 3 : 4; }

// Writes the UTF-8 form of the selector of `byte` at `out`, which must have
// room for 4 bytes, and returns the position behind it.
constexpr char* write_selector(char* out, std::uint8_t byte) noexcept {
  if (byte < 0x10) {
    out[0] = '\xEF';
    out[1] = '\xB8';
    out[2] = static_cast<char>(0x80 | byte);
    return out + 3;
  }
  const unsigned v = byte - 0x10u;
  out[0] = '\xF3';
  out[1] = '\xA0';
  out[2] = static_cast<char>(0x84 + (v >> 6));
  out[3] = static_cast<char>(0x80 | (v & 0x3F));
  return out + 4;
}

// Appends the UTF-8 form of the selector of `byte` to `out`.
void append_selector(std::string& out, std::uint8_t byte);

// If the UTF-8 text `p[0..n)` begins with a selector, stores its byte in
// `*byte` and returns its width (3 or 4); otherwise returns 0. The text must
// be valid UTF-8; nothing past the selector is read.
inline std::size_t decode_selector(const unsigned char* p, std::size_t n,
                                   std::uint8_t* byte) noexcept {
  if (n >= 3 && p[0] == 0xEF && p[1] == 0xB8 && p[2] >= 0x80 && p[2] <= 0x8F) {
    *byte = static_cast<std::uint8_t>(p[2] - 0x80);
    return 3;
  }
  if (n >= 4 && p[0] == 0xF3 && p[1] == 0xA0 && p[2] >= 0x84 && p[2] <= 0x87) {
    const unsigned v = ((p[2] - 0x84u) << 6) | (p[3] & 0x3Fu);
    if (v <= 0xEF) {
      *byte = static_cast<std::uint8_t>(v + 0x10);
      return 4;
    }
  }
  return 0;
}

struct DecodedRun {
  std::vector<std::uint8_t> bytes;  // one byte per selector, in order
  std::size_t consumed = 0;         // bytes of text that the run occupies
};

// Decodes the run of selectors at the start of the UTF-8 `text`. The run
// ends at the first character that is not a selector, or at the end of the
// text; that character is not consumed. Cannot fail: a text that does not
// begin with a selector gives no bytes and `consumed` 0.
DecodedRun decode_run(std::string_view text);

// As decode_run, but appends the decoded bytes to `out` (which is not
// cleared) and returns `consumed`. Lets a caller reuse one buffer.
std::size_t decode_run_into(std::string_view text, std::vector<std::uint8_t>& out);

struct RunHead {
  std::size_t consumed = 0;  // bytes of text that the run occupies
  std::size_t count = 0;     // selectors in the run: the bytes it decodes to
};

// As decode_run, but keeps only the run's first head.size() bytes (fewer
// when the run is shorter), written to `head`, and returns how many it has
// in all; for a reader that needs only a header and the run's extent.
RunHead decode_run_head(std::string_view text, std::span<std::uint8_t> head);

}  // namespace quorvane::vs
