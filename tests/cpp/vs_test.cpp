#include <gtest/gtest.h>

#include <algorithm>
#include <quorvane/vs.hpp>
#include <quorvane/wrapper.hpp>
#include <random>
#include <string>
#include <vector>

#include "simd/selectors.hpp"
#include "support/reference.hpp"

namespace quorvane {
namespace {

using testing::ByteVec;
using testing::ok;
using testing::unhex;
using testing::utf8;

std::string write_one(std::uint8_t b) {
  char buf[4] = {};
  const char* end = vs::write_selector(buf, b);
  return std::string(buf, static_cast<std::size_t>(end - buf));
}

TEST(Vs, SelectorOfByte) {
  struct Row {
    std::uint8_t byte;
    char32_t cp;
    const char* utf8_hex;
  };
  const Row rows[] = {
      {0x00, 0xFE00, "ef b8 80"},     {0x01, 0xFE01, "ef b8 81"},
      {0x0F, 0xFE0F, "ef b8 8f"},     {0x10, 0xE0100, "f3 a0 84 80"},
      {0x43, 0xE0133, "f3 a0 84 b3"}, {0x4F, 0xE013F, "f3 a0 84 bf"},
      {0x50, 0xE0140, "f3 a0 85 80"}, {0xFF, 0xE01EF, "f3 a0 87 af"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.byte));
    const std::string expected = unhex(row.utf8_hex);
    EXPECT_EQ(vs::encode_byte(row.byte), row.cp);
    EXPECT_EQ(vs::selector_width(row.byte), expected.size());
    EXPECT_EQ(write_one(row.byte), expected);
    std::string appended = "x";
    vs::append_selector(appended, row.byte);
    EXPECT_EQ(appended, "x" + expected);
  }
}

TEST(Vs, AllBytesRoundTrip) {
  std::string run;
  ByteVec all;
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<std::uint8_t>(b);
    // The writer's byte arithmetic against the generic UTF-8 encoder.
    ASSERT_EQ(write_one(byte), utf8(testing::selector_of(byte))) << b;
    vs::append_selector(run, byte);
    all.push_back(byte);
  }
  ASSERT_EQ(run.size(), 16u * 3 + 240u * 4);
  const vs::DecodedRun d = vs::decode_run(run + "A");
  EXPECT_EQ(d.bytes, all);
  EXPECT_EQ(d.consumed, run.size());
}

