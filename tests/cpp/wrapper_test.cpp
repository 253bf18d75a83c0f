#include <gtest/gtest.h>

#include <optional>
#include <quorvane/wrapper.hpp>
#include <random>
#include <string>
#include <vector>

#include "support/reference.hpp"

namespace quorvane {
namespace {

using testing::ByteVec;
using testing::cat;
using testing::header;
using testing::marked;
using testing::ok;
using testing::unhex;
using testing::utf8;
using wrapper::as_bytes;
using wrapper::Bytes;
using wrapper::Wrapper;

const std::string M(wrapper::MARKER);
const ByteVec kMagic = {'C', '2', 'P', 'A', 'T', 'X', 'T', 0};

std::string enc(std::string_view payload) { return ok(wrapper::encode(as_bytes(payload))); }
std::string enc_padded(std::string_view payload) {
  return ok(wrapper::encode_padded(as_bytes(payload)));
}
Bytes bytes(const ByteVec& v) { return {v.data(), v.size()}; }

// ---- writing -------------------------------------------------------------

// The empty payload's wrapper: the marker, the seven magic letters (4 bytes
// each), the magic's zero byte, version 1 and manifestLength 0 (3 bytes each).
const char* const kEmptyWrapperHex =
    "ef bb bf"
    "f3 a0 84 b3  f3 a0 84 a2  f3 a0 85 80  f3 a0 84 b1  f3 a0 85 84  f3 a0 85 88  f3 a0 85 84"
    "ef b8 80  ef b8 81  ef b8 80 ef b8 80 ef b8 80 ef b8 80";

TEST(WrapperWrite, EmptyPayloadByteForByte) {
  const std::string expected = unhex(kEmptyWrapperHex);
  ASSERT_EQ(expected.size(), 49u);
  EXPECT_EQ(ok(wrapper::encode({})), expected);
  EXPECT_EQ(ok(wrapper::embed("", {})), expected);
  const std::string padded = ok(wrapper::encode_padded({}));
  EXPECT_EQ(padded, expected + unhex("ef b8 80 ef b8 80 ef b8 80 ef b8 80"));
  EXPECT_EQ(padded.size(), 61u);
  EXPECT_EQ(testing::code_points(padded).size(), 18u);
}

TEST(WrapperWrite, CarryAndPaddingBytesUnchanged) {
  EXPECT_EQ(wrapper::carry(bytes({0x00, 0x0F, 0x10, 0xFF})),
            unhex("ef bb bf  ef b8 80  ef b8 8f  f3 a0 84 80  f3 a0 87 af"));
  EXPECT_EQ(wrapper::carry({}), M);
  const ByteVec padding = {0xFF, 0x00, 0x43};
  EXPECT_EQ(ok(wrapper::encode_with_padding(as_bytes("ab"), bytes(padding))),
            marked(cat(cat(header(2), {'a', 'b'}), padding)));
}

TEST(WrapperWrite, WorkedFigures) {
  struct Row {
    const char* label;
    ByteVec payload;
    std::uint64_t unpadded, target, gap;
    ByteVec padding;
  };
  const Row rows[] = {
      {"empty", {}, 49, 61, 12, {0, 0, 0, 0}},
      {"one 0x00", {0x00}, 52, 65, 13, {0, 0, 0, 0x10}},
      {"one 0xFF", {0xFF}, 53, 65, 12, {0, 0, 0, 0}},
      {"hello", testing::bytes_of("hello"), 69, 81, 12, {0, 0, 0, 0}},
      {"16 zeros", ByteVec(16, 0x00), 98, 125, 27, ByteVec(9, 0x00)},
      {"100 x 0x61", ByteVec(100, 0x61), 450, 461, 11, {0, 0x10, 0x10}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    const std::string unpadded = ok(wrapper::encode(bytes(row.payload)));
    EXPECT_EQ(unpadded.size(), row.unpadded);
    EXPECT_EQ(wrapper::target_length(row.payload.size()), row.target);
    EXPECT_EQ(row.target - row.unpadded, row.gap);
    EXPECT_EQ(ok(wrapper::padding_for_gap(row.gap)), row.padding);
    const std::string padded = ok(wrapper::encode_padded(bytes(row.payload)));
    EXPECT_EQ(padded.size(), row.target);
    EXPECT_EQ(padded,
              marked(cat(cat(header(static_cast<std::uint32_t>(row.payload.size())), row.payload),
                         row.padding)));
    const Wrapper w = ok(wrapper::extract(padded));
    EXPECT_EQ(w.payload, row.payload);
    EXPECT_EQ(w.start, 0u);
    EXPECT_EQ(w.length, row.target);
  }
}

TEST(WrapperWrite, PaddingForGap) {
  const std::pair<std::uint64_t, std::optional<ByteVec>> rows[] = {
      {0, ByteVec{}},
      {1, std::nullopt},
      {2, std::nullopt},
      {3, ByteVec{0x00}},
      {4, ByteVec{0x10}},
      {5, std::nullopt},
      {6, ByteVec{0x00, 0x00}},
      {7, ByteVec{0x00, 0x10}},
      {8, ByteVec{0x10, 0x10}},
      {9, ByteVec{0x00, 0x00, 0x00}},
      {10, ByteVec{0x00, 0x00, 0x10}},
      {11, ByteVec{0x00, 0x10, 0x10}},
      {12, ByteVec{0x00, 0x00, 0x00, 0x00}},
      {24, ByteVec(8, 0x00)},
  };
  for (const auto& [gap, expected] : rows) {
    SCOPED_TRACE(gap);
    auto got = wrapper::padding_for_gap(gap);
    if (expected) {
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(*got, *expected);
    } else {
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(got.error().kind(), ErrorKind::PaddingGap);
      EXPECT_EQ(got.error().size(), gap);
    }
  }
}

TEST(WrapperWrite, TargetLength) {
  const std::pair<std::uint64_t, std::optional<std::uint64_t>> rows[] = {
      {0, 61},
      {1, 65},
      {2, 69},
      {4294967295ull, 17179869241ull},
      {4611686018427387888ull, 18446744073709551613ull},
      {4611686018427387889ull, std::nullopt},
      {18446744073709551615ull, std::nullopt},
  };
  for (const auto& [n, expected] : rows) {
    SCOPED_TRACE(n);
    EXPECT_EQ(wrapper::target_length(n), expected);
  }
}

TEST(WrapperWrite, PayloadTooLarge) {
  // A span that claims 2^32 bytes over a one-byte buffer. Nothing may read it:
  // the size is checked before any byte is touched or anything allocated.
  const std::uint8_t one = 0x41;
  const Bytes huge(&one, std::size_t{1} << 32);
  const auto check = [](const auto& r) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::PayloadTooLarge);
    EXPECT_EQ(r.error().size(), 4294967296ull);
  };
  check(wrapper::encode(huge));
  check(wrapper::encode_with_padding(huge, {}));
  check(wrapper::encode_padded(huge));
  check(wrapper::embed("host", huge));
  check(wrapper::encode_code_points(huge));
  check(wrapper::encode_padded_code_points(huge));
}

TEST(WrapperWrite, MarkerBytesInsidePayload) {
  const std::string w = enc("\xEF\xBB\xBF");
  EXPECT_EQ(w.find(M), 0u);
  EXPECT_EQ(w.find(M, 1), std::string::npos);
  EXPECT_EQ(ok(wrapper::extract(w)).payload, (ByteVec{0xEF, 0xBB, 0xBF}));
}

// Random payloads of every length up to 300: the padded wrapper is exactly
// 4n + 61 bytes, laid out as header, payload, zeros then at most two 0x10.
TEST(WrapperWrite, PaddedLengthLaw) {
  std::mt19937 rng(7);
  for (std::size_t n = 0; n <= 300; ++n) {
    SCOPED_TRACE(n);
    ByteVec payload = testing::random_bytes(rng, n);
    if (n % 3 == 1) {
      for (auto& b : payload) b &= 0x0F;  // mostly 3-byte selectors
    }
    std::uint64_t m = 0, z = 0;
    for (int shift = 24; shift >= 0; shift -= 8) m += ((n >> shift) & 0xFF) >= 0x10;
    for (const auto b : payload) z += b < 0x10;
    const std::string unpadded = ok(wrapper::encode(bytes(payload)));
    ASSERT_EQ(unpadded, marked(cat(header(static_cast<std::uint32_t>(n)), payload)));
    ASSERT_EQ(unpadded.size(), 49 + 4 * n + m - z);

    const std::string padded = ok(wrapper::encode_padded(bytes(payload)));
    ASSERT_EQ(padded.size(), 4 * n + 61);
    ASSERT_EQ(utf8(ok(wrapper::encode_code_points(bytes(payload)))), unpadded);
    ASSERT_EQ(utf8(ok(wrapper::encode_padded_code_points(bytes(payload)))), padded);
    ASSERT_EQ(ok(wrapper::encode_padded(bytes(payload))), padded);
    ASSERT_EQ(padded.substr(0, unpadded.size()), unpadded);

    const auto [decoded, consumed] = testing::ref_decode_run(std::string_view(padded).substr(3));
    ASSERT_EQ(consumed + 3, padded.size());
    const ByteVec padding(decoded.begin() + 13 + static_cast<std::ptrdiff_t>(n), decoded.end());
    const std::uint64_t gap = padded.size() - unpadded.size();
    std::size_t zeros = 0;
    while (zeros < padding.size() && padding[zeros] == 0x00) ++zeros;
    ASSERT_EQ(ByteVec(padding.begin() + static_cast<std::ptrdiff_t>(zeros), padding.end()),
              ByteVec(gap % 3, 0x10));
    ASSERT_EQ(3 * zeros + 4 * (gap % 3), gap);
    ASSERT_EQ(testing::code_points(padded).size(), 14 + n + padding.size());

    const auto w = wrapper::extract(padded);
    ASSERT_TRUE(w.has_value());
    ASSERT_EQ(w->payload, payload);
    ASSERT_EQ(w->length, padded.size());
  }
}

TEST(WrapperWrite, Embed) {
  const ByteVec payload = {0x00, 0x43, 0xFF, 0xEF, 0xBB, 0xBF};
  const std::string hosts[] = {"", "héllo", M + "BOM text", "日本語 😀", "e\xCC\x81"};
  for (const std::string& host : hosts) {
    SCOPED_TRACE(testing::hex(host));
    const std::string out = ok(wrapper::embed(host, bytes(payload)));
    EXPECT_EQ(out, host + ok(wrapper::encode(bytes(payload))));
    const Wrapper w = ok(wrapper::extract(out));
    EXPECT_EQ(w.start, host.size());
    EXPECT_EQ(w.payload, payload);
    EXPECT_EQ(ok(wrapper::strip(out, w.start, w.start + w.length)), host);
  }
  const std::string twice = ok(wrapper::embed(enc("first"), as_bytes("second")));
  EXPECT_EQ(twice, enc("first") + enc("second"));
  EXPECT_EQ(wrapper::extract(twice).error().kind(), ErrorKind::MultipleWrappers);
}

// ---- reading -------------------------------------------------------------

struct Found {
  std::size_t start, length;
  std::string payload;
};

struct ReadRow {
  std::string label;
  std::string text;
  std::vector<Found> found;
  std::optional<ErrorKind> extract_error;  // nullopt: extract returns found[0]
};

std::vector<ReadRow> read_rows() {
  const std::string wa = enc("abc");  // 61 bytes
  const std::string wb = enc("xyz!");
  const std::string magic_only = marked(kMagic);  // 34 bytes
  // 'x' typed behind the first payload selector: the run now ends after
  // 14 of the 16 bytes the header announces.
  const std::size_t cut = 3 + 46 + 4;
  const std::string typed = wa.substr(0, cut) + "x" + wa.substr(cut);
  const std::string marker_in_run = wa.substr(0, cut) + M + wa.substr(cut);
  const ByteVec bad_magic = {'C', '2', 'P', 'A', 'T', 'X', 'T', 1, 1, 0, 0, 0, 0};
  using E = ErrorKind;
  return {
      {"empty", "", {}, E::NotFound},
      {"no marker", "plain text é", {}, E::NotFound},
      {"marker at end", "text" + M, {}, E::NotFound},
      {"BOM at start", M + "text", {}, E::NotFound},
      {"wrapper alone", wa, {{0, wa.size(), "abc"}}, std::nullopt},
      {"BOM then wrapper", M + wa, {{3, wa.size(), "abc"}}, std::nullopt},
      {"two BOMs then wrapper", M + M + wa, {{6, wa.size(), "abc"}}, std::nullopt},
      {"multilingual around", "日" + wa + "é", {{3, wa.size(), "abc"}}, std::nullopt},
      {"adjacent",
       wa + wb,
       {{0, wa.size(), "abc"}, {wa.size(), wb.size(), "xyz!"}},
       E::MultipleWrappers},
      {"separated",
       wa + "日本" + wb,
       {{0, wa.size(), "abc"}, {wa.size() + 6, wb.size(), "xyz!"}},
       E::MultipleWrappers},
      {"two valid and a corrupted",
       wa + magic_only + wb,
       {{0, wa.size(), "abc"}, {wa.size() + 34, wb.size(), "xyz!"}},
       E::MultipleWrappers},
      {"manifestLength overrun", typed, {}, E::CorruptedWrapper},
      {"marker typed into run", marker_in_run, {}, E::CorruptedWrapper},
      {"version 2", marked(header(0, 2)), {}, E::CorruptedWrapper},
      {"version 0", marked(cat(header(1, 0), {'a'})), {}, E::CorruptedWrapper},
      {"magic only", magic_only, {}, E::CorruptedWrapper},
      {"magic and version", marked(cat(kMagic, {1})), {}, E::CorruptedWrapper},
      {"magic and 4 bytes", marked(cat(kMagic, {1, 0, 0, 0})), {}, E::CorruptedWrapper},
      {"length 2^32-1", marked(cat(header(0xFFFFFFFFu), {1, 2, 3})), {}, E::CorruptedWrapper},
      {"seven magic bytes", marked(ByteVec(kMagic.begin(), kMagic.begin() + 7)), {}, E::NotFound},
      {"magic differs in last byte", marked(bad_magic), {}, E::NotFound},
      {"run without marker", wa.substr(3), {}, E::NotFound},
      {"run behind a letter", "x" + wa.substr(3), {}, E::NotFound},
      {"trailing U+FE0F absorbed",
       wa + utf8(0xFE0F) + "z",
       {{0, wa.size() + 3, "abc"}},
       std::nullopt},
      {"trailing wide selectors absorbed",
       wa + utf8(0xE01EF) + utf8(0xE0100),
       {{0, wa.size() + 8, "abc"}},
       std::nullopt},
      {"surplus bytes after payload",
       marked(cat(header(2), {'a', 'b', 0xFF, 0x00, 0x10})) + "!",
       {{0, 3 + 46 + 8 + 4 + 3 + 4, "ab"}},
       std::nullopt},
      {"manifestLength 0", enc(""), {{0, 49, ""}}, std::nullopt},
      {"padded", enc_padded("hello"), {{0, 81, "hello"}}, std::nullopt},
      {"corrupted around valid",
       magic_only + "|" + wa + "|" + marked(header(0, 2)),
       {{35, wa.size(), "abc"}},
       std::nullopt},
      {"truncated run right before marker",
       magic_only + wa,
       {{34, wa.size(), "abc"}},
       std::nullopt},
  };
}

TEST(WrapperRead, LocateAndExtract) {
  for (const ReadRow& row : read_rows()) {
    SCOPED_TRACE(row.label);
    std::vector<Wrapper> expected;
    for (const Found& f : row.found) {
      expected.push_back({testing::bytes_of(f.payload), 1, f.start, f.length});
    }
    const std::vector<Wrapper> got = wrapper::locate_all(row.text);
    EXPECT_EQ(got, expected);
    for (const Wrapper& w : got) EXPECT_EQ(row.text.substr(w.start, 3), M);
    // The reference reader must agree with the hand-made expectations too,
    // or the randomised comparison below would prove nothing.
    EXPECT_EQ(testing::ref_locate_all(row.text), expected);
    EXPECT_EQ(testing::ref_extract_error(row.text), row.extract_error);

    const auto ex = wrapper::extract(row.text);
    if (row.extract_error) {
      ASSERT_FALSE(ex.has_value());
      EXPECT_EQ(ex.error().kind(), *row.extract_error);
    } else {
      ASSERT_TRUE(ex.has_value()) << ex.error().message();
      EXPECT_EQ(*ex, expected.at(0));
    }

    // Strict padding looks at the first valid wrapper: canonical when it is
    // what encode or encode_padded gives for its payload.
    const auto padding = wrapper::check_padding(row.text);
    if (expected.empty()) {
      ASSERT_FALSE(padding.has_value());
      EXPECT_EQ(padding.error().kind(), ErrorKind::NotFound);
    } else {
      const Wrapper& w = expected[0];
      const std::string_view actual = std::string_view(row.text).substr(w.start, w.length);
      ASSERT_TRUE(padding.has_value());
      EXPECT_EQ(padding->canonical, actual == ok(wrapper::encode(bytes(w.payload))) ||
                                        actual == ok(wrapper::encode_padded(bytes(w.payload))));
      EXPECT_EQ(padding->surplus, testing::ref_decode_run(actual.substr(3)).first.size() -
                                      wrapper::HEADER_SIZE - w.payload.size());
    }
  }
}

TEST(WrapperRead, Strip) {
  const std::string h = "h\xC3\xA9llo";  // héllo: 68 c3 a9 6c 6c 6f
  const std::uint64_t huge = 18446744073709551615ull;
  struct Row {
    std::string text;
    std::uint64_t start, end;
    std::optional<std::string> expected;
  };
  const Row rows[] = {
      {"", 0, 0, ""},
      {"", 0, 1, std::nullopt},
      {h, 0, 6, ""},
      {h, 1, 3, "hllo"},
      {h, 0, 1, "\xC3\xA9llo"},
      {h, 3, 6, "h\xC3\xA9"},
      {h, 3, 3, h},
      {h, 0, 0, h},
      {h, 6, 6, h},
      {h, 2, 3, std::nullopt},  // starts inside é
      {h, 1, 2, std::nullopt},  // ends inside é
      {h, 2, 2, std::nullopt},  // empty, but inside é
      {h, 4, 3, std::nullopt},  // start > end
      {h, 0, 7, std::nullopt},
      {h, 7, 7, std::nullopt},
      {h, huge, huge, std::nullopt},
      {M + "x", 1, 4, std::nullopt},  // one byte into the marker
      {M + "x", 0, 3, "x"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::hex(row.text) + " [" + std::to_string(row.start) + ", " +
                 std::to_string(row.end) + ")");
    const auto got = wrapper::strip(row.text, row.start, row.end);
    EXPECT_EQ(wrapper::range_acceptable(row.text, row.start, row.end), row.expected.has_value());
    if (row.expected) {
      ASSERT_TRUE(got.has_value());
      EXPECT_EQ(*got, *row.expected);
    } else {
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(got.error().kind(), ErrorKind::ExclusionMalformed);
    }
  }
}

TEST(WrapperRead, RangeEnd) {
  const std::uint64_t huge = 18446744073709551615ull;
  EXPECT_EQ(wrapper::range_end(3, 4), 7u);
  EXPECT_EQ(wrapper::range_end(huge, 0), huge);
  EXPECT_EQ(wrapper::range_end(1, huge - 1), huge);
  EXPECT_FALSE(wrapper::range_end(1, huge));
  EXPECT_FALSE(wrapper::range_end(huge, huge));
}

TEST(WrapperRead, CharBoundary) {
  const std::string h = "h\xC3\xA9llo";
  const bool expected[] = {true, true, false, true, true, true, true, false, false};
  for (std::uint64_t k = 0; k < std::size(expected); ++k) {
    EXPECT_EQ(wrapper::is_char_boundary(h, k), expected[k]) << k;
  }
  EXPECT_FALSE(wrapper::is_char_boundary(h, 18446744073709551615ull));
  EXPECT_TRUE(wrapper::is_char_boundary("", 0));
  EXPECT_FALSE(wrapper::is_char_boundary("", 1));
}

// Random texts built from wrapper-like fragments, read by the library and by
// the reference reader.
TEST(WrapperRead, MatchesReferenceOnRandomTexts) {
  std::mt19937 rng(424242);
  std::uniform_int_distribution<int> kind(0, 9), count(0, 8), small(0, 40);
  const char* const prose[] = {"A", "hello ", "é", "e\xCC\x81", "日本語", "😀", "Ω", "\xCC\x81"};
  const auto some_wrapper = [&] {
    const ByteVec p = testing::random_bytes(rng, static_cast<std::size_t>(small(rng)));
    return rng() % 2 ? ok(wrapper::encode(bytes(p))) : ok(wrapper::encode_padded(bytes(p)));
  };
  std::size_t seen_valid = 0, seen_corrupted = 0, seen_multiple = 0, seen_orphaned = 0;
  for (int iter = 0; iter < 1500; ++iter) {
    std::string text;
    for (int f = count(rng); f > 0; --f) {
      switch (kind(rng)) {
        case 0:
        case 1:
          text += some_wrapper();
          break;
        case 2: {  // a wrapper cut at a character boundary
          const std::string w = some_wrapper();
          const auto cps = testing::code_points(w);
          text += w.substr(0, cps[rng() % cps.size()].offset);
          break;
        }
        case 3:
          text += M;
          break;
        case 4:
          text += testing::selectors(testing::random_bytes(rng, rng() % 20));
          break;
        case 5:
          text += some_wrapper().substr(3);
          break;
        case 6:
          text += marked(cat(header(rng() % 4, rng() % 3), testing::random_bytes(rng, rng() % 6)));
          break;
        case 7:
          text += marked(cat(kMagic, testing::random_bytes(rng, rng() % 7)));
          break;
        case 8:
          text += utf8(0xFE0F);
          break;
        default:
          text += prose[rng() % std::size(prose)];
          break;
      }
    }
    SCOPED_TRACE(testing::hex(text));
    ASSERT_EQ(wrapper::locate_all(text), testing::ref_locate_all(text));
    const auto mismatch = testing::candidate_mismatch(text);
    ASSERT_FALSE(mismatch) << *mismatch;
    seen_orphaned += !testing::ref_orphans(text).empty();
    const auto expected_error = testing::ref_extract_error(text);
    const auto ex = wrapper::extract(text);
    ASSERT_EQ(ex.has_value(), !expected_error.has_value());
    if (ex) {
      ASSERT_EQ(*ex, testing::ref_locate_all(text).at(0));
      ++seen_valid;
    } else {
      ASSERT_EQ(ex.error().kind(), *expected_error);
      seen_corrupted += *expected_error == ErrorKind::CorruptedWrapper;
      seen_multiple += *expected_error == ErrorKind::MultipleWrappers;
    }
  }
  // The generator must reach every outcome for the comparison to mean much.
  EXPECT_GT(seen_valid, 100u);
  EXPECT_GT(seen_corrupted, 100u);
  EXPECT_GT(seen_multiple, 100u);
  EXPECT_GT(seen_orphaned, 100u);
}

}  // namespace
}  // namespace quorvane
