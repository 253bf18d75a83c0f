// For the tests of the selector decoder's vector code. Internal to
// quorvane_core and its tests in this repository.
#pragma once

#include <quorvane/vs.hpp>
#include <string_view>
#include <vector>

namespace quorvane::vs {

// decode_run(text) under each instruction set that the decoder was compiled
// for and this CPU has, the portable emulated one among them: one result
// per set.
std::vector<DecodedRun> decode_run_every_target(std::string_view text);

}  // namespace quorvane::vs
