#include "provided/nfc_data.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unicode/uversion.h>

#include <algorithm>
#include <memory>
#include <new>
#include <quorvane/hardbinding/provided.hpp>
#include <stdexcept>

#include "simd/scan.hpp"

namespace quorvane::hardbinding::provided {

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

CodePointTable::CodePointTable() {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeSet trivial;
  trivial.applyIntPropertyValue(UCHAR_NFC_QUICK_CHECK, UNORM_YES, status);
  icu::UnicodeSet class_zero;
  class_zero.applyIntPropertyValue(UCHAR_CANONICAL_COMBINING_CLASS, 0, status);
  trivial.retainAll(class_zero);
  icu::UnicodeSet lead_zero;
  lead_zero.applyIntPropertyValue(UCHAR_LEAD_CANONICAL_COMBINING_CLASS, 0, status);
  icu::UnicodeSet decomposable;
  decomposable.applyIntPropertyValue(UCHAR_NFD_QUICK_CHECK, UNORM_NO, status);
  if (U_FAILURE(status) || trivial.isBogus() || lead_zero.isBogus() || decomposable.isBogus()) {
    if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    throw std::runtime_error("ICU normalisation data unavailable");
  }
  fill(trivial_, trivial, false);
  for (int32_t r = 0; r < trivial.getRangeCount(); ++r) {
    trivial_ranges_.push_back({static_cast<char32_t>(trivial.getRangeStart(r)),
                               static_cast<char32_t>(trivial.getRangeEnd(r))});
  }
  const auto non_starter = std::make_unique<Bits>();  // too big for a thread's stack
  fill(*non_starter, lead_zero, true);
  // Thirty-two code points of each bitmap interleaved into a word.
  for (std::size_t w = 0; w < classes_.size(); ++w) {
    const auto half = [&](const Bits& bits) { return spread(bits[w / 2] >> (32 * (w % 2))); };
    classes_[w] = half(trivial_) | (half(*non_starter) << 1);
  }
  const icu::Normalizer2& nfc = nfc_instance();
  icu::UnicodeString decomposition;
  for (int32_t r = 0; r < decomposable.getRangeCount(); ++r) {
    for (UChar32 c = decomposable.getRangeStart(r); c <= decomposable.getRangeEnd(r); ++c) {
      if (nfc.getDecomposition(c, decomposition)) {
        max_decomposition_ = std::max<std::size_t>(
            max_decomposition_, static_cast<std::size_t>(decomposition.countChar32()));
      }
    }
  }
}

// The low 32 bits of v moved to the even bits of the result.
std::uint64_t CodePointTable::spread(std::uint64_t v) noexcept {
  v &= 0xFFFFFFFFu;
  v = (v | (v << 16)) & 0x0000FFFF0000FFFFu;
  v = (v | (v << 8)) & 0x00FF00FF00FF00FFu;
  v = (v | (v << 4)) & 0x0F0F0F0F0F0F0F0Fu;
  v = (v | (v << 2)) & 0x3333333333333333u;
  v = (v | (v << 1)) & 0x5555555555555555u;
  return v;
}

// Sets the bits of the code points in `set`, or of those not in it.
void CodePointTable::fill(Bits& bits, const icu::UnicodeSet& set, bool complement) {
  bits.fill(complement ? ~std::uint64_t{0} : 0);
  for (int32_t r = 0; r < set.getRangeCount(); ++r) {
    for (UChar32 c = set.getRangeStart(r); c <= set.getRangeEnd(r); ++c) {
      const auto u = static_cast<std::uint32_t>(c);
      const std::uint64_t bit = std::uint64_t{1} << (u & 63);
      if (complement) {
        bits[u >> 6] &= ~bit;
      } else {
        bits[u >> 6] |= bit;
      }
    }
  }
}

const CodePointTable& table() {
  static const auto* const t = new CodePointTable();  // built once, thread-safe, never freed
  return *t;
}

std::size_t first_non_trivial(const CodePointTable& t, const unsigned char* p, std::size_t from,
                              std::size_t n) noexcept {
  std::size_t i = from;
  while (i < n) {
    if (p[i] < 0xCC) {
      // Bytes below 0xCC (ASCII, continuation bytes, the leads of
      // U+0080..U+02FF) are all parts of trivial characters. Short
      // stretches of them (the spaces and stops between the words of other
      // scripts) are passed over here, long ones by the vector scan.
      const std::size_t near = std::min(n, i + 8);
      std::size_t k = i + 1;
      while (k < near && p[k] < 0xCC) ++k;
      i = k < near || k == n ? k : k + simd::first_at_least(p + k, n - k, 0xCC);
      continue;
    }
    if ((p[i] & 0xF0) == 0xE0) {
      // Characters of 3 bytes (most of CJK, Hangul, punctuation) come in
      // runs: a loop for them alone, without the dispatch on each lead.
      do {
        const char32_t c = ((p[i] & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu);
        if (!t.trivial(c)) return i;
        i += 3;
      } while (i < n && (p[i] & 0xF0) == 0xE0);
      continue;
    }
    std::size_t width;
    const char32_t c = decode(p, i, width);
    if (!t.trivial(c)) return i;
    i += width;
  }
  return n;
}

bool all_trivial(std::span<const char32_t> code_points) {
  const CodePointTable& t = table();
  bool trivial = true;
  // Blocks of code points without a branch on each; the first block with
  // a character that is not trivial ends the search.
  constexpr std::size_t kBlock = 64;
  for (std::size_t at = 0; trivial && at < code_points.size(); at += kBlock) {
    const auto block = code_points.subspan(at, std::min(kBlock, code_points.size() - at));
    for (const char32_t c : block) trivial &= c < 0x110000 && t.trivial(c);
  }
  return trivial;
}

void append_utf8(std::string& out, char32_t c) {
  char buf[4];
  std::size_t n = 0;
  U8_APPEND_UNSAFE(buf, n, static_cast<UChar32>(c));
  out.append(buf, n);
}

// The full canonical decomposition of the character at text[i] (itself
// when it has none); advances i past it.
void decompose_at(const icu::Normalizer2& nfc, std::string_view text, std::size_t& i,
                  icu::UnicodeString& decomposition, std::u32string& out) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  UChar32 c;
  U8_NEXT_UNSAFE(s, i, c);
  out.clear();
  if (c < 0xC0 || !nfc.getDecomposition(c, decomposition)) {
    out.push_back(static_cast<char32_t>(c));
    return;
  }
  for (int32_t k = 0; k < decomposition.length();) {
    const UChar32 d = decomposition.char32At(k);
    out.push_back(static_cast<char32_t>(d));
    k += U16_LENGTH(d);
  }
}

bool nfc_trivial(char32_t c) noexcept { return c < 0x110000 && table().trivial(c); }
bool nfc_non_starter(char32_t c) noexcept { return c < 0x110000 && table().non_starter(c); }
CodePointSet nfc_trivial_set() noexcept { return table().trivial_set(); }

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

}  // namespace quorvane::hardbinding::provided
