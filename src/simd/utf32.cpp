// Compiled once per instruction set by Highway's foreach_target, including
// AVX-512 with VBMI2, whose byte compress packs sixteen characters at once
// where they mix lengths; text of one- and two-byte characters, and the
// other vector targets, pack with byte shuffles from small tables.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "simd/utf32.cpp"
#include "simd/utf32.hpp"

#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "simd/every_target.hpp"
#include "simd/utf32_plain.hpp"

HWY_BEFORE_NAMESPACE();
namespace quorvane::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR
// The UTF-8 of each lane's code point in the lane's low bytes, first byte
// lowest; `len` gets each lane's length - 1. Lanes that hold a surrogate or
// a value past U+10FFFF are marked in `bad`.
template <class D, class V = hn::Vec<D>>
HWY_INLINE V EncodeLanes(D d, V c, V& len, V& bad) {
  // The lengths by signed compares, which x86 has for 32-bit lanes (an
  // unsigned one costs a flip of each operand's sign bit): a value that
  // reads as negative is past U+10FFFF, which `bad` catches, and whatever
  // its lanes get is thrown away.
  const hn::RebindToSigned<D> di;
  const auto s = hn::BitCast(di, c);
  const auto six = hn::Set(d, 0x3Fu), cont = hn::Set(d, 0x80u);
  const auto m1 = hn::RebindMask(d, hn::Gt(s, hn::Set(di, 0x7F)));
  const auto m2 = hn::RebindMask(d, hn::Gt(s, hn::Set(di, 0x7FF)));
  const auto last = hn::Or(hn::And(c, six), cont);
  const auto two = hn::Or(hn::Or(hn::ShiftRight<6>(c), hn::Set(d, 0xC0u)), hn::ShiftLeft<8>(last));
  len = hn::Sub(hn::Zero(d), hn::VecFromMask(d, m1));
  bad = hn::Or(bad, hn::VecFromMask(d, hn::Gt(c, hn::Set(d, 0x10FFFFu))));
  if (hn::AllFalse(d, m2)) return hn::IfThenElse(m1, two, c);
  bad =
      hn::Or(bad, hn::VecFromMask(d, hn::Lt(hn::Sub(c, hn::Set(d, 0xD800u)), hn::Set(d, 0x800u))));
  len = hn::Sub(len, hn::VecFromMask(d, m2));
  const auto second = hn::Or(hn::And(hn::ShiftRight<6>(c), six), cont);
  const auto three = hn::Or(hn::Or(hn::ShiftRight<12>(c), hn::Set(d, 0xE0u)),
                            hn::Or(hn::ShiftLeft<8>(second), hn::ShiftLeft<16>(last)));
  const auto up_to_three = hn::IfThenElse(m2, three, hn::IfThenElse(m1, two, c));
  const auto m3 = hn::RebindMask(d, hn::Gt(s, hn::Set(di, 0xFFFF)));
  // Text in the BMP (most vectors that mix lengths: CJK or Hangul with
  // ASCII spaces and digits) needs no four-byte forms.
  if (hn::AllFalse(d, m3)) return up_to_three;
  len = hn::Sub(len, hn::VecFromMask(d, m3));
  const auto third = hn::Or(hn::And(hn::ShiftRight<12>(c), six), cont);
  const auto four = hn::Or(
      hn::Or(hn::ShiftRight<18>(c), hn::Set(d, 0xF0u)),
      hn::Or(hn::ShiftLeft<8>(third), hn::Or(hn::ShiftLeft<16>(second), hn::ShiftLeft<24>(last))));
  return hn::IfThenElse(m3, four, up_to_three);
}

// The bytes of `bytes` that the shuffles k0 (of its lower 128-bit block)
// and k1 (of its upper one) of `table` keep, closed up and stored at o one
// after the other; returns the end. With 128-bit vectors only k0 is used.
template <class D8, class Table>
HWY_INLINE std::uint8_t* PutBlocks(D8 d8, hn::Vec<D8> bytes, const Table& table, unsigned k0,
                                   unsigned k1, std::uint8_t* o) {
  if constexpr (hn::MaxLanes(d8) == 32) {
    const hn::Half<D8> d8h;
    const auto shuffle = hn::Combine(d8, hn::Load(d8h, table.shuffle[k1].data()),
                                     hn::Load(d8h, table.shuffle[k0].data()));
    const auto packed = hn::TableLookupBytes(bytes, shuffle);
    hn::StoreU(hn::LowerHalf(d8h, packed), d8h, o);
    o += table.size[k0];
    hn::StoreU(hn::UpperHalf(d8h, packed), d8h, o);
    return o + table.size[k1];
  } else {
    static_assert(hn::MaxLanes(d8) == 16);
    (void)k1;
    hn::StoreU(hn::TableLookupBytes(bytes, hn::Load(d8, table.shuffle[k0].data())), d8, o);
    return o + table.size[k0];
  }
}

// Eight or sixteen characters below U+0800, one in each 16-bit lane of
// `w`, encoded as one byte (ASCII) or two and closed up by one byte
// shuffle per eight, chosen by which are ASCII (kTwoBytePacking); stored
// at o, which has room for 2 bytes per lane; returns the end.
template <class D16, class V16 = hn::Vec<D16>>
HWY_INLINE std::uint8_t* PackTwoByte(D16 d16, V16 w, std::uint8_t* o) {
  using utf32_tables::kTwoBytePacking;
  const hn::Repartition<std::uint8_t, D16> d8;
  const auto ascii = hn::Lt(w, hn::Set(d16, 0x80));
  const auto lead = hn::Or(hn::ShiftRight<6>(w), hn::Set(d16, 0xC0));
  const auto trail = hn::Or(hn::And(w, hn::Set(d16, 0x3F)), hn::Set(d16, 0x80));
  const auto forms =
      hn::BitCast(d8, hn::IfThenElse(ascii, w, hn::Or(lead, hn::ShiftLeft<8>(trail))));
  std::uint8_t mask[8] = {};
  hn::StoreMaskBits(d16, ascii, mask);
  return PutBlocks(d8, forms, kTwoBytePacking, mask[0], mask[1], o);
}

// The packing key of four lanes' lengths - 1, given as the low bytes of
// the four lanes of a block gathered into one 32-bit word.
inline unsigned PackingKey(std::uint32_t lengths) { return (lengths * 0x01041040u) >> 24; }

// Membership of vectors of code points in a CodePointSet. Text keeps to a
// few scripts, and each script's letters to a few ranges of the set; the
// ranges of the last few code points looked up are kept in vectors, and a
// vector whose lanes all fall in them needs no lookup. Any other vector's
// lanes are looked up in the bitmap, one gather for all of them, and a
// range it lands in replaces the oldest kept one.
template <class D>
class KeptRanges {
 public:
  using V = hn::Vec<D>;

