// Memory for bitmap pixels: freed blocks of a picture size come back for the
// next picture of that size, never to two owners at once, within a bounded
// total; and a bitmap made from a reused block is still transparent.
#include "framework/pixel_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "framework/graphics.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define CORVINA_TEST_VALGRIND 1
#else
#define CORVINA_TEST_VALGRIND 0
#endif

using namespace Fmx::Graphics::Detail;

namespace {

class PixelMemory : public ::testing::Test {
 protected:
  void SetUp() override { ReleaseKeptPixelBlocks(); }
  void TearDown() override { ReleaseKeptPixelBlocks(); }
};

bool UnderValgrind() {
#if CORVINA_TEST_VALGRIND
  return RUNNING_ON_VALGRIND != 0;
#else
  return false;
#endif
}

bool UnderAsan() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

// What the running checker says about the bytes: may they be touched, and
// (valgrind only) do they hold defined values.
bool Addressable(const void* p, std::size_t bytes) {
#if defined(__SANITIZE_ADDRESS__)
  return __asan_region_is_poisoned(const_cast<void*>(p), bytes) == nullptr;
#elif CORVINA_TEST_VALGRIND
  std::vector<char> bits(bytes);
  return VALGRIND_GET_VBITS(p, bits.data(), bytes) == 1;
#else
  (void)p;
  (void)bytes;
  return true;
#endif
}

// Valgrind only: whether every byte holds a defined value.
bool Defined(const void* p, std::size_t bytes) {
#if CORVINA_TEST_VALGRIND
  std::vector<char> bits(bytes);
  if (VALGRIND_GET_VBITS(p, bits.data(), bytes) != 1) return false;
  return std::all_of(bits.begin(), bits.end(), [](char b) { return b == 0; });
#else
  (void)p;
  (void)bytes;
  return false;
#endif
}

}  // namespace

TEST_F(PixelMemory, AFreedBlockServesTheNextRequestOfItsSizeOnly) {
  struct Case {
    std::size_t bytes;
    bool kept;
  };
  const Case cases[] = {
      {kPixelKeepMinBytes - 4, false},   // small blocks stay with the C heap
      {kPixelKeepMinBytes, true},        //
      {std::size_t(1) << 20, true},      // a 512 x 512 picture
      {kPixelMapBytes - 4, true},        //
      {kPixelMapBytes, false},           // mapped blocks go back to the system
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    void* first = AllocatePixelBytes(c.bytes);
    std::memset(first, 0xAB, c.bytes);
    FreePixelBytes(first, c.bytes);
    EXPECT_EQ(KeptPixelBytes(), c.kept ? c.bytes : 0u);
    // Another size never gets it; the same size gets it once.
    void* other = AllocatePixelBytes(c.bytes + 4);
    void* again = AllocatePixelBytes(c.bytes);
    void* third = AllocatePixelBytes(c.bytes);
    if (c.kept) {
      // Whole cache lines, half a page away from the C heap's large blocks.
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first) % 4096, 2048u + 64u);
      EXPECT_NE(other, first);
      EXPECT_EQ(again, first);
    }
    EXPECT_NE(third, again);
    EXPECT_EQ(KeptPixelBytes(), 0u);
    FreePixelBytes(other, c.bytes + 4);
    FreePixelBytes(again, c.bytes);
    FreePixelBytes(third, c.bytes);
    ReleaseKeptPixelBlocks();
  }
}

TEST_F(PixelMemory, KeptBlocksStayWithinTheLimitAndTheNewestAreKept) {
  const std::size_t bytes = std::size_t(3) << 20;
  const std::size_t count = kPixelKeepBytes / bytes + 3;
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < count; ++i) blocks.push_back(AllocatePixelBytes(bytes));
  for (void* b : blocks) FreePixelBytes(b, bytes);
  EXPECT_EQ(KeptPixelBytes(), kPixelKeepBytes / bytes * bytes);
  // Taken back newest first, each once.
  std::set<void*> taken;
  for (std::size_t i = 0; i < kPixelKeepBytes / bytes; ++i) taken.insert(AllocatePixelBytes(bytes));
  EXPECT_EQ(taken.size(), kPixelKeepBytes / bytes);
  EXPECT_TRUE(taken.count(blocks.back()));
  EXPECT_EQ(KeptPixelBytes(), 0u);
  for (void* b : taken) FreePixelBytes(b, bytes);
}

