// For the tests of the selector decoder's vector code. Internal to
// quorvane_core and its tests in this repository.
#pragma once

#include <quorvane/vs.hpp>
#include <string_view>
#include <vector>

namespace quorvane::vs {

// What both decoders make of one text under one instruction set.
struct TargetRun {
  DecodedRun run;                        // decode_run(text)
  RunHead head;                          // decode_run_head(text, a 13-byte head)
  std::vector<std::uint8_t> head_bytes;  // the bytes it kept
};

// Both decoders under each instruction set that they were compiled for and
// this CPU has, the scalar one among them: one result per set.
std::vector<TargetRun> decode_run_every_target(std::string_view text);

}  // namespace quorvane::vs
