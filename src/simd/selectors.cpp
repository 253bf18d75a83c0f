// The selector-run decoder, compiled once per instruction set by Highway's
// foreach_target; the dispatch below it is compiled once.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "simd/selectors.cpp"
#include "simd/selectors.hpp"

#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <quorvane/vs.hpp>

#include "simd/every_target.hpp"

HWY_BEFORE_NAMESPACE();
namespace quorvane::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// A word loaded from memory, as it reads with its first byte lowest.
HWY_INLINE std::uint64_t to_little_endian(std::uint64_t w) noexcept {
  if constexpr (std::endian::native == std::endian::big) return std::byteswap(w);
  return w;
}

// Two selectors of the supplementary block side by side in a little-endian
// word, each F3 A0 84..87 80..BF: the pattern and the bits it fixes.
constexpr std::uint64_t kPairMask = 0xC0FCFFFF'C0FCFFFFu;
constexpr std::uint64_t kPairBits = 0x8084A0F3'8084A0F3u;

// The two selectors of a word that matches the pattern, as v + 0x10 in
// bits 0..8 and 32..40, where v is the low two bits of a selector's third
// byte and the low six of its fourth. A v past 0xEF (U+E01F0..U+E01FF) is
// no selector: the sum then carries into bit 8 of its lane.
constexpr std::uint64_t pair_values(std::uint64_t w) noexcept {
  return (((w >> 24) & 0x0000003F'0000003Fu) | ((w >> 10) & 0x000000C0'000000C0u)) +
         0x00000010'00000010u;
}
constexpr std::uint64_t kPairCarry = 0x00000100'00000100u;

// The two bytes of pair_values in bits 0..15.
constexpr std::uint32_t pair_bytes(std::uint64_t values) noexcept {
  return static_cast<std::uint32_t>((values | (values >> 24)) & 0xFFFFu);
}

// Decodes the four selectors of the supplementary block that make up the
// 16 bytes at `p` into out[0..4); false, with nothing written, when the
// 16 bytes are anything else. One branch for the four: payloads are mostly
// such runs.
HWY_INLINE bool decode_four(const unsigned char* p, std::uint8_t* out) noexcept {
  std::uint64_t lo, hi;
  std::memcpy(&lo, p, 8);
  std::memcpy(&hi, p + 8, 8);
  lo = to_little_endian(lo);
  hi = to_little_endian(hi);
  const std::uint64_t vlo = pair_values(lo);
  const std::uint64_t vhi = pair_values(hi);
  if ((((lo & kPairMask) ^ kPairBits) | ((hi & kPairMask) ^ kPairBits) |
       ((vlo | vhi) & kPairCarry)) != 0) {
    return false;
  }
  const std::uint32_t four = pair_bytes(vlo) | (pair_bytes(vhi) << 16);
  out[0] = static_cast<std::uint8_t>(four);
  out[1] = static_cast<std::uint8_t>(four >> 8);
  out[2] = static_cast<std::uint8_t>(four >> 16);
  out[3] = static_cast<std::uint8_t>(four >> 24);
  return true;
}

// Decodes whole vectors of selectors of the supplementary block from
// p[0..n) while every lane of one holds such a selector (each 32-bit lane
// one selector, as decode_four reads them), into out[0..); returns how many
// were decoded. `out` has room for n / 4 bytes.
// On the scalar target, and on a big-endian machine, it decodes none: the
// word-at-a-time loop behind it does all the work.
HWY_INLINE std::size_t DecodeWideVectors(const unsigned char* p, std::size_t n, std::uint8_t* out) {
#if HWY_TARGET == HWY_SCALAR
  (void)p, (void)n, (void)out;
  return 0;
#else
  if constexpr (std::endian::native != std::endian::little) return 0;
  const hn::ScalableTag<std::uint32_t> d;
  const hn::Repartition<std::uint8_t, decltype(d)> d8;
  const hn::Rebind<std::uint8_t, decltype(d)> dn;
  const hn::RebindToSigned<decltype(d)> di;
  const std::size_t lanes = hn::Lanes(d);
  const auto mask = hn::Set(d, 0xC0FCFFFFu), bits = hn::Set(d, 0x8084A0F3u);
  const auto low = hn::Set(d, 0x3Fu), high = hn::Set(d, 0xC0u);
  const auto limit = hn::Set(d, 0xF0u), offset = hn::Set(d, 0x10u);
  std::size_t count = 0;
  while (n - 4 * count >= 4 * lanes) {
    const auto w = hn::BitCast(d, hn::LoadU(d8, p + 4 * count));
    const auto v =
        hn::Or(hn::And(hn::ShiftRight<24>(w), low), hn::And(hn::ShiftRight<10>(w), high));
    if (!hn::AllTrue(d, hn::And(hn::Eq(hn::And(w, mask), bits), hn::Lt(v, limit)))) break;
    hn::StoreU(hn::DemoteTo(dn, hn::BitCast(di, hn::Add(v, offset))), dn, out + count);
    count += lanes;
  }
  return count;
#endif
}

