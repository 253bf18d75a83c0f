// The scans of the NFC pass, vectorised with Google Highway for the best
// instruction set of the CPU, chosen at run time. Internal to this
// repository: the provided normaliser and the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quorvane::simd {

// Index of the first byte of p[0..n) that is at least `limit`, or n.
std::size_t first_at_least(const std::uint8_t* p, std::size_t n, std::uint8_t limit) noexcept;

// The same by a plain loop: what a CPU without vector instructions runs,
// and the reference the vector code is tested against.
std::size_t first_at_least_scalar(const std::uint8_t* p, std::size_t n,
                                  std::uint8_t limit) noexcept;

// first_at_least run under each instruction set that is compiled in and
// that this CPU has, one result each (for the tests).
std::vector<std::size_t> first_at_least_every_target(const std::uint8_t* p, std::size_t n,
                                                     std::uint8_t limit);

// What pass_plain_blocks passed over.
struct PlainBlocks {
  std::size_t code_points = 0;
  std::size_t units = 0;  // UTF-16 units written for them
  std::size_t bytes = 0;  // their UTF-8 length
};

// The NFC pass's reading of a pending stretch, for as long as nothing
// happens in it, on the code points `in`: read character by character
// from the state `tail` (UTF-8 bytes of trivial characters since the last
// non-trivial one) and `run` (non-starters in a row), it stops before the
// first trivial character that finds tail at `tail_limit` or more, the
// first non-starter that would take run past `run_limit`, and the first
// character that would take the bytes passed over past `budget`. The code
// points passed over go to `out` as UTF-16 (room for 2 units each), and
// tail and run are advanced as that reading would. Where a vector of code
// points needs no look at each, it is taken at once. `classes` holds two
// bits for each code point c, bits 2 * (c & 31) and up of word c >> 5: the
// low one set for a trivial character, the high one for a non-starter.
PlainBlocks pass_plain_blocks(std::span<const char32_t> in, char16_t* out,
                              const std::uint64_t* classes, std::size_t budget,
                              std::size_t tail_limit, std::size_t run_limit, std::size_t& tail,
                              std::size_t& run) noexcept;

// pass_plain_blocks run under each instruction set that is compiled in and
// that this CPU has, from the same state (for the tests): what it passed
// over, the UTF-16 it wrote, and tail and run after.
struct PlainBlocksRun {
  PlainBlocks passed;
  std::u16string units;
  std::size_t tail = 0;
  std::size_t run = 0;
};
std::vector<PlainBlocksRun> pass_plain_blocks_every_target(
    std::span<const char32_t> in, const std::uint64_t* classes, std::size_t budget,
    std::size_t tail_limit, std::size_t run_limit, std::size_t tail, std::size_t run);

}  // namespace quorvane::simd
