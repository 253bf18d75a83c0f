#include <cstdint>
#include <quorvane/internal/big_buffer.hpp>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvane {
namespace {

#if defined(__linux__)
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t mapped_size(std::size_t bytes) noexcept {
  return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}
#endif

}  // namespace

void* big_buffer_allocate(std::size_t bytes) {
#if defined(__linux__)
  if (bytes >= kBigBufferThreshold) {
    const std::size_t size = mapped_size(bytes);
    // Map one huge page more than needed, then trim to a 2 MiB boundary.
    void* raw =
        mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
    if (aligned > start) munmap(raw, aligned - start);
    const std::uintptr_t tail = start + size + kHugePage - (aligned + size);
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + size), tail);
    void* p = reinterpret_cast<void*>(aligned);
    (void)madvise(p, size, MADV_HUGEPAGE);  // a hint; without it the pages are ordinary
    return p;
  }
#endif
  return ::operator new(bytes);
}

void big_buffer_deallocate(void* p, std::size_t bytes) noexcept {
#if defined(__linux__)
  if (bytes >= kBigBufferThreshold) {
    munmap(p, mapped_size(bytes));
    return;
  }
#endif
  ::operator delete(p);
}

}  // namespace quorvane
