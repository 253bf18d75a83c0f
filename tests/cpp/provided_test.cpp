#include <gtest/gtest.h>

#include <fstream>
#include <quorvane/hardbinding/provided.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "provided/nfc.hpp"
#include "support/reference.hpp"

namespace quorvane::hardbinding::provided {
namespace {

using testing::hex;
using testing::unhex;
using testing::utf8;

std::vector<std::string> read_lines(const std::string& name) {
  std::ifstream in(std::string(QUORVANE_TEST_DATA) + "/" + name);
  EXPECT_TRUE(in.good()) << "cannot open " << name;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// ---- SHA-2 ---------------------------------------------------------------

struct Vector {
  std::size_t bytes;
  std::string msg, md;
};

// The "Len = / Msg = / MD =" records of a CAVP response file. Len counts
// bits; a length of 0 comes with the placeholder message "00".
std::vector<Vector> read_vectors(const std::string& name) {
  std::vector<Vector> out;
  std::size_t bits = 0;
  std::string msg;
  for (const std::string& line : read_lines(name)) {
    if (line.starts_with("Len = ")) bits = std::stoul(line.substr(6));
    if (line.starts_with("Msg = ")) msg = unhex(line.substr(6));
    if (line.starts_with("MD = ")) {
      EXPECT_EQ(bits % 8, 0u);
      msg.resize(bits / 8);
      out.push_back({bits / 8, msg, line.substr(5)});
    }
  }
  return out;
}

struct VectorFile {
  const char* name;
  Algorithm alg;
  std::vector<std::size_t> must_hold;  // message lengths around the padding boundary
};

class Cavp : public ::testing::TestWithParam<VectorFile> {};

TEST_P(Cavp, EveryVector) {
  const VectorFile& file = GetParam();
  const std::vector<Vector> vectors = read_vectors(file.name);
  ASSERT_GE(vectors.size(), 64u);
  std::set<std::size_t> lengths;
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.bytes);
    lengths.insert(v.bytes);
    const auto got = BuiltinCrypto{}.digest(file.alg, wrapper::as_bytes(v.msg));
    EXPECT_EQ(got.size(), file.alg.digest_length());
    EXPECT_EQ(hex(got), v.md);
  }
  for (const std::size_t n : file.must_hold) EXPECT_TRUE(lengths.contains(n)) << n;
}

INSTANTIATE_TEST_SUITE_P(
    Files, Cavp,
    ::testing::Values(VectorFile{"SHA256ShortMsg.rsp", Algorithm::Sha256, {0, 55, 56, 63, 64}},
                      VectorFile{"SHA256LongMsg.rsp", Algorithm::Sha256, {}},
                      VectorFile{"SHA384ShortMsg.rsp", Algorithm::Sha384, {0, 111, 112, 127, 128}},
                      VectorFile{"SHA384LongMsg.rsp", Algorithm::Sha384, {}},
                      VectorFile{"SHA512ShortMsg.rsp", Algorithm::Sha512, {0, 111, 112, 127, 128}},
                      VectorFile{"SHA512LongMsg.rsp", Algorithm::Sha512, {}}),
    [](const auto& info) {
      std::string n = info.param.name;
      return n.substr(0, n.find('.'));
    });

// One block plus one byte, which the vector files skip (their short messages
// stop at one block). Digests from GNU coreutils' own SHA-2 code.
TEST(BuiltinCrypto, OneByteAfterAFullBlock) {
  const std::pair<Algorithm, std::string> rows[] = {
      {Algorithm::Sha256, "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {Algorithm::Sha384,
       "39b6f5a7b0e781dbc419f72e49b30eaac10f2c98c4403bc610da31067fd1b48f"
       "324138c8615d2b496d08d73d5e865326"},
      {Algorithm::Sha512,
       "4f681e0bd53cda4b5a2041cc8a06f2eabde44fb16c951fbd5b87702f07aeab61"
       "1565b19c47fde30587177ebb852e3971bbd8d3fd30da18d71037dfbd98420429"},
  };
  for (const auto& [alg, md] : rows) {
    SCOPED_TRACE(alg.id());
    const std::string msg(alg == Algorithm::Sha256 ? 65 : 129, 'a');
    EXPECT_EQ(hex(BuiltinCrypto{}.digest(alg, wrapper::as_bytes(msg))), md);
  }
}

TEST(BuiltinCrypto, Sha384IsNotTruncatedSha512) {
  const auto d384 = BuiltinCrypto{}.digest(Algorithm::Sha384, {});
  const auto d512 = BuiltinCrypto{}.digest(Algorithm::Sha512, {});
  ASSERT_EQ(d384.size(), 48u);
  ASSERT_EQ(d512.size(), 64u);
  EXPECT_NE(d384, std::vector<std::uint8_t>(d512.begin(), d512.begin() + 48));
}

// ---- NFC -----------------------------------------------------------------

std::string from_code_points(const std::string& field) {
  std::istringstream in(field);
  std::string out;
  for (std::string cp; in >> cp;) out += utf8(static_cast<char32_t>(std::stoul(cp, nullptr, 16)));
  return out;
}

// The five columns of every data line of the Unicode conformance file.
std::vector<std::array<std::string, 5>> normalization_cases() {
  std::vector<std::array<std::string, 5>> out;
  for (const std::string& line : read_lines("NormalizationTest.txt")) {
    if (line.empty() || line[0] == '#' || line[0] == '@') continue;
    std::array<std::string, 5> c;
    std::size_t from = 0;
    for (auto& col : c) {
      const std::size_t semi = line.find(';', from);
      col = from_code_points(line.substr(from, semi - from));
      from = semi + 1;
    }
    out.push_back(c);
  }
  return out;
}

TEST(UnicodeNfc, ConformanceFile) {
  const auto cases = normalization_cases();
  ASSERT_GT(cases.size(), 18000u);
  const UnicodeNfc nfc;
  int failures = 0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& [c1, c2, c3, c4, c5] = cases[i];
    const bool ok = nfc.normalize(c1) == c2 && nfc.normalize(c2) == c2 && nfc.normalize(c3) == c2 &&
                    nfc.normalize(c4) == c4 && nfc.normalize(c5) == c4 &&
                    nfc.normalize_owned(std::string(c1)) == c2 &&
                    nfc.normalize_owned(std::string(c4)) == c4;
    bool quick_check_exact = true;
    for (const std::string* x : {&c1, &c2, &c3, &c4, &c5}) {
      quick_check_exact &= nfc.is_normalized(*x) == (nfc.normalize(*x) == *x);
    }
    if (!(ok && quick_check_exact) && ++failures <= 10) {
      ADD_FAILURE() << "case " << i << ": c1 = " << hex(c1);
    }
  }
  EXPECT_EQ(failures, 0);
}

