// The selector-run decoder, vectorised with Google Highway for the best
// instruction set of the CPU, chosen at run time: the kernels behind
// vs::decode_run_into and vs::decode_run_head. Internal to quorvane_core
// and its tests.
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

// As vs::decode_run_into and vs::decode_run_head.
std::size_t decode_run_into(std::string_view text, std::vector<std::uint8_t>& out);
RunHead decode_run_head(std::string_view text, std::span<std::uint8_t> head);

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
