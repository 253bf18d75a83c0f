// provided::nfc_normalize cuts long texts into pieces at normalisation
// boundaries: for any piece size the result must equal the NFC of the whole
// text in one piece, be in NFC itself, and agree with normalize_owned.
#include "fuzz_support.hpp"

using namespace quorvane;
using hardbinding::provided::nfc_normalize;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::size_t piece = in.byte() % 64 + 1;
  const std::string built = fuzz::text_from(in);
  const fuzz::HeapCopy copy(built);
  const std::string_view text = copy.view();

  const std::string whole = nfc_normalize(text);
  FUZZ_CHECK(nfc_normalize(text, piece) == whole);
  FUZZ_CHECK(nfc_normalize(whole) == whole);
  const hardbinding::provided::UnicodeNfc nfc;
  FUZZ_CHECK(nfc.normalize(text) == whole);
  FUZZ_CHECK(nfc.normalize_owned(std::string(text)) == whole);
  return 0;
}
