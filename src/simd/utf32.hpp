// UTF-32 and UTF-16 to UTF-8, vectorised with Google Highway for the best
// instruction set of the CPU, chosen at run time, with a scan of the code
// points against a set in the same pass. Internal to quorvane_core; the
// front ends reach the transcoders through <quorvane/utf8.hpp>.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <quorvane/utf8.hpp>
#include <span>
#include <utility>
#include <vector>

namespace quorvane::simd {

// Returned for input that holds a surrogate or a value above U+10FFFF.
using utf8::kNotScalarValues;

// Writes the UTF-8 of `in` to `out`, which must have room for 4 bytes per
// code point, and returns the number of bytes written; kNotScalarValues
// (with `out` partly written) when `in` is not all Unicode scalar values.
// Bytes of `out` past the returned size, within the 4 per code point, may
// be overwritten.
std::size_t utf8_from_utf32(std::span<const char32_t> in, char* out) noexcept;

// The same, one code point at a time: what a CPU without vector
// instructions runs, and the reference the vector code is tested against.
std::size_t utf8_from_utf32_scalar(std::span<const char32_t> in, char* out) noexcept;

// The UTF-8 of the UTF-16 `in` in `out`, which must have room for 3 bytes
// per code unit; the number of bytes written, or kNotScalarValues for a
// lone surrogate. Bytes of `out` past the returned size, within the 3 per
// unit, may be overwritten.
std::size_t utf8_from_utf16(std::span<const char16_t> in, char* out) noexcept;

// The UTF-8 of the Latin-1 `in` (code points U+0000..U+00FF, one byte
// each) in `out`, which must have room for 2 bytes per character; the
// number of bytes written. Bytes of `out` past it, within the 2 per
// character, may be overwritten.
std::size_t utf8_from_latin1(std::span<const std::uint8_t> in, char* out) noexcept;

// A set of code points up to U+10FFFF, held two ways: a bitmap (bit c & 63
// of word c >> 6 for each c) and the same set as its ranges [first, last],
// ascending, none adjacent to the next.
struct CodePointSet {
  std::span<const std::uint64_t, 0x110000 / 64> bits;
  std::span<const std::array<char32_t, 2>> ranges;
};

// What utf8_from_utf32_scan finds besides the UTF-8.
struct Utf32Scan {
  std::size_t size = 0;  // as utf8_from_utf32 returns
  bool in_set = true;    // every code point is in the set
  bool has_bom = false;  // U+FEFF is among the code points
};

// utf8_from_utf32, and in the same pass over `in`, whether all of it is in
// `set` and whether it holds a U+FEFF (a value past U+10FFFF counts as
// U+10FFFF).
Utf32Scan utf8_from_utf32_scan(std::span<const char32_t> in, char* out, CodePointSet set) noexcept;

// utf8_from_utf32 run under each instruction set that is compiled in and
// that this CPU has, the output of each (empty for kNotScalarValues).
std::vector<std::vector<char>> utf8_from_utf32_every_target(std::span<const char32_t> in);
// The same for utf8_from_utf16.
std::vector<std::vector<char>> utf8_from_utf16_every_target(std::span<const char16_t> in);
// The same for utf8_from_latin1.
std::vector<std::vector<char>> utf8_from_latin1_every_target(std::span<const std::uint8_t> in);
// The same for utf8::scan.
std::vector<utf8::CodePointScan> utf8_scan_every_target(std::span<const char32_t> in);
// The same for utf8_from_utf32_scan.
std::vector<std::pair<std::vector<char>, Utf32Scan>> utf8_from_utf32_scan_every_target(
    std::span<const char32_t> in, CodePointSet set);

}  // namespace quorvane::simd
