#include "matching/large_buffer.h"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vision::detail {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
namespace {

constexpr std::size_t kLarge = std::size_t(64) << 10;
constexpr std::size_t kHugePage = std::size_t(2) << 20;

std::size_t Rounded(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace
#endif

void* AllocateLarge(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kLarge) {
    if (bytes > std::size_t(-1) - kHugePage) throw std::bad_alloc();
    const std::size_t size = Rounded(bytes);
    void* p = std::aligned_alloc(kHugePage, size);
    if (p == nullptr) throw std::bad_alloc();
    madvise(p, size, MADV_HUGEPAGE);  // a request: without huge pages the buffer works the same
    return p;
  }
#endif
  return ::operator new(bytes);
}

void FreeLarge(void* p, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kLarge) {
    std::free(p);
    return;
  }
#endif
  ::operator delete(p);
}

}  // namespace vision::detail
