#include <algorithm>
#include <array>
#include <quorvane/diagnosis.hpp>
#include <quorvane/utf8.hpp>
#include <quorvane/vs.hpp>
#include <quorvane/wrapper.hpp>
#include <string>

namespace quorvane::hardbinding {
namespace {

using wrapper::MARKER;

std::string decimal(std::uint64_t v) { return std::to_string(v); }

bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The first exclusion that starts at `start`.
const Exclusion* exclusion_at(const DataHash& binding, std::uint64_t start) noexcept {
  for (const Exclusion& ex : binding.exclusions) {
    if (ex.start == start) return &ex;
  }
  return nullptr;
}

// LF not preceded by CR, and CRLF pairs.
struct LineEndCount {
  std::uint64_t bare_lf = 0;
  std::uint64_t crlf = 0;
};

LineEndCount count_line_ends(std::string_view text) noexcept {
  LineEndCount n;
  for (std::size_t i = text.find('\n'); i != std::string_view::npos; i = text.find('\n', i + 1)) {
    if (i > 0 && text[i - 1] == '\r') {
      ++n.crlf;
    } else {
      ++n.bare_lf;
    }
  }
  return n;
}

Finding make(FindingKind kind, std::uint64_t start, std::uint64_t length) {
  Finding f;
  f.kind = kind;
  f.start = start;
  f.length = length;
  return f;
}

// The damaged wrappers of a text with no valid one, at most one of each
// kind, those where a binding exclusion starts first.
std::vector<Finding> damaged_wrappers(std::string_view text, const DataHash& binding) {
  using wrapper::Defect;
  std::optional<Finding> orphan, narrowed, lone;
  wrapper::CandidateScanner scanner(text, /*orphans=*/true,
                                    wrapper::CandidateScanner::Keep::Header);
  while (const auto c = scanner.next()) {
    if (c->defect == Defect::MarkerMissing) {
      if (!orphan) orphan = make(FindingKind::MarkerStripped, c->start, c->length);
    } else if (c->defect == Defect::NoRun) {
      if (!lone && exclusion_at(binding, c->start) != nullptr) {
        lone = make(FindingKind::SelectorsStripped, c->start, c->length);
      }
    } else if (c->defect != Defect::None && !narrowed) {
      // Only 3-byte selectors (every byte below 0x10), beginning with the
      // two header bytes that survive: the magic's zero and the version.
      const wrapper::Bytes d = scanner.decoded();
      if (c->decoded >= 2 && c->length - MARKER.size() == 3 * c->decoded && d[0] == 0x00 &&
          d[1] == wrapper::VERSION) {
        narrowed = make(FindingKind::SelectorsNarrowed, c->start, c->length);
      }
    }
  }
  std::vector<Finding> out;
  for (auto* f : {&orphan, &narrowed, &lone}) {
    if (*f) out.push_back(**f);
  }
  std::stable_sort(out.begin(), out.end(), [&](const Finding& a, const Finding& b) {
    return (exclusion_at(binding, a.start) != nullptr) >
           (exclusion_at(binding, b.start) != nullptr);
  });
  return out;
}

// The changes tried for a text with one valid wrapper at `range`.
std::vector<Finding> text_changes(std::string_view text, const DataHash& binding, ErrorKind kind,
                                  wrapper::Range range) {
  std::vector<Finding> out;
  const std::uint64_t n = text.size();
  const bool matched = std::any_of(
      binding.exclusions.begin(), binding.exclusions.end(),
      [&](const Exclusion& ex) { return ex.start == range.start && ex.length == range.length; });
  if (kind == ErrorKind::ExclusionMalformed && !matched) {
    const Exclusion* bound = binding.exclusions.size() == 1 ? &binding.exclusions[0] : nullptr;
    for (const Exclusion& ex : binding.exclusions) {
      if (bound == nullptr && ex.length == range.length) bound = &ex;
    }
    if (bound != nullptr) {
      Finding f = make(FindingKind::WrapperMoved, range.start, range.length);
      f.bound_start = bound->start;
      f.moved = static_cast<std::int64_t>(range.start - bound->start);
      out.push_back(f);
    }
  }
  if (text.starts_with(MARKER) && range.start != 0) {
    out.push_back(make(FindingKind::ByteOrderMark, 0, MARKER.size()));
  } else if (!text.starts_with(MARKER) && exclusion_at(binding, range.start + MARKER.size())) {
    out.push_back(make(FindingKind::ByteOrderMark, 0, 0));
  }
  // The end of the text, behind the wrapper.
  const std::uint64_t end = range.start + range.length;
  std::uint64_t tail = n;
  while (tail > end && is_space(text[static_cast<std::size_t>(tail - 1)])) --tail;
  std::uint64_t tried = 0;
  const auto trailing = [&](std::uint64_t from) {
    Finding f = make(FindingKind::TrailingWhitespace, from, n - from);
    f.added = std::string(text.substr(static_cast<std::size_t>(from)));
    out.push_back(std::move(f));
  };
  if (n > end && (text.back() == '\n' || text.back() == '\r')) {
    trailing(n - 1);
    tried = 1;
  }
  if (n >= end + 2 && text.ends_with("\r\n")) {
    trailing(n - 2);
    tried = 2;
  }
  if (n - tail > tried) trailing(tail);
  if (text.empty() || (text.back() != '\n' && text.back() != '\r')) {
    out.push_back(make(FindingKind::TrailingWhitespace, n, 0));
  }
  const LineEndCount ends = count_line_ends(text);
  if (ends.bare_lf > 0) {
    Finding f = make(FindingKind::LineEnds, 0, 0);
    f.line_ends = LineEndChange::CrlfToLf;
    f.count = ends.bare_lf;
    out.push_back(f);
  }
  if (ends.crlf > 0) {
    Finding f = make(FindingKind::LineEnds, 0, 0);
    f.line_ends = LineEndChange::LfToCrlf;
    f.count = ends.crlf;
    out.push_back(f);
  }
  return out;
}

// A wrapper of exactly `length` bytes of text with an empty store, or
// nullopt when no wrapper has that length.
std::optional<std::string> stand_in_wrapper(std::uint64_t length) {
  constexpr std::uint64_t kEmpty = 49;  // marker and header, empty store
  if (length < kEmpty) return std::nullopt;
  auto padding = wrapper::padding_for_gap(length - kEmpty);
  if (!padding) return std::nullopt;
  auto w = wrapper::encode_with_padding({}, *padding);
  if (!w || w->size() != length) return std::nullopt;
  return std::move(*w);
}

std::string spliced(std::string_view text, std::uint64_t start, std::uint64_t length,
                    std::string_view with) {
  std::string out;
  out.reserve(text.size() - length + with.size());
  out.append(text.substr(0, static_cast<std::size_t>(start)));
  out.append(with);
  out.append(text.substr(static_cast<std::size_t>(start + length)));
  return out;
}

std::string line_ends_undone(std::string_view text, LineEndChange change) {
  std::string out;
  out.reserve(change == LineEndChange::CrlfToLf ? text.size() + text.size() / 8 : text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (change == LineEndChange::CrlfToLf && c == '\n' && (i == 0 || text[i - 1] != '\r')) {
      out += "\r\n";
    } else if (change == LineEndChange::LfToCrlf && c == '\r' && i + 1 < text.size() &&
               text[i + 1] == '\n') {
      // The LF follows on the next step.
    } else {
      out += c;
    }
  }
  return out;
}

std::string added_bytes(std::string_view bytes) {
  if (bytes == "\n") return "a line end (LF)";
  if (bytes == "\r\n") return "a line end (CRLF)";
  if (bytes == "\r") return "a carriage return (CR)";
  return decimal(bytes.size()) + " bytes of whitespace";
}

}  // namespace

std::string_view finding_code(FindingKind kind) noexcept {
  switch (kind) {
    case FindingKind::WrapperMoved:
      return "quorvane.diagnosis.wrapperMoved";
    case FindingKind::ByteOrderMark:
      return "quorvane.diagnosis.byteOrderMark";
    case FindingKind::TrailingWhitespace:
      return "quorvane.diagnosis.trailingWhitespace";
    case FindingKind::LineEnds:
      return "quorvane.diagnosis.lineEnds";
    case FindingKind::MarkerStripped:
      return "quorvane.diagnosis.markerStripped";
    case FindingKind::SelectorsStripped:
      return "quorvane.diagnosis.selectorsStripped";
    case FindingKind::SelectorsNarrowed:
      return "quorvane.diagnosis.selectorsNarrowed";
    case FindingKind::ContentChanged:
      return "quorvane.diagnosis.contentChanged";
  }
  return "quorvane.diagnosis.contentChanged";
}

std::optional<Undone> undo(std::string_view text, const DataHash& binding, const Finding& f) {
  const std::uint64_t n = text.size();
  Undone out{std::string(), binding};
  switch (f.kind) {
    case FindingKind::WrapperMoved: {
      auto it = std::find_if(out.binding.exclusions.begin(), out.binding.exclusions.end(),
                             [&](const Exclusion& ex) { return ex.start == f.bound_start; });
      if (it == out.binding.exclusions.end()) return std::nullopt;
      *it = Exclusion{f.start, f.length};
      out.text = std::string(text);
      return out;
    }
    case FindingKind::ByteOrderMark:
      if (f.length == 0) {
        out.text = spliced(text, 0, 0, MARKER);
      } else {
        if (!text.starts_with(MARKER)) return std::nullopt;
        out.text = std::string(text.substr(MARKER.size()));
      }
      return out;
    case FindingKind::TrailingWhitespace:
      if (f.length == 0) {
        if (f.start != n) return std::nullopt;
        out.text =
            std::string(text) + (text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n");
      } else {
        if (f.start > n || n - f.start != f.length) return std::nullopt;
        out.text = std::string(text.substr(0, static_cast<std::size_t>(f.start)));
      }
      return out;
    case FindingKind::LineEnds:
      if (f.line_ends == LineEndChange::None) return std::nullopt;
      out.text = line_ends_undone(text, f.line_ends);
      return out;
    case FindingKind::MarkerStripped:
      if (f.start > n || !utf8::is_char_boundary(text, f.start)) return std::nullopt;
      out.text = spliced(text, f.start, 0, MARKER);
      return out;
    case FindingKind::SelectorsStripped:
    case FindingKind::SelectorsNarrowed: {
      const Exclusion* bound = exclusion_at(binding, f.start);
      if (bound == nullptr || f.start + f.length > n) return std::nullopt;
      auto stand_in = stand_in_wrapper(bound->length);
      if (!stand_in) return std::nullopt;
      out.text = spliced(text, f.start, f.length, *stand_in);
      return out;
    }
    case FindingKind::ContentChanged:
      break;
  }
  return std::nullopt;
}

std::string describe(const Finding& f) {
  const std::string at = "byte " + decimal(f.start);
  switch (f.kind) {
    case FindingKind::WrapperMoved: {
      const std::uint64_t by = f.moved < 0 ? 0 - static_cast<std::uint64_t>(f.moved)
                                           : static_cast<std::uint64_t>(f.moved);
      std::string s = "the wrapper moved " + decimal(by) + " bytes " +
                      (f.moved < 0 ? "earlier" : "later") + " (from byte " +
                      decimal(f.bound_start) + " to " + at +
                      ") and nothing else changed: with its actual range as the exclusion the "
                      "digest matches";
      if (f.form == PrefixForm::NoLongerNfc) {
        s += "; the text before it is no longer in NFC, as it was when the binding was made "
             "(converted to NFD, say, as macOS tools and some editors do)";
      } else if (f.form == PrefixForm::NowNfc) {
        s += "; the text before it is in NFC now and shorter than when the binding was made: "
             "it was then in another form, such as NFD (or the wrapper itself was moved)";
      }
      return s;
    }
    case FindingKind::ByteOrderMark:
      return f.length == 0 ? "the byte order mark (U+FEFF) at the start of the text was removed; "
                             "with it put back the binding verifies"
                           : "a byte order mark (U+FEFF) was added at the start of the text; "
                             "without it the binding verifies";
    case FindingKind::TrailingWhitespace:
      if (f.length == 0) {
        return "the final line end of the text was removed; with it put back the binding "
               "verifies";
      }
      return added_bytes(f.added) + " was added at the end of the text, at " + at +
             "; without it the binding verifies";
    case FindingKind::LineEnds:
      return f.line_ends == LineEndChange::CrlfToLf
                 ? "the line ends were converted from CRLF to LF (" + decimal(f.count) +
                       " of them); with CRLF put back the binding verifies"
                 : "the line ends were converted from LF to CRLF (" + decimal(f.count) +
                       " of them); with LF put back the binding verifies";
    case FindingKind::MarkerStripped:
      return "the wrapper's marker U+FEFF was removed: the selector run of " + decimal(f.length) +
             " bytes at " + at + " begins with the magic but has no U+FEFF in front" +
             (f.content_intact ? "; with the marker put back the binding verifies"
                               : "; the text changed in other ways as well");
    case FindingKind::SelectorsStripped:
      return "the wrapper's variation selectors were removed: a lone U+FEFF is left at " + at +
             ", where the binding's exclusion starts" +
             (f.content_intact ? "; the rest of the text is what the binding was made for"
                               : "; the text changed in other ways as well");
    case FindingKind::SelectorsNarrowed:
      return "the wrapper's selectors above U+FFFF were removed, as a store of 3-byte UTF-8 "
             "only (MySQL utf8mb3) does: the marker and " +
             decimal((f.length - MARKER.size()) / 3) + " 3-byte selectors are left at " + at +
             (f.content_intact ? "; the rest of the text is what the binding was made for"
                               : "; the text changed in other ways as well (such a store also "
                                 "drops every other character above U+FFFF)");
    case FindingKind::ContentChanged:
      return f.first_difference
                 ? "the text changed: it differs from the text the binding was made for at "
                   "byte " +
                       decimal(*f.first_difference)
                 : "the text changed: none of the known transport changes explains the "
                   "failure, and the binding cannot tell where";
  }
  return {};
}

namespace detail {

std::optional<Suspects> suspects(std::string_view text, const DataHash& binding, ErrorKind kind) {
  if (binding.exclusions.empty() || !Algorithm::from_id(binding.alg)) return std::nullopt;
  Suspects out;
  if (kind == ErrorKind::NotFound || kind == ErrorKind::CorruptedWrapper) {
    out.tries = damaged_wrappers(text, binding);
    if (!out.tries.empty()) out.damage = out.tries.front();
    return out;
  }
  if (kind == ErrorKind::ExclusionMalformed || kind == ErrorKind::HashMismatch) {
    if (const auto range = wrapper::extract_range(text)) {
      out.tries = text_changes(text, binding, kind, *range);
    }
  }
  return out;
}

Finding content_changed(std::string_view text, const DataHash& binding) {
  const std::uint64_t n = text.size();
  std::optional<std::uint64_t> first;
  const auto note = [&](std::uint64_t at) { first = first ? std::min(*first, at) : at; };
  // Every exclusion was a range of whole characters of the text the
  // binding was made for.
  for (const Exclusion& ex : binding.exclusions) {
    if (ex.start > n) {
      note(n);
    } else if (!utf8::is_char_boundary(text, ex.start)) {
      note(ex.start);
    }
    const std::uint64_t end = ex.start + ex.length;
    if (end < ex.start) continue;
    if (end > n) {
      note(n);
    } else if (!utf8::is_char_boundary(text, end)) {
      note(end);
    }
  }
  // A binding's one exclusion is the wrapper's range: the marker at its
  // start, the whole selector run up to its end.
  if (binding.exclusions.size() == 1) {
    const Exclusion& w = binding.exclusions[0];
    const std::uint64_t end = w.start + w.length;
    std::size_t i = 0;
    while (i < MARKER.size() && w.start + i < n &&
           text[static_cast<std::size_t>(w.start + i)] == MARKER[i]) {
      ++i;
    }
    if (i < MARKER.size()) {
      note(std::min(w.start + i, n));
    } else if (end >= w.start && w.length >= MARKER.size()) {
      std::array<std::uint8_t, 1> head{};
      const std::uint64_t run = w.start + MARKER.size();
      const auto r = vs::decode_run_head(text.substr(static_cast<std::size_t>(run)), head);
      const std::uint64_t run_end = run + r.consumed;
      if (run_end != end) note(std::min(run_end, end));
    }
  }
  Finding f;
  f.kind = FindingKind::ContentChanged;
  f.first_difference = first;
  if (first) {
    f.start = *first;
  }
  f.detail = describe(f);
  return f;
}

PrefixForm prefix_form(std::string_view prefix, std::string_view nfc, std::uint64_t bound_start,
                       std::int64_t moved) noexcept {
  if (nfc != prefix) {
    return nfc.size() == bound_start ? PrefixForm::NoLongerNfc : PrefixForm::Unknown;
  }
  return moved < 0 ? PrefixForm::NowNfc : PrefixForm::Unknown;
}

}  // namespace detail
}  // namespace quorvane::hardbinding