TEST_F(PixelMemory, ABitmapOnAReusedBlockIsTransparent) {
  using Fmx::Graphics::TBitmap;
  {
    TBitmap used(512, 512);
    used.Clear(0xFFFFFFFFu);
  }
  ASSERT_EQ(KeptPixelBytes(), 512u * 512 * 4);
  TBitmap fresh(512, 512);
  EXPECT_EQ(KeptPixelBytes(), 0u) << "the kept block was taken";
  Fmx::Graphics::TBitmapMapping map(fresh);
  const auto* px = reinterpret_cast<const std::uint32_t*>(map.Data().Data);
  EXPECT_EQ(std::count(px, px + 512 * 512, 0u), 512 * 512);
}

// A kept block is freed memory to AddressSanitizer and valgrind: reading
// through the mapping of a destroyed bitmap is reported, and a bitmap sized
// for overwrite on the block again has no defined pixels (valgrind) until
// they are written. (The release suite runs this under valgrind.)
TEST_F(PixelMemory, KeptBlocksLookFreedToTheMemoryCheckers) {
  if (!UnderAsan() && !UnderValgrind()) GTEST_SKIP() << "needs AddressSanitizer or valgrind";
  using Fmx::Graphics::TBitmap;
  using Fmx::Graphics::TBitmapMapping;
  // The smallest kept size, a common picture, the largest kept size.
  const std::pair<int, int> sizes[] = {{256, 256}, {512, 512}, {47, 178481}};
  for (const auto& [w, h] : sizes) {
    SCOPED_TRACE(testing::Message() << w << " x " << h);
    ReleaseKeptPixelBlocks();
    const std::size_t bytes = std::size_t(w) * h * 4;
    ASSERT_TRUE(bytes >= kPixelKeepMinBytes && bytes < kPixelMapBytes);
    const std::uint8_t* stale = nullptr;
    {
      TBitmap used(w, h);
      used.Clear(0xFF204060u);
      stale = TBitmapMapping(used).Data().Data;
      EXPECT_TRUE(Addressable(stale, bytes));
      if (UnderValgrind()) {
        EXPECT_TRUE(Defined(stale, bytes));
      }
    }
    ASSERT_EQ(KeptPixelBytes(), bytes);
    EXPECT_FALSE(Addressable(stale, bytes)) << "a destroyed bitmap's pixels can still be read unnoticed";
    TBitmap again;
    SetSizeForOverwrite(again, w, h);
    ASSERT_EQ(KeptPixelBytes(), 0u) << "the kept block was not taken";
    const std::uint8_t* pixels = TBitmapMapping(again).Data().Data;
    ASSERT_EQ(pixels, stale);
    EXPECT_TRUE(Addressable(pixels, bytes));
    if (UnderValgrind()) {
      EXPECT_FALSE(Defined(pixels, bytes)) << "the last picture's pixels pass for this one's";
      again.Clear(0xFF000000u);
      EXPECT_TRUE(Defined(pixels, bytes));
    }
  }
}

// The room a pixel block has beyond its pixels (the rounding of a mapping,
// the offset of a kept block into its C block) is out of bounds to
// AddressSanitizer and valgrind, as the end of a plain heap block would be:
// a kernel that runs past a bitmap's first or last pixel is reported.
TEST_F(PixelMemory, TheBytesAroundABitmapsPixelsAreOutOfBoundsToTheMemoryCheckers) {
  if (!UnderAsan() && !UnderValgrind()) GTEST_SKIP() << "needs AddressSanitizer or valgrind";
  using Fmx::Graphics::TBitmap;
  using Fmx::Graphics::TBitmapMapping;
  const struct {
    int w, h;
    bool kept;  // else mapped by itself
  } cases[] = {{256, 256, true}, {513, 511, true}, {47, 178481, true}, {4097, 2049, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << " x " << c.h);
    for (int round = 0; round < 2; ++round) {  // a new block, then a kept one
      const std::size_t bytes = std::size_t(c.w) * c.h * 4;
      ASSERT_EQ(bytes >= kPixelKeepMinBytes && bytes < kPixelMapBytes, c.kept);
      TBitmap bmp(c.w, c.h);
      const std::uint8_t* pixels = TBitmapMapping(bmp).Data().Data;
      EXPECT_TRUE(Addressable(pixels, bytes));
      EXPECT_FALSE(Addressable(pixels + bytes, 1)) << "round " << round << ": past the last pixel";
      EXPECT_FALSE(Addressable(pixels + bytes, 64)) << "round " << round;
      if (c.kept) {
        EXPECT_FALSE(Addressable(pixels - 1, 1)) << "round " << round << ": before the first pixel";
      }
    }
  }
}
