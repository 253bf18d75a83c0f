// Why a data-hash check failed: a diagnosis of the usual transport damage.
//
// `diagnose` runs after verify_data_hash has failed. It tries the known
// benign changes, in a fixed order, and reports the first that explains the
// failure as a `Finding`. A change explains the failure only when the text
// with that change undone (see `undo`) passes verify_data_hash with the
// binding: the finding is then `content_intact`, the hashed content is the
// one the binding was made for. The diagnosis never changes the verdict:
// the error, its message and its status code stay those of
// verify_data_hash.
//
// What is tried, in this order (the first that applies and verifies wins):
//   1. When no valid wrapper is located (NotFound, CorruptedWrapper), the
//      damaged wrapper itself: a selector run that begins with the magic
//      but has no U+FEFF in front (MarkerStripped); a run of only 3-byte
//      selectors that begins with the magic's zero byte and the version,
//      what is left when every character above U+FFFF is dropped
//      (SelectorsNarrowed); a U+FEFF with no run behind it where a binding
//      exclusion starts (SelectorsStripped). These three are reported even
//      when the re-check fails (content_intact false): the wrapper is
//      damaged in that way, and the rest of the text changed as well.
//   2. With one valid wrapper whose range no exclusion equals
//      (ExclusionMalformed): the wrapper moved, the binding's exclusion
//      replaced by the wrapper's actual range (WrapperMoved).
//   3. With one valid wrapper: a byte order mark added at the start, or
//      removed from it (ByteOrderMark); a line end or whitespace added at
//      the end, or the final line end removed (TrailingWhitespace); every
//      CRLF turned into LF, or every LF into CRLF (LineEnds).
//   4. Otherwise ContentChanged, with the first byte offset at which the
//      text provably differs from the one the binding was made for, when
//      the binding's ranges alone prove one (`first_difference`).
// The kinds of steps 2 and 3 are reported only when content_intact.
//
// Bounded work: the scans are linear; at most seven re-checks, each one
// verify_data_hash (one digest pass over the text) on a copy of the text
// with one change undone: one for step 1's first damaged wrapper of each
// kind (three at most, and then steps 2 and 3 do not apply), one for step
// 2, and for step 3 one for the byte order mark, at most three for the end
// of the text (the last character, a final CRLF, the whole whitespace
// tail; or the final line end put back) and two for the line ends. A
// WrapperMoved finding costs one more NFC pass over the text before the
// wrapper, to tell its normalisation form. Nothing is tried for a binding
// that cannot be checked at all (empty exclusions, an unsupported
// algorithm): there is no finding then.
#pragma once

#include <cstdint>
#include <optional>
#include <quorvane/error.hpp>
#include <quorvane/hardbinding.hpp>
#include <quorvane/rules.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::hardbinding {

enum class FindingKind : std::uint8_t {
  WrapperMoved,        // start, length: the wrapper now; bound_start: where the binding has it
  ByteOrderMark,       // length 3: a U+FEFF added at byte 0; length 0: one removed there
  TrailingWhitespace,  // [start, start + length): the whitespace added at the end;
                       // length 0 (start = text length): the final line end removed
  LineEnds,            // line_ends: which way; count: how many line ends in the text
  MarkerStripped,      // start, length: the selector run left without its U+FEFF
  SelectorsStripped,   // start, length 3: the U+FEFF left without its selector run
  SelectorsNarrowed,   // start, length: the marker and the 3-byte selectors left
  ContentChanged,      // first_difference, when the binding proves one
};

// The stable status code of our own for each kind, used as the code of an
// informational entry: "quorvane.diagnosis.wrapperMoved",
// "quorvane.diagnosis.byteOrderMark", "quorvane.diagnosis.trailingWhitespace",
// "quorvane.diagnosis.lineEnds", "quorvane.diagnosis.markerStripped",
// "quorvane.diagnosis.selectorsStripped",
// "quorvane.diagnosis.selectorsNarrowed", "quorvane.diagnosis.contentChanged".
std::string_view finding_code(FindingKind kind) noexcept;

// WrapperMoved: what the text before the wrapper says about why it moved.
enum class PrefixForm : std::uint8_t {
  Unknown,      // nothing that the normalisation form tells
  NoLongerNfc,  // not NFC now, and its NFC form has exactly the binding's length:
                // it was NFC when the binding was made (an NFD conversion does this)
  NowNfc,       // NFC now and shorter than the binding says: it was in another
                // form (NFD, say) then, or the wrapper itself was moved later
};

// LineEnds: the conversion that happened to the text.
enum class LineEndChange : std::uint8_t {
  None,
  CrlfToLf,  // the binding was made with CRLF line ends; the text has LF now
  LfToCrlf,  // the binding was made with LF line ends; the text has CRLF now
};

