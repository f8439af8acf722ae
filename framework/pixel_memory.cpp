#include "framework/pixel_memory.h"

#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#define CORVINA_MAP_PIXELS 1
#else
#define CORVINA_MAP_PIXELS 0
#endif

namespace Fmx::Graphics::Detail {

namespace {

#if CORVINA_MAP_PIXELS
constexpr std::size_t kHugePage = std::size_t(2) << 20;

std::size_t RoundUp(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }

// A huge page can only back a 2 MiB-aligned range, so the block is mapped
// with room to spare and trimmed to an aligned start; the end is rounded to
// whole huge pages, which FreePixelBytes recomputes from the same size.
void* MapAligned(std::size_t bytes) {
  const std::size_t size = RoundUp(bytes, kHugePage);
  void* raw = ::mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = RoundUp(start, kHugePage);
  if (aligned > start) ::munmap(raw, aligned - start);
  const std::size_t tail = start + size + kHugePage - (aligned + size);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
  // Only advice: without huge pages the block is an ordinary mapping.
  ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}
#endif

}  // namespace

void* AllocatePixelBytes(std::size_t bytes) {
#if CORVINA_MAP_PIXELS
  if (bytes >= kPixelMapBytes) {
    if (void* p = MapAligned(bytes)) return p;
    throw std::bad_alloc();
  }
#endif
  if (void* p = std::malloc(bytes == 0 ? 1 : bytes)) return p;
  throw std::bad_alloc();
}

void FreePixelBytes(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
#if CORVINA_MAP_PIXELS
  if (bytes >= kPixelMapBytes) {
    ::munmap(p, RoundUp(bytes, kHugePage));
    return;
  }
#endif
  std::free(p);
}

}  // namespace Fmx::Graphics::Detail
