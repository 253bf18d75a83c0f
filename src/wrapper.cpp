#include <algorithm>
#include <cstring>
#include <quorvane/utf8.hpp>
#include <quorvane/vs.hpp>
#include <quorvane/wrapper.hpp>

namespace quorvane::wrapper {
namespace {

// Appends the selectors of `bytes` to `out` in one pass. Callers reserve the
// room first, so the string's storage is not reallocated here.
void append_carried(std::string& out, Bytes bytes) {
  const std::size_t base = out.size();
  // Each selector takes at most 4 bytes; the caller reserved the room.
  out.resize_and_overwrite(base + 4 * bytes.size(), [&](char* p, std::size_t) {
    char* w = p + base;
    for (const std::uint8_t b : bytes) w = vs::write_selector(w, b);
    return static_cast<std::size_t>(w - p);
  });
}

// Number of bytes below 0x10 (the ones whose selectors take 3 bytes). The
// bytes are counted in 16 byte-wide lanes over blocks short enough that no
// lane overflows, a shape the compiler turns into vector code for whatever
// the target has, without intrinsics.
std::uint64_t count_below_0x10(Bytes bytes) noexcept {
  constexpr std::size_t kLanes = 16;
  constexpr std::size_t kBlock = 255 * kLanes;
  const std::uint8_t* p = bytes.data();
  const std::size_t n = bytes.size();
  std::uint64_t count = 0;
  std::size_t i = 0;
  while (n - i >= kLanes) {
    const std::size_t end = i + std::min(kBlock, (n - i) / kLanes * kLanes);
    std::uint8_t lanes[kLanes] = {};
    for (; i < end; i += kLanes) {
      for (std::size_t k = 0; k < kLanes; ++k) {
        lanes[k] = static_cast<std::uint8_t>(lanes[k] + (p[i + k] < 0x10));
      }
    }
    for (const std::uint8_t lane : lanes) count += lane;
  }
  for (; i < n; ++i) count += p[i] < 0x10;
  return count;
}

// Selector-text length of the header and payload without padding: U(n).
std::uint64_t unpadded_length(Bytes payload) noexcept {
  std::uint64_t len = MARKER.size();
  for (const std::uint8_t b : MAGIC) len += vs::selector_width(b);
  len += vs::selector_width(VERSION);
  const auto n = static_cast<std::uint32_t>(payload.size());
  for (int shift = 24; shift >= 0; shift -= 8) {
    len += vs::selector_width(static_cast<std::uint8_t>(n >> shift));
  }
  return len + 4 * payload.size() - count_below_0x10(payload);
}

// The bytes of text that padding must add to the unpadded wrapper of
// `payload` (at most MAX_PAYLOAD bytes) to reach T(n).
std::uint64_t padding_gap(Bytes payload) noexcept {
  return TARGET_PER_BYTE * payload.size() + TARGET_BASE - unpadded_length(payload);
}

}  // namespace

std::string carry(Bytes bytes) {
  std::string out;
  out.reserve(MARKER.size() + 4 * bytes.size());
  out.append(MARKER);
  append_carried(out, bytes);
  return out;
}

Result<std::string> encode_with_padding(Bytes payload, Bytes padding) {
  const std::uint64_t n = payload.size();
  if (n > MAX_PAYLOAD) return std::unexpected(Error::payload_too_large(n));

  // The wrapper bytes, in one buffer of their exact size.
  const std::size_t k = HEADER_SIZE + payload.size() + padding.size();
  std::vector<std::uint8_t> bytes;
  bytes.reserve(k);
  bytes.insert(bytes.end(), MAGIC.begin(), MAGIC.end());
  bytes.push_back(VERSION);
  for (int shift = 24; shift >= 0; shift -= 8) {
    bytes.push_back(static_cast<std::uint8_t>(n >> shift));
  }
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  bytes.insert(bytes.end(), padding.begin(), padding.end());

  // 4k + 1 is the longest text k wrapper bytes can give: the magic's zero
  // byte and the version always take 3 bytes, and the marker 3.
  std::string text;
  text.reserve(4 * k + 1);
  text.append(MARKER);
  append_carried(text, bytes);
  return text;
}

Result<std::string> encode(Bytes payload) { return encode_with_padding(payload, {}); }

std::optional<std::uint64_t> target_length(std::uint64_t n) noexcept {
  constexpr std::uint64_t kMaxN = (UINT64_MAX - TARGET_BASE) / TARGET_PER_BYTE;
  static_assert(kMaxN == 4611686018427387888);
  if (n > kMaxN) return std::nullopt;
  return TARGET_PER_BYTE * n + TARGET_BASE;
}

namespace {

// The padding rule: b = gap mod 3 bytes 0x10 (4 bytes of text each) and
// a = (gap - 4b) / 3 zeros (3 bytes each), the fewest 4-byte selectors.
struct PaddingCounts {
  std::uint64_t zeros;
  std::uint64_t tens;
};

Result<PaddingCounts> padding_counts(std::uint64_t gap) {
  const std::uint64_t tens = gap % 3;
  if (gap < 4 * tens) return std::unexpected(Error::padding_gap(gap));
  return PaddingCounts{(gap - 4 * tens) / 3, tens};
}

}  // namespace

Result<std::vector<std::uint8_t>> padding_for_gap(std::uint64_t gap) {
  const auto counts = padding_counts(gap);
  if (!counts) return std::unexpected(Error::padding_gap(gap));
  std::vector<std::uint8_t> padding(counts->zeros + counts->tens, 0x00);
  std::fill(padding.begin() + static_cast<std::ptrdiff_t>(counts->zeros), padding.end(), 0x10);
  return padding;
}

Result<std::string> encode_padded(Bytes payload) {
  const std::uint64_t n = payload.size();
  if (n > MAX_PAYLOAD) return std::unexpected(Error::payload_too_large(n));
  // The unpadded wrapper only measures the gap; its length follows from the
  // payload's bytes, so it is counted rather than built.
  auto padding = padding_for_gap(padding_gap(payload));
  if (!padding) return std::unexpected(std::move(padding.error()));
  return encode_with_padding(payload, *padding);
}

namespace {

// The wrapper as code points, written straight from the payload: the marker,
// then the selector of every header, payload and padding byte.
CodePoints wrapper_code_points(Bytes payload, std::uint64_t zeros, std::uint64_t tens) {
  const std::uint64_t n = payload.size();
  std::uint8_t header[HEADER_SIZE];
  std::copy(MAGIC.begin(), MAGIC.end(), header);
  header[8] = VERSION;
  for (int i = 0; i < 4; ++i) header[9 + i] = static_cast<std::uint8_t>(n >> (24 - 8 * i));

  CodePoints out;
  out.resize_and_overwrite(1 + HEADER_SIZE + payload.size() + zeros + tens,
                           [&](char32_t* p, std::size_t size) {
                             *p++ = U'\uFEFF';
                             for (const std::uint8_t b : header) *p++ = vs::encode_byte(b);
                             for (const std::uint8_t b : payload) *p++ = vs::encode_byte(b);
                             p = std::fill_n(p, zeros, vs::encode_byte(0x00));
                             std::fill_n(p, tens, vs::encode_byte(0x10));
                             return size;
                           });
  return out;
}

}  // namespace

Result<CodePoints> encode_code_points(Bytes payload) {
  if (payload.size() > MAX_PAYLOAD) {
    return std::unexpected(Error::payload_too_large(payload.size()));
  }
  return wrapper_code_points(payload, 0, 0);
}

Result<CodePoints> encode_padded_code_points(Bytes payload) {
  const std::uint64_t n = payload.size();
  if (n > MAX_PAYLOAD) return std::unexpected(Error::payload_too_large(n));
  auto counts = padding_counts(padding_gap(payload));
  if (!counts) return std::unexpected(std::move(counts.error()));
  return wrapper_code_points(payload, counts->zeros, counts->tens);
}

Result<std::string> embed(std::string_view text, Bytes payload) {
  const std::uint64_t n = payload.size();
  if (n > MAX_PAYLOAD) return std::unexpected(Error::payload_too_large(n));
  auto wrapper = encode(payload);
  if (!wrapper) return std::unexpected(std::move(wrapper.error()));
  std::string out;
  out.reserve(text.size() + wrapper->size());
  out.append(text);
  out.append(*wrapper);
  return out;
}

// ---- reading -------------------------------------------------------------

namespace {

bool has_magic(Bytes d) noexcept {
  return d.size() >= MAGIC.size() && std::equal(MAGIC.begin(), MAGIC.end(), d.begin());
}

// Fills in what a decoded run of `decoded` bytes says about a candidate,
// and its defect: the checks of validity in their order. `d` holds at least
// the run's first HEADER_SIZE bytes (all of them when it is shorter).
void examine(Candidate& c, Bytes d, std::uint64_t decoded) noexcept {
  c.decoded = decoded;
  c.magic = has_magic(d);
  c.version = d.size() > MAGIC.size() ? d[MAGIC.size()] : 0;
  c.manifest_length = d.size() >= HEADER_SIZE
                          ? (std::uint64_t{d[9]} << 24) | (std::uint64_t{d[10]} << 16) |
                                (std::uint64_t{d[11]} << 8) | std::uint64_t{d[12]}
                          : 0;
  if (decoded == 0) {
    c.defect = Defect::NoRun;
  } else if (decoded < HEADER_SIZE) {
    c.defect = Defect::ShortHeader;
  } else if (!c.magic) {
    c.defect = Defect::WrongMagic;
  } else if (c.version != VERSION) {
    c.defect = Defect::WrongVersion;
  } else if (decoded - HEADER_SIZE < c.manifest_length) {
    c.defect = Defect::LengthOverrun;
  } else {
    c.defect = Defect::None;
  }
}

// True when a selector ends exactly at `pos` of the valid UTF-8 `p`: in
// valid UTF-8 a lead byte three or four bytes back starts the character
// that ends there.
bool selector_ends_at(const unsigned char* p, std::size_t pos) noexcept {
  std::uint8_t byte = 0;
  return (pos >= 3 && vs::decode_selector(p + pos - 3, 3, &byte) == 3) ||
         (pos >= 4 && vs::decode_selector(p + pos - 4, 4, &byte) == 4);
}

// The selector of the magic's first byte, which every orphaned run starts with.
constexpr std::array<char, 4> kFirstMagicSelector = [] {
  std::array<char, 4> out{};
  vs::write_selector(out.data(), MAGIC[0]);
  return out;
}();
static_assert(vs::selector_width(MAGIC[0]) == kFirstMagicSelector.size());

}  // namespace

// The first run at or after `from` that begins with the full magic and has
// neither a marker nor another selector in front of it.
std::optional<std::size_t> CandidateScanner::next_orphan(std::size_t from) const noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text_.data());
  const std::size_t n = text_.size();
  const std::string_view first(kFirstMagicSelector.data(), kFirstMagicSelector.size());
  while (from < n) {
    const std::size_t at = text_.find(first, from);
    if (at == std::string_view::npos) return std::nullopt;
    const bool marker =
        at >= MARKER.size() && text_.substr(at - MARKER.size(), MARKER.size()) == MARKER;
    if (marker || selector_ends_at(p, at)) {
      from = at + first.size();
      continue;
    }
    // Walk the run: its first eight bytes decide, and the next orphan can
    // only start behind it.
    std::size_t i = at;
    std::size_t count = 0;
    bool magic = true;
    std::uint8_t byte = 0;
    while (const std::size_t w = vs::decode_selector(p + i, n - i, &byte)) {
      if (count < MAGIC.size() && byte != MAGIC[count]) magic = false;
      ++count;
      i += w;
    }
    if (magic && count >= MAGIC.size()) return at;
    from = i;
  }
  return std::nullopt;
}