  // Without a set (nullptr) nothing is set up, not even the rows (a call
  // on a short text would pay for writing them), and Holds is not called.
  explicit KeptRanges(const CodePointSet* set)
      : set_(set),
        // The bitmap as 32-bit words, as the gather reads it (x86 stores the
        // 64-bit words low half first).
        words_(set == nullptr ? nullptr
                              : reinterpret_cast<const std::uint32_t*>(set->bits.data())) {
    if (set == nullptr) return;
    std::fill_n(first_, kKept * kRow, 0u);
    std::fill_n(size_, kKept * kRow, kSign);
    std::fill_n(first16_, kKept * kRow16, std::uint16_t{0});
    std::fill_n(size16_, kKept * kRow16, kSign16);
  }

  // Whether every lane of `at` (code points, none past U+10FFFF) is in the
  // set; `seen` is the number of vectors looked at so far.
  HWY_INLINE bool Holds(D d, V at, std::size_t seen) {
    // Half of the kept ranges first: most vectors need no more.
    auto kept = InRange(d, at, 0);
    for (std::size_t k = 1; k < kKept / 2; ++k) kept = hn::Or(kept, InRange(d, at, k));
    if (hn::AllTrue(d, kept)) return true;
    for (std::size_t k = kKept / 2; k < kKept; ++k) kept = hn::Or(kept, InRange(d, at, k));
    if (hn::AllTrue(d, kept)) return true;
    return Lookup(d, at, kept, seen);
  }

  // Holds(d, a, seen) && Holds(d, b, seen), with the kept ranges of both
  // vectors tested side by side and decided at once.
  HWY_INLINE bool HoldsBoth(D d, V a, V b, std::size_t seen) {
    auto ka = InRange(d, a, 0), kb = InRange(d, b, 0);
    for (std::size_t k = 1; k < kKept / 2; ++k) {
      ka = hn::Or(ka, InRange(d, a, k));
      kb = hn::Or(kb, InRange(d, b, k));
    }
    if (hn::AllTrue(d, hn::And(ka, kb))) return true;
    for (std::size_t k = kKept / 2; k < kKept; ++k) {
      ka = hn::Or(ka, InRange(d, a, k));
      kb = hn::Or(kb, InRange(d, b, k));
    }
    if (hn::AllTrue(d, hn::And(ka, kb))) return true;
    // Looking `a` up may keep a new range, which `b` is then tested in.
    return (hn::AllTrue(d, ka) || Lookup(d, a, ka, seen)) && Holds(d, b, seen);
  }

  // HoldsBoth(d, a, b, seen) for a pair in the BMP, whose code points `w`
  // also holds in 16-bit lanes, in order: the kept ranges (cut at U+FFFF)
  // are tested on those, twice as many lanes at once, and only a pair
  // that they do not hold is tested as HoldsBoth tests it (its lanes are
  // all below U+10000, so none needs clamping).
  template <class D16>
  HWY_INLINE bool HoldsBmp(D d, D16 d16, hn::Vec<D16> w, V a, V b, std::size_t seen) {
    auto kept = InRange16(d16, w, 0);
    for (std::size_t k = 1; k < kKept / 2; ++k) kept = hn::Or(kept, InRange16(d16, w, k));
    if (hn::AllTrue(d16, kept)) return true;
    for (std::size_t k = kKept / 2; k < kKept; ++k) kept = hn::Or(kept, InRange16(d16, w, k));
    if (hn::AllTrue(d16, kept)) return true;
    return HoldsBoth(d, a, b, seen);
  }

 private:
  static constexpr std::size_t kKept = 8;
  static constexpr std::size_t kRow = hn::MaxLanes(D());
  static constexpr std::size_t kRow16 = 2 * kRow;
  static constexpr std::uint32_t kSign = 0x80000000u;
  static constexpr std::uint16_t kSign16 = 0x8000u;

  // The lanes of `at` that no kept range holds (not `kept`) looked up in
  // the bitmap, and the range of the first of them kept in place of the
  // oldest. Out of line: it is rare once the kept ranges settle, and the
  // loops that call it keep their constants in registers.
  HWY_NOINLINE bool Lookup(D d, V at, hn::Mask<D> kept, std::size_t seen) {
    const hn::RebindToSigned<D> di;
    const auto word = hn::GatherIndex(d, words_, hn::BitCast(di, hn::ShiftRight<5>(at)));
    const auto bit = hn::And(hn::Shr(word, hn::And(at, hn::Set(d, 31u))), hn::Set(d, 1u));
    if (!hn::AllTrue(d, hn::Eq(bit, hn::Set(d, 1u)))) return false;
    // Text that changes script every few vectors (the kept ranges never
    // settle) is left to the gather alone.
    ++misses_;
    if (misses_ > 2 * kKept && misses_ * 8 > seen) return true;
    alignas(64) std::uint32_t lane[hn::MaxLanes(d)];
    hn::Store(at, d, lane);
    const auto range =
        RangeOf(*set_, static_cast<char32_t>(lane[hn::FindFirstTrue(d, hn::Not(kept))]));
    const auto first = static_cast<std::uint32_t>(range[0]) + kSign;
    const auto size = static_cast<std::uint32_t>(range[1] - range[0] + 1) ^ kSign;
    std::fill_n(first_ + oldest_ * kRow, kRow, first);
    std::fill_n(size_ + oldest_ * kRow, kRow, size);
    // The same range cut at U+FFFF for the 16-bit rows: empty past it,
    // and one short of U+FFFF when it reaches there from U+0000 (its size
    // would not fit 16 bits), which only sends U+FFFF to the exact test.
    std::uint16_t first16 = 0, size16 = kSign16;
    if (range[0] <= 0xFFFF) {
      const auto last = std::min<std::uint32_t>(static_cast<std::uint32_t>(range[1]), 0xFFFFu);
      const auto count =
          std::min<std::uint32_t>(last - static_cast<std::uint32_t>(range[0]) + 1, 0xFFFFu);
      first16 = static_cast<std::uint16_t>(static_cast<std::uint32_t>(range[0]) + kSign16);
      size16 = static_cast<std::uint16_t>(count ^ kSign16);
    }
    std::fill_n(first16_ + oldest_ * kRow16, kRow16, first16);
    std::fill_n(size16_ + oldest_ * kRow16, kRow16, size16);
    oldest_ = (oldest_ + 1) % kKept;
    return true;
  }

  // A lane c is in kept range k when c - first < size, unsigned. The
  // bounds are kept with their sign bits flipped (first + 2^31, size ^
  // 2^31), so that the subtraction flips the difference's too and a signed
  // compare, which x86 has for 32-bit lanes, decides it: an unsigned one
  // costs a flip of each operand. Each bound is broadcast to a row of
  // lanes in memory, which an instruction takes as its operand as it is (a
  // broadcast at each compare was 8.9% of the kernel's samples on Chinese
  // under AVX2), and which a target whose vectors have no size known when
  // compiling (SVE) can keep too.
  HWY_INLINE auto InRange(D d, V at, std::size_t k) const {
    const hn::RebindToSigned<D> di;
    const auto into = hn::BitCast(di, hn::Sub(at, hn::Load(d, first_ + k * kRow)));
    return hn::RebindMask(d, hn::Lt(into, hn::BitCast(di, hn::Load(d, size_ + k * kRow))));
  }

