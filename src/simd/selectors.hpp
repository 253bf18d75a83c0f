// The selector-run decoder behind vs::decode_run_into and
// vs::decode_run_head (simd/selectors.cpp), vectorised with Google Highway
// for the best instruction set of the CPU, chosen at run time. For the
// tests: the decoder under each instruction set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <quorvane/vs.hpp>
#include <span>
#include <string_view>
#include <vector>

namespace quorvane::simd {

using vs::decode_selector;
using vs::DecodedRun;
using vs::RunHead;

// What both decoders make of one text under one instruction set.
struct SelectorTargetRun {
  DecodedRun run;                        // vs::decode_run(text)
  RunHead head;                          // vs::decode_run_head(text, a 13-byte head)
  std::vector<std::uint8_t> head_bytes;  // the bytes it kept
};

// Both decoders under each instruction set that they were compiled for and
// this CPU has, the scalar one among them: one result per set.
std::vector<SelectorTargetRun> decode_run_every_target(std::string_view text);

}  // namespace quorvane::simd