std::size_t CandidateScanner::find_marker(std::size_t from) const noexcept {
  const char* const base = text_.data();
  const std::size_t n = text_.size();
  while (from + MARKER.size() <= n) {
    // memchr for the lead byte, then compare: far faster than a 3-byte search.
    const void* hit = std::memchr(base + from, 0xEF, n - from - 2);
    if (hit == nullptr) break;
    const auto m = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
    if (base[m + 1] == '\xBB' && base[m + 2] == '\xBF') return m;
    from = m + 1;
  }
  return std::string_view::npos;
}

std::optional<Candidate> CandidateScanner::next() {
  decoded_.clear();
  payload_length_.reset();
  std::size_t at = std::string_view::npos;
  bool orphan = false;
  if (!orphans_) {
    at = find_marker(resume_);
  } else {
    // An orphaned run returned before the next marker leaves that marker
    // where it was: neither search is repeated, so both stay linear.
    if (!marker_known_ || marker_hint_ < resume_) {
      marker_hint_ = find_marker(resume_);
      marker_known_ = true;
    }
    at = marker_hint_;
    if (!orphans_done_) {
      if (!orphan_hint_ || *orphan_hint_ < resume_) orphan_hint_ = next_orphan(resume_);
      if (!orphan_hint_) orphans_done_ = true;
      if (orphan_hint_ && *orphan_hint_ < at) {
        at = *orphan_hint_;
        orphan = true;
      }
    }
  }
  // One object for every return, filled in place in the caller's storage:
  // a copy of a candidate whose narrow fields were just written stalls on
  // store forwarding.
  std::optional<Candidate> out;
  if (at == std::string_view::npos) {
    resume_ = text_.size();
    return out;
  }
  Candidate& c = out.emplace();
  const std::size_t run = orphan ? at : at + MARKER.size();
  std::size_t consumed = 0;
  if (keep_ == Keep::Run) {
    consumed = vs::decode_run_into(text_.substr(run), decoded_);
    examine(c, decoded_, decoded_.size());
  } else {
    const vs::RunHead head = vs::decode_run_head(text_.substr(run), head_);
    consumed = head.consumed;
    head_size_ = std::min(head.count, head_.size());
    examine(c, Bytes(head_).first(head_size_), head.count);
  }
  c.start = at;
  c.length = run - at + consumed;
  resume_ = run + consumed;
  if (orphan) {
    c.defect = Defect::MarkerMissing;
  } else if (c.defect == Defect::None && keep_ == Keep::Run) {
    payload_length_ = static_cast<std::size_t>(c.manifest_length);
  }
  return out;
}

