// NFC internals of UnicodeNfc, visible to the tests, fuzzers and benchmarks
// of this repository only; not installed, no stability promise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <quorvane/hardbinding.hpp>
#include <quorvane/hardbinding/provided.hpp>
#include <quorvane/internal/thresholds.hpp>
#include <span>
#include <string>
#include <string_view>

#include "simd/utf32.hpp"

namespace quorvane::hardbinding::provided {

using simd::CodePointSet;

// The longest stretch UnicodeNfc hands to ICU in one call when it can cut
// at a normalisation boundary.
inline constexpr std::size_t kDefaultNfcPiece = thresholds::kNfcPiece;

// NFC of the UTF-8 `text`, handing ICU stretches of about `piece` bytes at
// most (cut only where ICU reports a normalisation boundary), so the result
// equals NFC of the whole text. Characters that are trivially in NFC are
// copied without consulting ICU.
// `piece` must be at least 1; values above INT32_MAX are clamped.
std::string nfc_normalize(std::string_view text, std::size_t piece = kDefaultNfcPiece,
                          bool with_code_points = false);

// The same over pieces of one text, written to `sink`. With
// `with_code_points`, each piece's code points are handed over with it, as
// a front end that has them does.
void nfc_normalize_to(std::span<const std::string_view> pieces, ByteSink& sink,
                      std::size_t piece = kDefaultNfcPiece, bool with_code_points = false);

// The per-code-point data behind the fast path, built once from ICU's own
// normalisation data:
// trivial: NFC quick-check Yes and combining class 0. Such a character is
// in NFC, has a normalisation boundary before it, and nothing after it
// changes it unless that is itself not trivial.
bool nfc_trivial(char32_t c) noexcept;
// non-starter: its canonical decomposition starts with a character of
// non-zero combining class (so it takes part in canonical ordering).
bool nfc_non_starter(char32_t c) noexcept;

// The code points for which nfc_trivial is true.
CodePointSet nfc_trivial_set() noexcept;

// writer.feed(piece, code_points) for a piece whose code points were
// already scanned against nfc_trivial_set() (utf8_from_utf32_scan):
// `trivial` is what the scan found, and it is not looked for again. A
// trivial piece is passed through as it is; any other is read with its
// code points (which may be empty).
void feed_scanned(UnicodeNfc::Writer& writer, std::string_view piece,
                  std::span<const char32_t> code_points, bool trivial);

// A stretch with a run of more than this many non-starters in a row is
// fully decomposed and its runs put in canonical order before ICU sees
// them; a long run is then given to ICU as its first few marks of each
// combining class (the only ones that can compose), the rest of each class
// streamed after ICU's output, so no run is held whole.
inline constexpr std::size_t kSortRun = 32;

}  // namespace quorvane::hardbinding::provided
