// The character data of the NFC pass, taken from ICU: its normaliser, a
// table of two properties for every code point, and the reading of UTF-8
// that the pass needs. Internal to quorvane_provided.
#pragma once

#include <unicode/normalizer2.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "simd/utf32.hpp"

namespace quorvane::hardbinding::provided {

using simd::CodePointSet;

// ICU's NFC normaliser; throws std::runtime_error where ICU has no data.
const icu::Normalizer2& nfc_instance();

// The two properties of each code point, taken from ICU's sets for the
// underlying Unicode properties when first needed: two bits per code point
// for the normaliser, and the trivial ones also as a bitmap and as ranges
// for the transcoder's scan.
class CodePointTable {
 public:
  static constexpr std::size_t kWords = 0x110000 / 64;

  CodePointTable();

  bool trivial(char32_t c) const noexcept { return (pair(c) & 1u) != 0; }
  CodePointSet trivial_set() const noexcept { return {trivial_, trivial_ranges_}; }
  bool non_starter(char32_t c) const noexcept { return (pair(c) & 2u) != 0; }
  // Both, two bits for each code point, as pass_plain_blocks reads them.
  const std::uint64_t* classes() const noexcept { return classes_.data(); }
  // The most code points any character's full canonical decomposition has.
  std::size_t max_decomposition() const noexcept { return max_decomposition_; }

 private:
  using Bits = std::array<std::uint64_t, kWords>;

  unsigned pair(char32_t c) const noexcept {
    return static_cast<unsigned>(classes_[c >> 5] >> ((c & 31) * 2)) & 3u;
  }

  // The low 32 bits of v moved to the even bits of the result.
  static std::uint64_t spread(std::uint64_t v) noexcept;
  // Sets the bits of the code points in `set`, or of those not in it.
  static void fill(Bits& bits, const icu::UnicodeSet& set, bool complement);

  Bits trivial_{};
  std::vector<std::array<char32_t, 2>> trivial_ranges_;  // the same, as ranges
  // Two bits for each code point c, at 2 * (c & 31) in word c >> 5:
  // trivial, and non-starter.
  std::array<std::uint64_t, 2 * kWords> classes_{};
  std::size_t max_decomposition_ = 1;
};

// The table, built on first use.
const CodePointTable& table();

// Decodes the character of valid UTF-8 at p[i] (lead at least 0x80).
inline char32_t decode(const unsigned char* p, std::size_t i, std::size_t& width) noexcept {
  const unsigned lead = p[i];
  if (lead < 0xE0) {
    width = 2;
    return ((lead & 0x1Fu) << 6) | (p[i + 1] & 0x3Fu);
  }
  if (lead < 0xF0) {
    width = 3;
    return ((lead & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
  }
  width = 4;
  return ((lead & 0x07u) << 18) | ((p[i + 1] & 0x3Fu) << 12) | ((p[i + 2] & 0x3Fu) << 6) |
         (p[i + 3] & 0x3Fu);
}

// Index of the first character of the valid UTF-8 `p[from..n)` that is not
// trivial, or n.
std::size_t first_non_trivial(const CodePointTable& t, const unsigned char* p, std::size_t from,
                              std::size_t n) noexcept;

// Whether every character of the valid UTF-8 `text` is trivial.
inline bool all_trivial(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  return first_non_trivial(table(), p, 0, text.size()) == text.size();
}

// Whether every one of `code_points` is trivial.
bool all_trivial(std::span<const char32_t> code_points);

// The start of the character before byte i.
inline std::size_t char_start_before(const unsigned char* p, std::size_t i) noexcept {
  do {
    --i;
  } while (i > 0 && (p[i] & 0xC0) == 0x80);
  return i;
}

// Appends the UTF-8 of `c`.
void append_utf8(std::string& out, char32_t c);

// The full canonical decomposition of the character at text[i] (itself
// when it has none); advances i past it.
void decompose_at(const icu::Normalizer2& nfc, std::string_view text, std::size_t& i,
                  icu::UnicodeString& decomposition, std::u32string& out);

}  // namespace quorvane::hardbinding::provided
