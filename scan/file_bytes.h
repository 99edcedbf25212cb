// The bytes of one file as the scan holds them.
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace nerlo::scan {

// An allocator whose growth of a vector leaves the new elements unset instead of zeroing them:
// a file's buffer is grown to take a read and then cut to what was read, and zeroing several
// megabytes before each read costs about as much as the read itself.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
  using value_type = T;
  template <typename U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <typename U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

  template <typename U>
  void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(place)) U;
  }
  template <typename U, typename... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
  template <typename U>
  bool operator==(const UninitializedAllocator<U>&) const noexcept {
    return true;
  }
};

// Bytes read from a file. Only what a read filled is ever inside size(): callers grow the
// vector to take a read and shrink it to the count read.
using FileBytes = std::vector<unsigned char, UninitializedAllocator<unsigned char>>;

}  // namespace nerlo::scan