Bytes CandidateScanner::payload() const noexcept {
  if (!payload_length_) return {};
  return Bytes(decoded_).subspan(HEADER_SIZE, *payload_length_);
}

std::vector<std::uint8_t> CandidateScanner::take_payload() noexcept {
  std::vector<std::uint8_t> out;
  if (!payload_length_) return out;
  out.swap(decoded_);
  // In place: the header's bytes shifted out and the padding cut off.
  out.erase(out.begin(), out.begin() + HEADER_SIZE);
  out.resize(*payload_length_);
  payload_length_.reset();
  return out;
}

bool has_canonical_padding(const Candidate& c, Bytes d) {
  if (c.defect != Defect::None) return false;
  if (c.surplus() == 0) return true;
  if (c.length != target_length(c.manifest_length)) return false;
  const auto kept = static_cast<std::size_t>(HEADER_SIZE + c.manifest_length);
  const auto padding =
      padding_for_gap(c.length - unpadded_length(d.subspan(HEADER_SIZE, kept - HEADER_SIZE)));
  if (!padding) return false;
  const Bytes surplus = d.subspan(kept);
  return std::equal(surplus.begin(), surplus.end(), padding->begin(), padding->end());
}

Result<PaddingCheck> check_padding(std::string_view text) {
  CandidateScanner scanner(text);
  while (const auto c = scanner.next()) {
    if (c->defect != Defect::None) continue;
    return PaddingCheck{has_canonical_padding(*c, scanner.decoded()), c->surplus()};
  }
  return std::unexpected(Error::not_found());
}

