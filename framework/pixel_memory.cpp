#include "framework/pixel_memory.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define CORVINA_ASAN_PIXELS 1
#else
#define CORVINA_ASAN_PIXELS 0
#endif
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define CORVINA_VALGRIND_PIXELS 1
#else
#define CORVINA_VALGRIND_PIXELS 0
#endif

#if defined(__linux__)
#include <sys/mman.h>
#define CORVINA_MAP_PIXELS 1
#else
#define CORVINA_MAP_PIXELS 0
#endif

namespace Fmx::Graphics::Detail {

namespace {

// Pixel blocks carry room the pixels do not use: the rounding of mappings
// to whole huge pages, the offset of kept blocks into their C block, and a
// kept block's pixels between two bitmaps. AddressSanitizer and valgrind
// would take all of it for live memory and miss a kernel that runs past a
// row or a bitmap, or a read through the mapping of a destroyed bitmap; so
// it is marked out of bounds, and pixels handed out again are undefined.
enum class TMark { OutOfBounds, Undefined, Defined };

void Mark(const void* p, std::size_t bytes, TMark mark) noexcept {
  if (bytes == 0) return;
#if CORVINA_ASAN_PIXELS
  if (mark == TMark::OutOfBounds)
    ASAN_POISON_MEMORY_REGION(p, bytes);
  else
    ASAN_UNPOISON_MEMORY_REGION(p, bytes);
#endif
#if CORVINA_VALGRIND_PIXELS
  switch (mark) {
    case TMark::OutOfBounds: (void)VALGRIND_MAKE_MEM_NOACCESS(p, bytes); break;
    case TMark::Undefined: (void)VALGRIND_MAKE_MEM_UNDEFINED(p, bytes); break;
    case TMark::Defined: (void)VALGRIND_MAKE_MEM_DEFINED(p, bytes); break;
  }
#endif
  (void)p;
  (void)mark;
}

void Hide(const void* p, std::size_t bytes) noexcept { Mark(p, bytes, TMark::OutOfBounds); }
void Show(const void* p, std::size_t bytes) noexcept { Mark(p, bytes, TMark::Undefined); }
// Show for bytes whose value was written before they were hidden.
void ShowDefined(const void* p, std::size_t bytes) noexcept { Mark(p, bytes, TMark::Defined); }

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
  // No MADV_HUGEPAGE: where the kernel compacts memory on demand for advised
  // ranges, a fresh 64 MiB picture took 2-5 times as long on a machine whose
  // memory was fragmented. Aligned, the block still gets huge pages where the
  // system hands them out unasked.
  Hide(reinterpret_cast<void*>(aligned + bytes), size - bytes);
  return reinterpret_cast<void*>(aligned);
}

void UnmapAligned(void* p, std::size_t bytes) noexcept {
  const std::size_t size = RoundUp(bytes, kHugePage);
  // A later mapping at this address must not inherit the marks.
  Show(static_cast<char*>(p) + bytes, size - bytes);
  ::munmap(p, size);
}
#endif

bool Keepable(std::size_t bytes) { return bytes >= kPixelKeepMinBytes && bytes < kPixelMapBytes; }

// Kept blocks start half a page past a page boundary. The C heap maps large
// blocks with their data 16 bytes into a page, so a picture read from such a
// buffer while a bitmap in the same kind of block is written puts loads and
// stores at equal page offsets, which the processor mistakes for overlap
// (measured: a 512 x 512 gray conversion took 1.5 times as long). The start
// of the C block is stored just before the pixels.
constexpr std::size_t kPageBytes = 4096;
constexpr std::size_t kBlockOffset = kPageBytes / 2 + 64;

constexpr std::size_t kBlockExtra = kPageBytes + kBlockOffset;

void* NewKeepableBlock(std::size_t bytes) {
  void* raw = std::malloc(bytes + kBlockExtra);
  if (raw == nullptr) return nullptr;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t p = (start + kPageBytes - 1) / kPageBytes * kPageBytes + kBlockOffset;
  std::memcpy(reinterpret_cast<void*>(p - sizeof raw), &raw, sizeof raw);
  Hide(raw, p - start);
  Hide(reinterpret_cast<void*>(p + bytes), start + bytes + kBlockExtra - (p + bytes));
  return reinterpret_cast<void*>(p);
}

void FreeKeepableBlock(void* p, std::size_t bytes) noexcept {
  void* raw;
  ShowDefined(static_cast<char*>(p) - sizeof raw, sizeof raw);
  std::memcpy(&raw, static_cast<char*>(p) - sizeof raw, sizeof raw);
  // The C heap's next owner of these bytes must not inherit the marks.
  Show(raw, bytes + kBlockExtra);
  std::free(raw);
}

// Recently freed blocks, oldest first.
class TKeptBlocks {
 public:
  void* Take(std::size_t bytes) {
    std::lock_guard lock(FMutex);
    for (auto it = FBlocks.rbegin(); it != FBlocks.rend(); ++it) {
      if (it->Bytes != bytes) continue;
      void* p = it->Block;
      FBlocks.erase(std::next(it).base());
      FTotal -= bytes;
      Show(p, bytes);
      return p;
    }
    return nullptr;
  }

