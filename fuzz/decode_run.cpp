// vs::decode_run on arbitrary valid UTF-8: the decoded bytes, written back as
// selectors, are exactly the consumed text, and the run stops in front of
// the first character that is not a selector.
#include <quorvane/vs.hpp>

#include "fuzz_support.hpp"

using namespace quorvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::string built = fuzz::text_from(in);
  const fuzz::HeapCopy copy(built);
  const std::string_view text = copy.view();

  const vs::DecodedRun run = vs::decode_run(text);
  FUZZ_CHECK(run.consumed <= text.size());
  FUZZ_CHECK(wrapper::is_char_boundary(text, run.consumed));

  std::string again;
  for (const std::uint8_t b : run.bytes) vs::append_selector(again, b);
  FUZZ_CHECK(again == text.substr(0, run.consumed));

  const auto [ref_bytes, ref_consumed] = testing::ref_decode_run(text);
  FUZZ_CHECK(run.bytes == ref_bytes);
  FUZZ_CHECK(run.consumed == ref_consumed);

  if (run.consumed < text.size()) {
    const auto cps = testing::code_points(text.substr(run.consumed));
    FUZZ_CHECK(!testing::selector_byte(cps.front().cp).has_value());
  }

  // Appending to a buffer that already holds bytes keeps them.
  std::vector<std::uint8_t> into = {0xAB, 0xCD};
  FUZZ_CHECK(vs::decode_run_into(text, into) == run.consumed);
  FUZZ_CHECK(into.size() == run.bytes.size() + 2 && into[0] == 0xAB && into[1] == 0xCD);
  FUZZ_CHECK(std::equal(run.bytes.begin(), run.bytes.end(), into.begin() + 2));

  // Each selector width and code point agree with the reference alphabet.
  for (const std::uint8_t b : run.bytes) {
    FUZZ_CHECK(vs::encode_byte(b) == testing::selector_of(b));
    FUZZ_CHECK(vs::selector_width(b) == testing::utf8(testing::selector_of(b)).size());
  }
  return 0;
}
