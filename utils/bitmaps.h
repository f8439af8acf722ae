// Library pixel buffers into framework bitmaps, in-place bitmap stretching and
// the rounding of bitmap dimensions to multiples of 8.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>

#include "framework/graphics.h"

namespace Utils {

// Source is a gray buffer of Bitmap.Width() x Bitmap.Height() bytes, rows
// without gaps; each pixel becomes opaque gray. The bitmap's size decides how
// much is read; a null source raises unless the bitmap is empty.
void GrayToBitmap(const std::uint8_t* Source, Fmx::Graphics::TBitmap& Bitmap);

// Source is a B, G, R buffer of 3 x Width x Height bytes; each byte goes to
// its own channel and every pixel becomes opaque.
void MatToBitmap(const std::uint8_t* Source, Fmx::Graphics::TBitmap& Bitmap);

// Scales the whole bitmap to NewWidth x NewHeight with smooth interpolation,
// ignoring the aspect ratio; the bitmap object stays the same.
void StretchBitmap(Fmx::Graphics::TBitmap& Bitmap, std::int32_t NewWidth, std::int32_t NewHeight);

// The smallest multiple of 8 not below Value; Value must lie in 0..2147483640.
std::int32_t RoundUpTo8(std::int32_t Value);

}  // namespace Utils
