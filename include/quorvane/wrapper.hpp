// The text manifest wrapper: a C2PA Manifest Store carried inside text as
// the marker U+FEFF followed by one variation selector per wrapper byte.
//
// Wrapper bytes: the 8-byte magic "C2PATXT\0", the version byte (1), the
// payload length as unsigned 32-bit big-endian (`manifestLength`), the
// payload, and in padded wrappers a padding of 0x00 bytes then at most two
// 0x10 bytes. All offsets and lengths are bytes of UTF-8, never characters.
//
// Every operation is a pure function of its arguments: inputs are borrowed,
// results are newly allocated and owned by the caller.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <quorvane/error.hpp>
#include <quorvane/internal/big_buffer.hpp>
#include <quorvane/utf8.hpp>
#include <quorvane/vs.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::wrapper {

using Bytes = std::span<const std::uint8_t>;

inline constexpr std::string_view MARKER = "\xEF\xBB\xBF";  // U+FEFF
inline constexpr std::uint8_t VERSION = 1;
inline constexpr std::array<std::uint8_t, 8> MAGIC = {0x43, 0x32, 0x50, 0x41,
                                                      0x54, 0x58, 0x54, 0x00};
inline constexpr std::size_t HEADER_SIZE = 13;
// The largest payload that `manifestLength` can state.
inline constexpr std::uint64_t MAX_PAYLOAD = 0xFFFFFFFFull;

// Convenience for callers holding text or a std::string of bytes.
inline Bytes as_bytes(std::string_view s) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// ---- writing -------------------------------------------------------------

// The marker followed by the selector of every byte of `bytes`, in order.
std::string carry(Bytes bytes);

// The wrapper for `payload` with `padding` copied unchanged behind the
// payload inside the selector run.
// Errors: PayloadTooLarge (carrying the payload length) when the payload has
// 2^32 bytes or more; checked before anything is allocated.
Result<std::string> encode_with_padding(Bytes payload, Bytes padding);

// The unpadded wrapper: encode_with_padding(payload, {}).
// Errors: PayloadTooLarge.
Result<std::string> encode(Bytes payload);

// The two numbers of T(n) = TARGET_PER_BYTE * n + TARGET_BASE (4n + 61):
// each payload byte takes at most a 4-byte selector, and the marker and the
// header at most 53 bytes, so T(n) leaves a gap of at least 8 bytes for the
// padding to fill.
inline constexpr std::uint64_t TARGET_PER_BYTE = 4;
inline constexpr std::uint64_t TARGET_BASE = 61;

// T(n) = 4n + 61: the UTF-8 length of the padded wrapper for a payload of
// `n` bytes. Returns nullopt when 4n + 61 does not fit in 64 bits (every n
// above 4611686018427387888); it never wraps around.
std::optional<std::uint64_t> target_length(std::uint64_t n) noexcept;

// The padding bytes that fill a gap of `gap` text bytes: a zeros (3 bytes of
// text each) then b bytes 0x10 (4 bytes each), with b = gap mod 3 and
// 3a + 4b = gap. Errors: PaddingGap (carrying the gap) when gap < 4b, which
// is the case for the gaps 1, 2 and 5 only.
Result<std::vector<std::uint8_t>> padding_for_gap(std::uint64_t gap);

// The wrapper padded to exactly target_length(payload.size()) bytes of text.
// Two payloads of one length give wrappers of one length; equal payloads
// give equal bytes. Errors: PayloadTooLarge, PaddingGap (never in practice:
// the gap is always at least 8).
Result<std::string> encode_padded(Bytes payload);

// The wrappers of encode and encode_padded as code points (UTF-32): the
// same characters, for callers that build strings from code points rather
// than from UTF-8. Same errors.
using CodePoints =
    std::basic_string<char32_t, std::char_traits<char32_t>, BigBufferAllocator<char32_t>>;
Result<CodePoints> encode_code_points(Bytes payload);
Result<CodePoints> encode_padded_code_points(Bytes payload);

// `text` unchanged followed directly by the unpadded wrapper for `payload`.
// The host text is not examined. Errors: PayloadTooLarge.
Result<std::string> embed(std::string_view text, Bytes payload);

// ---- reading -------------------------------------------------------------
//
// Every reading operation below is built on one candidate search. A
// candidate is a marker U+FEFF: the search finds the next marker at or after
// its resume offset, decodes the selector run behind it (vs::decode_run),
// examines the decoded bytes and resumes behind the whole run, so each run
// is decoded once and selectors inside a run are never taken for a header.

