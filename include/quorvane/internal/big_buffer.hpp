// Internal: installed only because wrapper.hpp names the allocator of its
// code-point results. No stability promise; not for use outside quorvane.
// An allocator for the library's large result buffers.
//
// A fresh buffer of tens of megabytes costs more in page faults than in the
// work that fills it: every 4 KiB page faults on first touch. Buffers of
// kBigBufferThreshold bytes and more are therefore mapped on their own,
// aligned to 2 MiB and marked for transparent huge pages, so they fault in
// 2 MiB at a time where the system allows it. Smaller buffers come from the
// ordinary heap. Allocation failure throws std::bad_alloc, like the
// standard allocator.
#pragma once

#include <cstddef>
#include <new>

namespace quorvane {

inline constexpr std::size_t kBigBufferThreshold = std::size_t{4} << 20;

void* big_buffer_allocate(std::size_t bytes);
void big_buffer_deallocate(void* p, std::size_t bytes) noexcept;

template <class T>
struct BigBufferAllocator {
  using value_type = T;

  BigBufferAllocator() noexcept = default;
  template <class U>
  BigBufferAllocator(const BigBufferAllocator<U>&) noexcept {}  // NOLINT: rebinding

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(big_buffer_allocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { big_buffer_deallocate(p, n * sizeof(T)); }

  template <class U>
  friend bool operator==(const BigBufferAllocator&, const BigBufferAllocator<U>&) noexcept {
    return true;
  }
};

}  // namespace quorvane
