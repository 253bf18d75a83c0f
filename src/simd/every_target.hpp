// For the tests of the vector code: a dispatched call made once under each
// instruction set that Highway compiled in and this CPU has, with a record
// of the instruction sets each call ran under, so the tests can say which
// kernels they exercised on this CPU and which they could not.
#pragma once

#include <hwy/targets.h>

#include <cstdint>
#include <mutex>
#include <vector>

namespace quorvane::simd {

// The calls of on_every_target made from the kernels of one file, which
// all have the same compiled targets (HWY_TARGETS is that file's).
struct TargetsRun {
  std::int64_t compiled = 0;    // the targets Highway compiled in that file
  std::int64_t every_call = 0;  // the targets each of the calls ran under
  std::int64_t any_call = 0;    // the targets at least one of them ran under
  std::size_t calls = 0;
};

namespace detail {
struct TargetsRecord {
  std::mutex lock;
  std::vector<TargetsRun> runs;
};
inline TargetsRecord& targets_record() {
  static TargetsRecord record;
  return record;
}
}  // namespace detail

// The calls recorded since the last take, one entry per compiled set;
// taking clears the record.
inline std::vector<TargetsRun> take_targets_run() {
  detail::TargetsRecord& r = detail::targets_record();
  const std::lock_guard guard(r.lock);
  std::vector<TargetsRun> out;
  out.swap(r.runs);
  return out;
}

// The results of `run()`, one per target. `run` must dispatch afresh
// (HWY_DYNAMIC_DISPATCH) on each call, so that it takes the target in force.
// What dispatch took is recorded: the best target left in SupportedTargets()
// among those compiled here, after the mock narrowed it to one.
template <class Run>
auto on_every_target(Run&& run) {
  std::vector<decltype(run())> out;
  std::int64_t ran = 0;
  for (const int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    const std::int64_t in_force = hwy::SupportedTargets() & HWY_TARGETS;
    ran |= in_force & -in_force;
    out.push_back(run());
  }
  hwy::SetSupportedTargetsForTest(0);

  detail::TargetsRecord& r = detail::targets_record();
  const std::lock_guard guard(r.lock);
  TargetsRun* entry = nullptr;
  for (TargetsRun& e : r.runs) {
    if (e.compiled == HWY_TARGETS) entry = &e;
  }
  if (entry == nullptr) {
    entry = &r.runs.emplace_back();
    entry->compiled = HWY_TARGETS;
    entry->every_call = ran;
  }
  entry->every_call &= ran;
  entry->any_call |= ran;
  ++entry->calls;
  return out;
}

}  // namespace quorvane::simd
