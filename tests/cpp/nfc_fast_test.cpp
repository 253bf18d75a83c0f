// The code points that UnicodeNfc passes over without ICU, checked against
// ICU's own normalisation data, and the fast paths checked against ICU on
// texts where they meet characters that do interact.
#include <gtest/gtest.h>
#include <hwy/targets.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <bit>
#include <fstream>
#include <iostream>
#include <quorvane/hardbinding/provided.hpp>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#if HWY_ARCH_ARM_A64 && defined(__linux__)
#include <sys/auxv.h>
#endif

#include "provided/nfc.hpp"
#include "simd/every_target.hpp"
#include "simd/scan.hpp"
#include "simd/selectors.hpp"
#include "simd/utf32.hpp"

namespace quorvane::hardbinding::provided {
namespace {

using namespace simd;  // the kernels under test

const icu::Normalizer2& icu_nfc() {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  EXPECT_TRUE(U_SUCCESS(status));
  return *nfc;
}

std::string icu_normalize(const std::string& text) {
  UErrorCode status = U_ZERO_ERROR;
  std::string out;
  icu::StringByteSink<std::string> sink(&out);
  icu_nfc().normalizeUTF8(0, text, sink, nullptr, status);
  EXPECT_TRUE(U_SUCCESS(status));
  return out;
}

std::string utf8(char32_t c) {
  std::string out;
  icu::UnicodeString(static_cast<UChar32>(c)).toUTF8String(out);
  return out;
}

TEST(NfcFastPath, PerCodePointTableAgreesWithIcuForEveryCodePoint) {
  const icu::Normalizer2& nfc = icu_nfc();
  for (char32_t c = 0; c < 0x110000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const auto u = static_cast<UChar32>(c);
    UErrorCode status = U_ZERO_ERROR;
    const bool yes = nfc.quickCheck(icu::UnicodeString(u), status) == UNORM_YES;
    ASSERT_TRUE(U_SUCCESS(status));
    const bool trivial = yes && nfc.getCombiningClass(u) == 0;
    ASSERT_EQ(nfc_trivial(c), trivial) << std::hex << static_cast<unsigned>(c);
    // What the scan relies on: a boundary before every trivial character.
    if (trivial) ASSERT_TRUE(nfc.hasBoundaryBefore(u)) << std::hex << static_cast<unsigned>(c);
    ASSERT_EQ(nfc_non_starter(c),
              u_getIntPropertyValue(u, UCHAR_LEAD_CANONICAL_COMBINING_CLASS) != 0)
        << std::hex << static_cast<unsigned>(c);
  }
  // Bytes below 0xCC (up to U+02FF) are passed over without a lookup.
  for (char32_t c = 0; c < 0x300; ++c) ASSERT_TRUE(nfc_trivial(c));
}

// The vector scan under every instruction set compiled in and present on
// this CPU agrees with the plain loop, for a hit at every offset around the
// vector widths and for none.
TEST(NfcFastPath, VectorScanMatchesScalarUnderEveryTarget) {
  std::mt19937 rng(12);
  std::vector<std::uint8_t> bytes(300);
  for (const std::uint8_t limit : {std::uint8_t{0x80}, std::uint8_t{0xCC}, std::uint8_t{0xFF}}) {
    for (std::size_t hit = 0; hit <= bytes.size(); ++hit) {
      for (auto& b : bytes) b = static_cast<std::uint8_t>(rng() % limit);
      if (hit < bytes.size()) bytes[hit] = static_cast<std::uint8_t>(limit + rng() % (256 - limit));
      for (const std::size_t from : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
        const std::size_t n = bytes.size() - from - hit % 3;
        const std::size_t expected = first_at_least_scalar(bytes.data() + from, n, limit);
        ASSERT_EQ(first_at_least(bytes.data() + from, n, limit), expected);
        for (const std::size_t got : first_at_least_every_target(bytes.data() + from, n, limit)) {
          ASSERT_EQ(got, expected) << "hit " << hit << " from " << from;
        }
      }
    }
  }
}

// The vector transcoder under every instruction set agrees with the plain
// loop and with ICU, on runs that mix every UTF-8 length across the vector
// widths, and refuses a surrogate or a value past U+10FFFF wherever it is.
TEST(NfcFastPath, VectorTranscoderMatchesScalarAndIcuUnderEveryTarget) {
  const std::u32string pool = {U'a',      U'~',      U'\u00e9',     U'\u07ff',     U'\u0800',
                               U'\u4e2d', U'\uffff', U'\U00010000', U'\U0001f600', U'\U0010ffff'};
  std::mt19937 rng(32);
  for (int trial = 0; trial < 2000; ++trial) {
    // Some longer than a stretch the UTF-16 transcoder widens at once, or
    // than the sample by which a kernel chooses its paths for a text, and
    // some of one kind alone for long enough to be taken as a run of it.
    const bool pure = trial % 20 == 5;
    const bool long_text = trial % 10 == 0 || pure || trial % 4 == 1;
    std::u32string text(rng() % (long_text ? 2100 : 70), U'a');
    // Runs of one kind (the vector's fast paths), some with others only
    // here and there (a kernel that samples text takes them as of that
    // kind), and mixtures.
    const bool mixed = trial % 2 == 0;
    const unsigned others = trial % 4 == 1 ? 40 : 9;
    char32_t kind = pool[rng() % pool.size()];
    for (auto& c : text) {
      c = mixed ? pool[rng() % pool.size()]
                : (!pure && rng() % others == 0 ? pool[rng() % pool.size()] : kind);
    }
    std::string expected;
    for (char32_t c : text) expected += utf8(c);
    std::vector<char> out(4 * text.size());
    ASSERT_EQ(utf8_from_utf32_scalar(text, out.data()), expected.size());
    ASSERT_EQ(std::string(out.data(), expected.size()), expected);
    const std::size_t n = utf8_from_utf32(text, out.data());
    ASSERT_EQ(std::string(out.data(), n), expected);
    for (const auto& got : utf8_from_utf32_every_target(text)) {
      ASSERT_EQ(std::string(got.begin(), got.end()), expected);
    }
    const char32_t top = text.empty() ? 0 : *std::max_element(text.begin(), text.end());
    for (const utf8::CodePointScan& got : utf8_scan_every_target(text)) {
      ASSERT_EQ(got.utf8_size, expected.size());
      ASSERT_FALSE(got.surrogate);
      ASSERT_EQ(got.max, top);
    }
    // The same text as UTF-16, and with a lone surrogate in it.
    std::u16string units;
    for (char32_t c : text) {
      if (c < 0x10000) {
        units += static_cast<char16_t>(c);
      } else {
        units += {static_cast<char16_t>(U16_LEAD(c)), static_cast<char16_t>(U16_TRAIL(c))};
      }
    }
    for (const auto& got : utf8_from_utf16_every_target(units)) {
      ASSERT_EQ(std::string(got.begin(), got.end()), expected);
    }
    // The same runs as Latin-1, each character past U+00FF taken modulo
    // 0x80 above U+007F.
    std::vector<std::uint8_t> latin1;
    std::string expected_latin1;
    for (char32_t c : text) {
      latin1.push_back(static_cast<std::uint8_t>(c < 0x100 ? c : 0x80 + c % 0x80));
      expected_latin1 += utf8(latin1.back());
    }
    for (const auto& got : utf8_from_latin1_every_target(latin1)) {
      ASSERT_EQ(std::string(got.begin(), got.end()), expected_latin1);
    }
    if (text.empty()) continue;
    units.insert(units.begin() + static_cast<std::ptrdiff_t>(rng() % (units.size() + 1)),
                 static_cast<char16_t>(0xD800 + rng() % 0x800));
    for (const auto& got : utf8_from_utf16_every_target(units)) ASSERT_TRUE(got.empty());
    // Past U+10FFFF also where a signed compare reads the value as negative.
    const char32_t past[] = {0x110000, 0x80000000, 0xFFFFFFFF};
    text[rng() % text.size()] = trial % 3 == 0 ? past[rng() % 3] : char32_t(0xD800 + rng() % 0x800);
    ASSERT_EQ(utf8_from_utf32_scalar(text, out.data()), kNotScalarValues);
    ASSERT_EQ(utf8_from_utf32(text, out.data()), kNotScalarValues);
    for (const auto& got : utf8_from_utf32_every_target(text)) ASSERT_TRUE(got.empty());
    for (const utf8::CodePointScan& got : utf8_scan_every_target(text)) {
      ASSERT_EQ(got.surrogate, trial % 3 != 0);
    }
  }
}

// The transcoder's scan against the NFC fast path's set, under every
// instruction set, against ICU's properties read directly: texts from
// many ranges of the set (more than the scan keeps at once), long and
// short, with one character outside it and a U+FEFF placed anywhere.
TEST(NfcFastPath, TranscoderScanAgreesWithIcuUnderEveryTarget) {
  const std::u32string in_set = {U'a',      U'\u00e9',     U'\u0416',    U'\u0627', U'\u1ed1',
                                 U'\u2014', U'\u200d',     U'\u2764',    U'\u3002', U'\u3042',
                                 U'\u30fc', U'\u4e2d',     U'\uac00',    U'\ufe0f', U'\U0001f4dc',
                                 U'\ud7a3', U'\U0001f600', U'\U0010ffff'};
  const std::u32string outside = {U'\u0301', U'\u3099', U'\u2126', U'\u1161', U'\U0002f800'};
  const auto trivial = [](char32_t c) {
    return u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_NFC_QUICK_CHECK) == UNORM_YES &&
           u_getCombiningClass(static_cast<UChar32>(c)) == 0;
  };
  const CodePointSet set = nfc_trivial_set();
  // The streamed data hash passes Latin-1 pieces through as trivial.
  for (char32_t c = 0; c < 0x100; ++c) ASSERT_TRUE(trivial(c)) << static_cast<unsigned>(c);
  std::mt19937 rng(1208);
  for (int trial = 0; trial < 600; ++trial) {
    std::u32string text(trial % 4 == 0 ? rng() % 2000 : rng() % 90, U'a');
    // A few ranges at a time, or all of them.
    const std::size_t spread = 1 + rng() % in_set.size();
    const std::size_t base = rng() % in_set.size();
    for (auto& c : text) c = in_set[(base + rng() % spread) % in_set.size()];
    if (!text.empty() && trial % 3 == 0)
      text[rng() % text.size()] = outside[rng() % outside.size()];
    if (!text.empty() && trial % 5 == 0) text[rng() % text.size()] = U'\ufeff';
    bool expect_in_set = true, expect_bom = false;
    for (const char32_t c : text) {
      expect_in_set &= trivial(c);
      expect_bom |= c == U'\ufeff';
    }
    std::string expected;
    for (char32_t c : text) expected += utf8(c);
    for (const auto& [bytes, scan] : utf8_from_utf32_scan_every_target(text, set)) {
      ASSERT_EQ(std::string(bytes.begin(), bytes.end()), expected);
      ASSERT_EQ(scan.in_set, expect_in_set) << "trial " << trial;
      ASSERT_EQ(scan.has_bom, expect_bom) << "trial " << trial;
    }
  }
  // One U+FEFF or one character outside the set at every position of a few
  // vectors of one script, and of two scripts in turn.
  const std::u32string fillers[] = {U"a",          U"\u00e9",  U"\u0416a",         U"\u4e2d",
                                    U"\U0001f600", U"a\u3042", U"\u00e9\U0001f600"};
  for (const std::u32string& filler : fillers) {
    for (const char32_t odd : {U'\ufeff', U'\u0301', U'\u3099', U'\u2126'}) {
      for (std::size_t at = 0; at < 70; ++at) {
        std::u32string text(70, U'a');
        for (std::size_t k = 0; k < text.size(); ++k) text[k] = filler[k % filler.size()];
        text[at] = odd;
        std::string expected;
        for (char32_t c : text) expected += utf8(c);
        for (const auto& [bytes, scan] : utf8_from_utf32_scan_every_target(text, set)) {
          ASSERT_EQ(std::string(bytes.begin(), bytes.end()), expected);
          ASSERT_EQ(scan.in_set, odd == U'\ufeff') << "at " << at;
          ASSERT_EQ(scan.has_bom, odd == U'\ufeff') << "at " << at;
        }
      }
    }
  }
}

// The normaliser's block pass over a pending stretch, under every
// instruction set, against a reading of one character at a time that
// stops where its contract says: before the first trivial character that
// finds the tail at the limit, the first non-starter that would take the
// run past its limit, the first character past the budget.
TEST(NfcFastPath, PlainBlockPassMatchesOneCharacterAtATimeUnderEveryTarget) {
  std::vector<std::uint64_t> classes(0x110000 / 32);
  for (char32_t c = 0; c < 0x110000; ++c) {
    const std::uint64_t pair = (nfc_trivial(c) ? 1u : 0u) | (nfc_non_starter(c) ? 2u : 0u);
    classes[c >> 5] |= pair << ((c & 31) * 2);
  }
  const std::u32string pool = {U'a',      U' ',      U'\u00e9',     U'\u0301',    U'\u0316',
                               U'\u0344', U'\u1100', U'\u1161',     U'\u11a8',    U'\uac00',
                               U'\u4e2d', U'\u3099', U'\U0001f600', U'\U0001d165'};
  constexpr std::size_t kTailLimit = 64, kRunLimit = 32;
  std::mt19937 rng(2026);
  for (int trial = 0; trial < 3000; ++trial) {
    std::u32string text(rng() % 200, U'a');
    // Mostly one or two kinds at a time, so that whole blocks pass too.
    const char32_t a = pool[rng() % pool.size()], b = pool[rng() % pool.size()];
    for (auto& c : text) c = rng() % 8 == 0 ? pool[rng() % pool.size()] : (rng() % 2 ? a : b);
    const std::size_t tail0 = rng() % 80, run0 = rng() % 40;
    const std::size_t budget = trial % 3 == 0 ? rng() % 300 : SIZE_MAX;
    // One character at a time.
    std::size_t tail = tail0, run = run0, bytes = 0, k = 0;
    std::u16string units;
    for (; k < text.size(); ++k) {
      const char32_t c = text[k];
      const bool plain = nfc_trivial(c), mark = !plain && nfc_non_starter(c);
      const std::size_t width = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
      if ((plain && tail >= kTailLimit) || (mark && run + 1 > kRunLimit) ||
          bytes + width > budget) {
        break;
      }
      tail = plain ? tail + width : 0;
      run = mark ? run + 1 : 0;
      units += icu::UnicodeString(static_cast<UChar32>(c)).getBuffer()[0];
      if (c >= 0x10000) units += icu::UnicodeString(static_cast<UChar32>(c)).getBuffer()[1];
      bytes += width;
    }
    for (const auto& got : pass_plain_blocks_every_target(text, classes.data(), budget, kTailLimit,
                                                          kRunLimit, tail0, run0)) {
      SCOPED_TRACE(trial);
      ASSERT_EQ(got.passed.code_points, k);
      ASSERT_EQ(got.passed.bytes, bytes);
      ASSERT_EQ(got.units, units);
      ASSERT_EQ(got.tail, tail);
      ASSERT_EQ(got.run, run);
    }
  }
}

// Characters that interact with what stands before them, next to ones the
// fast path passes over.
TEST(NfcFastPath, MatchesIcuWhereListedCharactersMeetInteractingOnes) {
  const std::u32string pool = {
      U'a',      U'e',          U'\u00e9',     U'\u0301', U'\u0308', U'\u0323',  // Latin and marks
      U'\u0435', U'\u0438',     U'\u0306',     U'\u0483',  // Cyrillic, breve, titlo
      U'\u304b', U'\u3099',     U'\u309a',     U'\u30cf',  // kana and voicing marks
      U'\u4e2d', U'\u6587',     U'\uf900',                 // ideographs, compatibility one
      U'\uac00', U'\uc5b4',     U'\u11a8',     U'\u1100', U'\u1161',  // Hangul syllables and jamo
      U'\u2000', U'\u2014',     U'\u212b',                            // singletons, a dash
      U'\ufe0f', U'\U0001f600', U'\U0001f3fd', U'\u200d',             // emoji pieces
  };
  std::mt19937 rng(20261208);
  const UnicodeNfc nfc;
  for (int trial = 0; trial < 3000; ++trial) {
    std::string text;
    const int length = static_cast<int>(rng() % 24);
    for (int i = 0; i < length; ++i) text += utf8(pool[rng() % pool.size()]);
    SCOPED_TRACE(text);
    const std::string expected = icu_normalize(text);
    ASSERT_EQ(nfc.normalize(text), expected);
    ASSERT_EQ(nfc_normalize(text, 1 + rng() % 9), expected);
    ASSERT_EQ(nfc.is_normalized(text), expected == text);
    ASSERT_EQ(nfc.normalize_owned(std::string(text)), expected);
    // Given the code points too, which are read a block at a time: long
    // enough for blocks, with stretches cut at any length.
    const std::string longer = text + text + text + text + text;
    const std::string expected_longer = icu_normalize(longer);
    ASSERT_EQ(nfc_normalize(longer, kDefaultNfcPiece, true), expected_longer);
    ASSERT_EQ(nfc_normalize(longer, 1 + rng() % 120, true), expected_longer);
  }
}

// The byte scan works in blocks of 16; a character that needs ICU at every
// position around the block edges must still reach it.
TEST(NfcFastPath, InteractingCharacterAtEveryOffsetAfterPlainBytes) {
  const UnicodeNfc nfc;
  for (const char32_t tail : {U'\u0301', U'\u212b', U'\u3099', U'\u11a8'}) {
    for (const std::string& filler : {std::string("a"), utf8(U'\u4e2d'), utf8(U'\uac00')}) {
      for (int count = 0; count <= 40; ++count) {
        std::string text;
        for (int i = 0; i < count; ++i) text += filler;
        text += utf8(tail);
        for (int after = 0; after < 3; ++after) {
          SCOPED_TRACE(text);
          const std::string expected = icu_normalize(text);
          ASSERT_EQ(nfc.normalize(text), expected);
          ASSERT_EQ(nfc.is_normalized(text), expected == text);
          text += "z";
        }
      }
    }
  }
}

// Long runs of combining marks out of canonical order are sorted by class
// before ICU sees them (ICU's own ordering is quadratic in the run's
// length); the result must be ICU's NFC of the text as given.
TEST(NfcFastPath, LongMarkRunsOutOfOrderNormaliseLikeIcu) {
  // Classes: U+0316 220, U+0301 230, U+0334 1, U+05B0 10, U+0344 230 and
  // decomposes, U+0F73 0 in NFC terms after decomposition; U+0313, U+0300
  // and U+0345 (240) compose with Greek alpha up to four code points deep.
  const std::u32string marks = {U'\u0316', U'\u0301', U'\u0334', U'\u05b0', U'\u0344', U'\u0f73',
                                U'\u0308', U'\u0327', U'\u0313', U'\u0300', U'\u0345'};
  std::mt19937 rng(7);
  const UnicodeNfc nfc;
  for (int trial = 0; trial < 400; ++trial) {
    const std::string starts[] = {"e", utf8(U'\uac00'), "", utf8(U'\u03b1')};
    std::string text = starts[(trial / 2) % 4];
    const int runs = 1 + static_cast<int>(rng() % 3);
    for (int r = 0; r < runs; ++r) {
      const int length = 20 + static_cast<int>(rng() % 60);
      for (int i = 0; i < length; ++i) text += utf8(marks[rng() % (trial % 2 ? 4 : marks.size())]);
      if (rng() % 2) text += "o";
    }
    SCOPED_TRACE(trial);
    const std::string expected = icu_normalize(text);
    ASSERT_EQ(nfc.normalize(text), expected);
    ASSERT_EQ(nfc_normalize(text, 1 + rng() % 50), expected);
    ASSERT_EQ(nfc.is_normalized(text), expected == text);
    ASSERT_TRUE(nfc.is_normalized(expected));
  }
}

// ---- which instruction sets the every-target tests ran -------------------

std::string target_names(std::int64_t targets) {
  std::string out;
  for (std::int64_t t = targets; t != 0; t &= t - 1) {
    if (!out.empty()) out += ' ';
    out += hwy::TargetName(t & -t);
  }
  return out.empty() ? "none" : out;
}

// The instruction-set features /proc/cpuinfo lists for this CPU (the
// "flags" line on x86, "Features" on Arm), or none if it has no such line.
// On aarch64 Linux without that line (an emulator shows the host's file),
// the same names from the kernel's hardware capabilities instead.
std::vector<std::string> cpu_flags() {
#if HWY_ARCH_X86
  const std::string key = "flags";
#else
  const std::string key = "Features";
#endif
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    if (name != key) continue;
    std::istringstream words(line.substr(colon + 1));
    std::vector<std::string> flags;
    for (std::string w; words >> w;) flags.push_back(w);
    return flags;
  }
#if HWY_ARCH_ARM_A64 && defined(__linux__)
  std::vector<std::string> flags;
  const unsigned long hwcap = getauxval(AT_HWCAP), hwcap2 = getauxval(AT_HWCAP2);
  if (hwcap & HWCAP_ASIMD) flags.emplace_back("asimd");
  if (hwcap & HWCAP_AES) flags.emplace_back("aes");
  if (hwcap & HWCAP_SVE) flags.emplace_back("sve");
  if (hwcap2 & HWCAP2_SVE2) flags.emplace_back("sve2");
  return flags;
#else
  return {};
#endif
}

