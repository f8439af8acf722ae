// Reading and writing a whole bitmap as a vector of colours, row by row, so
// tests compare pixels with one EXPECT_EQ.
#pragma once

#include <vector>

#include "framework/graphics.h"

namespace Corvina::Testing {

inline std::vector<System::Uitypes::TAlphaColor> Pixels(const Fmx::Graphics::TBitmap& bmp) {
  std::vector<System::Uitypes::TAlphaColor> out;
  Fmx::Graphics::TBitmapMapping map(bmp);
  for (int y = 0; y < bmp.Height(); ++y)
    for (int x = 0; x < bmp.Width(); ++x) out.push_back(map.Data().GetPixel(x, y));
  return out;
}

inline void Fill(Fmx::Graphics::TBitmap& bmp, const std::vector<System::Uitypes::TAlphaColor>& pixels) {
  Fmx::Graphics::TBitmapMapping map(bmp, Fmx::Graphics::TMapAccess::Write);
  for (int y = 0; y < bmp.Height(); ++y)
    for (int x = 0; x < bmp.Width(); ++x) map.Data().SetPixel(x, y, pixels[y * bmp.Width() + x]);
}

}  // namespace Corvina::Testing