// Decodes the run at p[0..n), handing the bytes to `flush(batch, count)` a
// batch at a time, in order; returns the bytes of text that the run takes.
template <class Flush>
HWY_INLINE std::size_t DecodeRun(const unsigned char* p, std::size_t n, Flush&& flush) {
  std::size_t i = 0;
  std::uint8_t batch[256];
  std::size_t filled = 0;
  std::uint8_t byte = 0;
  for (;;) {
    // Runs of selectors of the supplementary block (bytes 0x10 to 0xFF, the
    // most of any payload): four, and behind them a vector at a time. The
    // lead bytes of the first and the fourth are tested first, so that a
    // header's narrow selectors and short runs cost little more than their
    // own decoding.
    if (n - i >= 16 && filled <= sizeof batch - 4 && p[i] == 0xF3 && p[i + 12] == 0xF3 &&
        decode_four(p + i, batch + filled)) {
      filled += 4;
      i += 16;
      const std::size_t room = sizeof batch - filled;
      const std::size_t wide = DecodeWideVectors(p + i, std::min(n - i, 4 * room), batch + filled);
      filled += wide;
      i += 4 * wide;
      continue;
    }
    // One selector of any kind, or the end of the run.
    const std::size_t w = filled < sizeof batch ? decode_selector(p + i, n - i, &byte) : 0;
    if (w != 0) {
      batch[filled++] = byte;
      i += w;
      continue;
    }
    if (filled < sizeof batch) break;
    flush(batch, filled);
    filled = 0;
  }
  flush(batch, filled);
  return i;
}

std::size_t DecodeRunInto(const char* data, std::size_t n, std::vector<std::uint8_t>& out) {
  // The vector grows a batch at a time instead of byte by byte.
  return DecodeRun(reinterpret_cast<const unsigned char*>(data), n,
                   [&](const std::uint8_t* batch, std::size_t count) {
                     out.insert(out.end(), batch, batch + count);
                   });
}

RunHead DecodeRunHead(const char* data, std::size_t n, std::uint8_t* head, std::size_t size) {
  RunHead out;
  out.consumed = DecodeRun(reinterpret_cast<const unsigned char*>(data), n,
                           [&](const std::uint8_t* batch, std::size_t count) {
                             if (out.count < size) {
                               const std::size_t kept = std::min(count, size - out.count);
                               std::memcpy(head + out.count, batch, kept);
                             }
                             out.count += count;
                           });
  return out;
}

}  // namespace HWY_NAMESPACE
}  // namespace quorvane::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace quorvane::simd {

HWY_EXPORT(DecodeRunInto);
HWY_EXPORT(DecodeRunHead);

}  // namespace quorvane::simd

namespace quorvane::vs {

std::size_t decode_run_into(std::string_view text, std::vector<std::uint8_t>& out) {
  return HWY_DYNAMIC_DISPATCH(simd::DecodeRunInto)(text.data(), text.size(), out);
}

RunHead decode_run_head(std::string_view text, std::span<std::uint8_t> head) {
  return HWY_DYNAMIC_DISPATCH(simd::DecodeRunHead)(text.data(), text.size(), head.data(),
                                                   head.size());
}

}  // namespace quorvane::vs

namespace quorvane::simd {

std::vector<SelectorTargetRun> decode_run_every_target(std::string_view text) {
  return on_every_target([&] {
    SelectorTargetRun out;
    out.run = vs::decode_run(text);
    std::uint8_t head[13];
    out.head = vs::decode_run_head(text, head);
    out.head_bytes.assign(head, head + std::min(out.head.count, sizeof head));
    return out;
  });
}

}  // namespace quorvane::simd
#endif  // HWY_ONCE
