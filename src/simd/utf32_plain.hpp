// The tables of the vector transcoders and the plain, one-code-point-at-a-
// time pieces they fall back on: compiled once, not per instruction set.
// Internal to simd/utf32.cpp.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
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

// The kPacking shuffles of four lanes that hold one-byte characters or
// ones of `length` bytes, indexed by which of them are ASCII (bit j for
// lane j): one load, where a key and then its shuffle would be two.
struct AsciiAndShuffles {
  std::array<std::array<std::uint8_t, 16>, 16> shuffle{};
  std::array<std::uint8_t, 16> size{};
};

constexpr AsciiAndShuffles make_ascii_and(unsigned length) {
  AsciiAndShuffles t;
  for (unsigned ascii = 0; ascii < 16; ++ascii) {
    unsigned key = 0;
    for (unsigned lane = 0; lane < 4; ++lane) {
      if (((ascii >> lane) & 1u) == 0) key |= (length - 1) << (2 * lane);
    }
    t.shuffle[ascii] = kPacking.shuffle[key];
    t.size[ascii] = kPacking.size[key];
  }
  return t;
}

alignas(16) inline constexpr AsciiAndShuffles kAsciiAndThree = make_ascii_and(3);
alignas(16) inline constexpr AsciiAndShuffles kAsciiAndFour = make_ascii_and(4);

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

// Writes the UTF-8 of the Latin-1 character c at o (which has room for two
// bytes), without a branch on its length, and advances o past it.
inline void PutLatin1(std::uint8_t*& o, std::uint8_t c) {
  const bool two = c >= 0x80;
  o[0] = static_cast<std::uint8_t>(two ? 0xC0 | (c >> 6) : c);
  o[1] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
  o += 1 + static_cast<std::size_t>(two);
}

// Whether c is in the set whose bitmap is `set` (a value past U+10FFFF
// counts as U+10FFFF).
inline bool InSet(const std::uint64_t* set, char32_t c) {
  const std::uint32_t at = c < 0x110000 ? static_cast<std::uint32_t>(c) : 0x10FFFF;
  return ((set[at >> 6] >> (at & 63)) & 1u) != 0;
}

// The end of the set's first range when it starts at U+0000, at most
// `cap` + 1: every code point below it is in the set, with no look.
inline std::uint32_t PlainBelow(const CodePointSet* set, char32_t cap) {
  if (set == nullptr || set->ranges.empty() || set->ranges[0][0] != 0) return 0;
  return static_cast<std::uint32_t>(std::min(set->ranges[0][1], cap)) + 1;
}

// Adds what `in` shows to `scan` (in_set and has_bom), without a branch
// on each code point.
inline void ScanScalar(std::span<const char32_t> in, const std::uint64_t* set, Utf32Scan& scan) {
  bool in_set = scan.in_set;
  bool has_bom = scan.has_bom;
  for (const char32_t c : in) {
    in_set &= InSet(set, c);
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