  // InRange on 16-bit lanes, the bounds kept with their sign bits flipped
  // (2^15) as above.
  template <class D16>
  HWY_INLINE auto InRange16(D16 d16, hn::Vec<D16> w, std::size_t k) const {
    const hn::RebindToSigned<D16> di16;
    const auto into = hn::BitCast(di16, hn::Sub(w, hn::Load(d16, first16_ + k * kRow16)));
    return hn::RebindMask(d16,
                          hn::Lt(into, hn::BitCast(di16, hn::Load(d16, size16_ + k * kRow16))));
  }

  const CodePointSet* set_;
  const std::uint32_t* words_;
  // An empty range (size 0, kept as 2^31: below every signed value) holds
  // nothing.
  alignas(64) std::uint32_t first_[kKept * kRow];
  alignas(64) std::uint32_t size_[kKept * kRow];
  alignas(64) std::uint16_t first16_[kKept * kRow16];
  alignas(64) std::uint16_t size16_[kKept * kRow16];
  std::size_t oldest_ = 0;
  std::size_t misses_ = 0;  // vectors found in no kept range
};
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
// With a `set`, `scan` also learns whether every code point is in it
// (KeptRanges; once one outside it is seen, membership is settled and no
// longer checked) and whether U+FEFF is among them.
std::size_t Compressing(const char32_t* in, std::size_t n, char* out, const CodePointSet* set,
                        Utf32Scan* scan) {
  const hn::ScalableTag<std::uint32_t> d;
  const hn::Repartition<std::uint8_t, decltype(d)> d8;
  const std::size_t lanes = hn::Lanes(d);
  const auto* p = reinterpret_cast<const std::uint32_t*>(in);
  auto* o = reinterpret_cast<std::uint8_t*>(out);
  const auto max_code_point = hn::Set(d, 0x10FFFFu);
  const auto bom = hn::Set(d, 0xFEFFu);
  KeptRanges<decltype(d)> kept(set);
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
    if (checking && !kept.Holds(d, hn::Min(c, max_code_point), i / lanes)) {
      in_set = false;
      checking = false;
    }
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

#if HWY_TARGET != HWY_SCALAR
// The vectors of the shuffle-table kernels: eight 32-bit lanes at most, and
// as many as the tag's maximum, which the kernels' layout depends on. The
// SVE and SVE2 targets take their size from the CPU at run time (128 bits
// on most, where a tag of eight would give four lanes); there they keep to
// 128 bits, which every SVE CPU has. A CPU with 256-bit vectors runs the
// SVE_256 target.
#if HWY_TARGET == HWY_SVE || HWY_TARGET == HWY_SVE2
using PackTag = hn::CappedTag<std::uint32_t, 4>;
#else
using PackTag = hn::CappedTag<std::uint32_t, 8>;
#endif

// The UTF-8 of the lanes of `c` (EncodeLanes) closed up by byte shuffles
// from kPacking, one per block of four lanes, stored at o; returns the end.
template <class D, class V = hn::Vec<D>>
HWY_INLINE std::uint8_t* PackMixed(D d, V c, std::uint8_t* o, V& bad) {
  using utf32_tables::kLowBytes;
  using utf32_tables::kPacking;
  const hn::Repartition<std::uint8_t, D> d8;
  auto len = hn::Zero(d);
  const auto words = EncodeLanes(d, c, len, bad);
  // The lanes' lengths - 1, one byte each, to the front of each block.
  const auto lengths =
      hn::BitCast(d, hn::TableLookupBytes(hn::BitCast(d8, len), hn::LoadDup128(d8, kLowBytes)));
  if constexpr (hn::MaxLanes(d) == 8) {
    const hn::Half<D> dh;
    const unsigned k0 = PackingKey(hn::GetLane(hn::LowerHalf(dh, lengths)));
    const unsigned k1 = PackingKey(hn::GetLane(hn::UpperHalf(dh, lengths)));
    return PutBlocks(d8, hn::BitCast(d8, words), kPacking, k0, k1, o);
  } else {
    static_assert(hn::MaxLanes(d) == 4);
    return PutBlocks(d8, hn::BitCast(d8, words), kPacking, PackingKey(hn::GetLane(lengths)), 0, o);
  }
}

// Sixteen or eight characters of the BMP, one in each 16-bit lane of `w`
// (a surrogate among them sets `bad`): each lane's one to three bytes are
// worked out in its 16-bit lane, twice as many at once as in 32-bit ones,
// then widened to a 32-bit lane each and closed up by one kPacking shuffle
// per four lanes. The key of four lanes is their lengths - 1, two bits
// each, which the byte masks of the lanes that are not ASCII and not below
// U+0800 give when added (two bits per lane already). Stored at o, which
// has room for 4 bytes per lane; returns the end.
template <class D16, class V16 = hn::Vec<D16>>
HWY_INLINE std::uint8_t* PackBmp(D16 d16, V16 w, std::uint8_t* o, V16& bad) {
  using utf32_tables::kPacking;
  const hn::Repartition<std::uint8_t, D16> d8;
  const hn::Repartition<std::uint32_t, D16> d32;
  const auto six = hn::Set(d16, 0x3F), cont = hn::Set(d16, 0x80);
  const auto high_bits = hn::Set(d16, 0xF800);
  const auto last = hn::Or(hn::And(w, six), cont);
  const auto mid = hn::Or(hn::And(hn::ShiftRight<6>(w), six), cont);
  const auto two = hn::Or(hn::Or(hn::ShiftRight<6>(w), hn::Set(d16, 0xC0)), hn::ShiftLeft<8>(last));
  const auto three =
      hn::Or(hn::Or(hn::ShiftRight<12>(w), hn::Set(d16, 0xE0)), hn::ShiftLeft<8>(mid));
  const auto ascii = hn::Eq(hn::And(w, hn::Set(d16, 0xFF80)), hn::Zero(d16));
  const auto below_three = hn::Eq(hn::And(w, high_bits), hn::Zero(d16));
  bad = hn::Or(bad, hn::VecFromMask(d16, hn::Eq(hn::And(w, high_bits), hn::Set(d16, 0xD800))));
  // The first two bytes of each lane's form; the third is `last`.
  const auto first = hn::IfThenElse(ascii, w, hn::IfThenElse(below_three, two, three));
  // Lanes 0-3 and 4-7 of each 128-bit block, each form in a 32-bit lane.
  const auto low = hn::BitCast(d8, hn::ZipLower(d32, first, last));
  const auto high = hn::BitCast(d8, hn::ZipUpper(d32, first, last));
  std::uint8_t ascii_bits[8] = {}, below_bits[8] = {};
  hn::StoreMaskBits(d8, hn::MaskFromVec(hn::BitCast(d8, hn::VecFromMask(d16, ascii))), ascii_bits);
  hn::StoreMaskBits(d8, hn::MaskFromVec(hn::BitCast(d8, hn::VecFromMask(d16, below_three))),
                    below_bits);
  std::uint32_t a = 0, b = 0;
  std::memcpy(&a, ascii_bits, sizeof a);
  std::memcpy(&b, below_bits, sizeof b);
  // Byte k: the key of lanes 4k..4k+3.
  const std::uint32_t keys = (~a & 0x55555555u) + (~b & 0x55555555u);
  const hn::Full128<std::uint8_t> d128;
  const auto put = [&](auto half, unsigned key) {
    hn::StoreU(half, d128, o);
    o += kPacking.size[key];
  };
  if constexpr (hn::MaxLanes(d16) == 16) {
    const hn::Half<decltype(d8)> d8h;
    const unsigned k0 = keys & 0xFFu, k1 = (keys >> 8) & 0xFFu;
    const unsigned k2 = (keys >> 16) & 0xFFu, k3 = keys >> 24;
    const auto lo =
        hn::TableLookupBytes(low, hn::Combine(d8, hn::Load(d8h, kPacking.shuffle[k2].data()),
                                              hn::Load(d8h, kPacking.shuffle[k0].data())));
    const auto hi =
        hn::TableLookupBytes(high, hn::Combine(d8, hn::Load(d8h, kPacking.shuffle[k3].data()),
                                               hn::Load(d8h, kPacking.shuffle[k1].data())));
    put(hn::LowerHalf(d8h, lo), k0);
    put(hn::LowerHalf(d8h, hi), k1);
    put(hn::UpperHalf(d8h, lo), k2);
    put(hn::UpperHalf(d8h, hi), k3);
  } else {
    static_assert(hn::MaxLanes(d16) == 8);
    const unsigned k0 = keys & 0xFFu, k1 = (keys >> 8) & 0xFFu;
    put(hn::TableLookupBytes(low, hn::Load(d128, kPacking.shuffle[k0].data())), k0);
    put(hn::TableLookupBytes(high, hn::Load(d128, kPacking.shuffle[k1].data())), k1);
  }
  return o;
}

// What the first 64 pairs of vectors of `in` hold (all of them in a
// shorter text): kernels take the path that suits the pairs of a text on
// the whole, where choosing one per pair would be mispredicted too often.
struct PairSample {
  std::size_t pairs = 0;
  std::size_t ascii = 0;        // pairs of ASCII alone
  std::size_t two = 0;          // below U+0800
  std::size_t ascii_three = 0;  // each ASCII or U+0800..U+FFFF
  std::size_t ascii_four = 0;   // each ASCII or past U+FFFF

  // Whether three quarters of the pairs are of the kind counted (every
  // kind when none were sampled).
  bool mostly(std::size_t count) const { return 4 * count >= 3 * pairs; }
};

template <class D>
HWY_INLINE PairSample SamplePairs(D d, const char32_t* in, std::size_t n) {
  constexpr std::size_t kSample = 64;
  const std::size_t lanes = hn::Lanes(d);
  const auto* p = reinterpret_cast<const std::uint32_t*>(in);
  const auto ascii_end = hn::Set(d, 0x80u), two_end = hn::Set(d, 0x800u);
  const auto three_count = hn::Set(d, 0xF800u);
  const auto four_first = hn::Set(d, 0x10000u), four_count = hn::Set(d, 0x100000u);
  PairSample s;
  // A shorter text is not sampled (every kind counts as most), and its
  // pairs are told apart one at a time: there are too few for a
  // misprediction to cost what the sample does (a 154-character extract
  // under AVX2, 401 ns with no sample, 441 ns with one).
  if (n < 2 * lanes * kSample) return s;
  for (std::size_t k = 0; k + 2 * lanes <= n && s.pairs < kSample; k += 2 * lanes, ++s.pairs) {
    const auto a = hn::LoadU(d, p + k), b = hn::LoadU(d, p + k + lanes);
    const auto both = hn::Or(a, b);
    s.ascii += hn::AllTrue(d, hn::Lt(both, ascii_end));
    s.two += hn::AllTrue(d, hn::Lt(both, two_end));
    const auto ascii_or = [&](auto c, auto other) { return hn::Or(hn::Lt(c, ascii_end), other); };
    s.ascii_three += hn::AllTrue(d, hn::And(ascii_or(a, hn::Lt(hn::Sub(a, two_end), three_count)),
                                            ascii_or(b, hn::Lt(hn::Sub(b, two_end), three_count))));
    s.ascii_four +=
        hn::AllTrue(d, hn::And(ascii_or(a, hn::Lt(hn::Sub(a, four_first), four_count)),
                               ascii_or(b, hn::Lt(hn::Sub(b, four_first), four_count))));
  }
  return s;
}

// The UTF-8 of `in`, and with a `set` what `scan` learns, two vectors of
// code points (eight or sixteen) at a time, by what the two hold:
// - all ASCII: narrowed to bytes;
// - all below U+0800: narrowed to 16-bit lanes, each encoded as one byte
//   or two, and closed up by one byte shuffle per eight, chosen by which
//   are ASCII (kTwoBytePacking);
// - all U+0800..U+FFFF (no surrogate), or all U+10000..U+10FFFF: every
//   lane's UTF-8 has the same length, so one fixed shuffle (or none) packs
//   them;
// - each ASCII or U+0800..U+FFFF (CJK, kana or Hangul with spaces, digits
//   and line ends between), or each ASCII or past U+FFFF (chat with
//   emoji): the long forms with the ASCII lanes kept as they are, closed up
//   by the kPacking shuffles that the ASCII lanes alone choose
//   (kAsciiAndThree, kAsciiAndFour), with no lengths worked out;
// - anything else: shuffles by the lengths of each four (PackMixed).
// Where choosing among these per pair would be mispredicted too often, the
// text's first pairs choose (SamplePairs): text mostly of ASCII alone
// narrows those pairs, other text packs them as two-byte ones; chat with
// emoji takes the path for ASCII and four-byte characters for every pair
// that it suits, and text of no one kind (Vietnamese: ASCII, two- and
// three-byte characters in most pairs) goes by the lengths alone.
// Membership: characters below the end of the set's first range (ASCII
// and, for NFC, all of U+0000..U+02FF) need no look; any other vector is
// checked by KeptRanges until one outside the set is seen. U+FEFF needs a
// three-byte form, so only vectors with one are looked at for it.
// `sample` is SamplePairs(d, in, n), which the caller may have needed too.
template <class D>
std::size_t Packing(D d, const char32_t* in, std::size_t n, char* out, const CodePointSet* set,
                    Utf32Scan* scan, const PairSample& sample) {
  using utf32_tables::AsciiAndShuffles;
  using utf32_tables::kAllThree;
  using utf32_tables::kAsciiAndFour;
  using utf32_tables::kAsciiAndThree;
  using utf32_tables::kPacking;
  using V = hn::Vec<D>;
  const hn::Repartition<std::uint8_t, D> d8;
  const hn::Repartition<std::uint16_t, D> d16;
  const hn::RebindToSigned<decltype(d16)> di16;
  const hn::Rebind<std::uint8_t, decltype(di16)> d8n;  // one byte per 16-bit lane
  const std::size_t lanes = hn::Lanes(d);
  const auto* p = reinterpret_cast<const std::uint32_t*>(in);
  auto* o = reinterpret_cast<std::uint8_t*>(out);
  const auto six = hn::Set(d, 0x3Fu), cont = hn::Set(d, 0x80u);
  const auto ascii_end = hn::Set(d, 0x80u), two_end = hn::Set(d, 0x800u);
  const auto three_count = hn::Set(d, 0xF800u);
  const auto four_first = hn::Set(d, 0x10000u), four_count = hn::Set(d, 0x100000u);
  const auto surrogate = hn::Set(d, 0xD800u), surrogates = hn::Set(d, 0x800u);
  const auto max_code_point = hn::Set(d, 0x10FFFFu), bom = hn::Set(d, 0xFEFFu);
  const auto three_shuffle = hn::LoadDup128(d8, kPacking.shuffle[kAllThree].data());
  KeptRanges<D> kept(set);
  // Code points below it are in the set.
  const std::uint32_t plain_below = PlainBelow(set, 0x7FF);
  const auto plain_end = hn::Set(d, plain_below);
  // Whether membership is still being checked: until a code point outside
  // the set is seen.
  bool checking = set != nullptr;
  V bad = hn::Zero(d);  // all ones in a lane that saw a non-scalar value
  V saw_bom = hn::Zero(d);

  // Pairs in a row that held three-byte characters alone, and how many
  // make a run: with 128-bit vectors a pair is eight characters, such
  // pairs come in longer runs, and every one takes the fixed shuffle
  // (measured: Chinese under SSE4 25.0 ms that way, 25.9 ms by runs).
  std::size_t threes = 0;
  constexpr std::size_t kThreeRun = hn::MaxLanes(d) == 8 ? 8 : 0;
  // Whether most pairs are ASCII alone (three quarters of the first 64),
  // so that the branch to narrowing them is predictable
  // (English, German); otherwise they are packed as two-byte ones.
  const bool mostly_ascii = sample.mostly(sample.ascii);
  // Text of no one kind of pair (Vietnamese: ASCII, two- and three-byte
  // characters in most pairs) goes by the lengths alone, and chat with
  // emoji by the path for ASCII and four-byte characters: a choice among
  // the other paths would be mispredicted too often. With 128-bit vectors
  // CJK, kana and Hangul go by the lengths too (16 MiB under SSE4:
  // Chinese 8.9 -> 7.3 ms, Japanese 8.5 -> 6.9, Korean 8.2 -> 7.4); with
  // 256-bit ones the paths for three-byte characters are as fast or
  // faster (Korean 5.0 ms, 5.4 by the lengths).
  const bool mixed = !sample.mostly(sample.two) && !sample.mostly(sample.ascii_four) &&
                     (hn::MaxLanes(d) == 4 || !sample.mostly(sample.ascii_three));
  const bool with_four = !mostly_ascii && sample.mostly(sample.ascii_four);
  // (Lambdas, not loops over {a, b}: SVE's vectors cannot be held in an
  // array.) Each lane's three- or four-byte form, first byte lowest.
  const auto three_form = [&](const V c) {
    const auto second = hn::Or(hn::And(hn::ShiftRight<6>(c), six), cont);
    const auto last = hn::Or(hn::And(c, six), cont);
    return hn::Or(hn::Or(hn::ShiftRight<12>(c), hn::Set(d, 0xE0u)),
                  hn::Or(hn::ShiftLeft<8>(second), hn::ShiftLeft<16>(last)));
  };
  const auto four_form = [&](const V c) {
    const auto second = hn::Or(hn::And(hn::ShiftRight<6>(c), six), cont);
    const auto third = hn::Or(hn::And(hn::ShiftRight<12>(c), six), cont);
    const auto last = hn::Or(hn::And(c, six), cont);
    return hn::Or(hn::Or(hn::ShiftRight<18>(c), hn::Set(d, 0xF0u)),
                  hn::Or(hn::ShiftLeft<8>(third),
                         hn::Or(hn::ShiftLeft<16>(second), hn::ShiftLeft<24>(last))));
  };
  // ASCII between characters of one other length: CJK, kana or Hangul
  // with spaces, digits and line ends (three bytes), chat with emoji
  // (four). The lanes hold that length's form or their own code point,
  // and the kPacking shuffles that close them up are chosen by which
  // lanes are ASCII alone (`table`), with no lengths worked out.
  const auto put_with_ascii = [&](const V c, const hn::Mask<D> ascii, const V form,
                                  const AsciiAndShuffles& table) {
    const auto words = hn::IfThenElse(ascii, c, form);
    std::uint8_t bits[8] = {};
    hn::StoreMaskBits(d, ascii, bits);
    o = PutBlocks(d8, hn::BitCast(d8, words), table, bits[0] & 0xFu, bits[0] >> 4, o);
  };
  std::size_t i = 0;
  for (; i + 2 * lanes <= n; i += 2 * lanes) {
    const V a = hn::LoadU(d, p + i), b = hn::LoadU(d, p + i + lanes);
    // Both below a power of two exactly when their bitwise or is.
    const V both = hn::Or(a, b);
    if (!mixed && !with_four && hn::AllTrue(d, hn::Lt(both, two_end))) {
      // This pair and those below U+0800 right after it, in a loop of
      // their own that keeps its constants in registers (16 MiB of French
      // under AVX2: 5.0 ms one pair at a time in the loop for all, 4.5 ms
      // so).
      V x = a, y = b, xy = both;
      for (;;) {
        // The low halves of the lanes, in order.
        const auto w = hn::ConcatEven(d16, hn::BitCast(d16, y), hn::BitCast(d16, x));
        // Where accented letters come every few words (most pairs of
        // ASCII alone are followed by one that is not), which pairs are
        // ASCII alone is not predictable, and the two-byte packing takes
        // them too.
        if (mostly_ascii && hn::AllTrue(d, hn::Lt(xy, ascii_end))) {
          hn::StoreU(hn::DemoteTo(d8n, hn::BitCast(di16, w)), d8n, o);
          o += 2 * lanes;
        } else {
          // (Written out at each place, not as a lambda, which GCC at -O2
          // compiled as a call that spilled the loop's vectors.)
          if (checking && !hn::AllTrue(d, hn::Lt(hn::Max(x, y), plain_end))) {
            checking = kept.HoldsBmp(d, d16, w, x, y, i / lanes);
          }
          o = PackTwoByte(d16, w, o);
        }
        if (i + 4 * lanes > n) break;
        x = hn::LoadU(d, p + i + 2 * lanes);
        y = hn::LoadU(d, p + i + 3 * lanes);
        xy = hn::Or(x, y);
        if (!hn::AllTrue(d, hn::Lt(xy, two_end))) break;
        i += 2 * lanes;
      }
      continue;
    }
    // A pair in the BMP (most pairs but those with emoji) is tested in
    // 16-bit lanes, and encoded in them where no other path takes it.
    const bool bmp = hn::AllTrue(d, hn::Lt(both, four_first));
    const auto w = hn::ConcatEven(d16, hn::BitCast(d16, b), hn::BitCast(d16, a));
    if (set != nullptr) {
      saw_bom = hn::Or(saw_bom, hn::VecFromMask(d, hn::Or(hn::Eq(a, bom), hn::Eq(b, bom))));
      // (Not in chat with emoji, where which pairs are in the BMP is not
      // predictable: emoji chat 10.1 ms, 14.5 ms so under AVX2.)
      if (checking && !with_four && bmp) {
        checking = kept.HoldsBmp(d, d16, w, a, b, i / lanes);
      } else if (checking) {
        checking =
            kept.HoldsBoth(d, hn::Min(a, max_code_point), hn::Min(b, max_code_point), i / lanes);
      }
    }
    const auto ascii_a = hn::Lt(a, ascii_end), ascii_b = hn::Lt(b, ascii_end);
    const auto four_a = hn::Lt(hn::Sub(a, four_first), four_count);
    const auto four_b = hn::Lt(hn::Sub(b, four_first), four_count);
    if (with_four && hn::AllTrue(d, hn::And(hn::Or(ascii_a, four_a), hn::Or(ascii_b, four_b)))) {
      put_with_ascii(a, ascii_a, four_form(a), kAsciiAndFour);
      put_with_ascii(b, ascii_b, four_form(b), kAsciiAndFour);
      continue;
    }
    if (!mixed) {
      const auto three_a = hn::Lt(hn::Sub(a, two_end), three_count);
      const auto three_b = hn::Lt(hn::Sub(b, two_end), three_count);
      const auto surrogate_in = hn::Or(hn::Lt(hn::Sub(a, surrogate), surrogates),
                                       hn::Lt(hn::Sub(b, surrogate), surrogates));
      // Where ASCII is mixed into CJK, kana or Hangul, which pairs hold
      // three-byte characters alone changes too often to predict, and the
      // path for ASCII with one other length below takes them too; only in
      // a run of such pairs does the fixed shuffle here take them.
      const bool all_three = hn::AllTrue(d, hn::And(three_a, three_b));
      bool fixed = all_three;
      if constexpr (kThreeRun != 0) {
        threes = (threes + 1) & (0 - static_cast<std::size_t>(all_three));  // without a branch
        fixed = threes > kThreeRun;
      }
      if (fixed && hn::AllFalse(d, surrogate_in)) {
        const auto put_three = [&](const V c) {
          const auto bytes = hn::TableLookupBytes(hn::BitCast(d8, three_form(c)), three_shuffle);
          if constexpr (hn::MaxLanes(d) == 8) {
            const hn::Half<decltype(d8)> d8h;
            hn::StoreU(hn::LowerHalf(d8h, bytes), d8h, o);
            hn::StoreU(hn::UpperHalf(d8h, bytes), d8h, o + 12);
          } else {
            hn::StoreU(bytes, d8, o);
          }
          o += 3 * lanes;
        };
        put_three(a);
        put_three(b);
        continue;
      }
      if (hn::AllTrue(d, hn::And(four_a, four_b))) {
        // Emoji, the selectors of a wrapper: each lane holds its four bytes
        // in order, so the vector is stored as it is.
        hn::StoreU(hn::BitCast(d8, four_form(a)), d8, o);
        hn::StoreU(hn::BitCast(d8, four_form(b)), d8, o + 4 * lanes);
        o += 8 * lanes;
        continue;
      }
      if (hn::AllTrue(d, hn::And(hn::Or(ascii_a, three_a), hn::Or(ascii_b, three_b))) &&
          hn::AllFalse(d, surrogate_in)) {
        put_with_ascii(a, ascii_a, three_form(a), kAsciiAndThree);
        put_with_ascii(b, ascii_b, three_form(b), kAsciiAndThree);
        continue;
      }
      if (hn::AllTrue(d, hn::And(hn::Or(ascii_a, four_a), hn::Or(ascii_b, four_b)))) {
        put_with_ascii(a, ascii_a, four_form(a), kAsciiAndFour);
        put_with_ascii(b, ascii_b, four_form(b), kAsciiAndFour);
        continue;
      }
    }
    if (bmp) {
      auto bad16 = hn::BitCast(d16, bad);
      o = PackBmp(d16, w, o, bad16);
      bad = hn::BitCast(d, bad16);
      continue;
    }
    o = PackMixed(d, a, o, bad);
    o = PackMixed(d, b, o, bad);
  }
  if (set != nullptr) {
    scan->in_set = checking;
    scan->has_bom = !hn::AllTrue(d, hn::Eq(saw_bom, hn::Zero(d)));
    ScanScalar({in + i, n - i}, set->bits.data(), *scan);
  }
  const std::size_t tail = utf8_from_utf32_scalar({in + i, n - i}, reinterpret_cast<char*>(o));
  if (tail == kNotScalarValues || !hn::AllTrue(d, hn::Eq(bad, hn::Zero(d)))) {
    return kNotScalarValues;
  }
  return static_cast<std::size_t>(o - reinterpret_cast<std::uint8_t*>(out)) + tail;
}
#endif

#if HWY_TARGET == HWY_SCALAR
// Stores `word` at `o` first byte lowest, whatever the machine's order.
template <class W>
HWY_INLINE void StoreLittleEndian(char* o, W word) {
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  std::memcpy(o, &word, sizeof word);
}

// The UTF-8 of `in` without vectors, and with a `set` what `scan` learns,
// four code points at a time by the longest form among them: four ASCII
// characters are stored as they are; four below U+0800 are each encoded
// into both forms they can have and the right one is chosen without a
// branch, so text that mixes lengths within a script (ASCII spaces
// between Cyrillic words, Latin words with a few accents) costs no
// misprediction on each character; four of three bytes each are encoded
// as such. Any other four go one at a time (chosen without a branch, the
// forms of Hangul or CJK with ASCII spaces cost more than the branch's
// mispredictions: a repeated line of Hangul 33.6 -> 45.2 ms). Membership is
// looked up for four that are not all below the end of the set's first
// range.
std::size_t Grouped(const char32_t* in, std::size_t n, char* out, const CodePointSet* set,
                    Utf32Scan* scan) {
  const std::uint32_t plain_below = PlainBelow(set, 0x10FFFF);
  const std::uint64_t* bits = set != nullptr ? set->bits.data() : nullptr;
  bool in_set = true, has_bom = false, bad = false;
  char* o = out;
  const auto two = [](std::uint32_t c, char*& o) {
    // Masks, not conditions: the compiler turns a choice into a branch.
    const std::uint32_t wide = 0u - static_cast<std::uint32_t>(c > 0x7F);
    const std::uint32_t form = (0xC0u | (c >> 6)) | ((0x80u | (c & 0x3Fu)) << 8);
    const auto word = static_cast<std::uint16_t>(c ^ ((form ^ c) & wide));
    StoreLittleEndian(o, word);
    o += 1 + (wide & 1u);
  };

  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const auto a = static_cast<std::uint32_t>(in[i]), b = static_cast<std::uint32_t>(in[i + 1]);
    const auto c = static_cast<std::uint32_t>(in[i + 2]), e = static_cast<std::uint32_t>(in[i + 3]);
    const std::uint32_t any = a | b | c | e;
    if (bits != nullptr && in_set && any >= plain_below) {
      in_set &= InSet(bits, a) & InSet(bits, b) & InSet(bits, c) & InSet(bits, e);
    }
    if (any < 0x80) {
      o[0] = static_cast<char>(a);
      o[1] = static_cast<char>(b);
      o[2] = static_cast<char>(c);
      o[3] = static_cast<char>(e);
      o += 4;
    } else if (any < 0x800) {
      two(a, o);
      two(b, o);
      two(c, o);
      two(e, o);
    } else if (any < 0x10000) {
      has_bom |= (a == 0xFEFF) | (b == 0xFEFF) | (c == 0xFEFF) | (e == 0xFEFF);
      bad |= (a - 0xD800u < 0x800u) | (b - 0xD800u < 0x800u) | (c - 0xD800u < 0x800u) |
             (e - 0xD800u < 0x800u);
      if ((a > 0x7FF) & (b > 0x7FF) & (c > 0x7FF) & (e > 0x7FF)) {
        // Four of three bytes each: CJK, kana, Hangul without spaces.
        for (const std::uint32_t x : {a, b, c, e}) {
          o[0] = static_cast<char>(0xE0u | (x >> 12));
          o[1] = static_cast<char>(0x80u | ((x >> 6) & 0x3Fu));
          o[2] = static_cast<char>(0x80u | (x & 0x3Fu));
          o += 3;
        }
      } else {
        PutUtf8(o, a);
        PutUtf8(o, b);
        PutUtf8(o, c);
        PutUtf8(o, e);
      }
    } else {
      for (const std::uint32_t x : {a, b, c, e}) {
        has_bom |= x == 0xFEFF;
        bad |= x - 0xD800u < 0x800u || x > 0x10FFFF;
        PutUtf8(o, std::min<std::uint32_t>(x, 0x10FFFF));
      }
    }
  }
  if (set != nullptr) {
    scan->in_set = in_set;
    scan->has_bom = has_bom;
    ScanScalar({in + i, n - i}, bits, *scan);
  }
  const std::size_t tail = utf8_from_utf32_scalar({in + i, n - i}, o);
  if (bad || tail == kNotScalarValues) return kNotScalarValues;
  return static_cast<std::size_t>(o - out) + tail;
}
#endif

