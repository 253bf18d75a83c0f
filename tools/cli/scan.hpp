// The wording of `quorvane locate`: what the core's candidate search found,
// said in words. The rules of what a candidate is and why it is rejected
// are the core's (wrapper::CandidateScanner).
#pragma once

#include <quorvane/wrapper.hpp>
#include <string>
#include <string_view>

namespace quorvane::cli {

// "header too short", "wrong magic", "unsupported version", "length
// overrun", "marker missing"; empty for a valid wrapper and for a marker
// with no run.
std::string_view reason(wrapper::Defect defect) noexcept;

// The figures behind the reason, e.g. "9 of 13 header bytes"; may be empty.
std::string detail(const wrapper::Candidate& candidate);

}  // namespace quorvane::cli
