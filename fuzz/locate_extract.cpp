// wrapper::locate_all and wrapper::extract on arbitrary valid UTF-8: both
// agree with a code-point-at-a-time reference reader and with each other,
// and every range is well formed. The candidate search they are built on
// agrees with the reference candidate by candidate, each defect with a slow
// classification written from the rules, and the orphaned runs with a
// code-point walk.
#include "fuzz_support.hpp"

using namespace quorvane;
using fuzz::ByteVec;

namespace {

std::uint64_t stated_length(const ByteVec& d) {
  return (std::uint64_t{d[9]} << 24) | (std::uint64_t{d[10]} << 16) | (std::uint64_t{d[11]} << 8) |
         d[12];
}

wrapper::Defect ref_defect(const ByteVec& d) {
  using wrapper::Defect;
  if (d.empty()) return Defect::NoRun;
  if (d.size() < 13) return Defect::ShortHeader;
  if (!testing::ref_has_magic(d)) return Defect::WrongMagic;
  if (d[8] != 1) return Defect::WrongVersion;
  if (d.size() - 13 < stated_length(d)) return Defect::LengthOverrun;
  return Defect::None;
}

// Starts of the maximal selector runs that begin with the magic and have
// no U+FEFF in front of them.
std::vector<std::size_t> ref_orphans(std::string_view text) {
  const auto cps = testing::code_points(text);
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < cps.size(); ++i) {
    if (!testing::selector_byte(cps[i].cp)) continue;
    if (i > 0 && (cps[i - 1].cp == 0xFEFF || testing::selector_byte(cps[i - 1].cp))) continue;
    ByteVec d;
    for (std::size_t k = i; k < cps.size() && d.size() < 8; ++k) {
      const auto b = testing::selector_byte(cps[k].cp);
      if (!b) break;
      d.push_back(*b);
    }
    if (testing::ref_has_magic(d)) out.push_back(cps[i].offset);
  }
  return out;
}

void check_candidates(std::string_view text) {
  const auto ref = testing::ref_candidates(text);
  wrapper::CandidateScanner scanner(text);
  std::size_t i = 0;
  while (const auto c = scanner.next()) {
    FUZZ_CHECK(i < ref.size());
    const testing::Candidate& r = ref[i++];
    FUZZ_CHECK(c->start == r.start && c->length == r.length);
    FUZZ_CHECK(std::ranges::equal(scanner.decoded(), r.decoded));
    FUZZ_CHECK(c->decoded == r.decoded.size());
    FUZZ_CHECK(c->magic == testing::ref_has_magic(r.decoded));
    FUZZ_CHECK(c->defect == ref_defect(r.decoded));
    if (c->defect != wrapper::Defect::None) continue;
    // Canonical padding means the run is exactly what an encoder writes.
    const auto payload = scanner.payload();
    const std::string_view actual = text.substr(c->start, c->length);
    const auto plain = wrapper::encode(payload);
    const auto padded = wrapper::encode_padded(payload);
    FUZZ_CHECK(wrapper::has_canonical_padding(*c, scanner.decoded()) ==
               ((plain && actual == *plain) || (padded && actual == *padded)));
  }
  FUZZ_CHECK(i == ref.size());

  // With orphans: the same markers, plus the orphaned runs in text order.
  const auto orphans = ref_orphans(text);
  wrapper::CandidateScanner all(text, /*orphans=*/true);
  std::size_t markers = 0, seen_orphans = 0;
  std::uint64_t previous = 0;
  bool first = true;
  while (const auto c = all.next()) {
    FUZZ_CHECK(first || c->start > previous);
    first = false;
    previous = c->start;
    if (c->defect == wrapper::Defect::MarkerMissing) {
      FUZZ_CHECK(seen_orphans < orphans.size() && orphans[seen_orphans++] == c->start);
      FUZZ_CHECK(c->magic);
      FUZZ_CHECK(testing::ref_decode_run(text.substr(c->start)).second == c->length);
    } else {
      FUZZ_CHECK(markers < ref.size() && ref[markers++].start == c->start);
    }
  }
  FUZZ_CHECK(markers == ref.size() && seen_orphans == orphans.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::string built = fuzz::text_from(in);
  const fuzz::HeapCopy copy(built);
  const std::string_view text = copy.view();

  const std::vector<wrapper::Wrapper> found = wrapper::locate_all(text);
  FUZZ_CHECK(found == testing::ref_locate_all(text));
  FUZZ_CHECK(found == wrapper::locate_all(text));  // deterministic

  std::uint64_t previous_end = 0;
  for (const wrapper::Wrapper& w : found) {
    FUZZ_CHECK(w.start >= previous_end);  // ascending, never overlapping
    FUZZ_CHECK(w.length >= 49);
    FUZZ_CHECK(w.start + w.length <= text.size());
    FUZZ_CHECK(wrapper::is_char_boundary(text, w.start));
    FUZZ_CHECK(wrapper::is_char_boundary(text, w.start + w.length));
    FUZZ_CHECK(text.substr(w.start, 3) == wrapper::MARKER);
    FUZZ_CHECK(w.version == 1);
    // The range covers the whole run: what follows is not a selector.
    const std::string_view rest = text.substr(w.start + w.length);
    if (!rest.empty()) {
      FUZZ_CHECK(!testing::selector_byte(testing::code_points(rest).front().cp).has_value());
    }
    // The header states the payload's length.
    const auto run = testing::ref_decode_run(text.substr(w.start + 3, w.length - 3));
    FUZZ_CHECK(run.second == w.length - 3);
    const ByteVec& d = run.first;
    const std::uint64_t stated = (std::uint64_t{d[9]} << 24) | (std::uint64_t{d[10]} << 16) |
                                 (std::uint64_t{d[11]} << 8) | d[12];
    FUZZ_CHECK(stated == w.payload.size());
    FUZZ_CHECK(std::equal(w.payload.begin(), w.payload.end(), d.begin() + 13));
    // Every reported range can be stripped.
    FUZZ_CHECK(wrapper::strip(text, w.start, w.start + w.length).has_value());
    previous_end = w.start + w.length;
  }

  check_candidates(text);

  const Result<wrapper::Wrapper> one = wrapper::extract(text);
  const Result<wrapper::Range> range = wrapper::extract_range(text);
  FUZZ_CHECK(one.has_value() == range.has_value());
  if (one) {
    FUZZ_CHECK(range->start == one->start && range->length == one->length);
  } else {
    FUZZ_CHECK(range.error() == one.error());
  }
  if (found.size() == 1) {
    FUZZ_CHECK(one.has_value());
    FUZZ_CHECK(*one == found[0]);
  } else {
    FUZZ_CHECK(!one.has_value());
    if (found.size() >= 2) {
      FUZZ_CHECK(one.error().kind() == ErrorKind::MultipleWrappers);
    } else {
      FUZZ_CHECK(one.error().kind() == *testing::ref_extract_error(text));
      FUZZ_CHECK(one.error().kind() == ErrorKind::NotFound ||
                 one.error().kind() == ErrorKind::CorruptedWrapper);
    }
  }
  return 0;
}