// Cutting the work into pieces must not change the result, whatever the
// piece size, however long the run without a normalisation boundary.
std::vector<std::string> piece_texts() {
  std::vector<std::string> texts;
  std::string all_c1;
  for (const auto& c : normalization_cases()) all_c1 += c[0];
  texts.push_back(all_c1);

  std::mt19937 rng(1515);
  const std::vector<std::pair<char32_t, char32_t>> ranges = {
      {'a', 'z'},       {0x00C0, 0x00FF}, {0x0300, 0x036F}, {0x0591, 0x05C7}, {0x1100, 0x1112},
      {0x1161, 0x1175}, {0x11A8, 0x11C2}, {0xAC00, 0xAC20}, {0x0F71, 0x0F84}, {0x1D165, 0x1D16D},
      {0x20D0, 0x20F0}, {0x302A, 0x302F}, {0x0344, 0x0344}, {0x1E0A, 0x1E0D}, {0x1F600, 0x1F603},
      {0xFEFF, 0xFEFF}, {0x3099, 0x309A}, {0x304B, 0x3054}, {0x0CC6, 0x0CD6}, {0x11131, 0x11134},
  };
  std::uniform_int_distribution<std::size_t> pick(0, ranges.size() - 1), len(0, 150);
  for (int iter = 0; iter < 300; ++iter) {
    std::u32string cps;
    for (std::size_t n = len(rng); n > 0; --n) {
      const auto [lo, hi] = ranges[pick(rng)];
      cps += static_cast<char32_t>(lo + rng() % (hi - lo + 1));
    }
    texts.push_back(utf8(cps));
  }
  return texts;
}

TEST(NfcNormalize, PieceSizeDoesNotMatter) {
  const std::size_t pieces[] = {1, 2, 3, 4, 5, 7, 64};
  for (const std::string& text : piece_texts()) {
    const std::string whole = testing::ref_nfc(text);
    ASSERT_EQ(hex(nfc_normalize(text)), hex(whole)) << hex(text.substr(0, 200));
    ASSERT_EQ(UnicodeNfc{}.normalize(text), whole);
    ASSERT_EQ(UnicodeNfc{}.is_normalized(text), whole == text) << hex(text.substr(0, 200));
    for (const std::size_t piece : pieces) {
      ASSERT_EQ(hex(nfc_normalize(text, piece)), hex(whole))
          << "piece " << piece << ", text " << hex(text.substr(0, 200));
    }
  }
}

TEST(NfcNormalize, LongCombiningRuns) {
  const auto repeat = [](char32_t cp, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += utf8(cp);
    return s;
  };
  const std::size_t n = 3000;
  struct Row {
    const char* label;
    std::string text, expected;
  };
  const Row rows[] = {
      // a + acute composes to U+00E1; the other accents have nothing left to
      // compose with.
      {"acute", "a" + repeat(0x0301, n), utf8(0x00E1) + repeat(0x0301, n - 1)},
      // Same combining class throughout and no composite: unchanged.
      {"3-byte marks", "a" + repeat(0x20D0, n), "a" + repeat(0x20D0, n)},
      {"4-byte marks", "a" + repeat(0x1D165, n), "a" + repeat(0x1D165, n)},
      // Canonical ordering moves the class-220 marks in front of the class-230
      // ones; the first acute is then unblocked and composes with the a.
      {"mixed classes",
       "a" +
           [&] {
             std::string s;
             for (std::size_t i = 0; i < n; ++i) s += utf8(0x0301) + utf8(0x0316);
             return s;
           }(),
       utf8(0x00E1) + repeat(0x0316, n) + repeat(0x0301, n - 1)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    for (const std::size_t piece :
         {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{4}, std::size_t{5},
          std::size_t{7}, std::size_t{64}, kDefaultNfcPiece}) {
      SCOPED_TRACE(piece);
      EXPECT_TRUE(nfc_normalize(row.text, piece) == row.expected);
    }
  }
}

}  // namespace
}  // namespace quorvane::hardbinding::provided
