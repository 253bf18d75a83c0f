// The tables of the vector transcoders and the plain, one-code-point-at-a-
// time pieces they fall back on: compiled once, not per instruction set.
// Internal to simd/utf32.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "simd/utf32.hpp"

namespace quorvane::simd::utf32_tables {

// A byte shuffle for each of 256 keys, and the bytes it keeps.
struct ShuffleTable {
  std::array<std::array<std::uint8_t, 16>, 256> shuffle{};
  std::array<std::uint8_t, 256> size{};
};

// Four code points are encoded at once, each into the low bytes of its own
// 32-bit lane; a byte shuffle then closes the gaps. The shuffle depends on
// the four UTF-8 lengths, packed two bits each (length - 1) into a key.
constexpr ShuffleTable make_packing() {
  ShuffleTable p;
  for (unsigned key = 0; key < 256; ++key) {
    unsigned out = 0;
    for (unsigned lane = 0; lane < 4; ++lane) {
      const unsigned len = ((key >> (2 * lane)) & 3) + 1;
      for (unsigned b = 0; b < len; ++b)
        p.shuffle[key][out++] = static_cast<std::uint8_t>(4 * lane + b);
    }
    p.size[key] = static_cast<std::uint8_t>(out);
    for (; out < 16; ++out) p.shuffle[key][out] = 0x80;  // zero
  }
  return p;
}

alignas(16) inline constexpr ShuffleTable kPacking = make_packing();
inline constexpr unsigned kAllAscii = 0x00;  // the key of four one-byte characters
inline constexpr unsigned kAllThree = 0xAA;  // and of four three-byte ones
inline constexpr unsigned kAllFour = 0xFF;   // and of four four-byte ones

// The low byte of each lane to the front.
alignas(16) inline constexpr std::uint8_t kLowBytes[16] = {
    0, 4, 8, 12, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

// Eight characters below U+0800, each in its own 16-bit lane as one byte
// (ASCII) or two, are closed up by one byte shuffle, chosen by which lanes
// hold ASCII (bit j for lane j): the shuffle drops those lanes' high bytes.
constexpr ShuffleTable make_two_byte_packing() {
  ShuffleTable p;
  for (unsigned ascii = 0; ascii < 256; ++ascii) {
    unsigned out = 0;
    for (unsigned lane = 0; lane < 8; ++lane) {
      p.shuffle[ascii][out++] = static_cast<std::uint8_t>(2 * lane);
      if (((ascii >> lane) & 1u) == 0)
        p.shuffle[ascii][out++] = static_cast<std::uint8_t>(2 * lane + 1);
    }
    p.size[ascii] = static_cast<std::uint8_t>(out);
    for (; out < 16; ++out) p.shuffle[ascii][out] = 0x80;  // zero
  }
  return p;
}

alignas(16) inline constexpr ShuffleTable kTwoBytePacking = make_two_byte_packing();

}  // namespace quorvane::simd::utf32_tables

namespace quorvane::simd {

// Writes the UTF-8 of the code point c (at most U+10FFFF) at o, and
// advances o past it.
inline void PutUtf8(char*& o, std::uint32_t c) {
  if (c < 0x80) {
    *o++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *o++ = static_cast<char>(0xC0 | (c >> 6));
    *o++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *o++ = static_cast<char>(0xE0 | (c >> 12));
    *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *o++ = static_cast<char>(0xF0 | (c >> 18));
    *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Writes the UTF-8 of the scalar value c at o as four bytes, of which
// those past its length are overwritten later or left, and moves o past
// it. The form is chosen without a branch: text that mixes lengths (a
// space between every few syllables) defeats any prediction.
inline void PutUtf8Four(char*& o, std::uint32_t c) {
  const std::uint32_t two = c >= 0x80, three = c >= 0x800, four = c >= 0x10000;
  const std::uint32_t b1 = c;
  const std::uint32_t b2 = (0xC0u | (c >> 6)) | ((0x80u | (c & 0x3Fu)) << 8);
  const std::uint32_t b3 =
      (0xE0u | (c >> 12)) | ((0x80u | ((c >> 6) & 0x3Fu)) << 8) | ((0x80u | (c & 0x3Fu)) << 16);
  const std::uint32_t b4 = (0xF0u | (c >> 18)) | ((0x80u | ((c >> 12) & 0x3Fu)) << 8) |
                           ((0x80u | ((c >> 6) & 0x3Fu)) << 16) | ((0x80u | (c & 0x3Fu)) << 24);
  const std::uint32_t w = four ? b4 : three ? b3 : two ? b2 : b1;
  o[0] = static_cast<char>(w);
  o[1] = static_cast<char>(w >> 8);
  o[2] = static_cast<char>(w >> 16);
  o[3] = static_cast<char>(w >> 24);
  o += 1 + two + three + four;
}

// The UTF-8 of `in` at `out` (room for 4 bytes per code point, as
// utf8_from_utf32), calling look(c) for each code point c except those of
// blocks of four ASCII ones when `skip_ascii`; kNotScalarValues for a
// surrogate or a value past U+10FFFF. Four ASCII code points at a time are
// their own bytes; any other block is written with PutUtf8Four.
template <class Look>
std::size_t PlainUtf8(std::span<const char32_t> in, char* out, bool skip_ascii, Look&& look) {
  char* o = out;
  bool bad = false;
  const std::size_t n = in.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const std::array<std::uint32_t, 4> c = {
        static_cast<std::uint32_t>(in[i]), static_cast<std::uint32_t>(in[i + 1]),
        static_cast<std::uint32_t>(in[i + 2]), static_cast<std::uint32_t>(in[i + 3])};
    if ((c[0] | c[1] | c[2] | c[3]) < 0x80) {
      for (std::size_t k = 0; k < 4; ++k) o[k] = static_cast<char>(c[k]);
      o += 4;
      if (!skip_ascii) {
        for (const std::uint32_t v : c) look(v);
      }
      continue;
    }
    for (const std::uint32_t v : c) {
      bad |= v - 0xD800u < 0x800u || v > 0x10FFFF;
      look(v);
      PutUtf8Four(o, v);
    }
  }
  for (; i < n; ++i) {
    const auto v = static_cast<std::uint32_t>(in[i]);
    bad |= v - 0xD800u < 0x800u || v > 0x10FFFF;
    look(v);
    PutUtf8(o, v);
  }
  return bad ? kNotScalarValues : static_cast<std::size_t>(o - out);
}

// PlainUtf8 and ScanScalar in one pass.
inline std::size_t PlainUtf8Scan(std::span<const char32_t> in, char* out, const std::uint64_t* set,
                                 Utf32Scan& scan) {
  bool in_set = scan.in_set;
  bool has_bom = scan.has_bom;
  // No look at blocks of ASCII when the set holds all of it (NFC's does).
  const bool ascii_in_set = set[0] == ~std::uint64_t{0} && set[1] == ~std::uint64_t{0};
  const std::size_t size = PlainUtf8(in, out, ascii_in_set, [&](std::uint32_t c) {
    const std::uint32_t at = c < 0x110000 ? c : 0x10FFFF;
    in_set &= ((set[at >> 6] >> (at & 63)) & 1u) != 0;
    has_bom |= c == 0xFEFF;
  });
  scan.in_set = in_set;
  scan.has_bom = has_bom;
  return size;
}

// Adds what `in` shows to `scan` (in_set and has_bom), without a branch
// on each code point.
inline void ScanScalar(std::span<const char32_t> in, const std::uint64_t* set, Utf32Scan& scan) {
  bool in_set = scan.in_set;
  bool has_bom = scan.has_bom;
  for (const char32_t c : in) {
    const std::uint32_t at = c < 0x110000 ? static_cast<std::uint32_t>(c) : 0x10FFFF;
    in_set &= ((set[at >> 6] >> (at & 63)) & 1u) != 0;
    has_bom |= c == 0xFEFF;
  }
  scan.in_set = in_set;
  scan.has_bom = has_bom;
}

// utf8_from_utf16 one code unit at a time, from units [i, n) on; `o` is
// where the UTF-8 goes. Returns the end of what it wrote, or nullptr for a
// lone surrogate.
inline char* Utf8FromUtf16Scalar(const char16_t* in, std::size_t i, std::size_t n, char* o) {
  while (i < n) {
    std::uint32_t c = in[i++];
    if (c - 0xD800u < 0x800u) {
      if (c >= 0xDC00u || i == n || in[i] - 0xDC00u >= 0x400u) return nullptr;
      c = 0x10000u + ((c - 0xD800u) << 10) + (in[i++] - 0xDC00u);
    }
    PutUtf8(o, c);
  }
  return o;
}

// The units of the block of `lanes` at in[i] the plain way, and past its end
// the trail of a pair that straddles it; i moves past them. Null for a lone
// surrogate.
inline char* PlainUtf16Block(const char16_t* in, std::size_t& i, std::size_t n, std::size_t lanes,
                             char* o) {
  std::size_t end = i + lanes;
  if (end < n && in[end - 1] - 0xD800u < 0x400u) ++end;
  o = Utf8FromUtf16Scalar(in, i, end, o);
  i = end;
  return o;
}

// The range of `set` that holds c, which is in it.
inline std::array<char32_t, 2> RangeOf(const CodePointSet& set, char32_t c) {
  const auto after = std::upper_bound(set.ranges.begin(), set.ranges.end(), c,
                                      [](char32_t v, const auto& r) { return v < r[0]; });
  return after == set.ranges.begin() ? std::array<char32_t, 2>{1, 0} : *(after - 1);
}

}  // namespace quorvane::simd
