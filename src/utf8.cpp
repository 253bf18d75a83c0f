#include "utf8.hpp"

namespace quorvane::utf8 {
namespace {

constexpr std::uint32_t utf8_length(char32_t c) noexcept {
  return 1U + static_cast<std::uint32_t>(c >= 0x80) + static_cast<std::uint32_t>(c >= 0x800) +
         static_cast<std::uint32_t>(c >= 0x10000);
}

}  // namespace

CodePointScan scan(std::span<const char32_t> code_points) noexcept {
  // Branch-free over blocks so that the compiler can keep it in vector
  // registers; the counts of one block cannot overflow 32 bits.
  constexpr std::size_t kBlock = 4096;
  CodePointScan out;
  std::uint32_t surrogates = 0;
  std::uint32_t max = 0;
  for (std::size_t at = 0; at < code_points.size(); at += kBlock) {
    const std::size_t end = at + kBlock < code_points.size() ? at + kBlock : code_points.size();
    std::uint32_t bytes = 0;
    for (std::size_t i = at; i < end; ++i) {
      const auto c = static_cast<std::uint32_t>(code_points[i]);
      bytes += utf8_length(c);
      surrogates |= static_cast<std::uint32_t>((c & 0xFFFFF800U) == 0xD800U);
      max = c > max ? c : max;
    }
    out.utf8_size += bytes;
  }
  out.surrogate = surrogates != 0;
  out.max = static_cast<char32_t>(max);
  return out;
}

std::optional<std::size_t> index_of_offset(std::span<const char32_t> code_points,
                                           std::uint64_t offset) noexcept {
  std::uint64_t at = 0;
  for (std::size_t i = 0; i < code_points.size(); ++i) {
    if (at >= offset) return at == offset ? std::optional<std::size_t>(i) : std::nullopt;
    at += utf8_length(code_points[i]);
  }
  return at == offset ? std::optional<std::size_t>(code_points.size()) : std::nullopt;
}

}  // namespace quorvane::utf8
