#include "big_buffer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "wrapper.hpp"

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

}  // namespace
}  // namespace quorvane
