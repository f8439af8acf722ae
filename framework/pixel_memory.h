// Memory for bitmap pixels. Two things differ from a plain std::vector:
// sizing without a value leaves the pixels as they are, for writers that set
// every pixel anyway (a value, as in vector(n, 0), still fills); and large
// blocks come straight from the system, aligned for huge pages where it
// offers them unasked, and freed blocks of picture size are kept for the
// next picture, since a fresh block costs one fault per page.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

namespace Fmx::Graphics::Detail {

// Blocks from this size are mapped by themselves (the C heap maps blocks
// this large on its own too, so nothing is lost on reuse).
constexpr std::size_t kPixelMapBytes = std::size_t(32) << 20;

// Freed blocks from kPixelKeepMinBytes up to the mapped size are kept for
// the next block of the same size, at most kPixelKeepBytes of them, the
// oldest given back first. Pictures come in series of one size (a batch, the
// frames of a video), and the C heap hands a batch's memory back to the
// system as soon as it is freed, so that the next batch pays a page fault
// for every 4 KiB again: on a virtual machine most of its conversion time.
constexpr std::size_t kPixelKeepMinBytes = std::size_t(256) << 10;
constexpr std::size_t kPixelKeepBytes = std::size_t(32) << 20;

void* AllocatePixelBytes(std::size_t bytes);
void FreePixelBytes(void* p, std::size_t bytes) noexcept;

// Gives the kept blocks back to the C heap (benchmarks that measure memory).
void ReleaseKeptPixelBlocks() noexcept;
// Tests: the bytes kept now.
std::size_t KeptPixelBytes() noexcept;

template <class T>
struct TPixelAllocator {
  using value_type = T;

  TPixelAllocator() noexcept = default;
  template <class U>
  TPixelAllocator(const TPixelAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(AllocatePixelBytes(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { FreePixelBytes(p, n * sizeof(T)); }

  // Default-initialisation: nothing is written for a trivial T.
  template <class U>
  void construct(U* p) noexcept(noexcept(::new (static_cast<void*>(p)) U)) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  template <class U>
  bool operator==(const TPixelAllocator<U>&) const noexcept {
    return true;
  }
};

// A bitmap's pixels: rows top to bottom, no padding.
using TPixelVector = std::vector<std::uint32_t, TPixelAllocator<std::uint32_t>>;

}  // namespace Fmx::Graphics::Detail
