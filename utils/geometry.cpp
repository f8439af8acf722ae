#include "utils/geometry.h"

#include <cmath>
#include <cstdint>

#include "framework/exceptions.h"

namespace Utils {

namespace {

using System::Sysutils::Exception;
using System::Sysutils::Format;
using System::Types::TPointF;
using System::Types::TRectF;

// Round half to even without depending on the FPU's rounding mode;
// saturates far outside any pixel range instead of overflowing.
std::int64_t Nearest(double v) {
  constexpr double kLimit = 4611686018427387904.0;  // 2^62
  if (!(v > -kLimit)) return -static_cast<std::int64_t>(kLimit);
  if (!(v < kLimit)) return static_cast<std::int64_t>(kLimit);
  const double down = std::floor(v);
  const double rest = v - down;
  const auto n = static_cast<std::int64_t>(down);
  if (rest < 0.5) return n;
  if (rest > 0.5) return n + 1;
  return (n % 2 == 0) ? n : n + 1;
}

double EvenBelow(std::int64_t v) { return static_cast<double>(v & ~std::int64_t{1}); }

bool Finite(const TRectF& r) {
  return std::isfinite(r.Left) && std::isfinite(r.Top) && std::isfinite(r.Right) && std::isfinite(r.Bottom);
}

void CheckFinite(const char16_t* where, const char16_t* name, const TRectF& r) {
  if (!Finite(r)) {
    throw Exception(Format(u"%s: %s must have finite coordinates, got (%.7g, %.7g, %.7g, %.7g)", where, name,
                           r.Left, r.Top, r.Right, r.Bottom));
  }
}

}  // namespace

float FitRect2(TRectF& R, const TRectF& BoundsRect) {
  CheckFinite(u"FitRect2", u"BoundsRect", BoundsRect);
  CheckFinite(u"FitRect2", u"R", R);
  const double bw = BoundsRect.Width();
  const double bh = BoundsRect.Height();
  if (bw * bh == 0) return 1.0f;
  const double rw = R.Width();
  const double rh = R.Height();
  if (rw == 0 || rh == 0) {
    throw Exception(Format(u"FitRect2: R must have a non-zero width and height, got %.7g x %.7g", rw, rh));
  }
  const double ratio = rw / rh;
  double newW = EvenBelow(Nearest(bh * ratio));
  double newH = bh;
  if (newW > bw) {
    newW = bw;
    newH = EvenBelow(Nearest(bw / ratio));
  }
  R = System::Types::RectF(0, 0, static_cast<float>(newW), static_cast<float>(newH));
  System::Types::RectCenter(R, BoundsRect);
  return static_cast<float>(ratio);
}

TPointF ClientToBitmap(const Fmx::Graphics::TBitmap& Bitmap, const TRectF& ViewRect, float X, float Y) {
  const std::int32_t w = Bitmap.Width();
  const std::int32_t h = Bitmap.Height();
  if (w == 0 || h == 0) {
    throw Exception(Format(u"ClientToBitmap: Bitmap must have a non-zero width and height, got %d x %d", w, h));
  }
  CheckFinite(u"ClientToBitmap", u"ViewRect", ViewRect);
  if (!std::isfinite(X) || !std::isfinite(Y)) {
    throw Exception(Format(u"ClientToBitmap: the point (%.7g, %.7g) must be finite", X, Y));
  }
  TRectF shown = System::Types::RectF(0, 0, static_cast<float>(w), static_cast<float>(h));
  FitRect2(shown, ViewRect);
  // A very long, thin bitmap can be fitted to a side that rounds to 0 pixels:
  // no view point then lies on it.
  if (shown.Width() <= 0 || shown.Height() <= 0) {
    throw Exception(Format(u"ClientToBitmap: the %d x %d bitmap is shown %.7g x %.7g pixels in the view (%.7g, %.7g, "
                           u"%.7g, %.7g), which leaves no pixel to point at",
                           w, h, shown.Width(), shown.Height(), ViewRect.Left, ViewRect.Top, ViewRect.Right,
                           ViewRect.Bottom));
  }
  const double sx = static_cast<double>(shown.Width()) / w;
  const double sy = static_cast<double>(shown.Height()) / h;
  return System::Types::PointF(static_cast<float>(Nearest((double(X) - shown.Left) / sx)),
                               static_cast<float>(Nearest((double(Y) - shown.Top) / sy)));
}

}  // namespace Utils
