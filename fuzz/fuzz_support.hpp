// Shared pieces of the fuzz targets: a reader over the fuzzer's bytes, the
// mapping of arbitrary bytes to valid UTF-8 that leans towards the characters
// the wrapper reader cares about, the exact-size heap copy that makes an
// overread visible to AddressSanitizer, and slow reference versions of the
// range checks, the hashed bytes and verification.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <quorvane/error.hpp>
#include <quorvane/hardbinding.hpp>
#include <quorvane/hardbinding/provided.hpp>
#include <quorvane/hardbinding/streamed.hpp>
#include <quorvane/wrapper.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "provided/nfc.hpp"
#include "support/reference.hpp"

// A failed property aborts, so libFuzzer (or the replay main) reports the
// input as a crash and keeps it.
#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (false)

namespace quorvane::fuzz {

using testing::ByteVec;

// Wide enough that sums of two 64-bit sizes cannot wrap.
__extension__ typedef unsigned __int128 Wide;

// Reads the fuzzer's bytes front to back; reads past the end give zeros.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}

  bool empty() const { return n_ == 0; }
  std::size_t remaining() const { return n_; }

  std::uint8_t byte() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }
  // Two bytes, most significant first.
  unsigned u16() {
    const unsigned hi = byte();
    return (hi << 8) | byte();
  }
  std::uint64_t u64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | byte();
    return v;
  }
  // Up to `k` raw bytes.
  ByteVec take(std::size_t k) {
    k = k < n_ ? k : n_;
    ByteVec out(p_, p_ + k);
    p_ += k;
    n_ -= k;
    return out;
  }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
};

// The input as an exact-size heap block, so reading one byte past the end of
// the text is a heap-buffer-overflow rather than a read of spare capacity.
class HeapCopy {
 public:
  explicit HeapCopy(std::string_view s) : n_(s.size()), buf_(new char[s.size()]) {
    if (n_ != 0) std::memcpy(buf_.get(), s.data(), n_);
  }
  std::string_view view() const { return {buf_.get(), n_}; }

 private:
  std::size_t n_;
  std::unique_ptr<char[]> buf_;
};

inline void append_cp(std::string& out, char32_t cp) { out += testing::utf8(cp); }

// Code points around the edges the reader and the normaliser care about.
inline constexpr char32_t kSpecial[] = {
    0xFDFF,  0xFE00, 0xFE0F, 0xFE10, 0xFEFE, 0xFEFF,  0xFFFD,  0xE00FF, 0xE0100, 0xE01EF,
    0xE01F0, 0x0301, 0x0327, 0x0344, 0x0F73, 0x1D160, 0x1D15F, 0x00E9,  0x212B,  0x2126,
    0xAC00,  0x1100, 0x1161, 0x11A8, 0x0065, 0x0041,  0x00C5,  0x2ADC,  0x0B47,  0x0B3E,
    0x09C7,  0x09BE, 0x1B05, 0x1B35, 0x3099, 0x304B,  0x05B0,  0x0591,  0x302A,  0x1E0A};

// Appends one token of valid UTF-8 chosen by the input.
inline void append_token(Input& in, std::string& out) {
  const std::uint8_t kind = in.byte();
  switch (kind % 12) {
    case 0:
    case 1:
      out += static_cast<char>(in.byte() & 0x7F);
      break;
    case 2:
      out += wrapper::MARKER;
      break;
    case 3:
      append_cp(out, testing::selector_of(in.byte()));
      break;
    case 4: {  // a run of selectors without a marker
      const std::size_t k = in.byte() % 32;
      for (std::size_t i = 0; i < k; ++i) append_cp(out, testing::selector_of(in.byte()));
      break;
    }
    case 5: {  // a marker (or, rarely, none) and a header, with a payload that may be short or long
      const std::uint8_t v = in.byte();
      const std::uint8_t version = v < 0xE0 ? 1 : static_cast<std::uint8_t>(v & 0x0F);
      const std::uint8_t l = in.byte();
      std::uint32_t length = l % 24;
      if (l >= 0xF8) length = static_cast<std::uint32_t>(in.u64());
      ByteVec run = testing::header(length, version);
      const std::uint8_t d = in.byte();
      std::size_t count = length < 64 ? length : 64;
      count = count + d % 5 >= 2 ? count + d % 5 - 2 : 0;
      for (std::size_t i = 0; i < count; ++i) run.push_back(in.byte());
      // Sanitisers that drop U+FEFF leave such orphaned runs behind.
      out += v >= 0xD0 && v < 0xE0 ? testing::selectors(run) : testing::marked(run);
      break;
    }
    case 6: {  // a marker and a prefix of the magic
      const ByteVec header = testing::header(0);
      out += testing::marked(ByteVec(header.begin(), header.begin() + in.byte() % 10));
      break;
    }
    case 7:
      append_cp(out, kSpecial[in.byte() % std::size(kSpecial)]);
      break;
    case 8: {
      append_cp(out, 0x80 + in.u16() % (0x800 - 0x80));
      break;
    }
    case 9: {
      char32_t cp = 0x800 + in.u16() % (0x10000 - 0x800);
      if (cp >= 0xD800 && cp <= 0xDFFF) cp += 0x800;  // no surrogates
      append_cp(out, cp);
      break;
    }
    case 10: {
      const unsigned hi = in.byte();
      append_cp(out, 0x10000 + ((hi << 16) | in.u16()) % 0x100000);
      break;
    }
    case 11: {  // a run of combining marks
      const std::size_t k = in.byte() % 16;
      for (std::size_t i = 0; i < k; ++i) {
        const std::uint8_t m = in.byte();
        append_cp(out, m < 0x70   ? 0x0300 + m
                       : m < 0xB0 ? 0x0591 + (m - 0x70) % 0x2D
                                  : 0x1DC0 + (m - 0xB0) % 0x40);
      }
      break;
    }
  }
}

