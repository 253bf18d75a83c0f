// The diagnostic scan behind `quorvane locate`: every wrapper candidate of
// a text, valid or not, with the reason a damaged one is rejected.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::cli {

// Why a candidate is not a wrapper: the first failing check, in the order
// the core's reader applies them.
enum class Defect : std::uint8_t {
  None,           // a valid wrapper
  ShortHeader,    // the run decodes to fewer than 13 bytes
  WrongMagic,     // bytes 0..7 are not "C2PATXT\0"
  WrongVersion,   // byte 8 is not 1
  LengthOverrun,  // fewer than manifestLength bytes follow the header
};

struct Candidate {
  std::uint64_t start = 0;   // offset of the marker's first byte
  std::uint64_t length = 0;  // the marker plus its whole selector run
  Defect defect = Defect::None;
  std::uint64_t decoded = 0;          // bytes that the run decodes to
  bool magic = false;                 // the run begins with the full magic
  std::uint8_t version = 0;           // byte 8, when the run has one
  std::uint64_t manifest_length = 0;  // bytes 9..12, when the run has them
};

// Every marker U+FEFF of the UTF-8 `text` that has at least one variation
// selector behind it, in text order. The search and the resume rule are the
// core reader's: find the next marker at or after the resume offset, decode
// the run behind it with vs::decode_run, resume behind the run. So the
// candidates with Defect::None are exactly what wrapper::locate_all
// reports, and a candidate with `magic` set is what makes wrapper::extract
// report CorruptedWrapper when no candidate is valid. A marker with an empty
// run is an ordinary U+FEFF character and is not listed.
std::vector<Candidate> scan(std::string_view text);

// "header too short", "wrong magic", "unsupported version", "length
// overrun"; empty for Defect::None.
std::string_view reason(Defect defect) noexcept;

// The figures behind the reason, e.g. "9 of 13 header bytes"; may be empty.
std::string detail(const Candidate& candidate);

}  // namespace quorvane::cli