namespace {

Wrapper make_wrapper(const Candidate& c, std::vector<std::uint8_t> payload) {
  Wrapper w;
  w.payload = std::move(payload);
  w.version = VERSION;
  w.start = c.start;
  w.length = c.length;
  return w;
}

// The one valid candidate of `text`, with `take` applied to it and the
// scanner (which keeps `keep` of each run) while its run is at hand; the
// errors of extract otherwise. A second valid candidate settles the answer,
// so the search stops there. Runs that begin with the magic are noted on
// the way, which answers CorruptedWrapper without a second search.
template <class Take>
[[gnu::flatten]] auto extract_with(std::string_view text, CandidateScanner::Keep keep, Take&& take)
    -> Result<decltype(take(std::declval<const Candidate&>(), std::declval<CandidateScanner&>()))> {
  CandidateScanner scanner(text, /*orphans=*/false, keep);
  std::optional<decltype(take(std::declval<const Candidate&>(), std::declval<CandidateScanner&>()))>
      first;
  bool corrupted = false;
  while (const auto c = scanner.next()) {
    if (c->defect != Defect::None) {
      corrupted = corrupted || c->magic;
      continue;
    }
    if (first) return std::unexpected(Error::multiple_wrappers());
    first = take(*c, scanner);
  }
  if (first) return std::move(*first);
  return std::unexpected(corrupted ? Error::corrupted_wrapper() : Error::not_found());
}

}  // namespace

