#include <bit>
#include <cstring>
#include <quorvane/vs.hpp>

namespace quorvane::vs {
namespace {

// A word loaded from memory, as it reads with its first byte lowest.
std::uint32_t to_little_endian(std::uint32_t w) noexcept {
  if constexpr (std::endian::native == std::endian::big) return std::byteswap(w);
  return w;
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
    // most of any payload): one 32-bit compare each, F3 A0 84..87 80..BF.
    while (n - i >= 4 && filled < sizeof batch) {
      std::uint32_t word;
      std::memcpy(&word, p + i, 4);
      word = to_little_endian(word);
      if ((word & 0xC0FCFFFFu) != 0x8084A0F3u) break;
      const unsigned v = (((word >> 16) & 0x03u) << 6) | ((word >> 24) & 0x3Fu);
      if (v > 0xEF) break;
      batch[filled++] = static_cast<std::uint8_t>(v + 0x10);
      i += 4;
    }
    if (filled == sizeof batch) {
      out.insert(out.end(), batch, batch + filled);
      filled = 0;
      continue;
    }
    const std::size_t w = decode_selector(p + i, n - i, &byte);
    if (w == 0) break;
    batch[filled++] = byte;
    i += w;
    if (filled == sizeof batch) {
      out.insert(out.end(), batch, batch + filled);
      filled = 0;
    }
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