// The targets whose features the CPU lists, by the features Highway asks
// of each (a superset of them, never fewer). Read from the CPU, not from
// Highway, so that a target Highway fails to detect or to run shows.
std::int64_t targets_cpu_allows(const std::vector<std::string>& flags) {
  const auto has_all = [&](std::initializer_list<const char*> wanted) {
    for (const char* w : wanted) {
      if (std::find(flags.begin(), flags.end(), w) == flags.end()) return false;
    }
    return true;
  };
  std::int64_t allowed = 0;
#if HWY_ARCH_X86
  if (!has_all({"sse", "sse2", "pni", "ssse3"})) return 0;
  allowed |= HWY_SSSE3;
  if (!has_all({"sse4_1", "sse4_2", "pclmulqdq", "aes"})) return allowed;
  allowed |= HWY_SSE4;
  if (!has_all({"avx", "avx2", "bmi1", "bmi2", "fma", "f16c", "abm", "movbe", "popcnt"})) {
    return allowed;
  }
  allowed |= HWY_AVX2;
  if (!has_all({"avx512f", "avx512vl", "avx512dq", "avx512bw"})) return allowed;
  allowed |= HWY_AVX3;
  if (!has_all({"avx512_vnni", "vpclmulqdq", "avx512vbmi", "avx512_vbmi2", "vaes",
                "avx512_vpopcntdq", "avx512_bitalg"})) {
    return allowed;
  }
  allowed |= HWY_AVX3_DL;
#elif HWY_ARCH_ARM_A64
  if (!has_all({"asimd", "aes"})) return 0;
  allowed |= HWY_NEON;
  if (!has_all({"sve"})) return allowed;
  allowed |= HWY_SVE;
  if (has_all({"sve2"})) allowed |= HWY_SVE2;
#endif
  return allowed;
}

