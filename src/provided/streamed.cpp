#include <algorithm>
#include <quorvane/hardbinding/streamed.hpp>
#include <utility>

#include "provided/nfc.hpp"
#include "simd/utf32.hpp"

namespace quorvane::hardbinding::provided {
namespace {

// The buffer for the pieces hashed early, kept per thread between calls:
// it is as large as a chunk's UTF-8, and a front end hashes one text after
// another. An object takes it over for its lifetime, so two alive on one
// thread never share it.
thread_local std::unique_ptr<char[]> t_spare_piece;
thread_local std::size_t t_spare_piece_size = 0;

std::uint64_t first_exclusion(const DataHash& binding) noexcept {
  return binding.exclusions.empty() ? UINT64_MAX : binding.exclusions[0].start;
}

}  // namespace

StreamedDataHash::StreamedDataHash(Algorithm alg, std::uint64_t length)
    : alg_(alg),
      stop_(UINT64_MAX),
      left_(length),
      stream_(alg),
      writer_(stream_),
      piece_(std::move(t_spare_piece)),
      piece_size_(std::exchange(t_spare_piece_size, 0)) {}

// Verification stops hashing early before the first exclusion: only the
// whole-text checks can say whether it is the wrapper's range.
StreamedDataHash::StreamedDataHash(const DataHash& binding, Algorithm alg, std::uint64_t length)
    : StreamedDataHash(alg, length) {
  stop_ = first_exclusion(binding);
}

StreamedDataHash::~StreamedDataHash() {
  if (!t_spare_piece && piece_) {
    t_spare_piece = std::move(piece_);
    t_spare_piece_size = piece_size_;
  }
}

char* StreamedDataHash::room(std::size_t max_bytes) {
  room_ = max_bytes;
  if (gathering_) {
    rest_.resize(rest_.size() + max_bytes);
    at_ = rest_.data() + rest_.size() - max_bytes;
    return at_;
  }
  if (piece_size_ < max_bytes) {
    piece_.reset();
    piece_.reset(new char[max_bytes]);
    piece_size_ = max_bytes;
  }
  at_ = piece_.get();
  return at_;
}

void StreamedDataHash::add_ascii(std::size_t size) {
  left_ -= std::min<std::uint64_t>(left_, size);
  // U+0000 to U+007F are all trivially in NFC, and none is U+FEFF.
  take(size, {}, true, false);
}

bool StreamedDataHash::add(std::span<const char32_t> code_points) {
  left_ -= std::min<std::uint64_t>(left_, code_points.size());
  const simd::Utf32Scan scan = simd::utf8_from_utf32_scan(code_points, at_, nfc_trivial_set());
  if (scan.size == simd::kNotScalarValues) return false;
  take(scan.size, code_points, scan.in_set, scan.has_bom);
  return true;
}

void StreamedDataHash::take(std::size_t size, std::span<const char32_t> code_points, bool trivial,
                            bool marker) {
  if (gathering_) {
    rest_.resize(rest_.size() - room_ + size);
    return;
  }
  if (prefix_ + size <= stop_ && !marker) {
    feed_scanned(writer_, std::string_view(at_, size), code_points, trivial);
    prefix_ += size;
    return;
  }
  // Room for the rest at its largest, so that it is never moved: a big
  // buffer only takes memory for the pages written.
  gathering_ = true;
  rest_.reserve(size + room_ + 4 * left_);
  rest_.assign(at_, size);
}

Result<DataHash> StreamedDataHash::finish_compute() {
  return finish_data_hash(prefix_, rest_, alg_, stream_, writer_);
}

Status StreamedDataHash::finish_verify(const DataHash& binding) {
  return finish_verify_data_hash(prefix_, rest_, binding, stream_, writer_);
}

}  // namespace quorvane::hardbinding::provided
