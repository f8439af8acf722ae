// Points, rectangles and colours as the framework's run-time library has them.
// Integer shapes address pixels; single-precision shapes place things in views.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>

namespace System::Types {

struct TPoint {
  std::int32_t X = 0;
  std::int32_t Y = 0;
  friend bool operator==(const TPoint&, const TPoint&) = default;
};

struct TRect {
  std::int32_t Left = 0;
  std::int32_t Top = 0;
  std::int32_t Right = 0;
  std::int32_t Bottom = 0;
  std::int32_t Width() const { return Right - Left; }
  std::int32_t Height() const { return Bottom - Top; }
  friend bool operator==(const TRect&, const TRect&) = default;
};

struct TPointF {
  float X = 0;
  float Y = 0;
  friend bool operator==(const TPointF&, const TPointF&) = default;
};

struct TRectF {
  float Left = 0;
  float Top = 0;
  float Right = 0;
  float Bottom = 0;
  float Width() const { return Right - Left; }
  float Height() const { return Bottom - Top; }
  friend bool operator==(const TRectF&, const TRectF&) = default;
};

inline TPointF PointF(float x, float y) { return TPointF{x, y}; }
inline TRectF RectF(float left, float top, float right, float bottom) { return TRectF{left, top, right, bottom}; }
inline TPoint Point(std::int32_t x, std::int32_t y) { return TPoint{x, y}; }
inline TRect Rect(std::int32_t left, std::int32_t top, std::int32_t right, std::int32_t bottom) {
  return TRect{left, top, right, bottom};
}

// Moves R so that it sits centred in Bounds; its size stays. Fractional
// offsets are kept, as the framework does (an odd margin gives a .5 edge).
inline TRectF RectCenter(TRectF& R, const TRectF& Bounds) {
  const float w = R.Width();
  const float h = R.Height();
  R.Left = Bounds.Left + (Bounds.Width() - w) / 2;
  R.Top = Bounds.Top + (Bounds.Height() - h) / 2;
  R.Right = R.Left + w;
  R.Bottom = R.Top + h;
  return R;
}

}  // namespace System::Types

namespace System::Uitypes {

// Alpha in bits 24-31, red 16-23, green 8-15, blue 0-7: stored little-endian
// this is the bitmap's B, G, R, A byte order.
using TAlphaColor = std::uint32_t;

}  // namespace System::Uitypes

// Components spell these through the graphics namespace too.
namespace Fmx::Types {
using System::Types::Point;
using System::Types::PointF;
using System::Types::Rect;
using System::Types::RectCenter;
using System::Types::RectF;
using System::Types::TPoint;
using System::Types::TPointF;
using System::Types::TRect;
using System::Types::TRectF;
using System::Uitypes::TAlphaColor;
}  // namespace Fmx::Types
