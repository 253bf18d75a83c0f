// wrapper::locate_all and wrapper::extract on arbitrary valid UTF-8: both
// agree with a code-point-at-a-time reference reader and with each other,
// and every range is well formed. The candidate search they are built on
// agrees with the reference candidate by candidate, each defect with a slow
// classification written from the rules, and the orphaned runs with a
// code-point walk.
#include "fuzz_support.hpp"

using namespace quorvane;
using fuzz::ByteVec;

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

  const auto mismatch = testing::candidate_mismatch(text);
  FUZZ_CHECK(!mismatch);

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
