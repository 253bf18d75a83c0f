// The fast NFC path against ICU on its own: for any limit on the stretches
// handed to ICU, and for the text cut into pieces at any character edges and
// streamed, the result must equal ICU's NFC of the whole text in one call.
// Texts may be repeated into long runs of (decomposing) combining marks,
// which the fast path puts in order before ICU sees them.
#include <algorithm>

#include "fuzz_support.hpp"

using namespace quorvane;
using hardbinding::provided::nfc_normalize;

namespace {

class StringSink final : public hardbinding::ByteSink {
 public:
  void write(std::span<const std::uint8_t> bytes) override {
    out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  std::string out;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::size_t piece = in.byte() % 64 + 1;
  const std::uint8_t shape = in.byte();
  std::string built = fuzz::text_from(in);
  if ((shape & 1) != 0 && !built.empty()) {
    std::string repeated;
    while (repeated.size() < 64u + 8u * (shape >> 1)) repeated += built;
    built = std::move(repeated);
  }
  const fuzz::HeapCopy copy(built);
  const std::string_view text = copy.view();

  const std::string whole = fuzz::ref_nfc(text);
  FUZZ_CHECK(nfc_normalize(text) == whole);
  FUZZ_CHECK(nfc_normalize(text, piece) == whole);
  FUZZ_CHECK(nfc_normalize(text, piece, true) == whole);
  const hardbinding::provided::UnicodeNfc nfc;
  FUZZ_CHECK(nfc.is_normalized(text) == (whole == text));
  FUZZ_CHECK(nfc.normalize_owned(std::string(text)) == whole);

  // Cut at up to three character edges chosen by the input and streamed.
  const auto chars = testing::code_points(text);
  std::vector<std::size_t> cuts;
  for (int k = 0; k < 3 && !chars.empty(); ++k) {
    cuts.push_back(chars[in.u16() % chars.size()].offset);
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  std::vector<std::string_view> pieces;
  std::size_t from = 0;
  for (const std::size_t cut : cuts) {
    if (cut > from) pieces.push_back(text.substr(from, cut - from));
    from = cut;
  }
  if (from < text.size()) pieces.push_back(text.substr(from));
  StringSink sink;
  hardbinding::provided::nfc_normalize_to(pieces, sink, piece);
  FUZZ_CHECK(sink.out == whole);
  StringSink with_code_points;
  hardbinding::provided::nfc_normalize_to(pieces, with_code_points, piece, true);
  FUZZ_CHECK(with_code_points.out == whole);
  return 0;
}