// Why a candidate is not a wrapper: the first failing check, in the order
// they are applied.
enum class Defect : std::uint8_t {
  None,           // a valid wrapper
  NoRun,          // no selector behind the marker: an ordinary U+FEFF
  ShortHeader,    // the run decodes to fewer than 13 bytes
  WrongMagic,     // bytes 0..7 are not the magic
  WrongVersion,   // byte 8 is not VERSION
  LengthOverrun,  // fewer than manifestLength bytes follow the header
  // A selector run that begins with the full magic but has no marker in
  // front of it: typically a wrapper whose U+FEFF a sanitiser removed.
  // Reported only by a search that asks for orphaned runs; never a
  // candidate of locate_all or extract.
  MarkerMissing,
};

// One candidate as the search saw it.
struct Candidate {
  std::uint64_t start = 0;   // the marker's first byte (MarkerMissing: the run's first byte)
  std::uint64_t length = 0;  // the marker plus its whole selector run (MarkerMissing: the run)
  Defect defect = Defect::None;
  std::uint64_t decoded = 0;          // bytes that the run decodes to
  bool magic = false;                 // the run begins with the full magic
  std::uint8_t version = 0;           // byte 8 of the run; 0 when it has none
  std::uint64_t manifest_length = 0;  // bytes 9..12 of the run; 0 when it has none

  // The decoded bytes behind the payload of a valid wrapper (its padding
  // and any absorbed selectors); 0 for a candidate that is not valid.
  std::uint64_t surplus() const noexcept {
    return defect == Defect::None ? decoded - HEADER_SIZE - manifest_length : 0;
  }
};

// A forward-only search over the candidates of the UTF-8 `text`, in text
// order. The scanner borrows `text`, which must outlive it.
class CandidateScanner {
 public:
  // What the scanner keeps of each candidate's decoded run: all of it, or
  // only the header's bytes, for a search that needs no more than the
  // candidates' ranges and defects and so stores no payload.
  enum class Keep : std::uint8_t { Run, Header };

  // With `orphans` set, selector runs that begin with the full magic and
  // have no marker in front of them are reported as well, as
  // Defect::MarkerMissing, in text order among the markers.
  explicit CandidateScanner(std::string_view text, bool orphans = false,
                            Keep keep = Keep::Run) noexcept
      : text_(text), orphans_(orphans), keep_(keep) {}

  // The next candidate, or nullopt at the end of the text. Its decoded run
  // (with Keep::Header, at most the first HEADER_SIZE bytes of it) is
  // available from decoded() until the next call.
  std::optional<Candidate> next();
  Bytes decoded() const noexcept {
    return keep_ == Keep::Run ? Bytes(decoded_) : Bytes(head_).first(head_size_);
  }
  // The payload of the current candidate when it is valid: the
  // manifest_length bytes behind the header; empty otherwise, and always
  // with Keep::Header.
  Bytes payload() const noexcept;
  // The same payload, moved out of the scanner's storage instead of copied;
  // decoded() and payload() are empty afterwards.
  std::vector<std::uint8_t> take_payload() noexcept;

 private:
  std::size_t find_marker(std::size_t from) const noexcept;
  std::optional<std::size_t> next_orphan(std::size_t from) const noexcept;

  std::string_view text_;
  bool orphans_;
  Keep keep_;
  std::size_t resume_ = 0;
  // The next marker at or after resume_ (npos: none), once searched for.
  std::size_t marker_hint_ = 0;
  bool marker_known_ = false;
  std::optional<std::size_t> orphan_hint_;  // a cached orphan at or after resume_
  bool orphans_done_ = false;
  std::vector<std::uint8_t> decoded_;           // Keep::Run
  std::array<std::uint8_t, HEADER_SIZE> head_;  // Keep::Header: the first head_size_ bytes
  std::size_t head_size_ = 0;
  std::optional<std::size_t> payload_length_;  // set while the current candidate is valid
};

// True when the valid candidate's run is exactly what encoding its payload
// gives: no bytes behind the payload (encode), or the padding of
// encode_padded and nothing else. `decoded` is the candidate's run.
bool has_canonical_padding(const Candidate& candidate, Bytes decoded);

// What check_padding found in a text's wrapper.
struct PaddingCheck {
  // The wrapper is exactly what encoding its payload gives
  // (has_canonical_padding): unpadded, or padded as encode_padded pads.
  bool canonical = false;
  // The decoded bytes behind its payload (Candidate::surplus): its padding
  // and whatever else the run carries.
  std::uint64_t surplus = 0;
};

