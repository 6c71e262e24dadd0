// An allocator for the arrays a query reads at random: an array of 2 MiB or more lies on
// whole 2 MiB pages that the system is asked to back with huge pages (Linux's
// MADV_HUGEPAGE), so that records in no order do not also miss the address cache at every
// query. Where the system has no such advice, or for smaller arrays, it is plain new.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace dulse::index {

template <class T>
struct HugePageAllocator {
  using value_type = T;
  static constexpr size_t kPage = size_t{2} << 20;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) {}

  T* allocate(size_t n) {
    size_t bytes = n * sizeof(T);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= kPage) {
      size_t rounded = (bytes + kPage - 1) / kPage * kPage;
      void* p = std::aligned_alloc(kPage, rounded);
      if (p == nullptr) throw std::bad_alloc();
      madvise(p, rounded, MADV_HUGEPAGE);  // advice: without it, the pages are ordinary
      return static_cast<T*>(p);
    }
#endif
    return static_cast<T*>(::operator new(bytes));
  }
  void deallocate(T* p, size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (n * sizeof(T) >= kPage) {
      std::free(p);
      return;
    }
#endif
    ::operator delete(p);
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const { return true; }
  template <class U>
  bool operator!=(const HugePageAllocator<U>&) const { return false; }
};

}  // namespace dulse::index
