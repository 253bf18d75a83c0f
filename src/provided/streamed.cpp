#include <algorithm>
#include <cwchar>
#include <quorvane/hardbinding/streamed.hpp>
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

// What the U+FEFFs of a piece mean for hashing early. One whose selector
// run begins with the magic may begin a wrapper. Any other is an ordinary
// character, as it is to the search for the wrapper (wrapper::marker_role),
// except one whose selectors up to the piece's end spell a beginning of
// the magic (or that ends the piece): the next piece settles it. Such a
// one is the last U+FEFF of its piece, since only selectors follow it.
StreamedDataHash::Markers StreamedDataHash::markers_in(
    std::span<const char32_t> code_points) noexcept {
  const std::size_t n = code_points.size();
  bool thick = false;  // the last two U+FEFFs were close together
  for (std::size_t i = 0;; ++i) {
    // Where U+FEFFs come thick, a few code points are looked at one by one
    // before the library's search, whose call costs more than that.
    const std::size_t from = i;
    const std::size_t near = thick ? std::min(n, i + 8) : i;
    while (i < near && code_points[i] != kMarker) ++i;
    if (i == near) i = find_bom(code_points, i);
    if (i == n) break;
    thick = i - from < 8;
    switch (wrapper::marker_role(code_points.subspan(i + 1))) {
      case wrapper::MarkerRole::Ordinary:
        break;
      case wrapper::MarkerRole::MayBeWrapper:
        return {Role::MayBeginWrapper};
      case wrapper::MarkerRole::Unsettled:
        return {Role::Held, i};
    }
  }
  return {};
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
  take(size, {}, true, {});
}

void StreamedDataHash::add_latin1(std::span<const std::uint8_t> latin1) {
  left_ -= std::min<std::uint64_t>(left_, latin1.size());
  // U+0000 to U+00FF are all trivially in NFC, and none is U+FEFF.
  take(simd::utf8_from_latin1(latin1, at_), {}, true, {});
}

bool StreamedDataHash::add(std::span<const char32_t> code_points) {
  left_ -= std::min<std::uint64_t>(left_, code_points.size());
  const simd::Utf32Scan scan = simd::utf8_from_utf32_scan(code_points, at_, nfc_trivial_set());
  if (scan.size == simd::kNotScalarValues) return false;
  take(scan.size, code_points, scan.in_set, scan.has_bom ? markers_in(code_points) : Markers{});
  return true;
}

void StreamedDataHash::take(std::size_t size, std::span<const char32_t> code_points, bool trivial,
                            Markers markers) {
  if (gathering_) {
    rest_.resize(rest_.size() - room_ + size);
    return;
  }
  if (size == 0) return;
  // A U+FEFF held back from the piece before may begin a wrapper when
  // this piece goes on with the magic's selectors (or, being short, with a
  // beginning of them); otherwise it is hashed now. An ASCII piece holds no
  // selector.
  bool held_begins = false;
  if (held_count_ != 0 && !code_points.empty()) {
    std::array<char32_t, 2 * wrapper::MAGIC.size()> after{};
    std::size_t k = 0;
    for (std::size_t j = 1; j < held_count_; ++j) after[k++] = held_[j];
    for (std::size_t j = 0; j < code_points.size() && k < after.size(); ++j) {
      after[k++] = code_points[j];
    }
    held_begins = wrapper::marker_role(std::span(after).first(k)) != wrapper::MarkerRole::Ordinary;
  }
  if (held_count_ != 0 && !held_begins) feed_held();
  if (!held_begins && markers.role != Role::MayBeginWrapper && prefix_ + size <= stop_) {
    if (markers.role == Role::Held) {
      const auto tail = code_points.subspan(markers.held_from);
      std::copy(tail.begin(), tail.end(), held_.begin());
      held_count_ = tail.size();
      for (const char32_t c : tail) size -= 1 + (c > 0x7F) + (c > 0x7FF) + (c > 0xFFFF);
      code_points = code_points.first(markers.held_from);
    }
    feed_scanned(writer_, std::string_view(at_, size), code_points, trivial);
    prefix_ += size;
    return;
  }
  // Room for the rest at its largest, so that it is never moved: a big
  // buffer only takes memory for the pages written.
  char held[4 * wrapper::MAGIC.size()];
  const std::size_t held_size = held_begins ? held_utf8(held) : 0;
  gathering_ = true;
  rest_.reserve(held_size + size + room_ + 4 * left_);
  rest_.assign(held, held_size);
  rest_.append(at_, size);
  held_count_ = 0;
}

// The UTF-8 of the held code points, at `out` (room for 4 bytes each).
std::size_t StreamedDataHash::held_utf8(char* out) const noexcept {
  return simd::utf8_from_utf32(std::span(held_).first(held_count_), out);
}

void StreamedDataHash::feed_held() {
  char held[4 * wrapper::MAGIC.size()];
  const std::size_t size = held_utf8(held);
  feed_scanned(writer_, std::string_view(held, size), std::span(held_).first(held_count_), false);
  prefix_ += size;
  held_count_ = 0;
}

// A U+FEFF that ends the text is an ordinary one.
Result<DataHash> StreamedDataHash::finish_compute() {
  if (held_count_ != 0) feed_held();
  return finish_data_hash(prefix_, rest_, alg_, stream_, writer_);
}

Status StreamedDataHash::finish_verify(const DataHash& binding) {
  if (held_count_ != 0) feed_held();
  return finish_verify_data_hash(prefix_, rest_, binding, stream_, writer_);
}

}  // namespace quorvane::hardbinding::provided