// The strict-padding rule of verification: no bytes may hide behind the
// payload where the digest does not reach, so the wrapper must be canonical.
// Examines the first valid wrapper of `text` (the single one, once extract
// has succeeded); a non-canonical one is a value, not an error.
// Errors: NotFound when `text` has no valid wrapper.
Result<PaddingCheck> check_padding(std::string_view text);

// The byte range of a wrapper, without its payload.
struct Range {
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  friend bool operator==(const Range&, const Range&) = default;
};

// One valid wrapper located in a text.
struct Wrapper {
  std::vector<std::uint8_t> payload;  // exactly manifestLength bytes
  std::uint8_t version = VERSION;     // always 1
  std::uint64_t start = 0;            // offset of the marker's first byte
  std::uint64_t length = 0;           // marker plus the whole selector run

  friend bool operator==(const Wrapper&, const Wrapper&) = default;
};

// Every valid wrapper of the UTF-8 `text`, ordered by `start`; their ranges
// never overlap. Candidates that hold no valid wrapper are skipped. Linear
// in the text. Cannot fail.
std::vector<Wrapper> locate_all(std::string_view text);

// The single valid wrapper of `text`.
// Errors: MultipleWrappers when there are two or more valid wrappers;
// otherwise CorruptedWrapper when some marker is followed by a run that
// begins with the full magic; otherwise NotFound.
Result<Wrapper> extract(std::string_view text);

// The range of the single valid wrapper of `text`: extract without copying
// the payload. Same errors as extract.
Result<Range> extract_range(std::string_view text);

// What the code points `after` a marker (U+FEFF) say about the marker's
// part in extract and extract_range: only a marker whose selector run
// begins with the full magic is a valid wrapper or a corrupted one. Any
// other marker is passed over with its run (which holds no marker), so to
// those searches it is an ordinary character. Unsettled when `after` ends
// while the selectors so far spell a beginning of the magic.
enum class MarkerRole : std::uint8_t { Ordinary, MayBeWrapper, Unsettled };
// (Inline: a text dense with markers asks for each.)
inline MarkerRole marker_role(std::span<const char32_t> after) noexcept {
  // The byte of each selector is its own (vs.hpp), so the run begins with
  // the magic exactly when its first code points are the magic's
  // selectors.
  for (std::size_t k = 0; k < MAGIC.size(); ++k) {
    if (k == after.size()) return MarkerRole::Unsettled;
    if (after[k] != vs::encode_byte(MAGIC[k])) return MarkerRole::Ordinary;
  }
  return MarkerRole::MayBeWrapper;
}

// `text` without the range of every valid wrapper (those locate_all
// lists), in one copy. Cannot fail.
std::string strip_all(std::string_view text);

// True when `offset` is 0, the text's length, or the byte at `offset` is not
// a UTF-8 continuation byte. Offsets past the end are not boundaries.
using utf8::is_char_boundary;

// ---- byte ranges -----------------------------------------------------------
//
// A range given by its start and length, as strip and the data hash's
// exclusions take it, is acceptable when start + length fits in 64 bits, the
// range lies inside the text and both of its ends are character boundaries.

// The end of the range of `length` bytes from `start`, or nullopt when
// start + length does not fit in 64 bits.
constexpr std::optional<std::uint64_t> range_end(std::uint64_t start,
                                                 std::uint64_t length) noexcept {
  const std::uint64_t end = start + length;
  if (end < start) return std::nullopt;
  return end;
}

// True when [start, end) is acceptable in a text of `size` bytes whose
// character boundaries `is_boundary(offset)` tells: start <= end <= size and
// both ends are boundaries. `is_boundary` is asked only about `start` and
// `end`, and only once both are known to lie within `size`; so a caller that
// has mapped just those two offsets can answer for them.
template <class IsBoundary>
constexpr bool range_acceptable(std::uint64_t start, std::uint64_t end, std::uint64_t size,
                                IsBoundary&& is_boundary) {
  return start <= end && end <= size && is_boundary(start) && is_boundary(end);
}

// range_acceptable over the UTF-8 `text`, with is_char_boundary.
constexpr bool range_acceptable(std::string_view text, std::uint64_t start,
                                std::uint64_t end) noexcept {
  return range_acceptable(start, end, text.size(),
                          [text](std::uint64_t offset) { return is_char_boundary(text, offset); });
}

// `text` without the bytes [start, end).
// Errors: ExclusionMalformed when [start, end) is not acceptable in `text`
// (range_acceptable): end > text length, start > end, or either offset is
// not a character boundary.
Result<std::string> strip(std::string_view text, std::uint64_t start, std::uint64_t end);

}  // namespace quorvane::wrapper
