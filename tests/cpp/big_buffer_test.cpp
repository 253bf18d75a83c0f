#include <gtest/gtest.h>

#include <cstdint>
#include <quorvane/internal/big_buffer.hpp>
#include <quorvane/wrapper.hpp>
#include <string>
#include <vector>

namespace quorvane {
namespace {

TEST(BigBuffer, AllocationsOnBothSidesOfTheThresholdHoldTheirBytes) {
  for (const std::size_t bytes : {std::size_t{1}, kBigBufferThreshold - 1, kBigBufferThreshold,
                                  kBigBufferThreshold + 12345, std::size_t{3} << 21}) {
    SCOPED_TRACE(bytes);
    auto* p = static_cast<unsigned char*>(big_buffer_allocate(bytes));
    ASSERT_NE(p, nullptr);
    if (bytes >= kBigBufferThreshold) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % (std::size_t{2} << 20), 0u);
    }
    for (std::size_t i = 0; i < bytes; i += 4093) p[i] = static_cast<unsigned char>(i);
    p[bytes - 1] = 0xA5;
    for (std::size_t i = 0; i + 1 < bytes; i += 4093) {
      ASSERT_EQ(p[i], static_cast<unsigned char>(i));
    }
    EXPECT_EQ(p[bytes - 1], 0xA5);
    big_buffer_deallocate(p, bytes);
  }
}

TEST(BigBuffer, LargeCodePointWrapperMatchesTheUtf8One) {
  // Large enough that the code points live in a mapped buffer.
  std::vector<std::uint8_t> payload((kBigBufferThreshold / 4) + 999);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
  const auto cps = wrapper::encode_padded_code_points(payload);
  const auto text = wrapper::encode_padded(payload);
  ASSERT_TRUE(cps.has_value());
  ASSERT_TRUE(text.has_value());
  std::string utf8;
  utf8.reserve(text->size());
  for (const char32_t c : *cps) {
    if (c < 0x10000) {
      utf8 += static_cast<char>(0xE0 | (c >> 12));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    } else {
      utf8 += static_cast<char>(0xF0 | (c >> 18));
      utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    utf8 += static_cast<char>(0x80 | (c & 0x3F));
  }
  EXPECT_TRUE(utf8 == *text);
}

// Long payloads, where bytes below 0x10 are counted in vector blocks.
TEST(BigBuffer, PaddedLengthLawHoldsForLongPayloads) {
  std::uint32_t state = 12345;
  for (const std::size_t n :
       {std::size_t{4079}, std::size_t{4080}, std::size_t{4097}, std::size_t{70001}}) {
    for (const unsigned small_share : {0u, 1u, 2u, 4u}) {
      SCOPED_TRACE(testing::Message() << n << " bytes, 1 in " << small_share << " small");
      std::vector<std::uint8_t> payload(n);
      for (auto& b : payload) {
        state = state * 1103515245u + 12345u;
        const auto r = static_cast<std::uint8_t>(state >> 16);
        b = (small_share != 0 && (state >> 8) % small_share == 0) ? (r & 0x0F) : (r | 0x10);
      }
      const auto padded = wrapper::encode_padded(payload);
      ASSERT_TRUE(padded.has_value());
      EXPECT_EQ(padded->size(), 4 * n + 61);
      const auto cps = wrapper::encode_padded_code_points(payload);
      ASSERT_TRUE(cps.has_value());
      std::size_t utf8_length = 0;
      for (const char32_t c : *cps) utf8_length += c < 0x10000 ? 3 : 4;
      EXPECT_EQ(utf8_length, 4 * n + 61);
    }
  }
}

}  // namespace
}  // namespace quorvane
