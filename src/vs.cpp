#include <bit>
#include <cstring>
#include <quorvane/vs.hpp>

namespace quorvane::vs {
namespace {

// A word loaded from memory, as it reads with its first byte lowest.
std::uint64_t to_little_endian(std::uint64_t w) noexcept {
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
bool decode_four(const unsigned char* p, std::uint8_t* out) noexcept {
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

}  // namespace

void append_selector(std::string& out, std::uint8_t byte) {
  char buf[4];
  const char* end = write_selector(buf, byte);
  out.append(buf, static_cast<std::size_t>(end - buf));
}

std::size_t decode_run_into(std::string_view text, std::vector<std::uint8_t>& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  // Decoded bytes go through a small local batch, so the vector grows a
  // batch at a time instead of byte by byte.
  std::uint8_t batch[256];
  std::size_t filled = 0;
  std::uint8_t byte = 0;
  for (;;) {
    // Runs of selectors of the supplementary block (bytes 0x10 to 0xFF, the
    // most of any payload), four at a time.
    while (n - i >= 16 && filled <= sizeof batch - 4) {
      if (!decode_four(p + i, batch + filled)) break;
      filled += 4;
      i += 16;
    }
    // One selector of any kind, or the end of the run.
    const std::size_t w = filled < sizeof batch ? decode_selector(p + i, n - i, &byte) : 0;
    if (w != 0) {
      batch[filled++] = byte;
      i += w;
      continue;
    }
    if (filled < sizeof batch) break;
    out.insert(out.end(), batch, batch + filled);
    filled = 0;
  }
  out.insert(out.end(), batch, batch + filled);
  return i;
}

DecodedRun decode_run(std::string_view text) {
  DecodedRun run;
  run.consumed = decode_run_into(text, run.bytes);
  return run;
}

}  // namespace quorvane::vs