TEST(Vs, DecodeRun) {
  const std::string wrapper_run = ok(wrapper::encode_padded(wrapper::as_bytes("hi"))).substr(3);
  const ByteVec wrapper_bytes =
      testing::cat(testing::cat(testing::header(2), {'h', 'i'}), ByteVec(4, 0x00));
  struct Row {
    const char* label;
    std::string text;
    ByteVec bytes;
    std::size_t consumed;
  };
  // Runs longer than the decoder's batch, of wide selectors only and mixed.
  std::string wide_run, mixed_run;
  ByteVec wide_bytes, mixed_bytes;
  for (int k = 0; k < 600; ++k) {
    const auto mixed = static_cast<std::uint8_t>(37 * k + 11);
    mixed_bytes.push_back(mixed);
    mixed_run += utf8(testing::selector_of(mixed));
    if (k < 300) {
      wide_bytes.push_back(0x6D);
      wide_run += utf8(testing::selector_of(0x6D));
    }
  }
  const std::string four = utf8(0xE0100) + utf8(0xE01EF) + utf8(0xE0170) + utf8(0xE01DF);
  const Row rows[] = {
      {"empty", "", {}, 0},
      {"letter first", "A" + utf8(0xFE01), {}, 0},
      {"marker first", utf8(0xFEFF) + utf8(0xFE01), {}, 0},
      {"one narrow", utf8(0xFE0F), {0x0F}, 3},
      {"one wide then letter", utf8(0xE0100) + "A", {0x10}, 4},
      {"stops at marker", utf8(0xFE02) + utf8(0xFEFF) + utf8(0xFE03), {0x02}, 3},
      {"U+FE10 is not one", utf8(0xFE10), {}, 0},
      {"U+FDFF is not one", utf8(0xFDFF), {}, 0},
      {"U+E00FF is not one", utf8(0xE00FF), {}, 0},
      {"U+E01F0 is not one", utf8(0xE01EF) + utf8(0xE01F0), {0xFF}, 4},
      {"U+E0000 is not one", utf8(0xE0000), {}, 0},
      {"U+FE0F then U+FE10", utf8(0xFE0F) + utf8(0xFE10), {0x0F}, 3},
      {"wrapper run", wrapper_run, wrapper_bytes, wrapper_run.size()},
      {"wrapper run then A", wrapper_run + "A", wrapper_bytes, wrapper_run.size()},
      {"wide run past a batch", wide_run + "A", wide_bytes, wide_run.size()},
      {"mixed run past a batch", mixed_run, mixed_bytes, mixed_run.size()},
      {"four wide then U+E01F0",
       four + utf8(0xE01F0) + "ABCDEFGHIJKL",
       {0x10, 0xFF, 0x80, 0xEF},
       16},
      {"U+E01F0 second of four", utf8(0xE01EF) + utf8(0xE01F0) + four, {0xFF}, 4},
      {"U+E01F0 fourth of four", four.substr(0, 12) + utf8(0xE01F0) + four, {0x10, 0xFF, 0x80}, 12},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    for (const simd::SelectorTargetRun& t : simd::decode_run_every_target(row.text)) {
      EXPECT_EQ(t.run.bytes, row.bytes);
      EXPECT_EQ(t.run.consumed, row.consumed);
      EXPECT_EQ(t.head.consumed, row.consumed);
      EXPECT_EQ(t.head.count, row.bytes.size());
      EXPECT_EQ(t.head_bytes,
                ByteVec(row.bytes.begin(),
                        row.bytes.begin() + std::min<std::size_t>(13, row.bytes.size())));
    }
  }
}

// Random texts mixing selectors with their neighbours in the code space,
// with bursts of wide selectors longer than any vector, decoded from every
// character boundary under every instruction set, against the
// one-code-point-at-a-time reference decoder.
TEST(Vs, DecodeRunMatchesReference) {
  std::mt19937 rng(20240611);
  const char32_t others[] = {'A',     0x00E9,  0x65E5,  0x1F600, 0xFEFF, 0xFE10,   0xFDFF,
                             0xE00FF, 0xE01F0, 0xE0000, 0xE0FFF, 0xFEFE, 0x10FFFF, 0x0301};
  std::uniform_int_distribution<int> kind(0, 10), byte(0, 255), other(0, std::size(others) - 1);
  std::uniform_int_distribution<int> len(0, 40), any(1, 0x10FFFF), burst(16, 70);
  for (int iter = 0; iter < 400; ++iter) {
    std::u32string cps;
    for (int n = len(rng); n > 0; --n) {
      const int k = kind(rng);
      if (k < 6) {
        cps += testing::selector_of(static_cast<std::uint8_t>(byte(rng)));
      } else if (k < 9) {
        cps += others[other(rng)];
      } else if (k == 10) {
        for (int b = burst(rng); b > 0; --b) {
          cps += testing::selector_of(static_cast<std::uint8_t>(0x10 + byte(rng) % 0xF0));
        }
      } else {
        char32_t cp = static_cast<char32_t>(any(rng));
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = 'z';
        cps += cp;
      }
    }
    const std::string text = utf8(cps);
    for (const testing::CodePoint& at : testing::code_points(text)) {
      const std::string_view tail = std::string_view(text).substr(at.offset);
      const auto [bytes, consumed] = testing::ref_decode_run(tail);
      for (const simd::SelectorTargetRun& t : simd::decode_run_every_target(tail)) {
        ASSERT_EQ(t.run.bytes, bytes) << testing::hex(tail);
        ASSERT_EQ(t.run.consumed, consumed) << testing::hex(tail);
        ASSERT_EQ(t.head.consumed, consumed) << testing::hex(tail);
        ASSERT_EQ(t.head.count, bytes.size()) << testing::hex(tail);
        ASSERT_TRUE(std::equal(t.head_bytes.begin(), t.head_bytes.end(), bytes.begin()));
      }
    }
  }
}

}  // namespace
}  // namespace quorvane
