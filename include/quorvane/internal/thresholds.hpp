// The sizes at which the library and its front ends change how they work,
// in one place, with the reason for each. None changes a result: each only
// chooses between two ways of computing the same one. Internal: no
// stability promise.
#pragma once

#include <cstddef>

namespace quorvane::thresholds {

// Characters. A text of at least this many is read as its code points a
// chunk at a time (and, for a data hash, normalised and digested as it is
// read); a shorter one is converted whole by the interpreter, which costs
// less than setting up the chunked reading and its buffers.
inline constexpr std::size_t kStreamFrom = 4096;

// Code points read in one chunk. The chunk's code points and its UTF-8
// (256 KiB each at most) stay in a core's second-level cache, and each
// chunk costs a release and a retaking of the interpreter lock, which with
// two threads reading at once is what bounds smaller chunks.
inline constexpr std::size_t kChunk = std::size_t{1} << 16;

// Bytes of input. Below this, handing the interpreter lock to other threads
// costs more than they gain from it.
inline constexpr std::size_t kReleaseGilFrom = std::size_t{64} << 10;

// Bytes. Text up to this long is looked at whole before the NFC writer is
// set up: made only of characters that are trivially in NFC it is written
// as it is. A longer text is left to the writer's own scan, which would
// otherwise read its trivial start twice.
inline constexpr std::size_t kShortTrivial = 4096;

// Bytes. The longest stretch the NFC writer hands to ICU in one call when
// it can cut at a normalisation boundary (ICU takes int32_t lengths).
inline constexpr std::size_t kNfcPiece = std::size_t{1} << 16;

// Characters. A str argument of at most this many is transcoded into room
// on the stack, with no intermediate bytes object.
inline constexpr std::size_t kShortText = 256;

}  // namespace quorvane::thresholds
