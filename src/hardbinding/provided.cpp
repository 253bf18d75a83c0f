#include <quorvane/hardbinding/provided.hpp>
#include "hardbinding/nfc.hpp"

// The low-level SHA-2 functions, deprecated in OpenSSL 3 in favour of EVP,
// need only the SHA-2 code of libcrypto: the one-shot SHA256() and EVP go
// through the provider machinery, which a static link would carry whole.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unicode/uversion.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

namespace quorvane::hardbinding::provided {

std::vector<std::uint8_t> BuiltinCrypto::digest(Algorithm alg,
                                                std::span<const std::uint8_t> data) const {
  std::vector<std::uint8_t> out(alg.digest_length());
  switch (alg.value()) {
    case Algorithm::Sha256: {
      SHA256_CTX ctx;
      SHA256_Init(&ctx);
      SHA256_Update(&ctx, data.data(), data.size());
      SHA256_Final(out.data(), &ctx);
      break;
    }
    case Algorithm::Sha384: {
      SHA512_CTX ctx;
      SHA384_Init(&ctx);
      SHA384_Update(&ctx, data.data(), data.size());
      SHA384_Final(out.data(), &ctx);
      break;
    }
    case Algorithm::Sha512: {
      SHA512_CTX ctx;
      SHA512_Init(&ctx);
      SHA512_Update(&ctx, data.data(), data.size());
      SHA512_Final(out.data(), &ctx);
      break;
    }
  }
  return out;
}

NfcDataVersion nfc_data_version() {
  char text[U_MAX_VERSION_STRING_LENGTH];
  UVersionInfo v;
  NfcDataVersion out;
  u_getUnicodeVersion(v);
  u_versionToString(v, text);
  out.unicode = text;
  u_getVersion(v);
  u_versionToString(v, text);
  out.icu = text;
  return out;
}

namespace {

bool in_quick_yes_ranges(char32_t c) noexcept {
  // Binary search for the last range that starts at or before c.
  const auto* begin = std::begin(kNfcQuickYesRanges);
  const auto* end = std::end(kNfcQuickYesRanges);
  const auto* after = std::upper_bound(
      begin, end, c, [](char32_t v, const CodePointRange& r) { return v < r.first; });
  return after != begin && c <= (after - 1)->last;
}

// How many of the bytes at p (16 of them readable) are below 0xCC, counted
// from the first; 16 when all are.
std::size_t bytes_below_cc(const unsigned char* p) noexcept {
#if defined(__SSE2__)
  const __m128i limit = _mm_set1_epi8(static_cast<char>(0xCB));
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // A lane is at most 0xCB exactly when max(lane, 0xCB) is 0xCB.
  const unsigned below =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(v, limit), limit)));
  return static_cast<std::size_t>(std::countr_one(below));  // bit 16 and up are 0
#else
  std::size_t k = 0;
  while (k < 16 && p[k] < 0xCC) ++k;
  return k;
#endif
}

// Index of the first character of the valid UTF-8 `p[0..n)` that is not
// known to be NFC quick-check Yes with combining class 0, or n. Everything
// before it is in NFC on its own: no character there decomposes, reorders
// or composes with its predecessor. Bytes below 0xCC (ASCII, continuation
// bytes, leads of U+0080..U+02FF) are passed over up to 16 at a time.
std::size_t first_non_trivial(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = 0;
  while (i < n) {
    const unsigned lead = p[i];
    if (lead < 0xCC) {
      if (n - i < 16) {
        ++i;
        continue;
      }
      // Whole blocks in a tight loop, then up to the first byte that is not
      // below 0xCC; near the end, byte by byte again.
      std::size_t k;
      while ((k = bytes_below_cc(p + i)) == 16) {
        i += 16;
        if (n - i < 16) break;
      }
      if (k < 16) i += k;
      continue;
    }
    // Leads E5..E9 start U+5000..U+9FFF (CJK ideographs), EB and EC start
    // U+B000..U+CFFF (Hangul syllables): no need to decode them.
    if ((lead >= 0xE5 && lead <= 0xE9) || lead == 0xEB || lead == 0xEC) {
      i += 3;
      continue;
    }
    char32_t c;
    std::size_t width;
    if (lead < 0xE0) {
      c = ((lead & 0x1Fu) << 6) | (p[i + 1] & 0x3Fu);
      width = 2;
    } else if (lead < 0xF0) {
      c = ((lead & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
      width = 3;
    } else {
      c = ((lead & 0x07u) << 18) | ((p[i + 1] & 0x3Fu) << 12) | ((p[i + 2] & 0x3Fu) << 6) |
          (p[i + 3] & 0x3Fu);
      width = 4;
    }
    if (!in_quick_yes_ranges(c)) return i;
    i += width;
  }
  return n;
}

// The length of the leading span of `p[0..n)` that NFC leaves alone and that
// ends at a normalisation boundary: everything before the character in front
// of the first non-trivial one (that character may still compose with what
// follows; it is a quick-check-Yes starter, so a boundary lies before it).
// Returns n when the whole text is trivial.
std::size_t trivial_prefix(const unsigned char* p, std::size_t n) noexcept {
  std::size_t cut = first_non_trivial(p, n);
  if (cut == n || cut == 0) return cut;
  --cut;
  while (cut > 0 && (p[cut] & 0xC0) == 0x80) --cut;
  return cut;
}

const icu::Normalizer2& nfc_instance() {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status) || nfc == nullptr) {
    // ICU without its data cannot normalise at all; nothing sensible can be
    // returned, and silently hashing unnormalised text would be worse.
    throw std::runtime_error("ICU NFC normaliser unavailable");
  }
  return *nfc;
}

