// compute_data_hash -> verify_data_hash over a host text that carries a
// wrapper: verification of the computed binding succeeds; a changed ASCII
// byte outside the wrapper gives HashMismatch; a character inserted or
// removed in front of it gives ExclusionMalformed; any other edit, and any
// binding made up from the input, gets the result of a step-by-step
// reference verifier. Never success where the hashed bytes changed.
// Every failed check is diagnosed: the diagnosis keeps the verdict, under
// both reading rules, and claims that the text with a change undone
// verifies only where the reference verifier agrees; the usual transport
// changes of the signed text (a line end appended, NFD, a byte order mark,
// line ends converted, the marker or the selectors stripped) are
// diagnosed on the way, and the first two always as what they are.
#include <quorvane/diagnosis.hpp>

#include "fuzz_support.hpp"

using namespace quorvane;
using fuzz::ByteVec;
using hardbinding::Algorithm;
using hardbinding::DataHash;
using hardbinding::Exclusion;
using hardbinding::provided::BuiltinCrypto;
using hardbinding::provided::StreamedDataHash;
using hardbinding::provided::UnicodeNfc;

namespace {

constexpr Algorithm kAlgs[] = {Algorithm::Sha256, Algorithm::Sha384, Algorithm::Sha512};
constexpr const char* kNames[] = {"sha256", "sha384", "sha512", "SHA256", "", "sha3-256", "sha51"};

// `text` handed to `hash` as the module hands over a str: `chunk` code
// points at a time, an all-ASCII chunk as its bytes, an all-Latin-1 one as
// its Latin-1 bytes, any other as its code points, each written where
// room() says.
void feed_chunks(StreamedDataHash& hash, std::string_view text, std::size_t chunk) {
  const auto cps = testing::code_points(text);
  for (std::size_t at = 0; at < cps.size(); at += chunk) {
    const std::size_t n = std::min(chunk, cps.size() - at);
    std::u32string code_points;
    bool ascii = true, latin1 = true;
    for (std::size_t k = at; k < at + n; ++k) {
      code_points.push_back(cps[k].cp);
      ascii &= cps[k].cp < 0x80;
      latin1 &= cps[k].cp < 0x100;
    }
    char* out = hash.room(4 * n);
    if (ascii) {
      for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<char>(code_points[k]);
      hash.add_ascii(n);
    } else if (latin1) {
      const std::vector<std::uint8_t> bytes(code_points.begin(), code_points.end());
      hash.add_latin1(bytes);
    } else {
      FUZZ_CHECK(hash.add(code_points));
    }
  }
}

std::string crlf_as_lf(std::string_view text) {
  std::string out(text);
  for (std::size_t at = out.find("\r\n"); at != std::string::npos; at = out.find("\r\n", at)) {
    out.erase(at, 1);
  }
  return out;
}

// The diagnosis of `text` against `binding`, whose verdict is `verdict`.
// Returns the finding.
std::optional<hardbinding::Finding> check_diagnosis(std::string_view text, const DataHash& binding,
                                                    std::optional<ErrorKind> verdict) {
  using hardbinding::FindingKind;
  for (const auto rules : {wrapper::Rules::V2_4, wrapper::Rules::V2_5}) {
    const auto d =
        hardbinding::verify_and_diagnose(text, binding, BuiltinCrypto{}, UnicodeNfc{}, rules);
    std::optional<ErrorKind> want = verdict;
    if (rules == wrapper::Rules::V2_5 &&
        (want == ErrorKind::MultipleWrappers || want == ErrorKind::CorruptedWrapper)) {
      want = ErrorKind::NotFound;
    }
    FUZZ_CHECK(fuzz::kind_of(d.verdict) == want);
    if (!verdict) FUZZ_CHECK(!d.finding);
  }
  if (!verdict) return std::nullopt;
  const Status status = hardbinding::verify_data_hash(text, binding, BuiltinCrypto{}, UnicodeNfc{});
  FUZZ_CHECK(!status && status.error().kind() == *verdict);
  auto f = hardbinding::diagnose(text, binding, status.error(), BuiltinCrypto{}, UnicodeNfc{});
  // No finding only for a binding that cannot be checked at all.
  const bool checkable = !binding.exclusions.empty() && Algorithm::from_id(binding.alg);
  FUZZ_CHECK(f.has_value() == checkable);
  if (!f) return f;
  FUZZ_CHECK(!f->detail.empty());
  const bool benign =
      f->kind == FindingKind::WrapperMoved || f->kind == FindingKind::ByteOrderMark ||
      f->kind == FindingKind::TrailingWhitespace || f->kind == FindingKind::LineEnds;
  if (benign) FUZZ_CHECK(f->content_intact);
  if (f->kind == FindingKind::ContentChanged) FUZZ_CHECK(!f->content_intact);
  if (!f->content_intact) return f;
  // The change undone: the reference verifier passes it, and it differs
  // from the text only as the finding says.
  const auto undone = hardbinding::undo(text, binding, *f);
  FUZZ_CHECK(undone.has_value());
  FUZZ_CHECK(fuzz::ref_verify(undone->text, undone->binding) == std::nullopt);
  const std::string head(text.substr(0, f->start));
  switch (f->kind) {
    case FindingKind::WrapperMoved: {
      FUZZ_CHECK(undone->text == text);
      const auto located = testing::ref_locate_all(text);
      FUZZ_CHECK(located.size() == 1 && located[0].start == f->start &&
                 located[0].length == f->length);
      FUZZ_CHECK(static_cast<std::int64_t>(f->start - f->bound_start) == f->moved);
      FUZZ_CHECK(undone->binding.exclusions.size() == binding.exclusions.size());
      break;
    }
    case FindingKind::ByteOrderMark:
      FUZZ_CHECK(f->length == 0 ? undone->text == std::string(wrapper::MARKER) + std::string(text)
                                : "\xEF\xBB\xBF" + undone->text == text);
      break;
    case FindingKind::TrailingWhitespace:
      if (f->length == 0) {
        FUZZ_CHECK(undone->text.starts_with(text) && (undone->text.substr(text.size()) == "\n" ||
                                                      undone->text.substr(text.size()) == "\r\n"));
      } else {
        FUZZ_CHECK(undone->text == head && head.size() + f->length == text.size());
        for (const char c : text.substr(f->start)) FUZZ_CHECK(c == ' ' || (c >= '\t' && c <= '\r'));
      }
      break;
    case FindingKind::LineEnds: {
      // Only carriage returns in front of line feeds put in or taken out.
      const auto no_cr = [](std::string t) {
        std::erase(t, '\r');
        return t;
      };
      FUZZ_CHECK(no_cr(undone->text) == no_cr(std::string(text)) && undone->text != text);
      FUZZ_CHECK(undone->binding == binding);
      break;
    }
    case FindingKind::MarkerStripped:
      FUZZ_CHECK(undone->text ==
                 head + std::string(wrapper::MARKER) + std::string(text.substr(f->start)));
      break;
    case FindingKind::SelectorsStripped:
    case FindingKind::SelectorsNarrowed: {
      const auto located = testing::ref_locate_all(undone->text);
      FUZZ_CHECK(located.size() == 1 && located[0].start == f->start);
      FUZZ_CHECK(undone->text.starts_with(head) &&
                 undone->text.ends_with(text.substr(f->start + f->length)));
      FUZZ_CHECK(text.substr(f->start, 3) == wrapper::MARKER);
      break;
    }
    case FindingKind::ContentChanged:
      break;
  }
  return f;
}

std::optional<ErrorKind> verify(std::string_view text, const DataHash& binding, std::size_t chunk) {
  const fuzz::HeapCopy copy(text);
  const auto whole = fuzz::kind_of(
      hardbinding::verify_data_hash(copy.view(), binding, BuiltinCrypto{}, UnicodeNfc{}));
  check_diagnosis(copy.view(), binding, whole);
  // The same text handed over in order: a prefix that holds no U+FEFF and
  // ends at or before the first exclusion, then the rest. Same result.
  const auto alg = Algorithm::from_id(binding.alg);
  if (!alg) return whole;
  std::uint64_t limit = std::min(text.find("\xEF\xBB\xBF"), text.size());
  if (!binding.exclusions.empty()) limit = std::min(limit, binding.exclusions[0].start);
  std::vector<std::size_t> cuts{0};
  for (const auto& c : testing::code_points(text)) {
    if (c.offset + c.width <= limit) cuts.push_back(c.offset + c.width);
  }
  for (const std::size_t split : {cuts.back(), cuts[cuts.size() / 2]}) {
    auto stream = BuiltinCrypto{}.begin(*alg);
    auto writer = UnicodeNfc{}.writer(stream);
    writer.feed(text.substr(0, split));
    const fuzz::HeapCopy rest(text.substr(split));
    FUZZ_CHECK(fuzz::kind_of(hardbinding::finish_verify_data_hash(split, rest.view(), binding,
                                                                  stream, writer)) == whole);
  }
  // And as the module hands it over, a chunk at a time.
  StreamedDataHash streamed(binding, *alg, testing::code_points(text).size());
  feed_chunks(streamed, text, chunk);
  FUZZ_CHECK(fuzz::kind_of(streamed.finish_verify(binding)) == whole);
  return whole;
}

std::string ref_nfd(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  std::string out;
  icu::StringByteSink<std::string> sink(&out);
  nfd->normalizeUTF8(0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())), sink,
                     nullptr, status);
  FUZZ_CHECK(U_SUCCESS(status));
  return out;
}