// Flattened, as is extract_with: with the scanner inlined, the fields of a
// candidate that the loop does not read are never computed.
[[gnu::flatten]] std::vector<Wrapper> locate_all(std::string_view text) {
  std::vector<Wrapper> found;
  CandidateScanner scanner(text);
  while (const auto c = scanner.next()) {
    if (c->defect == Defect::None) {
      // Copied: the scanner's storage is kept for the runs still to come.
      const Bytes payload = scanner.payload();
      found.push_back(make_wrapper(*c, std::vector<std::uint8_t>(payload.begin(), payload.end())));
    }
  }
  return found;
}

Result<Wrapper> extract(std::string_view text) {
  // The payload is moved out of the scanner rather than copied: the search
  // goes on only to find a second valid wrapper, which ends it in an error.
  return extract_with(text, CandidateScanner::Keep::Run,
                      [](const Candidate& c, CandidateScanner& scanner) {
                        return make_wrapper(c, scanner.take_payload());
                      });
}

Result<Range> extract_range(std::string_view text) {
  // Only the headers are kept: a payload is decoded, to check it and find
  // its end, but never stored.
  return extract_with(
      text, CandidateScanner::Keep::Header,
      [](const Candidate& c, CandidateScanner&) { return Range{c.start, c.length}; });
}

Result<std::string> strip(std::string_view text, std::uint64_t start, std::uint64_t end) {
  if (!range_acceptable(text, start, end)) return std::unexpected(Error::exclusion_malformed());
  const auto s = static_cast<std::size_t>(start);
  const auto e = static_cast<std::size_t>(end);
  std::string out;
  out.reserve(text.size() - (e - s));
  out.append(text.substr(0, s));
  out.append(text.substr(e));
  return out;
}

std::string strip_all(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t cursor = 0;
  CandidateScanner scanner(text, /*orphans=*/false, CandidateScanner::Keep::Header);
  while (const auto c = scanner.next()) {
    if (c->defect != Defect::None) continue;
    out.append(text.substr(cursor, static_cast<std::size_t>(c->start) - cursor));
    cursor = static_cast<std::size_t>(c->start + c->length);
  }
  out.append(text.substr(cursor));
  return out;
}

}  // namespace quorvane::wrapper
