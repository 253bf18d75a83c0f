#include <quorvane/vs.hpp>

namespace quorvane::vs {

void append_selector(std::string& out, std::uint8_t byte) {
  char buf[4];
  const char* end = write_selector(buf, byte);
  out.append(buf, static_cast<std::size_t>(end - buf));
}

// decode_run_into and decode_run_head are the vector decoder of
// simd/selectors.cpp.

DecodedRun decode_run(std::string_view text) {
  DecodedRun run;
  run.consumed = decode_run_into(text, run.bytes);
  return run;
}

}  // namespace quorvane::vs
