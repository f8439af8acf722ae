#include "utils/geometry.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "framework/exceptions.h"
#include "tests/support/test_support.h"

using namespace Corvina::Testing;
using Fmx::Graphics::TBitmap;
using System::String;
using System::Types::PointF;
using System::Types::RectF;
using System::Types::TPointF;
using System::Types::TRectF;

namespace {

void PrintTo(const TRectF& r, std::ostream* os) {
  *os << "(" << r.Left << ", " << r.Top << ", " << r.Right << ", " << r.Bottom << ")";
}

}  // namespace

namespace System::Types {
void PrintTo(const TRectF& r, std::ostream* os) { ::PrintTo(r, os); }
void PrintTo(const TPointF& p, std::ostream* os) { *os << "(" << p.X << ", " << p.Y << ")"; }
}  // namespace System::Types

TEST(RectCenter, MovesTheRectangleKeepingItsSize) {
  TRectF r = RectF(10, 10, 110, 60);
  const TRectF result = System::Types::RectCenter(r, RectF(0, 0, 301, 100));
  EXPECT_EQ(r, RectF(100.5f, 25, 200.5f, 75));
  EXPECT_EQ(result, r);
}

TEST(FitRect2, WideRectangleInASquareIsLimitedByTheWidth) {
  TRectF r = RectF(0, 0, 640, 480);
  EXPECT_EQ(Utils::FitRect2(r, RectF(0, 0, 800, 800)), 640.0f / 480.0f);
  EXPECT_EQ(r, RectF(0, 100, 800, 700));
}

TEST(FitRect2, TallRectangleIsCentredHorizontally) {
  TRectF r = RectF(0, 0, 480, 640);
  EXPECT_EQ(Utils::FitRect2(r, RectF(0, 0, 800, 600)), 0.75f);
  EXPECT_EQ(r, RectF(175, 0, 625, 600));
}

TEST(FitRect2, OnlyTheComputedSideIsMadeEven) {
  TRectF r = RectF(0, 0, 100, 100);
  EXPECT_EQ(Utils::FitRect2(r, RectF(0, 0, 301, 301)), 1.0f);
  EXPECT_EQ(r, RectF(0.5f, 0, 300.5f, 301));  // 301 -> 300 wide, height 301 from the bounds
}

TEST(FitRect2, HalfwayHeightRoundsToEven) {
  TRectF r = RectF(0, 0, 1920, 1080);
  Utils::FitRect2(r, RectF(0, 0, 1000, 1000));
  EXPECT_EQ(r, RectF(0, 219, 1000, 781));  // 562.5 -> 562
}

TEST(FitRect2, OffsetBoundsPlaceTheResultInsideThem) {
  TRectF r = RectF(5, 5, 25, 15);  // where R started does not matter
  Utils::FitRect2(r, RectF(100, 50, 140, 90));
  EXPECT_EQ(r, RectF(100, 60, 140, 80));
}

TEST(FitRect2, BoundsWithoutAreaLeaveTheRectangleAlone) {
  for (const TRectF& bounds : {RectF(0, 0, 0, 600), RectF(0, 0, 800, 0), RectF(3, 3, 3, 3)}) {
    TRectF r = RectF(1, 2, 641, 482);
    EXPECT_EQ(Utils::FitRect2(r, bounds), 1.0f);
    EXPECT_EQ(r, RectF(1, 2, 641, 482));
  }
  TRectF flat = RectF(0, 0, 0, 0);  // even without area: the bounds are checked first
  EXPECT_EQ(Utils::FitRect2(flat, RectF(0, 0, 0, 0)), 1.0f);
}

TEST(FitRect2, RectangleWithoutAreaRaises) {
  TRectF noWidth = RectF(4, 0, 4, 480);
  EXPECT_EQ(MessageOf([&] { Utils::FitRect2(noWidth, RectF(0, 0, 800, 600)); }),
            u"FitRect2: R must have a non-zero width and height, got 0 x 480");
  TRectF noHeight = RectF(0, 0, 640.5f, 0);
  EXPECT_EQ(MessageOf([&] { Utils::FitRect2(noHeight, RectF(0, 0, 800, 600)); }),
            u"FitRect2: R must have a non-zero width and height, got 640.5 x 0");
  EXPECT_EQ(noWidth, RectF(4, 0, 4, 480));
}

