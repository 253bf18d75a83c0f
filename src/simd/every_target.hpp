// For the tests of the vector code: a dispatched call made once under each
// instruction set that Highway compiled in and this CPU has.
#pragma once

#include <hwy/targets.h>

#include <cstdint>
#include <vector>

namespace quorvane::simd {

// The results of `run()`, one per target. `run` must dispatch afresh
// (HWY_DYNAMIC_DISPATCH) on each call, so that it takes the target in force.
template <class Run>
auto on_every_target(Run&& run) {
  std::vector<decltype(run())> out;
  for (const int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    out.push_back(run());
  }
  hwy::SetSupportedTargetsForTest(0);
  return out;
}

}  // namespace quorvane::simd
