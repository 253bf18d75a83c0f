// Byte scans of the NFC pass, vectorised with Google Highway for the best
// instruction set of the CPU, chosen at run time. Internal to
// quorvane_provided and its tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvane::hardbinding::provided {

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

}  // namespace quorvane::hardbinding::provided