// Canonical ordering inside ICU inserts each combining mark into place one
// at a time, which is quadratic in the length of a run of marks given out
// of order: 100 000 marks of alternating classes after one letter take
// seconds, in normalising and in checking for NFC alike. Sorting such a run
// by combining class first (keeping the text order within a class) is a
// canonically equivalent rewrite, since it only swaps neighbouring marks of
// different non-zero classes, so NFC is unchanged, and ICU then only ever
// appends. Marks that decompose end a run: their parts are ordered after
// decomposition. Runs of up to kSortRun marks are left to ICU.
constexpr std::size_t kSortRun = 32;

// Whether `text` holds a run of more than kSortRun marks out of order; with
// `out` given, also writes `text` with every such run sorted to it.
bool presort_marks(const icu::Normalizer2& nfc, std::string_view text, std::string* out) {
  struct Mark {
    std::uint8_t ccc;
    std::size_t at, width;
  };
  const auto by_class = [](const Mark& a, const Mark& b) {
    return a.ccc != b.ccc ? a.ccc < b.ccc : a.at < b.at;
  };
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  std::vector<Mark> run;
  bool found = false;
  std::size_t copied = 0;
  // Ends the current run at `end`; false stops the scan.
  const auto flush = [&](std::size_t end) {
    const bool unordered =
        run.size() > kSortRun && !std::is_sorted(run.begin(), run.end(), by_class);
    if (unordered) {
      found = true;
      if (out == nullptr) return false;
      if (copied == 0) out->reserve(text.size());
      out->append(text.substr(copied, run.front().at - copied));
      std::sort(run.begin(), run.end(), by_class);
      for (const Mark& m : run) out->append(text.substr(m.at, m.width));
      copied = end;
    }
    run.clear();
    return true;
  };
  std::size_t i = 0;
  icu::UnicodeString decomposition;
  while (i < text.size()) {
    const std::size_t at = i;
    UChar32 c;
    U8_NEXT_UNSAFE(s, i, c);
    const std::uint8_t ccc = nfc.getCombiningClass(c);
    if (ccc != 0 && !nfc.getDecomposition(c, decomposition)) {
      run.push_back({ccc, at, i - at});
    } else if (!flush(at)) {
      return true;
    }
  }
  if (!flush(text.size())) return true;
  if (found) out->append(text.substr(copied));
  return found;
}

// Characters whose combining class is 0 without asking ICU: the listed
// quick-check ranges and the Hangul jamo (which are quick-check Maybe or No,
// so not in those ranges, but never marks).
bool has_class_zero(char32_t c) noexcept {
  return (c >= 0x1100 && c <= 0x11FF) || in_quick_yes_ranges(c);
}

// Whether the UTF-8 `text` holds a run of more than kSortRun combining
// marks out of canonical order. Characters below U+0300 (bytes below 0xCC)
// and those known to have class 0 end a run without a lookup. Marks that
// decompose count as marks here, so the answer may be yes where
// presort_marks then finds nothing to do, never the other way.
bool marks_out_of_order(const icu::Normalizer2& nfc, std::string_view text) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  std::size_t run = 0;
  std::uint8_t previous = 0;
  bool unordered = false;
  std::size_t i = 0;
  while (i < text.size()) {
    if (s[i] < 0xCC) {
      run = 0;
      unordered = false;
      ++i;
      continue;
    }
    UChar32 c;
    U8_NEXT_UNSAFE(s, i, c);
    const std::uint8_t ccc =
        has_class_zero(static_cast<char32_t>(c)) ? 0 : nfc.getCombiningClass(c);
    if (ccc == 0) {
      run = 0;
      unordered = false;
      continue;
    }
    if (run > 0 && ccc < previous) unordered = true;
    previous = ccc;
    if (++run > kSortRun && unordered) return true;
  }
  return false;
}

