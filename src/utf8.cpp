#include <cstdint>
#include <cstring>
#include <quorvane/utf8.hpp>

namespace quorvane::utf8 {

std::optional<Decoded> decode(std::string_view text, std::size_t offset) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data()) + offset;
  const std::size_t n = text.size() - offset;
  const unsigned b0 = s[0];
  if (b0 < 0x80) return Decoded{b0, 1};
  // The well-formed sequences: the lead byte fixes the length and the range
  // of the second byte, which rules out overlong forms, surrogates and
  // values above U+10FFFF; later bytes are plain continuations.
  std::size_t len = 0;
  unsigned lo = 0x80, hi = 0xBF;
  char32_t cp = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return std::nullopt;
  }
  if (n < len) return std::nullopt;
  for (std::size_t i = 1; i < len; ++i) {
    const unsigned b = s[i];
    if (b < (i == 1 ? lo : 0x80u) || b > (i == 1 ? hi : 0xBFu)) return std::nullopt;
    cp = (cp << 6) | (b & 0x3F);
  }
  return Decoded{cp, len};
}

std::optional<std::size_t> first_invalid(std::string_view text) noexcept {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // ASCII runs are the common case: skip them eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, s + i, 8);
      if ((word & 0x8080808080808080ull) != 0) break;
      i += 8;
    }
    if (i >= n) break;
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    const auto c = decode(text, i);
    if (!c) return i;
    i += c->length;
  }
  return std::nullopt;
}

namespace {

constexpr std::uint32_t utf8_length(char32_t c) noexcept {
  return 1U + static_cast<std::uint32_t>(c >= 0x80) + static_cast<std::uint32_t>(c >= 0x800) +
         static_cast<std::uint32_t>(c >= 0x10000);
}

}  // namespace

std::optional<std::size_t> index_of_offset(std::span<const char32_t> code_points,
                                           std::uint64_t offset) noexcept {
  std::uint64_t at = 0;
  for (std::size_t i = 0; i < code_points.size(); ++i) {
    if (at >= offset) return at == offset ? std::optional<std::size_t>(i) : std::nullopt;
    at += utf8_length(code_points[i]);
  }
  return at == offset ? std::optional<std::size_t>(code_points.size()) : std::nullopt;
}

// scan, from_utf32, from_utf16 and from_latin1 are the vector kernels of
// simd/utf32.cpp.

}  // namespace quorvane::utf8