#if HWY_TARGET == HWY_AVX3_DL
// Whether text of this sample packs faster with the shuffles than by
// compress: text mostly below U+0800 (Latin, Cyrillic, Greek, Arabic,
// Hebrew) and chat with emoji. 16 MiB with the NFC scan on an AMD EPYC of
// Zen 4: French 7.3 ms by compress, 4.2 ms so; emoji chat 13.6 and 10.2.
// Other text by compress: Korean 4.8 ms, 5.3 by the shuffles. Vietnamese
// alone is faster by the shuffles (8.7 and 7.9 ms), but text of many
// scripts is not (the data hash of the demo's sample repeated, 20.3 ms by
// compress, 24.8 by the shuffles), and neither has a kind of pair that
// tells it apart. A text too short to be sampled goes by compress (a
// 154-character extract: 372 ns so, 404 ns by the shuffles).
inline bool Shuffles(const PairSample& sample) {
  return sample.pairs != 0 && (sample.mostly(sample.two) || sample.mostly(sample.ascii_four));
}
#endif

std::size_t Utf8FromUtf32(const char32_t* in, std::size_t n, char* out) {
#if HWY_TARGET == HWY_AVX3_DL
  const PairSample sample = SamplePairs(PackTag(), in, n);
  if (!Shuffles(sample)) return Compressing(in, n, out, nullptr, nullptr);
  return Packing(PackTag(), in, n, out, nullptr, nullptr, sample);
#elif HWY_TARGET == HWY_SCALAR
  return Grouped(in, n, out, nullptr, nullptr);
#else
  // At most 256-bit vectors: the byte shuffles work within 128-bit blocks.
  return Packing(PackTag(), in, n, out, nullptr, nullptr, SamplePairs(PackTag(), in, n));
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
      o = PlainUtf16Block(in, i, n, lanes, o);
      if (o == nullptr) return kNotScalarValues;
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
#elif HWY_TARGET != HWY_SCALAR
  // Stretches of up to kStretch units without a surrogate are widened to
  // code points, a vector at a time, and packed as Packing packs UTF-32; a
  // unit block with a surrogate in it goes the plain way. Packing may write
  // 4 bytes past the 3 per unit of its stretch, so at least 2 units are
  // left after each stretch: their room takes those bytes.
  const PackTag d;
  const hn::Rebind<std::uint16_t, decltype(d)> d16;
  const std::size_t lanes = hn::Lanes(d);
  const auto surrogate = hn::Set(d16, std::uint16_t{0xD800});
  const auto surrogates = hn::Set(d16, std::uint16_t{0x800});
  const auto* p = reinterpret_cast<const std::uint16_t*>(in);
  constexpr std::size_t kStretch = 256;
  alignas(64) char32_t wide[kStretch];
  while (i + lanes + 2 <= n) {
    std::size_t k = 0;
    while (k + lanes <= kStretch && i + k + lanes + 2 <= n) {
      const auto units = hn::LoadU(d16, p + i + k);
      if (!hn::AllFalse(d16, hn::Lt(hn::Sub(units, surrogate), surrogates))) break;
      hn::Store(hn::PromoteTo(d, units), d, reinterpret_cast<std::uint32_t*>(wide + k));
      k += lanes;
    }
    if (k == 0) {
      o = PlainUtf16Block(in, i, n, lanes, o);
      if (o == nullptr) return kNotScalarValues;
      continue;
    }
    // (A stretch is shorter than a sample: not sampled.)
    o += Packing(d, wide, k, o, nullptr, nullptr, PairSample{});
    i += k;
  }
#endif
  o = Utf8FromUtf16Scalar(in, i, n, o);
  return o == nullptr ? kNotScalarValues : static_cast<std::size_t>(o - out);
}

