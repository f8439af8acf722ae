#include "utils/bitmaps.h"

#include "framework/exceptions.h"

namespace Utils {

namespace {

using Fmx::Graphics::TBitmap;
using Fmx::Graphics::TBitmapMapping;
using Fmx::Graphics::TMapAccess;
using System::Sysutils::Exception;
using System::Sysutils::Format;

constexpr std::uint32_t kOpaque = 0xFF000000u;

// Plain loops over row pointers: the compiler vectorises both.
void GrayRow(const std::uint8_t* in, std::uint32_t* out, std::int32_t width) {
  for (std::int32_t x = 0; x < width; ++x) {
    const std::uint32_t v = in[x];
    out[x] = kOpaque | v << 16 | v << 8 | v;
  }
}

void BgrRow(const std::uint8_t* in, std::uint32_t* out, std::int32_t width) {
  for (std::int32_t x = 0; x < width; ++x) {
    const std::uint8_t* p = in + 3 * x;
    out[x] = kOpaque | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
  }
}

template <class RowFn>
void FillFromBuffer(const char16_t* operation, const std::uint8_t* source, int bytesPerPixel, TBitmap& bitmap,
                    RowFn row) {
  const std::int32_t w = bitmap.Width();
  const std::int32_t h = bitmap.Height();
  if (source == nullptr && w > 0 && h > 0) {
    throw Exception(Format(u"%s: the source buffer is nil for a %d x %d bitmap", operation, w, h));
  }
  TBitmapMapping map(bitmap, TMapAccess::Write);
  const std::size_t sourcePitch = std::size_t(w) * bytesPerPixel;
  for (std::int32_t y = 0; y < h; ++y) {
    row(source + std::size_t(y) * sourcePitch, reinterpret_cast<std::uint32_t*>(map.Scanline(y)), w);
  }
}

}  // namespace

void GrayToBitmap(const std::uint8_t* Source, TBitmap& Bitmap) {
  FillFromBuffer(u"GrayToBitmap", Source, 1, Bitmap, GrayRow);
}

void MatToBitmap(const std::uint8_t* Source, TBitmap& Bitmap) {
  FillFromBuffer(u"MatToBitmap", Source, 3, Bitmap, BgrRow);
}

void StretchBitmap(TBitmap& Bitmap, std::int32_t NewWidth, std::int32_t NewHeight) {
  TBitmap stretched(NewWidth, NewHeight);
  {
    Fmx::Graphics::TCanvasScene scene(stretched.Canvas());
    stretched.Canvas().DrawBitmap(Bitmap, System::Types::RectF(0, 0, float(Bitmap.Width()), float(Bitmap.Height())),
                                  System::Types::RectF(0, 0, float(NewWidth), float(NewHeight)), 1.0f, false);
  }
  Bitmap.Assign(stretched);
}

std::int32_t RoundUpTo8(std::int32_t Value) {
  constexpr std::int32_t kLargest = 2147483640;  // the last multiple of 8 in 32 bits
  if (Value < 0 || Value > kLargest) {
    throw Exception(Format(u"RoundUpTo8: value %d is outside 0..%d", Value, kLargest));
  }
  return (Value + 7) & ~7;
}

}  // namespace Utils
