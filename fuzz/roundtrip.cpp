// encode -> embed -> extract -> strip for arbitrary payloads and host texts,
// the padded-length law 4n + 61, arbitrary padding behind the payload, the
// padding rule for every gap, and target_length at the edge of 64 bits.
#include <quorvane/vs.hpp>

#include "fuzz_support.hpp"

using namespace quorvane;
using fuzz::ByteVec;

namespace {

// U(n) = 49 + 4n + m - z (see the wrapper header).
std::uint64_t unpadded_length(const ByteVec& payload) {
  const auto n = static_cast<std::uint32_t>(payload.size());
  std::uint64_t m = 0, z = 0;
  for (int shift = 24; shift >= 0; shift -= 8) m += static_cast<std::uint8_t>(n >> shift) >= 0x10;
  for (const std::uint8_t b : payload) z += b < 0x10;
  return 49 + 4 * std::uint64_t{payload.size()} + m - z;
}

// The wrapper that `locate_all(text)` must list at `start`.
void expect_wrapper_at(std::string_view text, std::uint64_t start, std::uint64_t length,
                       const ByteVec& payload) {
  const auto found = wrapper::locate_all(text);
  const auto it = std::find_if(found.begin(), found.end(),
                               [&](const wrapper::Wrapper& w) { return w.start == start; });
  FUZZ_CHECK(it != found.end());
  FUZZ_CHECK(it->length == length);
  FUZZ_CHECK(it->payload == payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::uint8_t shape = in.byte();
  const std::string host_built = fuzz::text_from(in, shape % 16);
  const ByteVec payload_built = in.take(in.u16() % 1024);
  const ByteVec padding_built = in.take(in.byte() % 24);
  const std::string tail_built = fuzz::text_from(in, 4);
  const std::uint64_t big = in.u64();

  const fuzz::HeapCopy host_copy(host_built);
  const std::string_view host = host_copy.view();
  const ByteVec payload = payload_built;  // exactly sized by take()
  const wrapper::Bytes p(payload.data(), payload.size());

  // Unpadded: marker, header, payload; U(n) bytes.
  const Result<std::string> enc = wrapper::encode(p);
  FUZZ_CHECK(enc.has_value());
  FUZZ_CHECK(enc->size() == unpadded_length(payload));
  FUZZ_CHECK(enc->substr(0, 3) == wrapper::MARKER);
  const ByteVec expected_run =
      testing::cat(testing::header(static_cast<std::uint32_t>(payload.size())), payload);
  {
    const fuzz::HeapCopy e(*enc);
    const vs::DecodedRun run = vs::decode_run(e.view().substr(3));
    FUZZ_CHECK(run.bytes == expected_run);
    FUZZ_CHECK(run.consumed == enc->size() - 3);
  }

  // Padded: exactly 4n + 61 bytes, begins with the unpadded wrapper, the same
  // bytes every time, and reads back as the same payload.
  const Result<std::string> padded = wrapper::encode_padded(p);
  FUZZ_CHECK(padded.has_value());
  FUZZ_CHECK(padded->size() == 4 * payload.size() + 61);
  FUZZ_CHECK(wrapper::target_length(payload.size()) == padded->size());
  FUZZ_CHECK(padded->starts_with(*enc));
  FUZZ_CHECK(*padded == *wrapper::encode_padded(p));
  {
    const fuzz::HeapCopy pc(*padded);
    const Result<wrapper::Wrapper> back = wrapper::extract(pc.view());
    FUZZ_CHECK(back.has_value() && back->payload == payload && back->start == 0 &&
               back->length == padded->size());
  }

  // Arbitrary padding behind the payload is part of the run, not the payload.
  {
    const Result<std::string> any =
        wrapper::encode_with_padding(p, wrapper::Bytes(padding_built.data(), padding_built.size()));
    FUZZ_CHECK(any.has_value());
    const fuzz::HeapCopy ac(*any);
    const vs::DecodedRun run = vs::decode_run(ac.view().substr(3));
    FUZZ_CHECK(run.bytes == testing::cat(expected_run, padding_built));
    const Result<wrapper::Wrapper> back = wrapper::extract(ac.view());
    FUZZ_CHECK(back.has_value() && back->payload == payload && back->length == any->size());
  }

  // Embedding appends the unpadded wrapper; the host's own wrappers stay as
  // they were and the new one is listed last.
  const Result<std::string> embedded = wrapper::embed(host, p);
  FUZZ_CHECK(embedded.has_value());
  FUZZ_CHECK(*embedded == std::string(host) + *enc);
  {
    const fuzz::HeapCopy ec(*embedded);
    const std::string_view t = ec.view();
    std::vector<wrapper::Wrapper> expected = wrapper::locate_all(host);
    wrapper::Wrapper w;
    w.payload = payload;
    w.start = host.size();
    w.length = enc->size();
    expected.push_back(w);
    FUZZ_CHECK(wrapper::locate_all(t) == expected);

    const Result<wrapper::Wrapper> one = wrapper::extract(t);
    if (expected.size() == 1) {
      FUZZ_CHECK(one.has_value() && *one == w);
      const Result<std::string> stripped = wrapper::strip(t, one->start, one->start + one->length);
      FUZZ_CHECK(stripped.has_value() && *stripped == host);
    } else {
      FUZZ_CHECK(!one.has_value() && one.error().kind() == ErrorKind::MultipleWrappers);
    }
  }

  // Selectors right behind a wrapper are absorbed into its range.
  {
    const std::string joined = std::string(host) + *padded + tail_built;
    const fuzz::HeapCopy jc(joined);
    const auto absorbed = testing::ref_decode_run(tail_built).second;
    expect_wrapper_at(jc.view(), host.size(), padded->size() + absorbed, payload);
  }

  // The padding rule for an arbitrary gap.
  {
    const std::uint64_t gap = big % 4096;
    const auto pad = wrapper::padding_for_gap(gap);
    if (gap == 1 || gap == 2 || gap == 5) {
      FUZZ_CHECK(!pad.has_value() && pad.error().kind() == ErrorKind::PaddingGap &&
                 pad.error().size() == gap);
    } else {
      FUZZ_CHECK(pad.has_value());
      std::uint64_t width = 0, fours = 0;
      bool zeros_first = true, seen_ten = false;
      for (const std::uint8_t b : *pad) {
        FUZZ_CHECK(b == 0x00 || b == 0x10);
        width += vs::selector_width(b);
        fours += b == 0x10;
        if (b == 0x10) seen_ten = true;
        if (b == 0x00 && seen_ten) zeros_first = false;
      }
      FUZZ_CHECK(width == gap && zeros_first && fours == gap % 3);
    }
  }

  // target_length never wraps around.
  {
    const auto t = wrapper::target_length(big);
    const fuzz::Wide exact = static_cast<fuzz::Wide>(big) * 4 + 61;
    if (exact > UINT64_MAX) {
      FUZZ_CHECK(!t.has_value());
    } else {
      FUZZ_CHECK(t.has_value() && *t == static_cast<std::uint64_t>(exact));
    }
  }
  return 0;
}
