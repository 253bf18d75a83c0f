// Compiled once per instruction set by Highway's foreach_target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "simd/scan.cpp"
#include "simd/scan.hpp"

#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <bit>
#include <cstring>

#include "simd/every_target.hpp"

HWY_BEFORE_NAMESPACE();
namespace quorvane::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

std::size_t FirstAtLeast(const std::uint8_t* p, std::size_t n, std::uint8_t limit) {
  if (limit == 0) return 0;
  const hn::ScalableTag<std::uint8_t> d;
  const std::size_t lanes = hn::Lanes(d);
  // A byte is at least `limit` exactly when subtracting limit - 1 with
  // saturation leaves something.
  const auto below = hn::Set(d, static_cast<std::uint8_t>(limit - 1));
  const auto zero = hn::Zero(d);
  std::size_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    const auto v = hn::LoadU(d, p + i);
    const intptr_t first = hn::FindFirstTrue(d, hn::Ne(hn::SaturatedSub(v, below), zero));
    if (first >= 0) return i + static_cast<std::size_t>(first);
  }
  for (; i < n; ++i) {
    if (p[i] >= limit) return i;
  }
  return n;
}

PlainBlocks PassPlainBlocks(const char32_t* in, std::size_t n, char16_t* out,
                            const std::uint64_t* classes, std::size_t budget,
                            std::size_t tail_limit, std::size_t run_limit, std::size_t* tail_io,
                            std::size_t* run_io) {
  PlainBlocks passed;
  std::size_t tail = *tail_io, run = *run_io;
  // Bit 0 of a code point's pair: trivial; bit 1: non-starter.
  const auto pair = [classes](char32_t c) {
    return static_cast<unsigned>(classes[c >> 5] >> ((c & 31) * 2)) & 3u;
  };
  std::size_t k = 0;
  // Blocks at once from SSE4 on (conjoining jamo, 16 MiB: 103 -> 81 ms
  // under SSE4; Vietnamese NFD and Hindi about 5% slower there, still
  // twice as fast as the interpreter's own route or more). With SSSE3 the
  // block's bookkeeping costs what it saves.
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_SSE4
  const hn::ScalableTag<std::uint32_t> d;
  const hn::RebindToSigned<decltype(d)> di;
  const hn::Rebind<std::uint16_t, decltype(d)> d16;
  const std::size_t lanes = hn::Lanes(d);
  const std::uint32_t all = static_cast<std::uint32_t>((std::uint64_t{1} << lanes) - 1);
  // The pairs as 32-bit words, as the gather reads them (x86 stores the
  // 64-bit words low half first), sixteen code points each.
  const auto* words = reinterpret_cast<const std::uint32_t*>(classes);
  const auto low_four = hn::Set(d, 15u), one = hn::Set(d, 1u), two_bits = hn::Set(d, 2u);
  const auto bits = [&](auto mask) {
    std::uint8_t b[8] = {};
    hn::StoreMaskBits(d, mask, b);
    std::uint32_t v = 0;
    std::memcpy(&v, b, sizeof v);
    return v & all;
  };

  const auto* p = reinterpret_cast<const std::uint32_t*>(in);
#else
  constexpr std::size_t lanes = 16;
#endif
  while (k < n) {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_SSE4
    // A block at once, where that needs no look at each character: all of
    // it below U+10000, no non-starter run that could grow too long, no
    // trivial character before the first non-trivial one that could find
    // the tail at the limit (after it, a block holds too few bytes to get
    // there), and within the budget.
    if (k + lanes <= n && run + lanes <= run_limit && tail_limit > 3 * lanes) {
      const auto c = hn::LoadU(d, p + k);
      // A lane's UTF-8 length is 1, plus 1 past U+007F, plus 1 past U+07FF.
      const std::uint32_t two = bits(hn::Gt(c, hn::Set(d, 0x7Fu)));
      const std::uint32_t three = bits(hn::Gt(c, hn::Set(d, 0x7FFu)));
      const std::uint32_t four = bits(hn::Gt(c, hn::Set(d, 0xFFFFu)));
      const auto bytes_of = [&](std::uint32_t set) {
        return static_cast<std::size_t>(std::popcount(set) + std::popcount(set & two) +
                                        std::popcount(set & three));
      };
      const auto word = hn::GatherIndex(d, words, hn::BitCast(di, hn::ShiftRight<4>(c)));
      const auto classes_of = hn::Shr(word, hn::ShiftLeft<1>(hn::And(c, low_four)));
      const std::uint32_t plain = bits(hn::Eq(hn::And(classes_of, one), one));
      const std::uint32_t marks = bits(hn::Eq(hn::And(classes_of, two_bits), two_bits)) & ~plain;
      const std::uint32_t eventful = all & ~plain;
      const int first = eventful != 0 ? std::countr_zero(eventful) : static_cast<int>(lanes);
      const std::size_t size = bytes_of(all);
      if (four == 0 && tail + bytes_of((std::uint32_t{1} << first) - 1) < tail_limit &&
          passed.bytes + size <= budget) {
        hn::StoreU(hn::TruncateTo(d16, c), d16,
                   reinterpret_cast<std::uint16_t*>(out) + passed.units);
        if (eventful == 0) {
          tail += size;
        } else {
          tail = bytes_of(all & ~((std::uint32_t{2} << (std::bit_width(eventful) - 1)) - 1));
        }
        const std::uint32_t not_marks = all & ~marks;
        run = not_marks == 0 ? run + lanes
                             : lanes - static_cast<std::size_t>(std::bit_width(not_marks));
        k += lanes;
        passed.units += lanes;
        passed.bytes += size;
        continue;
      }
    }
#endif
    // Otherwise a block's worth of characters one at a time, up to the
    // first where something happens. Without a branch on what each
    // character is: in text whose characters alternate between kinds
    // (conjoining jamo: a trivial leading consonant, then a vowel and a
    // trailing consonant that are not) such branches mispredict on most.
    for (const std::size_t end = std::min(n, k + lanes); k < end; ++k) {
      const char32_t c = in[k];
      const unsigned classes_of = pair(c);
      const std::size_t plain = classes_of & 1u;
      const std::size_t mark = static_cast<std::size_t>(classes_of == 2u);
      const std::size_t width = 1 + (c > 0x7F) + (c > 0x7FF) + (c > 0xFFFF);
      const std::size_t stop = (plain & static_cast<std::size_t>(tail >= tail_limit)) |
                               (mark & static_cast<std::size_t>(run + 1 > run_limit)) |
                               static_cast<std::size_t>(passed.bytes + width > budget);
      if (stop != 0) goto done;
      tail = (tail + width) & (std::size_t{0} - plain);
      run = (run + 1) & (std::size_t{0} - mark);
      if (c < 0x10000) {
        out[passed.units++] = static_cast<char16_t>(c);
      } else {
        out[passed.units++] = static_cast<char16_t>(0xD7C0 + (c >> 10));
        out[passed.units++] = static_cast<char16_t>(0xDC00 | (c & 0x3FF));
      }
      passed.bytes += width;
    }
  }
done:
  passed.code_points = k;
  *tail_io = tail;
  *run_io = run;
  return passed;
}

}  // namespace HWY_NAMESPACE
}  // namespace quorvane::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace quorvane::simd {

