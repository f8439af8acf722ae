// Pictures between framework bitmaps and the diffusion library's sd_image_t:
// conversions both ways, the release of what the library returns, and the
// Canny edge map of a bitmap.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "binding/stablediffusion.h"
#include "framework/graphics.h"

namespace Sd::Fmx {

using ::Fmx::Graphics::TBitmap;
using Stablediffusion::sd_image_t;

// Bitmaps handed to callers and event handlers belong to them.
using TBitmaps = std::vector<std::unique_ptr<TBitmap>>;

struct TCFree {
  void operator()(void* p) const noexcept { std::free(p); }
};

// A picture built for the library: an sd_image_t whose pixels come from malloc
// and are freed with the object. Move-only; the library only borrows Image()
// for the length of a call.
class TSDImageBuffer {
 public:
  TSDImageBuffer() = default;
  // Uninitialised pixels; raises when the size cannot be allocated.
  TSDImageBuffer(std::uint32_t Width, std::uint32_t Height, std::uint32_t Channel);

  const sd_image_t& Image() const { return FImage; }
  std::uint8_t* Data() const { return FImage.data; }
  std::size_t Size() const { return std::size_t(FImage.width) * FImage.height * FImage.channel; }
  bool Empty() const { return FImage.data == nullptr; }

 private:
  sd_image_t FImage{0, 0, 0, nullptr};
  std::unique_ptr<std::uint8_t, TCFree> FPixels;
};

// A new bitmap of the image's size with every pixel converted: 3 channels are
// R, G, B, 4 channels R, G, B and a fourth byte that is ignored, 1 channel
// gray; the bitmap is opaque. A null image, null pixels, a zero size, a size
// beyond a bitmap's or another channel count raise an Exception.
std::unique_ptr<TBitmap> SDImage2Bitmap(const sd_image_t* image);

// The bitmap's pixels as R, G, B bytes (alpha dropped).
TSDImageBuffer Bitmap2SDImage(const TBitmap& bitmap);

// One byte per pixel: the truncated mean (R + G + B) div 3.
TSDImageBuffer Bitmap2SDMask(const TBitmap& bitmap);

// The release step for pictures the library made: frees the pixels of count
// consecutive images with the C heap's free and nulls them. The array itself
// is the caller's (TSDImageArray frees a result array).
void FreeSDImages(sd_image_t* images, std::int32_t count);

// A result array of generate_image / generate_video: calloc'd by the library,
// every data malloc'd. Frees both, once.
class TSDImageArray {
 public:
  TSDImageArray(sd_image_t* images, std::int32_t count) : FImages(images), FCount(images ? count : 0) {}
  ~TSDImageArray() { Release(); }
  TSDImageArray(const TSDImageArray&) = delete;
  TSDImageArray& operator=(const TSDImageArray&) = delete;

  sd_image_t* Images() const { return FImages; }
  std::int32_t Count() const { return FCount; }
  void Release() noexcept;

 private:
  sd_image_t* FImages;
  std::int32_t FCount;
};

// Converts every image, releasing the library's buffers as soon as the last
// is converted (also when a conversion raises). An image with null pixels
// raises what, naming its position.
TBitmaps ConvertResults(TSDImageArray& results, const char16_t* what);

// The library's Canny edge map of the bitmap, as a new bitmap of the same
// size. Pictures smaller than the library survives (64 pixels either way) are
// padded by repeating their edges and the map is cropped back. Needs the
// library loaded (a generation component made at run time); raises "Failed
// to generate canny image" when the library reports failure.
std::unique_ptr<TBitmap> GetCannyOfBitmap(const TBitmap& bitmap);

}  // namespace Sd::Fmx