std::size_t Utf8FromLatin1(const std::uint8_t* in, std::size_t n, char* out) {
  std::size_t i = 0;
  auto* o = reinterpret_cast<std::uint8_t*>(out);
#if HWY_TARGET != HWY_SCALAR
  // Sixteen characters at a time (eight where vectors are 128 bits): an
  // all-ASCII block is its own UTF-8; any other is widened to 16-bit lanes
  // and packed as Packing packs characters below U+0800.
#if HWY_TARGET == HWY_SVE || HWY_TARGET == HWY_SVE2
  const hn::CappedTag<std::uint16_t, 8> d16;
#else
  const hn::CappedTag<std::uint16_t, 16> d16;
#endif
  const hn::Rebind<std::uint8_t, decltype(d16)> d8;
  const hn::RebindToSigned<decltype(d8)> di8;
  const std::size_t lanes = hn::Lanes(d16);
  for (; i + lanes <= n; i += lanes) {
    const auto bytes = hn::LoadU(d8, in + i);
    if (hn::AllFalse(di8, hn::Lt(hn::BitCast(di8, bytes), hn::Zero(di8)))) {
      hn::StoreU(bytes, d8, o);
      o += lanes;
      continue;
    }
    o = PackTwoByte(d16, hn::PromoteTo(d16, bytes), o);
  }
#else
  // Eight characters at a time: eight ASCII are stored as they are.
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, in + i, 8);
    if ((word & 0x8080808080808080u) == 0) {
      std::memcpy(o, &word, 8);
      o += 8;
      continue;
    }
    for (std::size_t j = i; j < i + 8; ++j) PutLatin1(o, in[j]);
  }