struct TestTargets {
  std::string test;
  simd::TargetsRun run;
};

// Every every-target call's record, by the test that made it.
std::vector<TestTargets>& runs_by_test() {
  static std::vector<TestTargets> runs;
  return runs;
}

// The target every CPU runs: the scalar fallback where one is compiled
// (x86_64), otherwise the worst target compiled, which every CPU of the
// architecture has (NEON on aarch64, where Highway compiles no scalar one).
std::int64_t fallback_of(std::int64_t compiled) {
  const std::int64_t scalar = compiled & (HWY_EMU128 | HWY_SCALAR);
  if (scalar != 0 || compiled == 0) return scalar;
  return std::int64_t{1} << (63 - std::countl_zero(static_cast<std::uint64_t>(compiled)));
}

// What one test's calls should have run: the fallback and the best target
// this CPU's flags allow among those compiled. Empty if they did.
std::string missing_targets(const simd::TargetsRun& r, std::int64_t allowed) {
  std::string out;
  const std::int64_t fallback = fallback_of(r.compiled);
  if (fallback == 0) out += "no target compiled; ";
  if ((r.every_call & fallback) != fallback) {
    out += "the fallback, " + target_names(fallback) + ", did not run; ";
  }
  const std::int64_t want = allowed & r.compiled;
  const std::int64_t best = want & -want;
  if ((r.every_call & best) != best) {
    out +=
        std::string("the best target the CPU allows, ") + hwy::TargetName(best) + ", did not run; ";
  }
  return out;
}