HWY_EXPORT(FirstAtLeast);
HWY_EXPORT(PassPlainBlocks);

PlainBlocks pass_plain_blocks(std::span<const char32_t> in, char16_t* out,
                              const std::uint64_t* classes, std::size_t budget,
                              std::size_t tail_limit, std::size_t run_limit, std::size_t& tail,
                              std::size_t& run) noexcept {
  return HWY_DYNAMIC_DISPATCH(PassPlainBlocks)(in.data(), in.size(), out, classes, budget,
                                               tail_limit, run_limit, &tail, &run);
}

std::size_t first_at_least(const std::uint8_t* p, std::size_t n, std::uint8_t limit) noexcept {
  return HWY_DYNAMIC_DISPATCH(FirstAtLeast)(p, n, limit);
}

std::size_t first_at_least_scalar(const std::uint8_t* p, std::size_t n,
                                  std::uint8_t limit) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] >= limit) return i;
  }
  return n;
}

std::vector<std::size_t> first_at_least_every_target(const std::uint8_t* p, std::size_t n,
                                                     std::uint8_t limit) {
  return on_every_target([&] { return HWY_DYNAMIC_DISPATCH(FirstAtLeast)(p, n, limit); });
}

std::vector<PlainBlocksRun> pass_plain_blocks_every_target(
    std::span<const char32_t> in, const std::uint64_t* classes, std::size_t budget,
    std::size_t tail_limit, std::size_t run_limit, std::size_t tail, std::size_t run) {
  return on_every_target([&] {
    PlainBlocksRun out{{}, std::u16string(2 * in.size(), u'\0'), tail, run};
    out.passed =
        HWY_DYNAMIC_DISPATCH(PassPlainBlocks)(in.data(), in.size(), out.units.data(), classes,
                                              budget, tail_limit, run_limit, &out.tail, &out.run);
    out.units.resize(out.passed.units);
    return out;
  });
}

}  // namespace quorvane::simd
#endif
