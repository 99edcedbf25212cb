#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace nerlo::platform {
namespace {

// The size of a huge page on the machines Nerlo runs on; a block is aligned to it so that the
// system can back all of it with huge pages.
constexpr size_t kHugePage = size_t{2} << 20;

// Smaller blocks come from the ordinary heap: a huge page for a few kilobytes would waste
// most of it.
constexpr size_t kSmallBlock = 2 * kHugePage;

size_t RoundUp(size_t bytes, size_t unit) { return (bytes + unit - 1) / unit * unit; }

}  // namespace

void KeepFreedMemory(size_t largest_block, size_t keep_bytes) {
  // Either setting turns off the allocator's own adjustment of both.
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(largest_block));
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(keep_bytes));
  // One heap for every thread (the allocator's arenas): its lock is taken a few times per file.
  mallopt(M_ARENA_MAX, 1);
}

void* AllocateLargeBlock(size_t bytes) {
  if (bytes < kSmallBlock) {
    void* block = ::operator new(bytes == 0 ? 1 : bytes);
    std::memset(block, 0, bytes);
    return block;
  }
  if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
  const size_t length = RoundUp(bytes, kHugePage);
  // Mapped with room to spare, then trimmed to a huge-page boundary at both ends.
  const size_t mapped = length + kHugePage;
  void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = RoundUp(start, kHugePage);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = start + mapped;
  if (end > aligned + length)
    munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
  void* block = reinterpret_cast<void*>(aligned);
  // Only advice: without huge pages the block works the same, more slowly.
  madvise(block, length, MADV_HUGEPAGE);
  return block;
}

void LargeBlockDeleter::operator()(void* block) const {
  if (block == nullptr) return;
  if (bytes < kSmallBlock)
    ::operator delete(block);
  else
    munmap(block, RoundUp(bytes, kHugePage));
}

}  // namespace nerlo::platform
