#include <quorvane/vs.hpp>

namespace quorvane::vs {

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
  while (const std::size_t w = decode_selector(p + i, n - i, &byte)) {
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
