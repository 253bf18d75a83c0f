#include <quorvane/vs.hpp>

#include "simd/selectors.hpp"

namespace quorvane::vs {

void append_selector(std::string& out, std::uint8_t byte) {
  char buf[4];
  const char* end = write_selector(buf, byte);
  out.append(buf, static_cast<std::size_t>(end - buf));
}

std::size_t decode_run_into(std::string_view text, std::vector<std::uint8_t>& out) {
  return simd::decode_run_into(text, out);
}

RunHead decode_run_head(std::string_view text, std::span<std::uint8_t> head) {
  return simd::decode_run_head(text, head);
}

DecodedRun decode_run(std::string_view text) {
  DecodedRun run;
  run.consumed = decode_run_into(text, run.bytes);
  return run;
}

}  // namespace quorvane::vs
