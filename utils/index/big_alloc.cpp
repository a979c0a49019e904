#include "index/big_alloc.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

// Building with VANTORO_NO_HUGE_PAGES leaves out the huge-page advice (for
// measuring what it gives).
namespace vantoro {
namespace {

constexpr size_t kPage = size_t{1} << 12;
constexpr size_t kHugePage = size_t{1} << 21;

size_t mapped_size(size_t bytes) { return (bytes + kPage - 1) & ~(kPage - 1); }

}  // namespace

void* big_allocate(size_t bytes, bool huge_pages) {
  if (bytes == 0) return nullptr;
  if (bytes < kMappedBlock) {
    void* p = std::malloc(bytes);
    if (!p) throw std::bad_alloc();
    return p;
  }
  const size_t size = mapped_size(bytes);
  if (size < kHugePage || !huge_pages) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return p;
  }
  // Huge pages can back only aligned 2 MiB ranges: map a little more, then
  // unmap the unaligned head and tail.
  void* raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t begin = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (begin + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > begin) munmap(raw, aligned - begin);
  const uintptr_t tail = aligned + size;
  const uintptr_t end = begin + size + kHugePage;
  if (end > tail) munmap(reinterpret_cast<void*>(tail), end - tail);
  void* p = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE) && !defined(VANTORO_NO_HUGE_PAGES)
  // Advice only: where the kernel has no huge pages, nothing changes.
  madvise(p, size, MADV_HUGEPAGE);
#endif
  return p;
}

void* big_allocate_zeroed(size_t bytes, bool huge_pages) {
  if (bytes == 0 || bytes >= kMappedBlock) return big_allocate(bytes, huge_pages);
  void* p = std::calloc(1, bytes);
  if (!p) throw std::bad_alloc();
  return p;
}

void* big_reallocate(void* block, size_t old_bytes, size_t new_bytes) {
  if (block && old_bytes >= kMappedBlock && new_bytes >= kMappedBlock) {
    if (mapped_size(new_bytes) == mapped_size(old_bytes)) return block;
    // The kernel moves the pages: no copy, and no faults on what is there.
    void* p = mremap(block, mapped_size(old_bytes), mapped_size(new_bytes), MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE) && !defined(VANTORO_NO_HUGE_PAGES)
    if (mapped_size(new_bytes) >= kHugePage) madvise(p, mapped_size(new_bytes), MADV_HUGEPAGE);
#endif
    return p;
  }
  void* p = big_allocate(new_bytes);
  if (block) {
    std::memcpy(p, block, old_bytes < new_bytes ? old_bytes : new_bytes);
    big_free(block, old_bytes);
  }
  return p;
}

void big_prefault(void* block, size_t bytes) noexcept {
  if (!block || bytes < kMappedBlock) return;  // from malloc: not mapped apart
  const size_t size = mapped_size(bytes);
#if defined(MADV_POPULATE_WRITE)
  if (madvise(block, size, MADV_POPULATE_WRITE) == 0) return;
#endif
  // Without the advice (kernels before 5.14): an atomic or of zero into each
  // page, a write that keeps the byte and faults the page in as written,
  // not as the zero page.
  char* const bytes_at = static_cast<char*>(block);
  for (size_t at = 0; at < size; at += kPage) __atomic_fetch_or(bytes_at + at, char{0}, __ATOMIC_RELAXED);
}

void big_free(void* block, size_t bytes) noexcept {
  if (!block) return;
  if (bytes < kMappedBlock) {
    std::free(block);
    return;
  }
  munmap(block, mapped_size(bytes));
}

}  // namespace vantoro
