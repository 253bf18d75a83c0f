// The provided implementations of the hard binding's interfaces: SHA-2 from
// OpenSSL's libcrypto and NFC from ICU. This is the only code of the library
// that sees either dependency.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../hardbinding.hpp"

namespace quorvane::hardbinding::provided {

// SHA-256, SHA-384 and SHA-512 (FIPS 180-4), one-shot over the whole input.
struct BuiltinCrypto {
  std::vector<std::uint8_t> digest(Algorithm alg, std::span<const std::uint8_t> data) const;
};

// The versions of the character data UnicodeNfc normalises with: Unicode's
// ("15.0") and ICU's ("72.1"). The Unicode version decides the NFC of
// characters assigned or changed after it, and so their digests.
struct NfcDataVersion {
  std::string unicode;
  std::string icu;
};
NfcDataVersion nfc_data_version();

// Canonical composition (NFC, UAX #15) with ICU's character data.
// ICU reporting a failure other than exhausted memory (which is thrown as
// std::bad_alloc) is a broken installation, not an input error; it is thrown
// as std::runtime_error for the caller's boundary to report.
struct UnicodeNfc {
  std::string normalize(std::string_view text) const;
  // The same result; hands `text` back without a copy when it is already
  // known to be in NFC.
  std::string normalize_owned(std::string&& text) const;
  // True when normalize(text) would return `text` unchanged (may answer
  // false for texts of 2 GiB and more that are in NFC, never true wrongly).
  bool is_normalized(std::string_view text) const;
};

// The piece size UnicodeNfc uses: ICU takes int32_t lengths, so longer texts
// are normalised in pieces.
inline constexpr std::size_t kDefaultNfcPiece = std::size_t{1} << 30;

// NFC of the UTF-8 `text`, computed in pieces of about `piece` bytes that
// are cut only where ICU reports a normalisation boundary, so the result
// equals NFC of the whole text. Spans that consist only of code points below
// U+0300 and in kNfcQuickYesRanges are copied without consulting ICU: they
// are always in NFC.
// `piece` must be at least 1; values above INT32_MAX are clamped.
std::string nfc_normalize(std::string_view text, std::size_t piece = kDefaultNfcPiece);

// Code points, besides those below U+0300, that UnicodeNfc treats as in NFC
// without asking ICU: each has NFC quick-check Yes and combining class 0, so
// a text made only of them is in NFC. Ascending and disjoint. The tests check
// every one of them against ICU's own data.
struct CodePointRange {
  char32_t first;
  char32_t last;
};
inline constexpr CodePointRange kNfcQuickYesRanges[] = {
    {0x0400, 0x0482},    // Cyrillic, before its combining marks
    {0x048A, 0x04FF},    // Cyrillic
    {0x2002, 0x206F},    // general punctuation, after the two singleton spaces
    {0x3000, 0x3029},    // CJK symbols and punctuation, before the tone marks
    {0x3030, 0x303F},    // CJK symbols and punctuation
    {0x3041, 0x3096},    // Hiragana letters
    {0x30A1, 0x30FA},    // Katakana letters
    {0x4E00, 0x9FFF},    // CJK unified ideographs
    {0xAC00, 0xD7A3},    // Hangul syllables
    {0xFE00, 0xFE0F},    // variation selectors 1-16
    {0xFF01, 0xFFEE},    // halfwidth and fullwidth forms
    {0x1F300, 0x1FAFF},  // pictographs and emoji
};

static_assert(Hasher<BuiltinCrypto>);
static_assert(Normalizer<UnicodeNfc>);

}  // namespace quorvane::hardbinding::provided