#endif
  for (; i < n; ++i) PutLatin1(o, in[i]);
  return static_cast<std::size_t>(o - reinterpret_cast<std::uint8_t*>(out));
}

// utf8::scan of `n` code points from `in`, added to `out`: for the tail of
// the vector loop, and the whole of it where the compiler's own vectors of
// this loop are as good (SSSE3, which lacks the 32-bit minimum and maximum)
// or Highway has none.
void Utf8SizeTail(const std::uint32_t* in, std::size_t n, utf8::CodePointScan& out) {
  // In blocks whose counts fit 32 bits, which the compiler keeps in lanes.
  constexpr std::size_t kBlock = 4096;
  std::uint32_t surrogates = 0;
  std::uint32_t top = static_cast<std::uint32_t>(out.max);
  for (std::size_t at = 0; at < n; at += kBlock) {
    const std::size_t end = std::min(n, at + kBlock);
    std::uint32_t bytes = 0;
    for (std::size_t i = at; i < end; ++i) {
      const std::uint32_t c = in[i];
      bytes += 1U + static_cast<std::uint32_t>(c >= 0x80) + static_cast<std::uint32_t>(c >= 0x800) +
               static_cast<std::uint32_t>(c >= 0x10000);
      surrogates |= static_cast<std::uint32_t>((c & 0xFFFFF800U) == 0xD800U);
      top = c > top ? c : top;
    }
    out.utf8_size += bytes;
  }
  out.surrogate |= surrogates != 0;
  out.max = static_cast<char32_t>(top);
}