// Byte offsets of the code points of `text` that lie wholly outside [lo, hi).
std::vector<testing::CodePoint> outside(std::string_view text, std::uint64_t lo, std::uint64_t hi) {
  std::vector<testing::CodePoint> out;
  for (const auto& c : testing::code_points(text)) {
    if (c.offset + c.width <= lo || c.offset >= hi) out.push_back(c);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t shape = in.byte();
  const Algorithm alg = kAlgs[shape % 3];
  const std::string prefix = fuzz::text_from(in, in.byte() % 12);
  const ByteVec payload = in.take(in.byte() % 48);
  const bool padded = (shape & 4) != 0;
  const std::string suffix = fuzz::text_from(in, in.byte() % 12);
  const wrapper::Bytes p(payload.data(), payload.size());
  const std::string wrapped = padded ? *wrapper::encode_padded(p) : *wrapper::encode(p);
  const std::string text = prefix + wrapped + suffix;

  const fuzz::HeapCopy copy(text);
  const Result<DataHash> computed =
      hardbinding::compute_data_hash(copy.view(), alg, BuiltinCrypto{}, UnicodeNfc{});
  // The same text handed over in order, as the module hands over a str, in
  // chunks of any size: same binding, same error.
  // Now and then chunks of more than one vector's worth of code points.
  const std::uint8_t c = in.byte();
  const std::size_t chunk = c < 0xF0 ? 1 + c % 12 : 16 + c % 24;
  {
    StreamedDataHash hash(alg, testing::code_points(text).size());
    feed_chunks(hash, text, chunk);
    const Result<DataHash> streamed = hash.finish_compute();
    FUZZ_CHECK(streamed.has_value() == computed.has_value());
    if (computed) FUZZ_CHECK(*streamed == *computed);
    if (!computed) FUZZ_CHECK(streamed.error().kind() == computed.error().kind());
  }

  const auto located = testing::ref_locate_all(text);
  if (located.size() != 1) {
    FUZZ_CHECK(!computed.has_value());
    FUZZ_CHECK(computed.error().kind() == testing::ref_extract_error(text));
    return 0;
  }
  FUZZ_CHECK(computed.has_value());
  const wrapper::Wrapper& w = located[0];
  const Exclusion range{w.start, w.length};
  FUZZ_CHECK(computed->exclusions == std::vector<Exclusion>{range});
  FUZZ_CHECK(computed->alg == alg.id());
  const std::string kept = *fuzz::ref_kept(text, computed->exclusions);
  FUZZ_CHECK(computed->hash == BuiltinCrypto{}.digest(alg, wrapper::as_bytes(fuzz::ref_nfc(kept))));

  // The computed binding verifies; the same digest under another name, or
  // with a byte less or more, does not.
  FUZZ_CHECK(verify(text, *computed, chunk) == std::nullopt);
  for (const Algorithm other : kAlgs) {
    if (other == alg) continue;
    DataHash renamed = *computed;
    renamed.alg = std::string(other.id());
    FUZZ_CHECK(verify(text, renamed, chunk) == ErrorKind::HashMismatch);
  }
  {
    DataHash shorter = *computed;
    shorter.hash.pop_back();
    FUZZ_CHECK(verify(text, shorter, chunk) == ErrorKind::HashMismatch);
    DataHash longer = *computed;
    longer.hash.push_back(in.byte());
    FUZZ_CHECK(verify(text, longer, chunk) == ErrorKind::HashMismatch);
    DataHash none = *computed;
    none.exclusions.clear();
    FUZZ_CHECK(verify(text, none, chunk) == ErrorKind::ExclusionMalformed);
  }

  // The usual transport changes of the signed text. A line end appended
  // and NFD are always diagnosed as changes that leave the content intact.
  {
    const std::string appended = text + "\n";
    const auto got = verify(appended, *computed, chunk);
    FUZZ_CHECK(got == ErrorKind::HashMismatch);
    const auto f = check_diagnosis(appended, *computed, got);
    FUZZ_CHECK(f && f->content_intact);
    const std::string nfd = ref_nfd(text);
    if (const auto moved = verify(nfd, *computed, chunk)) {
      const auto g = check_diagnosis(nfd, *computed, moved);
      FUZZ_CHECK(g && g->content_intact);
    }
    std::string crlf;
    for (const char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::string narrowed;
    for (const auto& c : testing::code_points(text)) {
      if (c.cp <= 0xFFFF) narrowed += text.substr(c.offset, c.width);
    }
    std::string no_marker = text;
    no_marker.erase(w.start, 3);
    std::string no_selectors = text;
    no_selectors.erase(w.start + 3, w.length - 3);
    for (const std::string& damaged : {std::string(wrapper::MARKER) + text, crlf, crlf_as_lf(text),
                                       narrowed, no_marker, no_selectors}) {
      static_cast<void>(verify(damaged, *computed, chunk));
    }
  }

  // Line ends converted to CRLF in a text signed with LF line ends, one
  // of them in front of the wrapper: diagnosed as such.
  {
    const std::string lined = prefix + "\n" + wrapped + suffix + "\n";
    if (const auto bound =
            hardbinding::compute_data_hash(lined, alg, BuiltinCrypto{}, UnicodeNfc{})) {
      std::string crlf;
      for (const char c : lined) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
      const auto got = verify(crlf, *bound, chunk);
      FUZZ_CHECK(got == ErrorKind::ExclusionMalformed);
      const auto f = check_diagnosis(crlf, *bound, got);
      if (lined.find("\r\n") == std::string::npos) {
        FUZZ_CHECK(f && f->kind == hardbinding::FindingKind::LineEnds && f->content_intact);
      }
    }
  }

  const auto chars = outside(text, w.start, w.start + w.length);

  // One ASCII byte outside the wrapper changed into another ASCII byte.
  {
    std::vector<std::size_t> ascii;
    for (const auto& c : chars) {
      if (c.cp < 0x80) ascii.push_back(c.offset);
    }
    if (!ascii.empty()) {
      std::string changed = text;
      const std::size_t at = ascii[in.byte() % ascii.size()];
      changed[at] = static_cast<char>((changed[at] + 1 + in.byte() % 127) % 128);
      FUZZ_CHECK(changed != text);
      FUZZ_CHECK(verify(changed, *computed, chunk) == ErrorKind::HashMismatch);
    }
  }

  // One character inserted in front of the wrapper, or one removed there.
  {
    std::string inserted = text;
    std::string token;
    fuzz::Input more(data, size);  // any valid character will do
    while (token.empty() && !more.empty()) fuzz::append_token(more, token);
    if (token.empty()) token = "x";
    const std::size_t at =
        prefix.empty()
            ? 0
            : testing::code_points(prefix)[in.byte() % testing::code_points(prefix).size()].offset;
    inserted.insert(at, token);
    const auto now = testing::ref_locate_all(inserted);
    const auto got = verify(inserted, *computed, chunk);
    if (now.size() >= 2) {
      FUZZ_CHECK(got == ErrorKind::MultipleWrappers);
    } else {
      FUZZ_CHECK(got == ErrorKind::ExclusionMalformed);
    }
    if (!prefix.empty()) {
      const auto cps = testing::code_points(prefix);
      const auto& c = cps[in.byte() % cps.size()];
      std::string removed = text;
      removed.erase(c.offset, c.width);
      const auto left = testing::ref_locate_all(removed);
      const auto res = verify(removed, *computed, chunk);
      FUZZ_CHECK(res.has_value());
      FUZZ_CHECK(res == fuzz::ref_verify(removed, *computed));
      if (left.size() == 1) FUZZ_CHECK(res == ErrorKind::ExclusionMalformed);
    }
  }

  // Any character outside the wrapper replaced by any token: the reference
  // decides, and success only where the hashed bytes stayed equal.
  if (!chars.empty()) {
    const auto& c = chars[in.byte() % chars.size()];
    std::string edited = text;
    std::string token;
    fuzz::append_token(in, token);
    edited.replace(c.offset, c.width, token);
    const auto got = verify(edited, *computed, chunk);
    FUZZ_CHECK(got == fuzz::ref_verify(edited, *computed));
  }

  // A binding made up from the input, the wrapper's range somewhere in it.
  {
    DataHash made;
    made.alg = kNames[in.byte() % std::size(kNames)];
    const std::size_t count = in.byte() % 5;
    for (std::size_t i = 0; i < count; ++i) {
      made.exclusions.push_back(
          {fuzz::offset_from(in, text.size()), fuzz::offset_from(in, text.size())});
    }
    if (in.byte() % 4 != 0) {
      made.exclusions.insert(made.exclusions.begin() + in.byte() % (made.exclusions.size() + 1),
                             range);
    }
    made.hash = in.byte() % 2 == 0 ? computed->hash : in.take(in.byte() % 70);
    FUZZ_CHECK(verify(text, made, chunk) == fuzz::ref_verify(text, made));
  }
  return 0;
}
