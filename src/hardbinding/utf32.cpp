// Compiled once per instruction set by Highway's foreach_target, including
// AVX-512 with VBMI2, whose byte compress packs sixteen characters at once.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "hardbinding/utf32.cpp"
#include "hardbinding/utf32.hpp"

#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "hardbinding/every_target.hpp"

#ifndef QUORVANE_UTF32_TABLES
#define QUORVANE_UTF32_TABLES
namespace quorvane::hardbinding::provided::utf32_tables {

// Four code points are encoded at once, each into the low bytes of its own
// 32-bit lane; a byte shuffle then closes the gaps. The shuffle depends on
// the four UTF-8 lengths, packed two bits each (length - 1) into a key.
struct Packing {
  std::array<std::array<std::uint8_t, 16>, 256> shuffle{};
  std::array<std::uint8_t, 256> size{};
};

constexpr Packing make_packing() {
  Packing p;
  for (unsigned key = 0; key < 256; ++key) {
    unsigned out = 0;
    for (unsigned lane = 0; lane < 4; ++lane) {
      const unsigned len = ((key >> (2 * lane)) & 3) + 1;
      for (unsigned b = 0; b < len; ++b)
        p.shuffle[key][out++] = static_cast<std::uint8_t>(4 * lane + b);
    }
    p.size[key] = static_cast<std::uint8_t>(out);
    for (; out < 16; ++out) p.shuffle[key][out] = 0x80;  // zero
  }
  return p;
}

alignas(16) inline constexpr Packing kPacking = make_packing();
inline constexpr unsigned kAllAscii = 0x00;  // the key of four one-byte characters
inline constexpr unsigned kAllThree = 0xAA;  // and of four three-byte ones
inline constexpr unsigned kAllFour = 0xFF;   // and of four four-byte ones

// The low byte of each lane to the front.
alignas(16) inline constexpr std::uint8_t kLowBytes[16] = {
    0, 4, 8, 12, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

}  // namespace quorvane::hardbinding::provided::utf32_tables

namespace quorvane::hardbinding::provided {

// Writes the UTF-8 of the code point c (at most U+10FFFF) at o, and
// advances o past it.
inline void PutUtf8(char*& o, std::uint32_t c) {
  if (c < 0x80) {
    *o++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *o++ = static_cast<char>(0xC0 | (c >> 6));
    *o++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *o++ = static_cast<char>(0xE0 | (c >> 12));
    *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *o++ = static_cast<char>(0xF0 | (c >> 18));
    *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Adds what `in` shows to `scan` (in_set and has_bom), without a branch
// on each code point.
inline void ScanScalar(std::span<const char32_t> in, const std::uint64_t* set, Utf32Scan& scan) {
  bool in_set = scan.in_set;
  bool has_bom = scan.has_bom;
  for (const char32_t c : in) {
    const std::uint32_t at = c < 0x110000 ? static_cast<std::uint32_t>(c) : 0x10FFFF;
    in_set &= ((set[at >> 6] >> (at & 63)) & 1u) != 0;
    has_bom |= c == 0xFEFF;
  }
  scan.in_set = in_set;
  scan.has_bom = has_bom;
}

// utf8_from_utf16 one code unit at a time, from units [i, n) on; `o` is
// where the UTF-8 goes. Returns the end of what it wrote, or nullptr for a
// lone surrogate.
inline char* Utf8FromUtf16Scalar(const char16_t* in, std::size_t i, std::size_t n, char* o) {
  while (i < n) {
    std::uint32_t c = in[i++];
    if (c - 0xD800u < 0x800u) {
      if (c >= 0xDC00u || i == n || in[i] - 0xDC00u >= 0x400u) return nullptr;
      c = 0x10000u + ((c - 0xD800u) << 10) + (in[i++] - 0xDC00u);
    }
    PutUtf8(o, c);
  }
  return o;
}

// The range of `set` that holds c, which is in it.
inline std::array<char32_t, 2> RangeOf(const CodePointSet& set, char32_t c) {
  const auto after = std::upper_bound(set.ranges.begin(), set.ranges.end(), c,
                                      [](char32_t v, const auto& r) { return v < r[0]; });
  return after == set.ranges.begin() ? std::array<char32_t, 2>{1, 0} : *(after - 1);
}

}  // namespace quorvane::hardbinding::provided
#endif

HWY_BEFORE_NAMESPACE();
namespace quorvane::hardbinding::provided {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR
// The UTF-8 of each lane's code point in the lane's low bytes, first byte
// lowest; `len` gets each lane's length - 1. Lanes that hold a surrogate or
// a value past U+10FFFF are marked in `bad`.
template <class D, class V = hn::Vec<D>>
HWY_INLINE V EncodeLanes(D d, V c, V& len, V& bad) {
  const auto six = hn::Set(d, 0x3Fu), cont = hn::Set(d, 0x80u);
  const auto m1 = hn::Gt(c, hn::Set(d, 0x7Fu));
  const auto m2 = hn::Gt(c, hn::Set(d, 0x7FFu));
  const auto last = hn::Or(hn::And(c, six), cont);
  const auto two = hn::Or(hn::Or(hn::ShiftRight<6>(c), hn::Set(d, 0xC0u)), hn::ShiftLeft<8>(last));
  len = hn::Sub(hn::Zero(d), hn::VecFromMask(d, m1));
  if (hn::AllFalse(d, m2)) return hn::IfThenElse(m1, two, c);
  const auto m3 = hn::Gt(c, hn::Set(d, 0xFFFFu));
  bad =
      hn::Or(bad, hn::VecFromMask(d, hn::Lt(hn::Sub(c, hn::Set(d, 0xD800u)), hn::Set(d, 0x800u))));
  bad = hn::Or(bad, hn::VecFromMask(d, hn::Gt(c, hn::Set(d, 0x10FFFFu))));
  len = hn::Sub(hn::Sub(len, hn::VecFromMask(d, m2)), hn::VecFromMask(d, m3));
  const auto second = hn::Or(hn::And(hn::ShiftRight<6>(c), six), cont);
  const auto third = hn::Or(hn::And(hn::ShiftRight<12>(c), six), cont);
  const auto three = hn::Or(hn::Or(hn::ShiftRight<12>(c), hn::Set(d, 0xE0u)),
                            hn::Or(hn::ShiftLeft<8>(second), hn::ShiftLeft<16>(last)));
  const auto four = hn::Or(
      hn::Or(hn::ShiftRight<18>(c), hn::Set(d, 0xF0u)),
      hn::Or(hn::ShiftLeft<8>(third), hn::Or(hn::ShiftLeft<16>(second), hn::ShiftLeft<24>(last))));
  return hn::IfThenElse(m3, four, hn::IfThenElse(m2, three, hn::IfThenElse(m1, two, c)));
}

// The packing key of four lanes' lengths - 1, given as the low bytes of
// the four lanes of a block gathered into one 32-bit word.
inline unsigned PackingKey(std::uint32_t lengths) { return (lengths * 0x01041040u) >> 24; }
#endif

#if HWY_TARGET == HWY_AVX3_DL
// Of the bytes of EncodeLanes' lanes, those that are part of the UTF-8:
// byte b of a lane when the lane's length - 1 (`len`) is at least b.
template <class D8, class V>
HWY_INLINE auto Utf8Bytes(D8 d8, V len) {
  const hn::Repartition<std::uint32_t, D8> d;
  const auto byte_of_lane = hn::BitCast(d8, hn::Set(d, 0x03020100u));
  return hn::Not(hn::Gt(byte_of_lane, hn::BitCast(d8, hn::Mul(len, hn::Set(d, 0x01010101u)))));
}

// Sixteen code points at a time: each lane is encoded into its own four
// bytes, and one byte compress drops those that are not part of the UTF-8.
// With a `set`, `scan` also learns whether every code point is in it and
// whether U+FEFF is among them.
//
// Membership: text keeps to a few scripts, and each script's letters to a
// few ranges of the set; the ranges of the last few code points looked up
// are kept in vectors, and a block whose lanes all fall in them needs no
// lookup. Any other block's lanes are looked up in the bitmap, one gather
// for all sixteen, and a range it lands in replaces the oldest kept one.
// Once a code point outside the set is seen, membership is settled and no
// longer checked.
std::size_t Compressing(const char32_t* in, std::size_t n, char* out, const CodePointSet* set,
                        Utf32Scan* scan) {
  const hn::ScalableTag<std::uint32_t> d;
  const hn::Repartition<std::uint8_t, decltype(d)> d8;
  const hn::RebindToSigned<decltype(d)> di;
  const std::size_t lanes = hn::Lanes(d);
  const auto* p = reinterpret_cast<const std::uint32_t*>(in);
  auto* o = reinterpret_cast<std::uint8_t*>(out);
  const auto max_code_point = hn::Set(d, 0x10FFFFu), low_five = hn::Set(d, 31u);
  const auto bom = hn::Set(d, 0xFEFFu);
  // The bitmap as 32-bit words, as the gather reads it (x86 stores the
  // 64-bit words low half first).
  const auto* words =
      set != nullptr ? reinterpret_cast<const std::uint32_t*>(set->bits.data()) : nullptr;
  // The kept ranges: a lane c is in range k when c - first[k] < size[k].
  constexpr std::size_t kKept = 8;
  hn::Vec<decltype(d)> first[kKept], size[kKept];
  for (std::size_t k = 0; k < kKept; ++k) {
    first[k] = hn::Zero(d);
    size[k] = hn::Zero(d);
  }
  std::size_t oldest = 0;
  std::size_t misses = 0;  // blocks found in no kept range
  bool checking = set != nullptr;
  bool in_set = true;
  auto bad = hn::Zero(d);
  auto saw_bom = hn::Zero(d);
  std::size_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    const auto c = hn::LoadU(d, p + i);
    auto len = hn::Zero(d);
    const auto encoded = EncodeLanes(d, c, len, bad);
    const auto keep = Utf8Bytes(d8, len);
    hn::StoreU(hn::Compress(hn::BitCast(d8, encoded), keep), d8, o);
    o += hn::CountTrue(d8, keep);
    if (set == nullptr) continue;
    saw_bom = hn::Or(saw_bom, hn::VecFromMask(d, hn::Eq(c, bom)));
    if (!checking) continue;
    const auto at = hn::Min(c, max_code_point);
    // Half of the kept ranges first: most blocks need no more.
    auto kept = hn::Lt(hn::Sub(at, first[0]), size[0]);
    for (std::size_t k = 1; k < kKept / 2; ++k) {
      kept = hn::Or(kept, hn::Lt(hn::Sub(at, first[k]), size[k]));
    }
    if (hn::AllTrue(d, kept)) continue;
    for (std::size_t k = kKept / 2; k < kKept; ++k) {
      kept = hn::Or(kept, hn::Lt(hn::Sub(at, first[k]), size[k]));
    }
    if (hn::AllTrue(d, kept)) continue;
    const auto word = hn::GatherIndex(d, words, hn::BitCast(di, hn::ShiftRight<5>(at)));
    const auto bit = hn::And(hn::Shr(word, hn::And(at, low_five)), hn::Set(d, 1u));
    if (!hn::AllTrue(d, hn::Eq(bit, hn::Set(d, 1u)))) {
      in_set = false;
      checking = false;
      continue;
    }
    // Text that changes script every few blocks (the kept ranges never
    // settle) is left to the gather alone.
    if (++misses > 2 * kKept && misses * 8 > i / lanes) continue;
    alignas(64) std::uint32_t lane[hn::MaxLanes(d)];
    hn::Store(at, d, lane);
    const auto range =
        RangeOf(*set, static_cast<char32_t>(lane[hn::FindFirstTrue(d, hn::Not(kept))]));
    first[oldest] = hn::Set(d, static_cast<std::uint32_t>(range[0]));
    size[oldest] = hn::Set(d, static_cast<std::uint32_t>(range[1] - range[0] + 1));
    oldest = (oldest + 1) % kKept;
  }
  if (set != nullptr) {
    scan->in_set = in_set;
    scan->has_bom = !hn::AllTrue(d, hn::Eq(saw_bom, hn::Zero(d)));
    ScanScalar({in + i, n - i}, set->bits.data(), *scan);
  }
  if (i < n) {
    // The last few code points as one block, loaded and stored under
    // masks: nothing is read or written past them.
    const std::size_t left = n - i;
    const auto c = hn::MaskedLoad(hn::FirstN(d, left), d, p + i);
    auto len = hn::Zero(d);
    const auto encoded = EncodeLanes(d, c, len, bad);
    const auto keep = hn::And(Utf8Bytes(d8, len), hn::FirstN(d8, 4 * left));
    const std::size_t count = hn::CountTrue(d8, keep);
    hn::BlendedStore(hn::Compress(hn::BitCast(d8, encoded), keep), hn::FirstN(d8, count), d8, o);
    o += count;
  }
  if (!hn::AllTrue(d, hn::Eq(bad, hn::Zero(d)))) return kNotScalarValues;
  return static_cast<std::size_t>(o - reinterpret_cast<std::uint8_t*>(out));
}
#endif

std::size_t Utf8FromUtf32(const char32_t* in, std::size_t n, char* out) {
#if HWY_TARGET == HWY_AVX3_DL
  return Compressing(in, n, out, nullptr, nullptr);
#elif HWY_TARGET == HWY_SCALAR
  // One lane and no byte shuffle: the plain loop.
  return utf8_from_utf32_scalar({in, n}, out);
#else
  using utf32_tables::kAllAscii;
  using utf32_tables::kAllFour;
  using utf32_tables::kAllThree;
  using utf32_tables::kLowBytes;
  using utf32_tables::kPacking;
  // 128-bit vectors on every target: the byte shuffle works within 128 bits.
  const hn::Full128<std::uint32_t> d;
  const hn::Full128<std::uint8_t> d8;
  const auto* p = reinterpret_cast<const std::uint32_t*>(in);
  auto* o = reinterpret_cast<std::uint8_t*>(out);
  const auto low_bytes = hn::Load(d8, kLowBytes);
  const auto max1 = hn::Set(d, 0x7Fu);
  const auto six = hn::Set(d, 0x3Fu), cont = hn::Set(d, 0x80u);
  const auto surrogate = hn::Set(d, 0xD800u), surrogates = hn::Set(d, 0x800u);
  auto bad = hn::Zero(d);  // all ones in a lane that saw a non-scalar value
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
  const hn::CappedTag<std::uint32_t, 8> d2;
  const hn::Repartition<std::uint8_t, decltype(d2)> d28;
  const auto low_bytes2 = hn::Combine(d28, low_bytes, low_bytes);
  auto bad2 = hn::Zero(d2);
#endif

  const auto three_first = hn::Set(d, 0x800u), three_count = hn::Set(d, 0xF800u);
  const auto four_first = hn::Set(d, 0x10000u), four_count = hn::Set(d, 0x100000u);
  const auto three_shuffle = hn::Load(d8, kPacking.shuffle[kAllThree].data());

  // The lengths of the last four code points encoded, as a packing key:
  // text tends to stay in one script, so the next code points most likely
  // have the same lengths, and the runs of all ASCII and of all three-byte
  // characters have loops of their own.
  unsigned key = kAllAscii;
  std::size_t i = 0;
  while (i + 4 <= n) {
    if (key == kAllAscii) {
      // Sixteen code points at a time while they are all ASCII.
      while (i + 16 <= n) {
        const auto a = hn::LoadU(d, p + i), b = hn::LoadU(d, p + i + 4);
        const auto c = hn::LoadU(d, p + i + 8), e = hn::LoadU(d, p + i + 12);
        if (!hn::AllFalse(d, hn::Gt(hn::Or(hn::Or(a, b), hn::Or(c, e)), max1))) break;
        hn::StoreU(hn::TableLookupBytes(hn::BitCast(d8, a), low_bytes), d8, o);
        hn::StoreU(hn::TableLookupBytes(hn::BitCast(d8, b), low_bytes), d8, o + 4);
        hn::StoreU(hn::TableLookupBytes(hn::BitCast(d8, c), low_bytes), d8, o + 8);
        hn::StoreU(hn::TableLookupBytes(hn::BitCast(d8, e), low_bytes), d8, o + 12);
        o += 16;
        i += 16;
      }
    } else if (key == kAllFour) {
      // Four code points at a time while they are all U+10000..U+10FFFF
      // (emoji, the selectors of a wrapper): each lane holds its four bytes
      // in order, so the vector is stored as it is.
      while (i + 4 <= n) {
        const auto c = hn::LoadU(d, p + i);
        if (!hn::AllTrue(d, hn::Lt(hn::Sub(c, four_first), four_count))) break;
        const auto second = hn::Or(hn::And(hn::ShiftRight<6>(c), six), cont);
        const auto third = hn::Or(hn::And(hn::ShiftRight<12>(c), six), cont);
        const auto last = hn::Or(hn::And(c, six), cont);
        const auto words = hn::Or(hn::Or(hn::ShiftRight<18>(c), hn::Set(d, 0xF0u)),
                                  hn::Or(hn::ShiftLeft<8>(third), hn::Or(hn::ShiftLeft<16>(second),
                                                                         hn::ShiftLeft<24>(last))));
        hn::StoreU(hn::BitCast(d8, words), d8, o);
        o += 16;
        i += 4;
      }
    } else if (key == kAllThree) {
      // Eight code points at a time while they are all U+0800..U+FFFF and
      // none a surrogate: most of Chinese, Japanese and Korean text.
      while (i + 8 <= n) {
        const auto a = hn::LoadU(d, p + i), b = hn::LoadU(d, p + i + 4);
        const auto in_range = hn::And(hn::Lt(hn::Sub(a, three_first), three_count),
                                      hn::Lt(hn::Sub(b, three_first), three_count));
        const auto surrogate_in = hn::Or(hn::Lt(hn::Sub(a, surrogate), surrogates),
                                         hn::Lt(hn::Sub(b, surrogate), surrogates));
        if (!hn::AllTrue(d, in_range) || !hn::AllFalse(d, surrogate_in)) break;
        // Not a range over {a, b}: an SVE vector cannot be an array element.
        for (int half = 0; half < 2; ++half) {
          const auto c = half == 0 ? a : b;
          const auto second = hn::Or(hn::And(hn::ShiftRight<6>(c), six), cont);
          const auto last = hn::Or(hn::And(c, six), cont);
          const auto words = hn::Or(hn::Or(hn::ShiftRight<12>(c), hn::Set(d, 0xE0u)),
                                    hn::Or(hn::ShiftLeft<8>(second), hn::ShiftLeft<16>(last)));
          hn::StoreU(hn::TableLookupBytes(hn::BitCast(d8, words), three_shuffle), d8, o);
          o += 12;
        }
        i += 8;
      }
    }
    if (i + 4 > n) break;

#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
    // Eight code points at a time, two blocks of four, each packed by its
    // own key: the byte shuffle works within each 128-bit block.
    if (i + 8 <= n) {
      const auto c = hn::LoadU(d2, p + i);
      auto len = hn::Zero(d2);
      const auto words = EncodeLanes(d2, c, len, bad2);
      const auto lengths = hn::BitCast(d2, hn::TableLookupBytes(hn::BitCast(d28, len), low_bytes2));
      const unsigned k0 = PackingKey(hn::GetLane(hn::LowerHalf(d, lengths)));
      const unsigned k1 = PackingKey(hn::GetLane(hn::UpperHalf(d, lengths)));
      const auto shuffle = hn::Combine(d28, hn::Load(d8, kPacking.shuffle[k1].data()),
                                       hn::Load(d8, kPacking.shuffle[k0].data()));
      const auto bytes = hn::TableLookupBytes(hn::BitCast(d28, words), shuffle);
      hn::StoreU(hn::LowerHalf(d8, bytes), d8, o);
      o += kPacking.size[k0];
      hn::StoreU(hn::UpperHalf(d8, bytes), d8, o);
      o += kPacking.size[k1];
      key = k1;
      i += 8;
      continue;
    }
#endif
    const auto c = hn::LoadU(d, p + i);
    auto len = hn::Zero(d);
    const auto words = EncodeLanes(d, c, len, bad);
    // The lanes' lengths - 1, one byte each, then two bits each.
    key = PackingKey(
        hn::GetLane(hn::BitCast(d, hn::TableLookupBytes(hn::BitCast(d8, len), low_bytes))));
    const auto shuffle = hn::Load(d8, kPacking.shuffle[key].data());
    hn::StoreU(hn::TableLookupBytes(hn::BitCast(d8, words), shuffle), d8, o);
    o += kPacking.size[key];
    i += 4;
  }
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
  bad = hn::Or(bad, hn::Or(hn::LowerHalf(d, bad2), hn::UpperHalf(d, bad2)));
#endif
  const std::size_t tail = utf8_from_utf32_scalar({in + i, n - i}, reinterpret_cast<char*>(o));
  if (tail == kNotScalarValues || !hn::AllTrue(d, hn::Eq(bad, hn::Zero(d)))) {
    return kNotScalarValues;
  }
  return static_cast<std::size_t>(o - reinterpret_cast<std::uint8_t*>(out)) + tail;
#endif
}

std::size_t Utf8FromUtf16(const char16_t* in, std::size_t n, char* out) {
  std::size_t i = 0;
  char* o = out;
#if HWY_TARGET == HWY_AVX3_DL
  // Sixteen units at a time, widened to code points and encoded as in
  // Compressing; a block with a surrogate in it goes the plain way.
  const hn::ScalableTag<std::uint32_t> d;
  const hn::Rebind<std::uint16_t, decltype(d)> d16;
  const hn::Repartition<std::uint8_t, decltype(d)> d8;
  const std::size_t lanes = hn::Lanes(d);
  const auto surrogate = hn::Set(d16, std::uint16_t{0xD800});
  const auto surrogates = hn::Set(d16, std::uint16_t{0x800});
  const auto* p = reinterpret_cast<const std::uint16_t*>(in);
  auto bad = hn::Zero(d);
  // A block's store writes 64 bytes; the room for 3 per unit covers that
  // while 22 units are left.
  while (i + lanes + 6 <= n) {
    const auto units = hn::LoadU(d16, p + i);
    if (!hn::AllFalse(d16, hn::Lt(hn::Sub(units, surrogate), surrogates))) {
      // Up to the block's end, and past it by the trail of a pair that
      // straddles it.
      std::size_t end = i + lanes;
      if (end < n && in[end - 1] - 0xD800u < 0x400u) ++end;
      o = Utf8FromUtf16Scalar(in, i, end, o);
      if (o == nullptr) return kNotScalarValues;
      i = end;
      continue;
    }
    auto len = hn::Zero(d);
    const auto encoded = EncodeLanes(d, hn::PromoteTo(d, units), len, bad);
    const auto keep = Utf8Bytes(d8, len);
    hn::StoreU(hn::Compress(hn::BitCast(d8, encoded), keep), d8,
               reinterpret_cast<std::uint8_t*>(o));
    o += hn::CountTrue(d8, keep);
    i += lanes;
  }
#endif
  o = Utf8FromUtf16Scalar(in, i, n, o);
  return o == nullptr ? kNotScalarValues : static_cast<std::size_t>(o - out);
}

Utf32Scan ScanUtf32(const char32_t* in, std::size_t n, char* out, const CodePointSet* set) {
  Utf32Scan scan;
#if HWY_TARGET == HWY_AVX3_DL
  scan.size = Compressing(in, n, out, set, &scan);
#else
  scan.size = Utf8FromUtf32(in, n, out);
  ScanScalar({in, n}, set->bits.data(), scan);
#endif
  return scan;
}

}  // namespace HWY_NAMESPACE
}  // namespace quorvane::hardbinding::provided
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace quorvane::hardbinding::provided {

HWY_EXPORT(Utf8FromUtf32);
HWY_EXPORT(Utf8FromUtf16);
HWY_EXPORT(ScanUtf32);

std::size_t utf8_from_utf32(std::span<const char32_t> in, char* out) noexcept {
  return HWY_DYNAMIC_DISPATCH(Utf8FromUtf32)(in.data(), in.size(), out);
}

std::size_t utf8_from_utf16(std::span<const char16_t> in, char* out) noexcept {
  return HWY_DYNAMIC_DISPATCH(Utf8FromUtf16)(in.data(), in.size(), out);
}

Utf32Scan utf8_from_utf32_scan(std::span<const char32_t> in, char* out, CodePointSet set) noexcept {
  return HWY_DYNAMIC_DISPATCH(ScanUtf32)(in.data(), in.size(), out, &set);
}

std::size_t utf8_from_utf32_scalar(std::span<const char32_t> in, char* out) noexcept {
  char* o = out;
  bool bad = false;
  for (const char32_t cp : in) {
    const auto c = static_cast<std::uint32_t>(cp);
    bad |= c - 0xD800u < 0x800u || c > 0x10FFFF;
    PutUtf8(o, c);
  }
  return bad ? kNotScalarValues : static_cast<std::size_t>(o - out);
}

std::vector<std::vector<char>> utf8_from_utf32_every_target(std::span<const char32_t> in) {
  return on_every_target([&] {
    std::vector<char> bytes(4 * in.size());
    const std::size_t n = HWY_DYNAMIC_DISPATCH(Utf8FromUtf32)(in.data(), in.size(), bytes.data());
    bytes.resize(n == kNotScalarValues ? 0 : n);
    return bytes;
  });
}

std::vector<std::vector<char>> utf8_from_utf16_every_target(std::span<const char16_t> in) {
  return on_every_target([&] {
    std::vector<char> bytes(3 * in.size());
    const std::size_t n = HWY_DYNAMIC_DISPATCH(Utf8FromUtf16)(in.data(), in.size(), bytes.data());
    bytes.resize(n == kNotScalarValues ? 0 : n);
    return bytes;
  });
}

std::vector<std::pair<std::vector<char>, Utf32Scan>> utf8_from_utf32_scan_every_target(
    std::span<const char32_t> in, CodePointSet set) {
  return on_every_target([&] {
    std::vector<char> bytes(4 * in.size());
    const Utf32Scan scan =
        HWY_DYNAMIC_DISPATCH(ScanUtf32)(in.data(), in.size(), bytes.data(), &set);
    bytes.resize(scan.size == kNotScalarValues ? 0 : scan.size);
    return std::pair(std::move(bytes), scan);
  });
}

}  // namespace quorvane::hardbinding::provided
#endif
