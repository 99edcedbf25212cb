#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

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

// The largest allocation the heap itself may serve (the allocator's bound on its mapping
// threshold).
constexpr size_t kLargestHeapPiece = size_t{32} << 20;

// Grows the heap by about bytes, in as few pieces as the heap may serve, asks the system to
// back that stretch with huge pages, and frees the pieces again: the stretch stays with the
// heap as free memory at its top (bytes must stay below the trim threshold), and the file
// buffers later carved from it are faulted in 2 MiB at a time instead of 4 KiB, with fewer
// misses of the address cache while they are hashed. The heap writes its bookkeeping at each
// piece's end, and a 2 MiB stretch already touched stays in small pages: hence few, large
// pieces. Only advice: where the pieces do not lie one after another (another allocator, or a
// heap that could not grow), nothing is advised.
void AdviseHugeHeap(size_t bytes) {
  const size_t count = (bytes + kLargestHeapPiece - 1) / kLargestHeapPiece;
  if (count == 0) return;
  // Below the largest piece: one of that size would be mapped apart from the heap.
  const size_t piece = std::min(RoundUp(bytes / count, kHugePage), kLargestHeapPiece - kHugePage);
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(kLargestHeapPiece));
  std::vector<void*> pieces;
  pieces.reserve(count);
  uintptr_t low = UINTPTR_MAX;
  uintptr_t high = 0;
  for (size_t n = 0; n < count; ++n) {
    void* block = std::malloc(piece);
    if (block == nullptr) break;
    pieces.push_back(block);
    const uintptr_t at = reinterpret_cast<uintptr_t>(block);
    if (at < low) low = at;
    if (at + piece > high) high = at + piece;
  }
  // Each piece carries a few bytes of the heap's own bookkeeping beside it.
  const size_t slack = 64 * pieces.size();
  if (!pieces.empty() && high - low <= pieces.size() * piece + slack) {
    const uintptr_t first = RoundUp(low, kHugePage);
    const uintptr_t last = high / kHugePage * kHugePage;
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
  for (void* block : pieces) std::free(block);
}

}  // namespace

void KeepFreedMemory(size_t largest_block, size_t keep_bytes) {
  // Either setting turns off the allocator's own adjustment of both.
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(keep_bytes));
  // One heap for every thread (the allocator's arenas): its lock is taken a few times per file.
  mallopt(M_ARENA_MAX, 1);
  // Once per process: the stretch stays with the heap for the process's life. An eighth is
  // left below the trim threshold for what the top of the heap already holds.
  static std::once_flag advised;
  std::call_once(advised, [keep_bytes] { AdviseHugeHeap(keep_bytes - keep_bytes / 8); });
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(largest_block));
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
