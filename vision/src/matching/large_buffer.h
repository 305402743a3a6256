// Memory for the shape search's large buffers (the image pyramid and its gradients). Not
// installed.
//
// A fresh page costs a fault when first touched, and in a virtual machine a fault can cost tens
// of microseconds: the first search on a 2592 x 1944 image touched about 7000 pages and took six
// times as long as the next. Buffers of 64 KiB and more are therefore made of whole 2 MiB pages
// where the system gives them on request (Linux transparent huge pages), at the price of up to
// 2 MiB unused per buffer; elsewhere they are ordinary allocations.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace vision::detail {

void* AllocateLarge(std::size_t bytes);  // throws std::bad_alloc
void FreeLarge(void* p, std::size_t bytes) noexcept;

template <class T>
struct LargeBufferAllocator {
  using value_type = T;
  LargeBufferAllocator() = default;
  template <class U>
  LargeBufferAllocator(const LargeBufferAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(AllocateLarge(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { FreeLarge(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const LargeBufferAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using LargeVector = std::vector<T, LargeBufferAllocator<T>>;

}  // namespace vision::detail
