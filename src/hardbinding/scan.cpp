// Compiled once per instruction set by Highway's foreach_target.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "hardbinding/scan.cpp"
#include "hardbinding/scan.hpp"

#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "hardbinding/every_target.hpp"

HWY_BEFORE_NAMESPACE();
namespace quorvane::hardbinding::provided {
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

}  // namespace HWY_NAMESPACE
}  // namespace quorvane::hardbinding::provided
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace quorvane::hardbinding::provided {

HWY_EXPORT(FirstAtLeast);

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

}  // namespace quorvane::hardbinding::provided
#endif