// utf8::scan: the UTF-8 size of `in`, whether a surrogate is among it, and
// its largest value. Each lane counts the bytes its code points take past
// the first, and the counts are summed a block of vectors at a time, before
// a lane could overflow.
utf8::CodePointScan Utf8Size(const char32_t* in, std::size_t n) {
  const auto* units = reinterpret_cast<const std::uint32_t*>(in);
  utf8::CodePointScan out;
  std::size_t i = 0;
#if HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_SSSE3
  const hn::ScalableTag<std::uint32_t> d;
  const hn::RebindToSigned<decltype(d)> di;
  const std::size_t lanes = hn::Lanes(d);
  constexpr std::size_t kBlock = std::size_t{1} << 16;  // vectors
  // Clamped to U+10000 the values compare as signed, which SSE4 and AVX2
  // do in one instruction.
  const auto four = hn::Set(d, 0x10000);
  const auto past1 = hn::Set(di, 0x7F), past2 = hn::Set(di, 0x7FF), past3 = hn::Set(di, 0xFFFF);
  const auto high = hn::Set(d, 0xFFFFF800u), surrogate = hn::Set(d, 0xD800);
  auto surrogates = hn::Zero(d), max = hn::Zero(d);
  while (n - i >= lanes) {
    const std::size_t stop = i + std::min((n - i) / lanes, kBlock) * lanes;
    auto extra = hn::Zero(di);
    for (; i < stop; i += lanes) {
      const auto c = hn::LoadU(d, units + i);
      const auto clamped = hn::BitCast(di, hn::Min(c, four));
      extra = hn::Sub(extra, hn::VecFromMask(di, hn::Gt(clamped, past1)));
      extra = hn::Sub(extra, hn::VecFromMask(di, hn::Gt(clamped, past2)));
      extra = hn::Sub(extra, hn::VecFromMask(di, hn::Gt(clamped, past3)));
      surrogates = hn::Or(surrogates, hn::VecFromMask(d, hn::Eq(hn::And(c, high), surrogate)));
      max = hn::Max(max, c);
    }
    out.utf8_size += static_cast<std::uint32_t>(hn::GetLane(hn::SumOfLanes(di, extra)));
  }
  out.utf8_size += i;
  out.surrogate = hn::GetLane(hn::MaxOfLanes(d, surrogates)) != 0;
  out.max = static_cast<char32_t>(hn::GetLane(hn::MaxOfLanes(d, max)));
#endif
  Utf8SizeTail(units + i, n - i, out);
  return out;
}