// Files each test's calls under its name and prints what they ran.
class TargetsListener : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo& info) override {
    const std::string name = std::string(info.test_suite_name()) + "." + info.name();
    for (const simd::TargetsRun& r : simd::take_targets_run()) {
      std::cout << "[ targets  ] " << name << " ran " << target_names(r.every_call) << " ("
                << r.calls << " calls)\n";
      runs_by_test().push_back({name, r});
    }
  }
};

// At the end of the run: the list of targets run (and of those compiled but
// not run on this CPU), and a failure for any test whose calls missed the
// fallback or the best target.
class TargetsEnvironment : public ::testing::Environment {
  void TearDown() override {
    if (runs_by_test().empty()) return;
    const std::vector<std::string> flags = cpu_flags();
    const std::int64_t allowed = targets_cpu_allows(flags);
    std::int64_t ran = 0, compiled = 0;
    for (const auto& [test, r] : runs_by_test()) {
      ran |= r.every_call;
      compiled |= r.compiled;
      const std::string missing = missing_targets(r, allowed);
      EXPECT_TRUE(missing.empty()) << test << ": " << missing;
    }
    std::cout << "every-target tests ran: " << target_names(ran) << "\n";
    if ((compiled & ~ran) != 0) {
      std::cout << "compiled but not run on this CPU: " << target_names(compiled & ~ran) << "\n";
    }
    if (flags.empty()) {
      std::cout << "this CPU shows no instruction-set features: only the fallback is "
                   "required to have run\n";
    }
  }
};