  // Keeps the block, giving back the oldest ones to make room.
  void Keep(void* p, std::size_t bytes) noexcept {
    std::lock_guard lock(FMutex);
    try {
      FBlocks.push_back({p, bytes});
    } catch (...) {
      FreeKeepableBlock(p, bytes);
      return;
    }
    FTotal += bytes;
    Hide(p, bytes);
    std::size_t drop = 0;
    while (FTotal > kPixelKeepBytes) FTotal -= FBlocks[drop++].Bytes;
    for (std::size_t i = 0; i < drop; ++i) FreeKeepableBlock(FBlocks[i].Block, FBlocks[i].Bytes);
    FBlocks.erase(FBlocks.begin(), FBlocks.begin() + std::ptrdiff_t(drop));
  }

  std::size_t Total() noexcept {
    std::lock_guard lock(FMutex);
    return FTotal;
  }

  void Release() noexcept {
    std::lock_guard lock(FMutex);
    for (const TBlock& b : FBlocks) FreeKeepableBlock(b.Block, b.Bytes);
    FBlocks.clear();
    FTotal = 0;
  }

 private:
  struct TBlock {
    void* Block;
    std::size_t Bytes;
  };
  std::mutex FMutex;
  std::vector<TBlock> FBlocks;
  std::size_t FTotal = 0;
};

TKeptBlocks& Kept() {
  // Never destroyed: bitmaps in static storage may be freed after it would be.
  static TKeptBlocks* const kept = std::make_unique<TKeptBlocks>().release();
  return *kept;
}

}  // namespace

void* AllocatePixelBytes(std::size_t bytes) {
#if CORVINA_MAP_PIXELS
  if (bytes >= kPixelMapBytes) {
    if (void* p = MapAligned(bytes)) return p;
    throw std::bad_alloc();
  }
#endif
  if (Keepable(bytes)) {
    if (void* p = Kept().Take(bytes)) return p;
    if (void* p = NewKeepableBlock(bytes)) return p;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(bytes == 0 ? 1 : bytes)) return p;
  throw std::bad_alloc();
}

void FreePixelBytes(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
#if CORVINA_MAP_PIXELS
  if (bytes >= kPixelMapBytes) return UnmapAligned(p, bytes);
#endif
  if (Keepable(bytes)) return Kept().Keep(p, bytes);
  std::free(p);
}

void ReleaseKeptPixelBlocks() noexcept { Kept().Release(); }
std::size_t KeptPixelBytes() noexcept { return Kept().Total(); }

}  // namespace Fmx::Graphics::Detail