// Valid UTF-8 built from up to `max_tokens` tokens of the input.
inline std::string text_from(Input& in, std::size_t max_tokens = SIZE_MAX) {
  std::string out;
  for (std::size_t i = 0; i < max_tokens && !in.empty(); ++i) append_token(in, out);
  return out;
}

// ---- slow references -----------------------------------------------------

// NFC straight from ICU, the whole text in one call, no fast path.
using testing::ref_nfc;

// Character boundaries by decoding every code point.
inline bool ref_is_boundary(std::string_view text, std::uint64_t offset) {
  if (offset == text.size()) return true;
  for (const testing::CodePoint& c : testing::code_points(text)) {
    if (c.offset == offset) return true;
    if (c.offset > offset) break;
  }
  return false;
}

inline std::optional<std::string> ref_strip(std::string_view text, std::uint64_t start,
                                            std::uint64_t end) {
  if (end > text.size() || start > end || !ref_is_boundary(text, start) ||
      !ref_is_boundary(text, end)) {
    return std::nullopt;
  }
  return std::string(text.substr(0, start)) + std::string(text.substr(end));
}

// The kept bytes before normalisation, or nullopt for a malformed list.
inline std::optional<std::string> ref_kept(std::string_view text,
                                           std::span<const hardbinding::Exclusion> exclusions) {
  std::string kept;
  Wide cursor = 0;
  for (const hardbinding::Exclusion& ex : exclusions) {
    const Wide end = static_cast<Wide>(ex.start) + ex.length;
    if (end > UINT64_MAX) return std::nullopt;
    if (ex.start < cursor) return std::nullopt;
    if (end > text.size()) return std::nullopt;
    if (!ref_is_boundary(text, ex.start)) return std::nullopt;
    if (!ref_is_boundary(text, static_cast<std::uint64_t>(end))) return std::nullopt;
    for (auto i = static_cast<std::size_t>(cursor); i < ex.start; ++i) kept += text[i];
    cursor = end;
  }
  for (auto i = static_cast<std::size_t>(cursor); i < text.size(); ++i) kept += text[i];
  return kept;
}

// Verification step by step, with the library's NFC and SHA-2 as the
// dependencies they stand for.
inline std::optional<ErrorKind> ref_verify(std::string_view text,
                                           const hardbinding::DataHash& binding) {
  if (binding.exclusions.empty()) return ErrorKind::ExclusionMalformed;
  std::optional<hardbinding::Algorithm> alg;
  if (binding.alg == "sha256") alg = hardbinding::Algorithm::Sha256;
  if (binding.alg == "sha384") alg = hardbinding::Algorithm::Sha384;
  if (binding.alg == "sha512") alg = hardbinding::Algorithm::Sha512;
  if (!alg) return ErrorKind::UnsupportedAlgorithm;
  const auto found = testing::ref_locate_all(text);
  if (found.size() != 1) return testing::ref_extract_error(text);
  bool matched = false;
  for (const auto& ex : binding.exclusions) {
    matched = matched || (ex.start == found[0].start && ex.length == found[0].length);
  }
  if (!matched) return ErrorKind::ExclusionMalformed;
  const auto kept = ref_kept(text, binding.exclusions);
  if (!kept) return ErrorKind::ExclusionMalformed;
  const std::string nfc = ref_nfc(*kept);
  const ByteVec digest =
      hardbinding::provided::BuiltinCrypto{}.digest(*alg, wrapper::as_bytes(nfc));
  if (digest != binding.hash) return ErrorKind::HashMismatch;
  return std::nullopt;
}

// An offset for a text of `n` bytes: mostly small or near the ends, now and
// then near the top of the 64-bit range.
inline std::uint64_t offset_from(Input& in, std::size_t n) {
  const std::uint8_t mode = in.byte();
  switch (mode % 8) {
    case 0:
      return UINT64_MAX - in.byte();
    case 1:
      return in.u64();
    case 2:
      return n + in.byte() % 4;
    default:
      return in.byte() % (n + 2);
  }
}

inline std::optional<ErrorKind> kind_of(const Status& s) {
  if (s) return std::nullopt;
  return s.error().kind();
}

}  // namespace quorvane::fuzz
