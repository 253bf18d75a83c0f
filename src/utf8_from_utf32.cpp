#include <cstdint>
#include <cstring>
#include <quorvane/internal/utf8_from_utf32.hpp>

namespace quorvane {

std::size_t utf8_from_utf32(std::span<const char32_t> in, char* out) noexcept {
  const char32_t* p = in.data();
  const char32_t* const end = p + in.size();
  char* o = out;
  std::uint32_t bad = 0;
  while (p != end) {
    const std::uint32_t c = *p++;
    if (c < 0x80) {
      *o++ = static_cast<char>(c);
      // ASCII tends to come in runs: four code points at a time.
      while (end - p >= 4) {
        std::uint64_t a, b;
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + 2, 8);
        if (((a | b) & 0xFFFFFF80FFFFFF80ull) != 0) break;
        const std::uint32_t w =
            static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
            (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
        std::memcpy(o, &w, 4);
        o += 4;
        p += 4;
      }
    } else if (c < 0x800) {
      o[0] = static_cast<char>(0xC0 | (c >> 6));
      o[1] = static_cast<char>(0x80 | (c & 0x3F));
      o += 2;
    } else if (c < 0x10000) {
      bad |= static_cast<std::uint32_t>(c - 0xD800u < 0x800u);
      const std::uint32_t w =
          (0xE0u | (c >> 12)) | ((0x80u | ((c >> 6) & 0x3F)) << 8) | ((0x80u | (c & 0x3F)) << 16);
      std::memcpy(o, &w, 4);  // the fourth byte is overwritten next
      o += 3;
    } else {
      bad |= static_cast<std::uint32_t>(c > 0x10FFFF);
      const std::uint32_t w = (0xF0u | (c >> 18)) | ((0x80u | ((c >> 12) & 0x3F)) << 8) |
                              ((0x80u | ((c >> 6) & 0x3F)) << 16) | ((0x80u | (c & 0x3F)) << 24);
      std::memcpy(o, &w, 4);
      o += 4;
    }
  }
  return bad != 0 ? kNotScalarValues : static_cast<std::size_t>(o - out);
}

}  // namespace quorvane