[[maybe_unused]] const bool targets_accounted = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new TargetsListener);
  ::testing::AddGlobalTestEnvironment(new TargetsEnvironment);
  return true;
}();

// Every kernel's every-target entry point runs the fallback and the
// best target the CPU's own flags allow (so a CPU without AVX-512 says so
// in the list printed at the end, rather than passing silently).
TEST(EveryTarget, FallbackAndBestTargetRan) {
  const std::vector<std::string> flags = cpu_flags();
  const std::int64_t allowed = targets_cpu_allows(flags);
  std::cout << "this CPU's flags allow: " << target_names(allowed)
            << "; Highway finds: " << target_names(hwy::SupportedTargets()) << "\n";
  // Highway detects at least what the flags allow.
  EXPECT_EQ(hwy::SupportedTargets() & allowed, allowed);

  simd::take_targets_run();
  const std::u32string text = U"a\u00e9\u4e2d\U0001f600 plain text, long enough for a vector";
  const std::u16string units = u"a\u00e9\u4e2d plain text, long enough for a vector";
  const std::string bytes(100, 'a');
  const std::vector<std::uint64_t> classes(0x110000 / 32, ~std::uint64_t{0} / 3);
  std::size_t results = 0;
  results += first_at_least_every_target(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                         bytes.size(), 0x80)
                 .size();
  results += pass_plain_blocks_every_target(text, classes.data(), 1000, 64, 30, 0, 0).size();
  results += utf8_from_utf32_every_target(text).size();
  results += utf8_from_utf16_every_target(units).size();
  results += utf8_from_latin1_every_target(std::vector<std::uint8_t>(70, 0xE9)).size();
  const std::vector<std::uint64_t> no_bits(0x110000 / 64);
  const CodePointSet none{
      std::span<const std::uint64_t, 0x110000 / 64>(no_bits.data(), no_bits.size()), {}};
  results += utf8_from_utf32_scan_every_target(text, none).size();
  results += simd::decode_run_every_target(utf8(U'\ufe01') + utf8(U'\U000e0100')).size();
  const std::vector<simd::TargetsRun> runs = simd::take_targets_run();

  std::size_t calls = 0;
  for (const simd::TargetsRun& r : runs) {
    calls += r.calls;
    EXPECT_EQ(missing_targets(r, allowed), "") << "compiled " << target_names(r.compiled);
    EXPECT_EQ(r.every_call, r.any_call);
    runs_by_test().push_back({"EveryTarget.FallbackAndBestTargetRan", r});
  }
  EXPECT_EQ(calls, 7u);
  // One result for each target run, and every target run that the CPU has.
  std::size_t expected_results = 0;
  for (const simd::TargetsRun& r : runs) {
    EXPECT_EQ(r.every_call, r.compiled & hwy::SupportedTargets()) << target_names(r.compiled);
    expected_results +=
        static_cast<std::size_t>(std::popcount(static_cast<std::uint64_t>(r.every_call))) * r.calls;
  }
  EXPECT_EQ(results, expected_results);
  std::int64_t ran = 0;
  for (const simd::TargetsRun& r : runs) ran |= r.every_call;
  std::cout << "every-target kernels ran: " << target_names(ran) << "\n";
}

}  // namespace
}  // namespace quorvane::hardbinding::provided