// The cheap test in front of presort_marks. Marks are never ASCII and take
// at least two bytes, so only stretches of more than 2 * kSortRun bytes
// without an ASCII byte can hold a run long enough to matter; only those
// are looked at character by character.
bool may_need_presort(const icu::Normalizer2& nfc, std::string_view text) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    while (i < n && s[i] < 0x80) ++i;
    const std::size_t start = i;  // a lead byte: the byte before is ASCII
    while (i < n && s[i] >= 0x80) ++i;
    if (i - start > 2 * kSortRun && marks_out_of_order(nfc, text.substr(start, i - start))) {
      return true;
    }
  }
  return false;
}

// Normalises one piece that ICU can take in a single call.
void normalize_piece(const icu::Normalizer2& nfc, std::string_view piece, std::string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
  if (first_non_trivial(p, piece.size()) == piece.size()) {
    out.append(piece);
    return;
  }
  std::string presorted;
  if (may_need_presort(nfc, piece) && presort_marks(nfc, piece, &presorted)) piece = presorted;
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode status = U_ZERO_ERROR;
  nfc.normalizeUTF8(0, icu::StringPiece(piece.data(), static_cast<int32_t>(piece.size())), sink,
                    nullptr, status);
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  if (U_FAILURE(status)) throw std::runtime_error("ICU normalisation failed");
}

// The largest cut point in (from, limit] at which the text has a
// normalisation boundary, or `from` when there is none.
std::size_t boundary_at_or_before(const icu::Normalizer2& nfc, std::string_view text,
                                  std::size_t from, std::size_t limit) {
  std::size_t cut = limit;
  while (cut > from) {
    // Back up to the first byte of a character.
    while (cut > from && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    if (cut == from) break;
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    std::size_t i = cut;
    UChar32 c;
    U8_NEXT_UNSAFE(s, i, c);
    if (nfc.hasBoundaryBefore(c)) return cut;
    --cut;
  }
  return from;
}

std::size_t boundary_after(const icu::Normalizer2& nfc, std::string_view text, std::size_t from) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  while (from < text.size() && (s[from] & 0xC0) == 0x80) ++from;
  std::size_t i = from;
  while (i < text.size()) {
    const std::size_t at = i;
    UChar32 c;
    U8_NEXT_UNSAFE(s, i, c);
    if (at > from && nfc.hasBoundaryBefore(c)) return at;
  }
  return text.size();
}

}  // namespace

std::string nfc_normalize(std::string_view text, std::size_t piece) {
  piece = std::clamp<std::size_t>(piece, 1, INT32_MAX);
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());

  std::size_t done = trivial_prefix(p, text.size());
  if (done == text.size()) {
    out.append(text);
    return out;
  }
  out.append(text.substr(0, done));

  const icu::Normalizer2& nfc = nfc_instance();
  while (done < text.size()) {
    std::size_t end = text.size();
    if (end - done > piece) {
      end = boundary_at_or_before(nfc, text, done, done + piece);
      // No boundary inside the piece: take the next one after it, even if
      // that makes the piece longer.
      if (end == done) end = boundary_after(nfc, text, done + piece - 1);
      // A single run without any boundary longer than ICU can take is cut
      // at a character; only texts of over 2 GiB of one combining sequence
      // can reach this.
      if (end - done > INT32_MAX) {
        end = done + INT32_MAX;
        while ((p[end] & 0xC0) == 0x80) --end;
      }
    }
    normalize_piece(nfc, text.substr(done, end - done), out);
    done = end;
  }
  return out;
}

std::string UnicodeNfc::normalize(std::string_view text) const { return nfc_normalize(text); }

bool UnicodeNfc::is_normalized(std::string_view text) const {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t from = trivial_prefix(p, text.size());
  if (from == text.size()) return true;
  const std::size_t rest = text.size() - from;
  if (rest > INT32_MAX) return false;
  // Marks out of canonical order are not NFC; ICU would sort them to see.
  if (may_need_presort(nfc_instance(), text.substr(from))) return false;
  UErrorCode status = U_ZERO_ERROR;
  const bool yes = nfc_instance().isNormalizedUTF8(
      icu::StringPiece(text.data() + from, static_cast<int32_t>(rest)), status);
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  return U_SUCCESS(status) && yes;
}

std::string UnicodeNfc::normalize_owned(std::string&& text) const {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  if (first_non_trivial(p, text.size()) == text.size()) return std::move(text);
  return nfc_normalize(text);
}

}  // namespace quorvane::hardbinding::provided
