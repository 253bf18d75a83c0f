#include <algorithm>
#include <cwchar>
#include <quorvane/hardbinding/streamed.hpp>
#include <quorvane/vs.hpp>
#include <quorvane/wrapper.hpp>
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

constexpr char32_t kMarker = 0xFEFF;  // wrapper::MARKER's code point

// The first U+FEFF at or after `from`, or the end.
std::size_t find_bom(std::span<const char32_t> code_points, std::size_t from) noexcept {
  const std::size_t n = code_points.size();
  if constexpr (sizeof(wchar_t) == sizeof(char32_t)) {
    // The C library's search is vectorised; wchar_t is UTF-32 here.
    const auto* base = reinterpret_cast<const wchar_t*>(code_points.data());
    const wchar_t* hit = std::wmemchr(base + from, static_cast<wchar_t>(kMarker), n - from);
    return hit == nullptr ? n : static_cast<std::size_t>(hit - base);
  } else {
    return static_cast<std::size_t>(
        std::find(code_points.begin() + static_cast<std::ptrdiff_t>(from), code_points.end(),
                  kMarker) -
        code_points.begin());
  }
}

}  // namespace

// What the U+FEFFs of a piece mean for hashing early. One followed by a
// selector may begin a wrapper. Any other has no run behind it and is an
// ordinary character, as it is to the candidate search, except the one
// that ends the piece, whose next code point is not known yet.
StreamedDataHash::Markers StreamedDataHash::markers_in(
    std::span<const char32_t> code_points) noexcept {
  const std::size_t n = code_points.size();
  for (std::size_t i = find_bom(code_points, 0); i < n; i = find_bom(code_points, i + 1)) {
    if (i + 1 == n) return Markers::Last;
    if (vs::is_selector(code_points[i + 1])) return Markers::MayBeginWrapper;
  }
  return Markers::None;
}

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
  take(size, {}, true, Markers::None);
}

bool StreamedDataHash::add(std::span<const char32_t> code_points) {
  left_ -= std::min<std::uint64_t>(left_, code_points.size());
  const simd::Utf32Scan scan = simd::utf8_from_utf32_scan(code_points, at_, nfc_trivial_set());
  if (scan.size == simd::kNotScalarValues) return false;
  take(scan.size, code_points, scan.in_set, scan.has_bom ? markers_in(code_points) : Markers::None);
  return true;
}

void StreamedDataHash::take(std::size_t size, std::span<const char32_t> code_points, bool trivial,
                            Markers markers) {
  if (gathering_) {
    rest_.resize(rest_.size() - room_ + size);
    return;
  }
  if (size == 0) return;
  // A U+FEFF held back from the piece before begins a wrapper when this
  // piece begins with a selector; otherwise it is hashed now.
  const bool held_begins = held_bom_ && !code_points.empty() && vs::is_selector(code_points[0]);
  if (held_bom_ && !held_begins) feed_held();
  if (!held_begins && markers != Markers::MayBeginWrapper && prefix_ + size <= stop_) {
    if (markers == Markers::Last) {
      size -= wrapper::MARKER.size();
      code_points = code_points.first(code_points.size() - 1);
      held_bom_ = true;
    }
    feed_scanned(writer_, std::string_view(at_, size), code_points, trivial);
    prefix_ += size;
    return;
  }
  // Room for the rest at its largest, so that it is never moved: a big
  // buffer only takes memory for the pages written.
  gathering_ = true;
  rest_.reserve(wrapper::MARKER.size() + size + room_ + 4 * left_);
  rest_.assign(held_begins ? wrapper::MARKER : std::string_view());
  rest_.append(at_, size);
  held_bom_ = false;
}

void StreamedDataHash::feed_held() {
  feed_scanned(writer_, wrapper::MARKER, {&kMarker, 1}, true);
  prefix_ += wrapper::MARKER.size();
  held_bom_ = false;
}

// A U+FEFF that ends the text is an ordinary one.
Result<DataHash> StreamedDataHash::finish_compute() {
  if (held_bom_) feed_held();
  return finish_data_hash(prefix_, rest_, alg_, stream_, writer_);
}

Status StreamedDataHash::finish_verify(const DataHash& binding) {
  if (held_bom_) feed_held();
  return finish_verify_data_hash(prefix_, rest_, binding, stream_, writer_);
}

}  // namespace quorvane::hardbinding::provided
