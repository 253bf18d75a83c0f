#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <quorvane/hardbinding.hpp>
#include <quorvane/hardbinding/provided.hpp>
#include <string>
#include <vector>

#include "support/reference.hpp"

namespace quorvane::hardbinding {
namespace {

using provided::BuiltinCrypto;
using provided::UnicodeNfc;
using testing::ByteVec;
using testing::ok;
using testing::utf8;

// Leaves the text as it is, so that the cuts themselves can be checked.
struct Identity {
  std::string normalize(std::string_view s) const { return std::string(s); }
};

// Counts the digests it computes; the counts show which steps ran.
struct CountingHasher {
  mutable int calls = 0;
  std::vector<std::uint8_t> digest(Algorithm alg, std::span<const std::uint8_t> data) const {
    ++calls;
    return BuiltinCrypto{}.digest(alg, data);
  }
};

// Normalisers are stateless values, so the count lives outside.
int g_normalize_calls = 0;
struct CountingNfc {
  std::string normalize(std::string_view s) const {
    ++g_normalize_calls;
    return UnicodeNfc{}.normalize(s);
  }
};

ByteVec sha(Algorithm alg, std::string_view s) {
  return BuiltinCrypto{}.digest(alg, wrapper::as_bytes(s));
}

TEST(Algorithm, FromId) {
  const std::pair<std::string, std::optional<Algorithm>> rows[] = {
      {"sha256", Algorithm::Sha256}, {"sha384", Algorithm::Sha384},
      {"sha512", Algorithm::Sha512}, {"SHA256", std::nullopt},
      {"Sha512", std::nullopt},      {"sha-256", std::nullopt},
      {" sha256", std::nullopt},     {"sha256 ", std::nullopt},
      {"sha2566", std::nullopt},     {std::string("sha256\0", 7), std::nullopt},
      {"sha25", std::nullopt},       {"", std::nullopt},
      {"sha1", std::nullopt},        {"sha224", std::nullopt},
      {"sha3-256", std::nullopt},
  };
  for (const auto& [id, expected] : rows) {
    SCOPED_TRACE(testing::hex(id));
    const auto got = Algorithm::from_id(id);
    if (expected) {
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(*got, *expected);
      EXPECT_EQ(got->id(), id);
    } else {
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(got.error().kind(), ErrorKind::UnsupportedAlgorithm);
      EXPECT_EQ(got.error().name(), id);
      EXPECT_EQ(got.error().message(), "unsupported hash algorithm: " + id);
    }
  }
}

TEST(HashedBytes, Exclusions) {
  const std::string abc = "abcdefghijklmnopqrst";    // 20 bytes
  const std::string bom = "a" + utf8(0xFEFF) + "b";  // 61 ef bb bf 62
  const std::uint64_t max = 18446744073709551615ull;
  struct Row {
    const char* label;
    std::string text;
    std::vector<Exclusion> exclusions;
    std::optional<std::string> expected;
  };
  const Row rows[] = {
      {"whole text", abc, {{0, 20}}, ""},
      {"empty at start", abc, {{0, 0}}, abc},
      {"empty at end", abc, {{20, 0}}, abc},
      {"ends at the end", abc, {{15, 5}}, "abcdefghijklmno"},
      {"ends one past the end", abc, {{15, 6}}, std::nullopt},
      {"empty past the end", abc, {{21, 0}}, std::nullopt},
      {"adjacent", abc, {{10, 5}, {15, 3}}, "abcdefghijst"},
      {"overlapping", abc, {{10, 5}, {14, 3}}, std::nullopt},
      {"out of order", abc, {{15, 3}, {10, 5}}, std::nullopt},
      {"identical empty", abc, {{7, 0}, {7, 0}}, abc},
      {"identical non-empty", abc, {{7, 2}, {7, 2}}, std::nullopt},
      {"empty inside the previous", abc, {{5, 4}, {6, 0}}, std::nullopt},
      {"third one bad", abc, {{1, 1}, {3, 1}, {19, 2}}, std::nullopt},
      {"three good", abc, {{1, 1}, {3, 1}, {19, 1}}, "acefghijklmnopqrs"},
      {"start+length overflows", abc, {{max, 1}}, std::nullopt},
      {"length overflows", abc, {{1, max}}, std::nullopt},
      {"wraps to a small end", abc, {{2, max - 1}}, std::nullopt},
      {"start at max, empty", abc, {{max, 0}}, std::nullopt},
      {"marker cut out", bom, {{1, 3}}, "ab"},
      {"starts inside marker", bom, {{2, 2}}, std::nullopt},
      {"ends inside marker", bom, {{1, 1}}, std::nullopt},
      {"empty inside marker", bom, {{3, 0}}, std::nullopt},
      {"through the end", bom, {{1, 4}}, "a"},
      {"empty text", "", {{0, 0}}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const auto got = hashed_bytes<Identity>(row.text, row.exclusions);
    // The digesting variant must see the same bytes and reject the same lists.
    const auto digest = digest_hashed_bytes<BuiltinCrypto, Identity>(row.text, row.exclusions,
                                                                     Algorithm::Sha256, {});
    if (row.expected) {
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(*got, *row.expected);
      ASSERT_TRUE(digest.has_value());
      EXPECT_EQ(*digest, sha(Algorithm::Sha256, *row.expected));
    } else {
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(got.error().kind(), ErrorKind::ExclusionMalformed);
      ASSERT_FALSE(digest.has_value());
      EXPECT_EQ(digest.error().kind(), ErrorKind::ExclusionMalformed);
    }
  }
}

TEST(HashedBytes, NormalisedAfterCutting) {
  const std::string acute = utf8(0x0301);
  const std::string marker = utf8(0xFEFF);
  struct Row {
    const char* label;
    std::string text;
    std::vector<Exclusion> exclusions;
    std::string expected;
  };
  const Row rows[] = {
      // e and the accent meet once the range between them is gone.
      {"e | range | U+0301", "e" + marker + acute, {{1, 3}}, utf8(0x00E9)},
      // U+FEFF is a starter and blocks the composition when it stays.
      {"nothing removed", "e" + marker + acute, {{0, 0}}, "e" + marker + acute},
      {"decomposed whole text", "cafe" + acute, {{0, 0}}, "caf" + utf8(0x00E9)},
      {"already NFC", "Grüße" + marker + " café", {{7, 3}}, "Grüße café"},
      {"Hangul jamo meet", utf8(0x1100) + "xyz" + utf8(0x1161), {{3, 3}}, utf8(0xAC00)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(ok(hashed_bytes<UnicodeNfc>(row.text, row.exclusions)), row.expected);
    EXPECT_EQ((ok(digest_hashed_bytes<BuiltinCrypto, UnicodeNfc>(row.text, row.exclusions,
                                                                 Algorithm::Sha512, {}))),
              sha(Algorithm::Sha512, row.expected));
  }
}

// A text with one wrapper between two NFC pieces of prose: the digest must be
// the digest of the two pieces joined.
const std::string kBefore = "Grüße, ";
const std::string kAfter = " — café au lait.";
std::string payload_text(std::string_view payload) {
  return kBefore + ok(wrapper::encode(wrapper::as_bytes(payload))) + kAfter;
}

TEST(DataHash, ComputeThenVerify) {
  const std::string text = payload_text("manifest");
  const Exclusion range{kBefore.size(), wrapper::encode(wrapper::as_bytes("manifest"))->size()};
  for (const Algorithm alg : {Algorithm::Sha256, Algorithm::Sha384, Algorithm::Sha512}) {
    SCOPED_TRACE(alg.id());
    const DataHash dh = ok(compute_data_hash(text, alg, BuiltinCrypto{}, UnicodeNfc{}));
    EXPECT_EQ(dh.exclusions, std::vector<Exclusion>{range});
    EXPECT_EQ(dh.alg, alg.id());
    EXPECT_EQ(dh.hash, sha(alg, kBefore + kAfter));
    EXPECT_TRUE(verify_data_hash(text, dh, BuiltinCrypto{}, UnicodeNfc{}).has_value());
  }
}

// Texts where only one span is kept (the wrapper at an end) or none: the
// kept bytes are still normalised before they are digested.
TEST(DataHash, WrapperAtAnEnd) {
  const std::string w = ok(wrapper::encode(wrapper::as_bytes("m")));
  const std::string acute = utf8(0x0301);
  const std::pair<std::string, std::string> rows[] = {
      {"café" + w, "café"},
      {"cafe" + acute + w, "café"},
      {w + "cafe" + acute, "café"},
      {w + acute + "x", acute + "x"},
      {w, ""},
      {"e" + w + acute, utf8(0x00E9)},
  };
  for (const auto& [text, hashed] : rows) {
    SCOPED_TRACE(testing::hex(text));
    for (const Algorithm alg : {Algorithm::Sha256, Algorithm::Sha512}) {
      const DataHash dh = ok(compute_data_hash(text, alg, BuiltinCrypto{}, UnicodeNfc{}));
      EXPECT_EQ(dh.hash, sha(alg, hashed));
      EXPECT_TRUE(verify_data_hash(text, dh, BuiltinCrypto{}, UnicodeNfc{}).has_value());
      const DataHash with_identity = ok(compute_data_hash(text, alg, BuiltinCrypto{}, Identity{}));
      EXPECT_EQ(with_identity.hash, sha(alg, ok(hashed_bytes<Identity>(text, dh.exclusions))));
    }
  }
}

TEST(DataHash, ComputeNeedsOneWrapper) {
  const std::pair<std::string, ErrorKind> rows[] = {
      {"no wrapper at all", ErrorKind::NotFound},
      {"two" + payload_text("a") + payload_text("b"), ErrorKind::MultipleWrappers},
      {testing::marked(testing::header(0, 2)), ErrorKind::CorruptedWrapper},
  };
  for (const auto& [text, kind] : rows) {
    SCOPED_TRACE(testing::hex(text));
    const auto got = compute_data_hash(text, Algorithm::Sha256, BuiltinCrypto{}, UnicodeNfc{});
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().kind(), kind);
  }
}

TEST(DataHash, Verify) {
  const std::string text = payload_text("manifest");
  const std::uint64_t s = kBefore.size();
  const std::uint64_t len = wrapper::encode(wrapper::as_bytes("manifest"))->size();
  const DataHash good{{{s, len}}, "sha256", sha(Algorithm::Sha256, kBefore + kAfter)};
  // The second range removes the dash behind the wrapper and the blank after it.
  const std::uint64_t later = s + len + 1;
  const std::string after_both = kBefore + " café au lait.";
  const std::string decomposed_after =
      text.substr(0, s + len) + " — cafe" + utf8(0x0301) + " au lait.";
  const std::string decomposed_before =
      "Gru" + utf8(0x0308) + "ße, " + ok(wrapper::encode(wrapper::as_bytes("manifest"))) + kAfter;

  struct Row {
    const char* label;
    std::string text;
    std::function<void(DataHash&)> change;
    std::optional<ErrorKind> expected;  // nullopt: verifies
  };
  using E = ErrorKind;
  const Row rows[] = {
      {"unchanged", text, [](DataHash&) {}, std::nullopt},
      {"empty list beats bad alg", text,
       [](DataHash& d) {
         d.exclusions.clear();
         d.alg = "md5";
       },
       E::ExclusionMalformed},
      {"bad alg beats missing wrapper", kBefore + kAfter, [](DataHash& d) { d.alg = "SHA256"; },
       E::UnsupportedAlgorithm},
      {"wrapper removed", kBefore + kAfter, [](DataHash&) {}, E::NotFound},
      {"two wrappers", text + payload_text("other"), [](DataHash&) {}, E::MultipleWrappers},
      {"only a corrupted wrapper", kBefore + testing::marked(testing::header(9)) + kAfter,
       [](DataHash&) {}, E::CorruptedWrapper},
      {"range one byte longer", text, [&](DataHash& d) { d.exclusions = {{s, len + 1}}; },
       E::ExclusionMalformed},
      {"range split in two", text,
       [&](DataHash& d) { d.exclusions = {{s, 49}, {s + 49, len - 49}}; }, E::ExclusionMalformed},
      {"range starting one character early", text,
       [&](DataHash& d) { d.exclusions = {{s - 1, len + 1}}; }, E::ExclusionMalformed},
      {"wrapper range then a bad one", text,
       [&](DataHash& d) { d.exclusions.push_back({s + len, 1000}); }, E::ExclusionMalformed},
      {"wrapper range twice", text, [&](DataHash& d) { d.exclusions.push_back({s, len}); },
       E::ExclusionMalformed},
      {"later range inside a character", text,
       [&](DataHash& d) { d.exclusions.push_back({later + 1, 2}); }, E::ExclusionMalformed},
      {"second range, digest of both removed", text,
       [&](DataHash& d) {
         d.exclusions.push_back({later, 4});
         d.hash = sha(Algorithm::Sha256, after_both);
       },
       std::nullopt},
      {"second range, digest of wrapper only", text,
       [&](DataHash& d) { d.exclusions.push_back({later, 4}); }, E::HashMismatch},
      {"range in front of the wrapper too", text,
       [&](DataHash& d) {
         d.exclusions.insert(d.exclusions.begin(), {0, 2});
         d.hash = sha(Algorithm::Sha256, "üße, " + kAfter);
       },
       std::nullopt},
      {"sha256 digest called sha512", text, [](DataHash& d) { d.alg = "sha512"; }, E::HashMismatch},
      {"one byte appended", text, [](DataHash& d) { d.hash.push_back(0); }, E::HashMismatch},
      {"one byte short", text, [](DataHash& d) { d.hash.pop_back(); }, E::HashMismatch},
      {"empty digest", text, [](DataHash& d) { d.hash.clear(); }, E::HashMismatch},
      {"last byte flipped", text, [](DataHash& d) { d.hash.back() ^= 1; }, E::HashMismatch},
      {"letter changed after", text.substr(0, s + len) + " — café au lain.", [](DataHash&) {},
       E::HashMismatch},
      {"letter changed before", "Grüße; " + text.substr(s), [](DataHash&) {}, E::HashMismatch},
      {"ß spelt ss before", "Grüsse, " + text.substr(s), [](DataHash&) {}, E::HashMismatch},
      {"decomposed é after", decomposed_after, [](DataHash&) {}, std::nullopt},
      {"decomposed ü before", decomposed_before, [](DataHash&) {}, E::ExclusionMalformed},
      {"character inserted before", "¡" + text, [](DataHash&) {}, E::ExclusionMalformed},
      {"other wrapper of same length", payload_text("MANIFEST"), [](DataHash&) {}, std::nullopt},
      {"other wrapper, one byte longer", payload_text("manifest\x01"), [](DataHash&) {},
       E::ExclusionMalformed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    DataHash dh = good;
    row.change(dh);
    const auto got = verify_data_hash(row.text, dh, BuiltinCrypto{}, UnicodeNfc{});
    if (row.expected) {
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(got.error().kind(), *row.expected) << got.error().message();
    } else {
      EXPECT_TRUE(got.has_value()) << got.error().message();
    }
  }
}

// Verification digests only once every check before it has passed, and then
// exactly once; the normaliser runs only when the exclusions are accepted.
TEST(DataHash, StepsRunThroughTheGivenInterfaces) {
  const std::string text = payload_text("m");
  const CountingHasher hasher;
  const DataHash dh = ok(compute_data_hash(text, Algorithm::Sha384, hasher, CountingNfc{}));
  EXPECT_EQ(hasher.calls, 1);
  EXPECT_EQ(dh.hash, sha(Algorithm::Sha384, kBefore + kAfter));

  const Exclusion w = dh.exclusions.at(0);
  struct Row {
    const char* label;
    std::string text;
    DataHash binding;
    int digests, normalisations;
  };
  const Row rows[] = {
      {"empty exclusions", text, {{}, "sha384", dh.hash}, 0, 0},
      {"bad alg", text, {{w}, "sha-384", dh.hash}, 0, 0},
      {"no wrapper", kBefore + kAfter, dh, 0, 0},
      {"no exact match", text, {{{w.start, w.length + 1}}, "sha384", dh.hash}, 0, 0},
      {"malformed second range", text, {{w, {w.start + 1, 1}}, "sha384", dh.hash}, 0, 0},
      {"mismatch", text, {{w}, "sha384", {1, 2, 3}}, 1, 1},
      {"verifies", text, dh, 1, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const CountingHasher h;
    g_normalize_calls = 0;
    (void)verify_data_hash(row.text, row.binding, h, CountingNfc{});
    EXPECT_EQ(h.calls, row.digests);
    EXPECT_EQ(g_normalize_calls, row.normalisations);
  }
}

}  // namespace
}  // namespace quorvane::hardbinding