TEST(ClientToBitmap, MapsViewPointsToPixelsOfTheFittedPicture) {
  const TBitmap landscape(640, 480);
  EXPECT_EQ(Utils::ClientToBitmap(landscape, RectF(0, 0, 800, 800), 400, 400), PointF(320, 240));
  EXPECT_EQ(Utils::ClientToBitmap(landscape, RectF(0, 0, 800, 800), 0, 100), PointF(0, 0));
  const TBitmap portrait(480, 640);
  EXPECT_EQ(Utils::ClientToBitmap(portrait, RectF(0, 0, 800, 600), 400, 300), PointF(240, 320));
}

TEST(ClientToBitmap, PointsBesideThePictureAreNotClamped) {
  const TBitmap landscape(640, 480);
  // Above the picture (the bar starts at y = 100) and right of the view.
  EXPECT_EQ(Utils::ClientToBitmap(landscape, RectF(0, 0, 800, 800), 0, 0), PointF(0, -80));
  EXPECT_EQ(Utils::ClientToBitmap(landscape, RectF(0, 0, 800, 800), 1000, 700), PointF(800, 480));
}

TEST(ClientToBitmap, ViewWithoutAreaOnlyRoundsHalfToEven) {
  const TBitmap bmp(64, 64);
  EXPECT_EQ(Utils::ClientToBitmap(bmp, RectF(0, 0, 0, 0), 12.5f, 13.5f), PointF(12, 14));
  EXPECT_EQ(Utils::ClientToBitmap(bmp, RectF(0, 0, 0, 10), -2.5f, 2.49f), PointF(-2, 2));
}

TEST(ClientToBitmap, BitmapWithoutAreaRaises) {
  EXPECT_EQ(MessageOf([] { Utils::ClientToBitmap(TBitmap(0, 480), RectF(0, 0, 800, 600), 1, 1); }),
            u"ClientToBitmap: Bitmap must have a non-zero width and height, got 0 x 480");
  EXPECT_EQ(MessageOf([] { Utils::ClientToBitmap(TBitmap(), RectF(0, 0, 0, 0), 1, 1); }),
            u"ClientToBitmap: Bitmap must have a non-zero width and height, got 0 x 0");
}

TEST(ClientToBitmap, PictureFittedToNoPixelsRaisesInsteadOfDividingByZero) {
  // 200 / 192 rounds to 1, made even: 0 rows high.
  const TBitmap strip(1920, 10);
  EXPECT_EQ(MessageOf([&] { Utils::ClientToBitmap(strip, RectF(0, 0, 200, 200), 100, 100); }),
            u"ClientToBitmap: the 1920 x 10 bitmap is shown 200 x 0 pixels in the view (0, 0, 200, 200), which "
            u"leaves no pixel to point at");
  const TBitmap column(10, 1920);
  EXPECT_EQ(MessageOf([&] { Utils::ClientToBitmap(column, RectF(0, 0, 200, 200), 100, 100); }),
            u"ClientToBitmap: the 10 x 1920 bitmap is shown 0 x 200 pixels in the view (0, 0, 200, 200), which "
            u"leaves no pixel to point at");
}

TEST(ViewGeometry, NonFiniteInputRaisesInsteadOfGivingGarbage) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const TBitmap bmp(640, 480);
  struct Case {
    const char* name;
    std::function<void()> call;
    const char16_t* message;
  };
  const Case cases[] = {
      {"NaN view", [&] { Utils::ClientToBitmap(bmp, RectF(0, 0, nan, 600), 1, 1); },
       u"ClientToBitmap: ViewRect must have finite coordinates, got (0, 0, NAN, 600)"},
      {"infinite view", [&] { Utils::ClientToBitmap(bmp, RectF(0, -inf, 800, 600), 1, 1); },
       u"ClientToBitmap: ViewRect must have finite coordinates, got (0, -INF, 800, 600)"},
      {"NaN point", [&] { Utils::ClientToBitmap(bmp, RectF(0, 0, 800, 600), nan, 1); },
       u"ClientToBitmap: the point (NAN, 1) must be finite"},
      {"NaN bounds", [&] { TRectF r = RectF(0, 0, 4, 3); Utils::FitRect2(r, RectF(nan, 0, 10, 10)); },
       u"FitRect2: BoundsRect must have finite coordinates, got (NAN, 0, 10, 10)"},
      {"infinite R", [&] { TRectF r = RectF(0, 0, inf, 3); Utils::FitRect2(r, RectF(0, 0, 10, 10)); },
       u"FitRect2: R must have finite coordinates, got (0, 0, INF, 3)"},
  };
  for (const Case& c : cases) EXPECT_EQ(MessageOf(c.call), c.message) << c.name;
}
