// wrapper::strip and hardbinding::hashed_bytes against slow references for
// arbitrary ranges and exclusion lists: the same text or the same error.
#include "fuzz_support.hpp"

using namespace quorvane;

namespace {

// Leaves the kept bytes as they are, so the exclusion logic is compared on
// its own; UnicodeNfc is checked on top, against ICU called directly.
struct Identity {
  std::string normalize(std::string_view s) const { return std::string(s); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::string built = fuzz::text_from(in, in.byte() % 32 + 1);
  const fuzz::HeapCopy copy(built);
  const std::string_view text = copy.view();

  // strip over one arbitrary [start, end).
  {
    const std::uint64_t start = fuzz::offset_from(in, text.size());
    const std::uint64_t end = fuzz::offset_from(in, text.size());
    const Result<std::string> got = wrapper::strip(text, start, end);
    const std::optional<std::string> want = fuzz::ref_strip(text, start, end);
    FUZZ_CHECK(got.has_value() == want.has_value());
    if (got) {
      FUZZ_CHECK(*got == *want);
    } else {
      FUZZ_CHECK(got.error().kind() == ErrorKind::ExclusionMalformed);
    }
    for (const std::uint64_t off : {start, end}) {
      FUZZ_CHECK(wrapper::is_char_boundary(text, off) ==
                 (off <= text.size() && fuzz::ref_is_boundary(text, off)));
    }
  }

  // hashed_bytes over an arbitrary list of one to eight exclusions.
  std::vector<hardbinding::Exclusion> exclusions(in.byte() % 8 + 1);
  for (auto& ex : exclusions) {
    ex.start = fuzz::offset_from(in, text.size());
    ex.length = fuzz::offset_from(in, text.size());
    if (in.byte() % 2 == 0 && ex.start <= text.size()) {
      ex.length %= text.size() - ex.start + 1;  // more often inside the text
    }
  }
  const std::span<const hardbinding::Exclusion> list(exclusions);
  const std::optional<std::string> want = fuzz::ref_kept(text, list);

  const Result<std::string> plain = hardbinding::hashed_bytes<Identity>(text, list);
  FUZZ_CHECK(plain.has_value() == want.has_value());
  if (plain) {
    FUZZ_CHECK(*plain == *want);
  } else {
    FUZZ_CHECK(plain.error().kind() == ErrorKind::ExclusionMalformed);
  }

  const Result<std::string> nfc =
      hardbinding::hashed_bytes<hardbinding::provided::UnicodeNfc>(text, list);
  FUZZ_CHECK(nfc.has_value() == want.has_value());
  if (nfc) {
    FUZZ_CHECK(*nfc == fuzz::ref_nfc(*want));
  } else {
    FUZZ_CHECK(nfc.error().kind() == ErrorKind::ExclusionMalformed);
  }
  return 0;
}