Utf32Scan ScanUtf32(const char32_t* in, std::size_t n, char* out, const CodePointSet* set) {
  Utf32Scan scan;
#if HWY_TARGET == HWY_AVX3_DL
  const PairSample sample = SamplePairs(PackTag(), in, n);
  scan.size = Shuffles(sample) ? Packing(PackTag(), in, n, out, set, &scan, sample)
                               : Compressing(in, n, out, set, &scan);
#elif HWY_TARGET == HWY_SCALAR
  scan.size = Grouped(in, n, out, set, &scan);
#else
  scan.size = Packing(PackTag(), in, n, out, set, &scan, SamplePairs(PackTag(), in, n));
#endif
  return scan;
}

}  // namespace HWY_NAMESPACE
}  // namespace quorvane::simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace quorvane::simd {

HWY_EXPORT(Utf8FromUtf32);
HWY_EXPORT(Utf8FromUtf16);
HWY_EXPORT(Utf8FromLatin1);
HWY_EXPORT(ScanUtf32);
HWY_EXPORT(Utf8Size);

std::size_t utf8_from_utf32(std::span<const char32_t> in, char* out) noexcept {
  return HWY_DYNAMIC_DISPATCH(Utf8FromUtf32)(in.data(), in.size(), out);
}

std::size_t utf8_from_utf16(std::span<const char16_t> in, char* out) noexcept {
  return HWY_DYNAMIC_DISPATCH(Utf8FromUtf16)(in.data(), in.size(), out);
}

std::size_t utf8_from_latin1(std::span<const std::uint8_t> in, char* out) noexcept {
  return HWY_DYNAMIC_DISPATCH(Utf8FromLatin1)(in.data(), in.size(), out);
}

Utf32Scan utf8_from_utf32_scan(std::span<const char32_t> in, char* out, CodePointSet set) noexcept {
  return HWY_DYNAMIC_DISPATCH(ScanUtf32)(in.data(), in.size(), out, &set);
}

}  // namespace quorvane::simd

namespace quorvane::utf8 {

std::size_t from_utf32(std::span<const char32_t> in, char* out) noexcept {
  return simd::utf8_from_utf32(in, out);
}

std::size_t from_utf16(std::span<const char16_t> in, char* out) noexcept {
  return simd::utf8_from_utf16(in, out);
}

CodePointScan scan(std::span<const char32_t> code_points) noexcept {
  return HWY_DYNAMIC_DISPATCH(simd::Utf8Size)(code_points.data(), code_points.size());
}

std::size_t from_latin1(std::span<const std::uint8_t> in, char* out) noexcept {
  return simd::utf8_from_latin1(in, out);
}

}  // namespace quorvane::utf8

namespace quorvane::simd {

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

std::vector<std::vector<char>> utf8_from_latin1_every_target(std::span<const std::uint8_t> in) {
  return on_every_target([&] {
    std::vector<char> bytes(2 * in.size());
    bytes.resize(HWY_DYNAMIC_DISPATCH(Utf8FromLatin1)(in.data(), in.size(), bytes.data()));
    return bytes;
  });
}

std::vector<utf8::CodePointScan> utf8_scan_every_target(std::span<const char32_t> in) {
  return on_every_target([&] { return HWY_DYNAMIC_DISPATCH(Utf8Size)(in.data(), in.size()); });
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

}  // namespace quorvane::simd
#endif