struct Finding {
  FindingKind kind = FindingKind::ContentChanged;
  std::uint64_t start = 0;        // byte offset in the text of what the finding is about
  std::uint64_t length = 0;       // its bytes
  std::uint64_t bound_start = 0;  // WrapperMoved: the start the binding's exclusion has
  std::int64_t moved = 0;         // WrapperMoved: start - bound_start
  PrefixForm form = PrefixForm::Unknown;
  LineEndChange line_ends = LineEndChange::None;
  std::uint64_t count = 0;  // LineEnds: line ends converted
  std::string added;        // TrailingWhitespace: the bytes added (empty: a line end removed)
  // ContentChanged: the first byte offset at which the text provably
  // differs from the text the binding was made for.
  std::optional<std::uint64_t> first_difference;
  // With the change undone the binding verifies: nothing else changed.
  bool content_intact = false;
  std::string detail;  // the finding in words, one sentence
};

// The text and binding with the finding's change undone.
struct Undone {
  std::string text;
  DataHash binding;
};

// `text` and `binding` with `finding`'s change undone: the wrapper's range
// as the binding's exclusion (WrapperMoved); the byte order mark removed or
// put back; the added whitespace removed or the final line end put back
// (CRLF when the text has CRLF line ends, else LF); every LF made CRLF, or
// every CRLF made LF; the U+FEFF put back in front of the run; in place of
// a lone U+FEFF or a narrowed run, a wrapper with an empty store and the
// length of the binding's exclusion that starts there. nullopt when that
// cannot be built (ContentChanged; no exclusion starts at the damaged
// wrapper; its length is no wrapper's length).
std::optional<Undone> undo(std::string_view text, const DataHash& binding, const Finding& finding);

// The finding in words, as stored in Finding::detail.
std::string describe(const Finding& finding);

namespace detail {

// What the diagnosis tries for a failure of `kind`, in order: the
// candidate findings (without content_intact, form or detail), and the
// damaged wrapper to report when none of them verifies. nullopt when the
// binding cannot be checked at all.
struct Suspects {
  std::vector<Finding> tries;
  std::optional<Finding> damage;
};
std::optional<Suspects> suspects(std::string_view text, const DataHash& binding, ErrorKind kind);

// ContentChanged with its first_difference and detail.
Finding content_changed(std::string_view text, const DataHash& binding);

PrefixForm prefix_form(std::string_view prefix, std::string_view nfc, std::uint64_t bound_start,
                       std::int64_t moved) noexcept;

}  // namespace detail

// The finding for `failure`, the error that verify_data_hash(text,
// binding, hasher, normalizer) returned; nullopt when the binding cannot be
// checked at all (ExclusionMalformed for an empty exclusion list,
// UnsupportedAlgorithm). Generic over the hasher and the normaliser as the
// data-hash operations are.
template <Hasher H, Normalizer N>
std::optional<Finding> diagnose(std::string_view text, const DataHash& binding,
                                const Error& failure, const H& hasher, const N& normalizer) {
  auto found = detail::suspects(text, binding, failure.kind());
  if (!found) return std::nullopt;
  for (Finding& f : found->tries) {
    const auto undone = undo(text, binding, f);
    if (!undone || !verify_data_hash(undone->text, undone->binding, hasher, normalizer)) continue;
    f.content_intact = true;
    if (f.kind == FindingKind::WrapperMoved) {
      const std::string_view prefix = text.substr(0, static_cast<std::size_t>(f.start));
      f.form = detail::prefix_form(prefix, normalizer.normalize(prefix), f.bound_start, f.moved);
    }
    f.detail = describe(f);
    return std::move(f);
  }
  if (found->damage) {
    found->damage->detail = describe(*found->damage);
    return std::move(found->damage);
  }
  return detail::content_changed(text, binding);
}

// verify_data_hash under `rules`, and the diagnosis when it fails.
struct Diagnosed {
  Status verdict;                  // exactly verify_data_hash(text, binding, ..., rules)
  std::optional<Finding> finding;  // empty on success
};

template <Hasher H, Normalizer N>
Diagnosed verify_and_diagnose(std::string_view text, const DataHash& binding, const H& hasher,
                              const N& normalizer, Rules rules = Rules::V2_4) {
  Status verdict = verify_data_hash(text, binding, hasher, normalizer);
  if (verdict) return {std::move(verdict), std::nullopt};
  auto finding = diagnose(text, binding, verdict.error(), hasher, normalizer);
  return {wrapper::under_rules(std::move(verdict), rules), std::move(finding)};
}

}  // namespace quorvane::hardbinding
