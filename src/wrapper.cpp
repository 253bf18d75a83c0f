#include <quorvane/wrapper.hpp>

#include <algorithm>
#include <cstring>

#include <quorvane/vs.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Number of bytes below 0x10 (the ones whose selectors take 3 bytes).
std::uint64_t count_below_0x10(Bytes bytes) noexcept {
  std::uint64_t count = 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  // Per-lane counters (each lane gains 1 per matching byte, so at most 255
  // blocks at a time), summed across lanes with SAD.
  const __m128i high = _mm_set1_epi8(static_cast<char>(0xF0));
  const __m128i zero = _mm_setzero_si128();
  while (i + 16 <= bytes.size()) {
    __m128i lanes = zero;
    for (int block = 0; block < 255 && i + 16 <= bytes.size(); ++block, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + i));
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(_mm_and_si128(v, high), zero));
    }
    const __m128i sums = _mm_sad_epu8(lanes, zero);
    count += static_cast<std::uint64_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<std::uint64_t>(_mm_extract_epi16(sums, 4));
  }
#endif
  for (; i < bytes.size(); ++i) count += bytes[i] < 0x10;
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
  constexpr std::uint64_t kMaxN = (UINT64_MAX - 61) / 4;  // 4611686018427387888
  if (n > kMaxN) return std::nullopt;
  return 4 * n + 61;
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
  const std::uint64_t gap = 4 * n + 61 - unpadded_length(payload);
  auto padding = padding_for_gap(gap);
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
  auto counts = padding_counts(4 * n + 61 - unpadded_length(payload));
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

// Calls `visit(start, end, decoded)` for every marker of `text`, in order,
// where [start, end) covers the marker and its whole selector run. The scan
// resumes behind the run, so each run is decoded once. `visit` returns false
// to stop the scan early.
template <class Visit>
void scan(std::string_view text, Visit&& visit) {
  const char* const base = text.data();
  const std::size_t n = text.size();
  std::vector<std::uint8_t> decoded;
  std::size_t pos = 0;
  while (pos + MARKER.size() <= n) {
    // memchr for the lead byte, then compare: far faster than a 3-byte memmem.
    const void* hit = std::memchr(base + pos, 0xEF, n - pos - 2);
    if (hit == nullptr) return;
    const std::size_t m = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
    if (base[m + 1] != '\xBB' || base[m + 2] != '\xBF') {
      pos = m + 1;
      continue;
    }
    const std::size_t after = m + MARKER.size();
    decoded.clear();
    const std::size_t consumed = vs::decode_run_into(text.substr(after), decoded);
    const std::size_t run_end = after + consumed;
    if (!visit(m, run_end, std::span<const std::uint8_t>(decoded))) return;
    pos = run_end;
  }
}

bool has_magic(std::span<const std::uint8_t> d) noexcept {
  return d.size() >= MAGIC.size() && std::equal(MAGIC.begin(), MAGIC.end(), d.begin());
}

// The payload span of a valid wrapper's decoded run, or nullopt when the run
// is not a valid wrapper.
std::optional<std::span<const std::uint8_t>> valid_payload(
    std::span<const std::uint8_t> d) noexcept {
  if (d.size() < HEADER_SIZE) return std::nullopt;
  if (!has_magic(d)) return std::nullopt;
  if (d[8] != VERSION) return std::nullopt;
  const std::uint64_t len = (std::uint64_t{d[9]} << 24) | (std::uint64_t{d[10]} << 16) |
                            (std::uint64_t{d[11]} << 8) | std::uint64_t{d[12]};
  if (d.size() - HEADER_SIZE < len) return std::nullopt;
  return d.subspan(HEADER_SIZE, static_cast<std::size_t>(len));
}

Wrapper make_wrapper(std::size_t start, std::size_t end, std::span<const std::uint8_t> payload) {
  Wrapper w;
  w.payload.assign(payload.begin(), payload.end());
  w.version = VERSION;
  w.start = start;
  w.length = end - start;
  return w;
}

}  // namespace

std::vector<Wrapper> locate_all(std::string_view text) {
  std::vector<Wrapper> found;
  scan(text, [&](std::size_t start, std::size_t end, std::span<const std::uint8_t> d) {
    if (const auto payload = valid_payload(d)) found.push_back(make_wrapper(start, end, *payload));
    return true;
  });
  return found;
}

Result<Wrapper> extract(std::string_view text) {
  std::optional<Wrapper> first;
  bool multiple = false;
  // A second valid wrapper settles the answer, so the scan stops there.
  scan(text, [&](std::size_t start, std::size_t end, std::span<const std::uint8_t> d) {
    const auto payload = valid_payload(d);
    if (!payload) return true;
    if (first) {
      multiple = true;
      return false;
    }
    first = make_wrapper(start, end, *payload);
    return true;
  });
  if (multiple) return std::unexpected(Error::multiple_wrappers());
  if (first) return std::move(*first);

  bool corrupted = false;
  scan(text, [&](std::size_t, std::size_t, std::span<const std::uint8_t> d) {
    corrupted = has_magic(d);
    return !corrupted;
  });
  return std::unexpected(corrupted ? Error::corrupted_wrapper() : Error::not_found());
}

bool is_char_boundary(std::string_view text, std::uint64_t offset) noexcept {
  if (offset == 0 || offset == text.size()) return true;
  if (offset > text.size()) return false;
  const auto b = static_cast<unsigned char>(text[static_cast<std::size_t>(offset)]);
  return b < 0x80 || b > 0xBF;
}

Result<std::string> strip(std::string_view text, std::uint64_t start, std::uint64_t end) {
  if (end > text.size() || start > end || !is_char_boundary(text, start) ||
      !is_char_boundary(text, end)) {
    return std::unexpected(Error::exclusion_malformed());
  }
  const auto s = static_cast<std::size_t>(start);
  const auto e = static_cast<std::size_t>(end);
  std::string out;
  out.reserve(text.size() - (e - s));
  out.append(text.substr(0, s));
  out.append(text.substr(e));
  return out;
}

}  // namespace quorvane::wrapper
