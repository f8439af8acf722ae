#include "framework/graphics.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "framework/exceptions.h"
#include "framework/kernels.h"
#include "framework/log.h"
#include "framework/resample.h"
#include "tests/support/bitmap_support.h"
#include "tests/support/test_support.h"
#include "tests/support/vector_state.h"

using namespace Corvina::Testing;
using Fmx::Graphics::TBitmap;
using Fmx::Graphics::TBitmapData;
using Fmx::Graphics::TBitmapMapping;
using Fmx::Graphics::TCanvasScene;
using Fmx::Graphics::TMapAccess;
using System::String;
using System::Types::RectF;
using System::Uitypes::TAlphaColor;
namespace fs = std::filesystem;

namespace {

TAlphaColor PixelAt(const TBitmap& bmp, int x, int y) {
  TBitmapMapping map(bmp);
  return map.Data().GetPixel(x, y);
}

}  // namespace

TEST(Bitmap, FreshlySizedBitmapIsFullyTransparent) {
  TBitmap bmp(3, 2);
  EXPECT_EQ(bmp.Width(), 3);
  EXPECT_EQ(bmp.Height(), 2);
  EXPECT_EQ(Pixels(bmp), std::vector<TAlphaColor>(6, 0x00000000u));
  TBitmap empty;
  EXPECT_TRUE(empty.IsEmpty());
  empty.SetSize(2, 1);
  EXPECT_EQ(Pixels(empty), std::vector<TAlphaColor>(2, 0x00000000u));
}

TEST(Bitmap, NegativeSizesRaiseAndKeepTheOldSize) {
  EXPECT_EQ(MessageOf([] { TBitmap(-1, 5); }), u"TBitmap.SetSize: width and height must be 0 or more, got -1 x 5");
  TBitmap bmp(4, 4);
  EXPECT_EQ(MessageOf([&] { bmp.Resize(4, -2); }), u"TBitmap.Resize: width and height must be 0 or more, got 4 x -2");
  EXPECT_EQ(bmp.Width(), 4);
  EXPECT_EQ(bmp.Height(), 4);
}

TEST(Bitmap, PixelsAreStoredBlueGreenRedAlphaInMemory) {
  TBitmap bmp(2, 1);
  TBitmapMapping map(bmp, TMapAccess::Write);
  map.Data().SetPixel(1, 0, 0xAA112233u);
  const std::uint8_t* px = map.Data().Data + 4;
  EXPECT_EQ(px[0], 0x33);  // blue
  EXPECT_EQ(px[1], 0x22);  // green
  EXPECT_EQ(px[2], 0x11);  // red
  EXPECT_EQ(px[3], 0xAA);  // alpha, kept as given (no premultiplication)
  EXPECT_EQ(map.Data().Pitch, 8);
  EXPECT_EQ(map.Data().GetPixel(1, 0), 0xAA112233u);
}

TEST(Bitmap, PixelAccessOutsideTheBitmapRaises) {
  TBitmap bmp(3, 2);
  TBitmapMapping map(bmp, TMapAccess::ReadWrite);
  EXPECT_EQ(MessageOf([&] { map.Data().GetPixel(3, 0); }),
            u"TBitmapData.GetPixel: position (3, 0) is outside the 3 x 2 bitmap");
  EXPECT_EQ(MessageOf([&] { map.Data().SetPixel(0, -1, 0); }),
            u"TBitmapData.SetPixel: position (0, -1) is outside the 3 x 2 bitmap");
}

TEST(Bitmap, ClearAndAssignCopyIndependentPixels) {
  TBitmap a(2, 2);
  a.Clear(0xFF00FF00u);
  TBitmap b;
  b.Assign(a);
  a.Clear(0xFF0000FFu);
  EXPECT_EQ(b.Width(), 2);
  EXPECT_EQ(Pixels(b), std::vector<TAlphaColor>(4, 0xFF00FF00u));
  b.Assign(b);  // assigning itself changes nothing
  EXPECT_EQ(PixelAt(b, 1, 1), 0xFF00FF00u);
}

TEST(Bitmap, MovingHandsOverThePixelsAndEmptiesTheSource) {
  TBitmap a(2, 1);
  a.Clear(0xFF123456u);
  TBitmap b(std::move(a));
  EXPECT_TRUE(a.IsEmpty());  // NOLINT(bugprone-use-after-move): the moved-from state is contract
  EXPECT_EQ(PixelAt(b, 1, 0), 0xFF123456u);
  // The canvas draws into the new owner, not the moved-from object.
  TBitmap src(1, 1);
  src.Clear(0xFF0000FFu);
  TCanvasScene scene(b.Canvas());
  b.Canvas().DrawBitmap(src, RectF(0, 0, 1, 1), RectF(0, 0, 1, 1), 1.0f);
  EXPECT_EQ(PixelAt(b, 0, 0), 0xFF0000FFu);
}

// Bitmaps from 32 MiB live in a mapping of their own (huge pages where the
// system has them) and must behave exactly like heap-held ones: zeroed when
// new, every pixel addressable, copied, moved, resized and freed (a size
// that is no whole number of pages).
TEST(Bitmap, LargeBitmapsBehaveLikeSmallOnes) {
  const int w = 4097, h = 2049;
  const std::size_t n = std::size_t(w) * h;
  TBitmap bmp(w, h);
  {
    TBitmapMapping map(bmp, TMapAccess::Write);
    const auto* px = reinterpret_cast<const std::uint32_t*>(map.Data().Data);
    EXPECT_EQ(std::count(px, px + n, 0u), std::ptrdiff_t(n)) << "a new bitmap is transparent";
    map.Data().SetPixel(0, 0, 0xFF010203u);
    map.Data().SetPixel(w - 1, h - 1, 0xFF040506u);
  }
  TBitmap copy;
  copy.Assign(bmp);
  bmp.Clear(0xFF777777u);
  EXPECT_EQ(PixelAt(copy, 0, 0), 0xFF010203u);
  EXPECT_EQ(PixelAt(copy, w - 1, h - 1), 0xFF040506u);
  EXPECT_EQ(PixelAt(copy, w / 2, h / 2), 0u);
  TBitmap moved(std::move(copy));
  EXPECT_EQ(PixelAt(moved, w - 1, h - 1), 0xFF040506u);
  bmp.SetSize(w, h);
  EXPECT_EQ(PixelAt(bmp, w - 1, h - 1), 0u) << "SetSize zeroes again";
  bmp.Clear(0xFF336699u);
  bmp.Resize(w / 64, h / 64);
  EXPECT_EQ(Pixels(bmp), std::vector<TAlphaColor>(std::size_t(w / 64) * (h / 64), 0xFF336699u));
}

// The package's writers that set every pixel size bitmaps without zeroing
// them first; the size is checked as SetSize checks it.
TEST(Bitmap, SizingForOverwriteChecksLikeSetSize) {
  using Fmx::Graphics::Detail::SetSizeForOverwrite;
  TBitmap bmp(2, 2);
  EXPECT_EQ(MessageOf([&] { SetSizeForOverwrite(bmp, -1, 3); }),
            u"TBitmap.SetSize: width and height must be 0 or more, got -1 x 3");
  EXPECT_EQ(MessageOf([&] { SetSizeForOverwrite(bmp, INT32_MAX, 1); }),
            u"TBitmap.SetSize: width must be at most 536870911, got 2147483647");
  {
    TBitmapMapping map(bmp);
    EXPECT_EQ(MessageOf([&] { SetSizeForOverwrite(bmp, 5, 5); }),
              u"TBitmap.SetSize: the bitmap is mapped; unmap it first");
  }
  EXPECT_EQ(bmp.Width(), 2) << "a refused size leaves the bitmap alone";
  for (const auto& [w, h] : {std::pair{0, 0}, {0, 7}, {3, 5}, {2048, 4097}}) {
    SetSizeForOverwrite(bmp, w, h);
    EXPECT_EQ(bmp.Width(), w);
    EXPECT_EQ(bmp.Height(), h);
    if (bmp.IsEmpty()) continue;
    bmp.Clear(0xFF102030u);
    TBitmapMapping map(bmp);
    EXPECT_EQ(map.Data().Pitch, w * 4);
    EXPECT_EQ(map.Data().GetPixel(w - 1, h - 1), 0xFF102030u);
  }
}

TEST(BitmapMapping, MappingTwiceRaisesAndKeepsTheFirstMapping) {
  TBitmap bmp(2, 2);
  TBitmapMapping first(bmp, TMapAccess::Write);
  TBitmapData second;
  EXPECT_EQ(MessageOf<System::Sysutils::EInvalidOperation>([&] { bmp.Map(TMapAccess::Read, second); }),
            u"TBitmap.Map: the bitmap is already mapped; unmap it first");
  first.Data().SetPixel(0, 0, 0xFF010203u);
  first.Unmap();
  EXPECT_FALSE(bmp.IsMapped());
  EXPECT_EQ(PixelAt(bmp, 0, 0), 0xFF010203u);
}

TEST(BitmapMapping, UnmappingTwiceOrAStaleCopyRaises) {
  TBitmap bmp(1, 1);
  TBitmapData data;
  bmp.Map(TMapAccess::Read, data);
  const TBitmapData stale = data;
  bmp.Unmap(data);
  EXPECT_EQ(data.Data, nullptr);
  EXPECT_EQ(MessageOf([&] { bmp.Unmap(data); }),
            u"TBitmap.Unmap: the TBitmapData is not mapped (already unmapped, or never mapped)");
  TBitmapData current;
  bmp.Map(TMapAccess::Read, current);
  TBitmapData copy = stale;
  EXPECT_EQ(MessageOf([&] { bmp.Unmap(copy); }),
            u"TBitmap.Unmap: the TBitmapData is from an earlier mapping that has already ended");
  EXPECT_TRUE(bmp.IsMapped());  // the live mapping survived
  TBitmap other(1, 1);
  EXPECT_EQ(MessageOf([&] { other.Unmap(current); }), u"TBitmap.Unmap: the TBitmapData belongs to another bitmap");
  bmp.Unmap(current);
}

TEST(BitmapMapping, StorageChangesRaiseWhileMapped) {
  TBitmap bmp(2, 2);
  TBitmap other(1, 1);
  TBitmapMapping map(bmp, TMapAccess::Read);
  EXPECT_EQ(MessageOf([&] { bmp.SetSize(5, 5); }), u"TBitmap.SetSize: the bitmap is mapped; unmap it first");
  EXPECT_EQ(MessageOf([&] { bmp.Resize(5, 5); }), u"TBitmap.Resize: the bitmap is mapped; unmap it first");
  EXPECT_EQ(MessageOf([&] { bmp.Assign(other); }), u"TBitmap.Assign: the bitmap is mapped; unmap it first");
  EXPECT_EQ(MessageOf([&] { TBitmap moved(std::move(bmp)); }), u"TBitmap move: the bitmap is mapped; unmap it first");
  EXPECT_EQ(map.Data().Width, 2);
}

TEST(BitmapMapping, ConstBitmapsMapForReadingOnly) {
  const TBitmap bmp(1, 1);
  TBitmapData data;
  EXPECT_EQ(MessageOf([&] { bmp.Map(TMapAccess::Write, data); }),
            u"TBitmap.Map: a const bitmap can only be mapped for reading");
  EXPECT_FALSE(bmp.IsMapped());
}

TEST(BitmapMapping, ReadMappingsRefuseWritesAndKeepThePixels) {
  TBitmap bmp(2, 1);
  bmp.Clear(0xFF102030u);
  const TBitmap& constRef = bmp;
  struct Case {
    const char* name;
    std::function<TBitmapMapping()> map;
    bool writable;
  };
  const Case cases[] = {
      {"Read", [&] { return TBitmapMapping(bmp, TMapAccess::Read); }, false},
      {"const guard", [&] { return TBitmapMapping(constRef); }, false},
      {"Write", [&] { return TBitmapMapping(bmp, TMapAccess::Write); }, true},
      {"ReadWrite", [&] { return TBitmapMapping(bmp, TMapAccess::ReadWrite); }, true},
  };
  // Every way to a writable pointer: the per-pixel setter, a row, the whole block.
  struct Writer {
    const char* name;
    std::function<void(const TBitmapMapping&)> write;
    const char16_t* refusal;
  };
  const Writer writers[] = {
      {"SetPixel", [](const TBitmapMapping& m) { m.Data().SetPixel(1, 0, 0xFFFFFFFFu); },
       u"TBitmapData.SetPixel: the bitmap is mapped for reading only"},
      {"WritableScanline", [](const TBitmapMapping& m) { std::memset(m.WritableScanline(0) + 4, 0xFF, 4); },
       u"TBitmapData.GetWritableScanline: the bitmap is mapped for reading only"},
      {"WritableData", [](const TBitmapMapping& m) { std::memset(m.Data().WritableData() + 4, 0xFF, 4); },
       u"TBitmapData.WritableData: the bitmap is mapped for reading only"},
  };
  for (const Case& c : cases) {
    for (const Writer& w : writers) {
      bmp.Clear(0xFF102030u);
      {
        TBitmapMapping map = c.map();
        const String msg = MessageOf<System::Sysutils::EInvalidOperation>([&] { w.write(map); });
        EXPECT_EQ(msg, c.writable ? u"<nothing raised>" : w.refusal) << c.name << " " << w.name;
      }
      EXPECT_EQ(PixelAt(bmp, 1, 0), c.writable ? 0xFFFFFFFFu : 0xFF102030u) << c.name << " " << w.name;
    }
  }
}

// What reads hands out cannot be written through: such code does not compile.
static_assert(std::is_same_v<decltype(TBitmapData::Data), const std::uint8_t*>);
static_assert(std::is_same_v<decltype(std::declval<const TBitmapData&>().GetScanline(0)), const std::uint8_t*>);
static_assert(std::is_same_v<decltype(std::declval<TBitmapMapping&>().Scanline(0)), const std::uint8_t*>);
static_assert(std::is_same_v<decltype(std::declval<TBitmapMapping&>().Data()), const TBitmapData&>);

TEST(BitmapMapping, MappingIntoDataThatHoldsAnotherLiveMappingRaises) {
  TBitmap a(1, 1), b(1, 1);
  TBitmapData data;
  a.Map(TMapAccess::Read, data);
  EXPECT_EQ(MessageOf<System::Sysutils::EInvalidOperation>([&] { b.Map(TMapAccess::Write, data); }),
            u"TBitmap.Map: the TBitmapData still holds the mapping of another bitmap; unmap that first");
  EXPECT_FALSE(b.IsMapped());
  a.Unmap(data);  // the first mapping is intact and can end
  EXPECT_FALSE(a.IsMapped());

  // Data whose mapping has ended, through a copy or with its bitmap, is free again.
  TBitmapData stale;
  a.Map(TMapAccess::Read, stale);
  TBitmapData copy = stale;
  a.Unmap(copy);
  EXPECT_TRUE(b.Map(TMapAccess::Write, stale));
  b.Unmap(stale);
  {
    TBitmap gone(1, 1);
    gone.Map(TMapAccess::Read, stale);
  }
  EXPECT_TRUE(b.Map(TMapAccess::Read, stale));
  b.Unmap(stale);
}

TEST(BitmapMapping, ScanlineOfAnEmptyBitmapNamesItsSize) {
  TBitmap empty(3, 0);
  TBitmapMapping map(empty, TMapAccess::Read);
  EXPECT_EQ(MessageOf([&] { map.Scanline(0); }), u"TBitmapData.GetScanline: row 0 is outside the 3 x 0 bitmap");
}

TEST(BitmapMapping, GuardUnmapsWhenAnExceptionLeavesTheScope) {
  TBitmap bmp(2, 2);
  try {
    TBitmapMapping map(bmp, TMapAccess::Write);
    map.Data().SetPixel(1, 1, 0xFFFFFFFFu);
    throw std::runtime_error("failure while mapped");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(bmp.IsMapped());
  EXPECT_EQ(PixelAt(bmp, 1, 1), 0xFFFFFFFFu);
}

TEST(BitmapMapping, MovedGuardUnmapsOnceAndAssignmentReleasesTheOldMapping) {
  TBitmap a(1, 1), b(1, 1);
  {
    TBitmapMapping first(a, TMapAccess::Read);
    TBitmapMapping moved(std::move(first));
    EXPECT_TRUE(a.IsMapped());
    TBitmapMapping other(b, TMapAccess::Read);
    other = std::move(moved);  // b is released here, a now belongs to other
    EXPECT_FALSE(b.IsMapped());
    EXPECT_TRUE(a.IsMapped());
  }
  EXPECT_FALSE(a.IsMapped());
}

TEST(BitmapMapping, DestructorLogsInsteadOfThrowingAndLeavesANewerMappingAlone) {
  std::vector<String> lines;
  auto previous = Fmx::Types::Log::SetSink([&](const String& s) { lines.push_back(s); });
  TBitmap bmp(1, 1);
  TBitmapData newer;
  {
    TBitmapMapping map(bmp, TMapAccess::Read);
    TBitmapData copy = map.Data();
    bmp.Unmap(copy);  // ended behind the guard's back
    bmp.Map(TMapAccess::Read, newer);
  }
  Fmx::Types::Log::SetSink(previous);
  EXPECT_TRUE(bmp.IsMapped());
  EXPECT_NO_THROW(bmp.Unmap(newer));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            u"TBitmapMapping: unmapping failed: TBitmap.Unmap: the TBitmapData is from an earlier mapping that has "
            u"already ended");
}

TEST(Canvas, DrawingOutsideASceneRaises) {
  TBitmap target(2, 2), src(2, 2);
  EXPECT_EQ(MessageOf<System::Sysutils::EInvalidOperation>(
                [&] { target.Canvas().DrawBitmap(src, RectF(0, 0, 2, 2), RectF(0, 0, 2, 2), 1.0f); }),
            u"TCanvas.DrawBitmap: drawing needs BeginScene first");
  {
    TCanvasScene outer(target.Canvas());
    { TCanvasScene inner(target.Canvas()); }
    EXPECT_TRUE(target.Canvas().InScene());  // scenes nest
  }
  EXPECT_FALSE(target.Canvas().InScene());
  target.Canvas().EndScene();  // harmless without a scene
  EXPECT_FALSE(target.Canvas().InScene());
}

TEST(Canvas, UnscaledDrawCopiesPixelsExactlyEvenTransparentOnes) {
  TBitmap src(3, 1), target(3, 1);
  Fill(src, {0xFF102030u, 0x00ABCDEFu, 0x7F405060u});
  TCanvasScene scene(target.Canvas());
  target.Canvas().DrawBitmap(src, RectF(0, 0, 3, 1), RectF(0, 0, 3, 1), 1.0f, false);
  EXPECT_EQ(Pixels(target), (std::vector<TAlphaColor>{0xFF102030u, 0x00ABCDEFu, 0x7F405060u}));
}

TEST(Canvas, OpacityBlendsSourceOverWhatIsThere) {
  TBitmap white(1, 1);
  white.Clear(0xFFFFFFFFu);
  TBitmap target(2, 1);
  Fill(target, {0xFF000000u, 0x00000000u});
  TCanvasScene scene(target.Canvas());
  target.Canvas().DrawBitmap(white, RectF(0, 0, 1, 1), RectF(0, 0, 2, 1), 0.5f, true);
  // Over opaque black: half grey. Over nothing: white at half alpha.
  EXPECT_EQ(Pixels(target), (std::vector<TAlphaColor>{0xFF808080u, 0x80FFFFFFu}));
  target.Canvas().DrawBitmap(white, RectF(0, 0, 1, 1), RectF(0, 0, 2, 1), 0.0f, true);
  EXPECT_EQ(PixelAt(target, 0, 0), 0xFF808080u);  // opacity 0 draws nothing
}

TEST(Canvas, HalfTransparentSourceMixesWithOpaqueTarget) {
  TBitmap red(1, 1);
  red.Clear(0x80FF0000u);
  TBitmap target(1, 1);
  target.Clear(0xFF0000FFu);
  TCanvasScene scene(target.Canvas());
  target.Canvas().DrawBitmap(red, RectF(0, 0, 1, 1), RectF(0, 0, 1, 1), 1.0f);
  // 128/255 of red over blue: red 128, blue 127, still opaque.
  EXPECT_EQ(PixelAt(target, 0, 0), 0xFF80007Fu);
}

TEST(Canvas, DrawIsClippedToTheTargetAndTheDestinationRectangle) {
  TBitmap src(2, 2);
  src.Clear(0xFFFFFFFFu);
  TBitmap target(3, 3);
  TCanvasScene scene(target.Canvas());
  target.Canvas().DrawBitmap(src, RectF(0, 0, 2, 2), RectF(1, 1, 5, 5), 1.0f);
  target.Canvas().DrawBitmap(src, RectF(0, 0, 2, 2), RectF(-100, -100, -50, -50), 1.0f);
  EXPECT_EQ(Pixels(target), (std::vector<TAlphaColor>{0, 0, 0,                          //
                                                      0, 0xFFFFFFFFu, 0xFFFFFFFFu,        //
                                                      0, 0xFFFFFFFFu, 0xFFFFFFFFu}));
}

TEST(Canvas, SourceRectangleSelectsPartOfTheSource) {
  TBitmap src(2, 1);
  Fill(src, {0xFF0000FFu, 0xFFFF0000u});
  TBitmap target(2, 2);
  TCanvasScene scene(target.Canvas());
  // Only the right pixel, stretched; the part beyond the source draws nothing.
  target.Canvas().DrawBitmap(src, RectF(1, 0, 3, 1), RectF(0, 0, 2, 2), 1.0f, false);
  EXPECT_EQ(Pixels(target), (std::vector<TAlphaColor>{0xFFFF0000u, 0, 0xFFFF0000u, 0}));
}

TEST(Canvas, HighSpeedEnlargingRepeatsPixels) {
  TBitmap src(2, 2);
  Fill(src, {1u | 0xFF000000u, 2u | 0xFF000000u, 3u | 0xFF000000u, 4u | 0xFF000000u});
  TBitmap target(4, 2);
  TCanvasScene scene(target.Canvas());
  target.Canvas().DrawBitmap(src, RectF(0, 0, 2, 2), RectF(0, 0, 4, 2), 1.0f, true);
  EXPECT_EQ(Pixels(target), (std::vector<TAlphaColor>{0xFF000001u, 0xFF000001u, 0xFF000002u, 0xFF000002u,  //
                                                      0xFF000003u, 0xFF000003u, 0xFF000004u, 0xFF000004u}));
}

TEST(Canvas, SmoothShrinkingAveragesTheCoveredArea) {
  TBitmap src(4, 1);
  Fill(src, {0xFF0A0A0Au, 0xFF1E1E1Eu, 0xFF646464u, 0xFFC8C8C8u});
  TBitmap target(2, 1);
  TCanvasScene scene(target.Canvas());
  target.Canvas().DrawBitmap(src, RectF(0, 0, 4, 1), RectF(0, 0, 2, 1), 1.0f, false);
  // (10 + 30) / 2 and (100 + 200) / 2
  EXPECT_EQ(Pixels(target), (std::vector<TAlphaColor>{0xFF141414u, 0xFF969696u}));
}

TEST(Canvas, SmoothEnlargingInterpolatesBetweenPixelCentres) {
  TBitmap src(2, 1);
  Fill(src, {0xFF000000u, 0xFFC8C8C8u});
  TBitmap target(4, 1);
  TCanvasScene scene(target.Canvas());
  target.Canvas().DrawBitmap(src, RectF(0, 0, 2, 1), RectF(0, 0, 4, 1), 1.0f, false);
  // Centres fall at -0.25, 0.25, 0.75 and 1.25 source pixels; the edges repeat.
  EXPECT_EQ(Pixels(target), (std::vector<TAlphaColor>{0xFF000000u, 0xFF323232u, 0xFF969696u, 0xFFC8C8C8u}));
}

TEST(Canvas, TransparentNeighboursDoNotDarkenColours) {
  TBitmap src(2, 1);
  Fill(src, {0xFFFF0000u, 0x00000000u});
  TBitmap target(1, 1);
  TCanvasScene scene(target.Canvas());
  target.Canvas().DrawBitmap(src, RectF(0, 0, 2, 1), RectF(0, 0, 1, 1), 1.0f, false);
  // Half covered by pure red: red stays full, only alpha halves.
  EXPECT_EQ(PixelAt(target, 0, 0), 0x80FF0000u);
}

TEST(Canvas, DrawingABitmapOntoItselfReadsTheOriginalPixels) {
  TBitmap bmp(4, 1);
  Fill(bmp, {0xFF000001u, 0xFF000002u, 0xFF000003u, 0xFF000004u});
  TCanvasScene scene(bmp.Canvas());
  bmp.Canvas().DrawBitmap(bmp, RectF(0, 0, 2, 1), RectF(0, 0, 4, 1), 1.0f, true);
  EXPECT_EQ(Pixels(bmp), (std::vector<TAlphaColor>{0xFF000001u, 0xFF000001u, 0xFF000002u, 0xFF000002u}));
}

TEST(Bitmap, ResizeScalesTheContentAndKeepsAUniformColourUniform) {
  TBitmap bmp(37, 23);
  bmp.Clear(0xFF336699u);
  bmp.Resize(100, 7);
  EXPECT_EQ(bmp.Width(), 100);
  EXPECT_EQ(bmp.Height(), 7);
  EXPECT_EQ(Pixels(bmp), std::vector<TAlphaColor>(700, 0xFF336699u));
  bmp.Resize(3, 50);
  EXPECT_EQ(Pixels(bmp), std::vector<TAlphaColor>(150, 0xFF336699u));
  TBitmap empty;
  empty.Resize(2, 2);
  EXPECT_EQ(Pixels(empty), std::vector<TAlphaColor>(4, 0u));
}

TEST(BitmapFile, PngAndBmpRoundTripExactlyWithAlpha) {
  TempDir dir;
  TBitmap bmp(3, 2);
  Fill(bmp, {0xFF102030u, 0x80FF0000u, 0xFF00FF00u, 0x01FFFFFFu, 0xFF0000FFu, 0xC0123456u});
  for (const char* name : {"round.png", "round.bmp", "ROUND.PNG"}) {
    bmp.SaveToFile(dir.File(name));
    TBitmap back;
    back.LoadFromFile(dir.File(name));
    EXPECT_EQ(back.Width(), 3) << name;
    EXPECT_EQ(back.Height(), 2) << name;
    EXPECT_EQ(Pixels(back), Pixels(bmp)) << name;
  }
}

TEST(BitmapFile, JpegRoundTripIsOpaqueAndClose) {
  TempDir dir;
  TBitmap bmp(32, 16);
  {
    TBitmapMapping map(bmp, TMapAccess::Write);
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 32; ++x) map.Data().SetPixel(x, y, 0xFF000000u | (x * 8) << 16 | (y * 16) << 8 | 128);
  }
  for (const char* name : {"photo.jpg", "photo.jpeg"}) {
    bmp.SaveToFile(dir.File(name));
    TBitmap back;
    back.LoadFromFile(dir.File(name));
    ASSERT_EQ(back.Width(), 32);
    const auto a = Pixels(bmp), b = Pixels(back);
    int worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(b[i] >> 24, 0xFFu);
      for (int shift = 0; shift < 24; shift += 8)
        worst = std::max(worst, std::abs(int((a[i] >> shift) & 0xFF) - int((b[i] >> shift) & 0xFF)));
    }
    EXPECT_LE(worst, 12) << name;
  }
}

TEST(BitmapFile, FailuresNameTheFile) {
  TempDir dir;
  TBitmap bmp(1, 1);
  const String missing = dir.File("missing.png");
  EXPECT_EQ(MessageOf<System::Classes::EFOpenError>([&] { bmp.LoadFromFile(missing); }),
            u"Cannot open file \"" + missing + u"\". No such file or directory");
  const String text = dir.File("text.png");
  std::ofstream(System::UTF8Encode(text)) << "not an image at all";
  EXPECT_EQ(MessageOf([&] { bmp.LoadFromFile(text); }),
            u"Cannot load image \"" + text + u"\": not a PNG, JPEG or BMP file");
  const String gif = dir.File("a.gif");
  EXPECT_EQ(MessageOf([&] { bmp.SaveToFile(gif); }),
            u"Cannot save image \"" + gif + u"\": unknown extension \".gif\" (use .png, .jpg, .jpeg or .bmp)");
  const String nowhere = dir.File("no/such/folder/a.png");
  EXPECT_EQ(MessageOf<System::Classes::EFCreateError>([&] { bmp.SaveToFile(nowhere); }),
            u"Cannot create file \"" + nowhere + u"\". No such file or directory");
  const String empty = dir.File("empty.png");
  EXPECT_EQ(MessageOf([&] { TBitmap().SaveToFile(empty); }),
            u"Cannot save image \"" + empty + u"\": the bitmap is empty (0 x 0)");
  EXPECT_EQ(bmp.Width(), 1);  // a failed load leaves the bitmap alone
}

// Both files once made the decoder write past a table or ask for a gigabyte.
TEST(BitmapFile, HostileFilesAreRefusedBeforeDecoding) {
  TempDir dir;
  TBitmap bmp(1, 1);

  // A Huffman table whose code counts add up to 300, more than a table holds.
  Bytes jpeg("\xFF\xD8\xFF\xC4\x01\x3F\x00", 7);
  jpeg += Bytes(14, '\0') + "\x2D\xFF" + Bytes(300, '\x01') + "\xFF\xD9";
  WriteFileBytes(dir.Path("huffman.jpg"), jpeg);
  // The decoder's own words follow: libjpeg's on Linux, WIC's on Windows.
#if defined(_WIN32)
  const String why = u"damaged or unsupported JPEG data (";
#else
  const String why = u"damaged or unsupported JPEG data (Bogus Huffman table definition)";
#endif
  EXPECT_EQ(MessageOf([&] { bmp.LoadFromFile(dir.File("huffman.jpg")); })
                .substr(0, (u"Cannot load image \"" + dir.File("huffman.jpg") + u"\": " + why).size()),
            u"Cannot load image \"" + dir.File("huffman.jpg") + u"\": " + why);

  // A 5 x 3 picture whose image data claims 1 GB in a 55-byte file.
  Bytes png("\x89PNG\r\n\x1A\n", 8);
  png += Bytes("\0\0\0\x0DIHDR\0\0\0\x05\0\0\0\x03\x08\x06\0\0\0\0\0\0\0", 25);
  png += Bytes("\x40\0\0\0IDATx\x9C\0\0\0\0\0\0\0\0\0\0\0\0", 22);
  WriteFileBytes(dir.Path("claim.png"), png);
  EXPECT_EQ(MessageOf([&] { bmp.LoadFromFile(dir.File("claim.png")); }),
            u"Cannot load image \"" + dir.File("claim.png") +
                u"\": the PNG file is truncated: it ends before the picture is complete");
  EXPECT_EQ(bmp.Width(), 1);
}

namespace {

// Straight-from-the-definition resampling, one output pixel at a time in
// doubles: the area each target pixel covers (shrinking) or the two nearest
// source centres (enlarging), colours weighted by alpha.
std::vector<TAlphaColor> ReferenceScale(const std::vector<TAlphaColor>& src, int sw, int sh, int dw, int dh) {
  auto taps = [](int i, int s, int d) {
    std::vector<std::pair<int, double>> out;
    const double k = double(s) / d;
    if (k > 1) {
      const double lo = i * k, hi = (i + 1) * k;
      for (int j = int(lo); j < s && j < hi; ++j) {
        const double part = std::min(hi, j + 1.0) - std::max(lo, double(j));
        if (part > 1e-9) out.push_back({j, part / k});
      }
    } else {
      const double c = (i + 0.5) * k - 0.5;
      const int j = int(std::floor(c));
      const double f = c - j;
      out.push_back({std::clamp(j, 0, s - 1), 1 - f});
      out.push_back({std::clamp(j + 1, 0, s - 1), f});
    }
    return out;
  };
  std::vector<TAlphaColor> out;
  for (int y = 0; y < dh; ++y) {
    for (int x = 0; x < dw; ++x) {
      double sum[4] = {0, 0, 0, 0};
      for (auto [sy, wy] : taps(y, sh, dh)) {
        for (auto [sx, wx] : taps(x, sw, dw)) {
          const TAlphaColor p = src[sy * sw + sx];
          const double a = p >> 24;
          for (int c = 0; c < 3; ++c) sum[c] += wx * wy * a * ((p >> (8 * c)) & 0xFF);
          sum[3] += wx * wy * a;
        }
      }
      TAlphaColor px = TAlphaColor(std::lround(sum[3])) << 24;
      for (int c = 0; c < 3; ++c) px |= TAlphaColor(sum[3] > 0 ? std::lround(sum[c] / sum[3]) : 0) << (8 * c);
      out.push_back(px);
    }
  }
  return out;
}

std::vector<TAlphaColor> RandomPixels(int n, bool opaque) {
  std::vector<TAlphaColor> out(n);
  std::uint32_t s = 2024;
  for (auto& p : out) {
    s = s * 1664525u + 1013904223u;
    p = opaque ? (s | 0xFF000000u) : s | (s >> 31 ? 0xFF000000u : 0u);
  }
  return out;
}

int WorstChannelDifference(const std::vector<TAlphaColor>& a, const std::vector<TAlphaColor>& b) {
  int worst = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    // Where both are fully transparent the colour carries no meaning.
    if ((a[i] >> 24) == 0 && (b[i] >> 24) == 0) continue;
    for (int shift = 0; shift < 32; shift += 8)
      worst = std::max(worst, std::abs(int((a[i] >> shift) & 0xFF) - int((b[i] >> shift) & 0xFF)));
  }
  return worst;
}

}  // namespace

class WideSmoothScaling : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { Fmx::Graphics::Detail::UseBaselineKernels(GetParam()); }
  void TearDown() override { Fmx::Graphics::Detail::UseBaselineKernels(false); }
};

INSTANTIATE_TEST_SUITE_P(Kernels, WideSmoothScaling, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Baseline" : "PickedForThisProcessor"; });

TEST_P(WideSmoothScaling, MatchesTheDefinitionWithinOneStep) {
  // Sizes chosen so that every vector width and every tail length is used,
  // with and without transparency, shrinking and enlarging per axis.
  struct Case {
    int sw, sh, dw, dh;
    bool opaque;
  };
  for (const Case c : {Case{37, 5, 83, 11, true}, Case{83, 11, 37, 5, true}, Case{90, 9, 31, 20, true},
                       Case{37, 5, 83, 11, false}, Case{83, 12, 29, 5, false}, Case{64, 4, 64, 9, true},
                       // Far more source rows per target row than the ring holds: summed in groups.
                       Case{7, 300, 40, 3, true}, Case{7, 300, 5, 3, false},
                       // Tall and thin into wide and flat: the vertical pass goes first.
                       Case{2, 400, 300, 1, true}, Case{3, 500, 200, 2, false}}) {
    const auto pixels = RandomPixels(c.sw * c.sh, c.opaque);
    TBitmap src(c.sw, c.sh);
    Fill(src, pixels);
    TBitmap target(c.dw, c.dh);
    {
      TCanvasScene scene(target.Canvas());
      target.Canvas().DrawBitmap(src, RectF(0, 0, float(c.sw), float(c.sh)), RectF(0, 0, float(c.dw), float(c.dh)),
                                 1.0f, false);
    }
    EXPECT_LE(WorstChannelDifference(Pixels(target), ReferenceScale(pixels, c.sw, c.sh, c.dw, c.dh)), 1)
        << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh << (c.opaque ? " opaque" : " with alpha");
  }
}

namespace {

// The exact colour channels (B, G, R) of an opaque picture enlarged by the
// definition: the two nearest source centres per axis, in doubles.
std::vector<double> ExactEnlarged(const std::vector<TAlphaColor>& src, int sw, int sh, int dw, int dh) {
  auto taps = [](int i, int s, int d) {
    const double c = std::max((i + 0.5) * s / d - 0.5, 0.0);
    const int j = std::min(int(c), s - 1);
    const double f = std::min(c - j, 1.0);
    return std::array<std::pair<int, double>, 2>{{{j, 1 - f}, {std::min(j + 1, s - 1), f}}};
  };
  std::vector<double> out;
  for (int y = 0; y < dh; ++y) {
    for (int x = 0; x < dw; ++x) {
      double sum[3] = {0, 0, 0};
      for (auto [sy, wy] : taps(y, sh, dh))
        for (auto [sx, wx] : taps(x, sw, dw))
          for (int c = 0; c < 3; ++c) sum[c] += wx * wy * ((src[std::size_t(sy) * sw + sx] >> (8 * c)) & 0xFF);
      out.insert(out.end(), sum, sum + 3);
    }
  }
  return out;
}

// How many channels of Got miss the exact value. A channel may go either
// way only when the exact value lies within Slack of a tie; elsewhere it is
// the nearest step, and exact ties go to the even step.
int ChannelsOffTheNearestStep(const std::vector<TAlphaColor>& got, const std::vector<double>& exact, double slack) {
  int off = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    off += (got[i] >> 24) != 0xFF;
    for (int c = 0; c < 3; ++c) {
      const double e = exact[3 * i + c];
      const int g = int((got[i] >> (8 * c)) & 0xFF);
      const bool nearTie = std::abs(e - std::floor(e) - 0.5) < slack;
      off += nearTie ? std::abs(g - e) >= 1.0 : g != int(std::nearbyint(e));
    }
  }
  return off;
}

std::vector<TAlphaColor> Enlarged(const std::vector<TAlphaColor>& pixels, int sw, int sh, int dw, int dh) {
  TBitmap bmp(sw, sh);
  Fill(bmp, pixels);
  bmp.Resize(dw, dh);
  return Pixels(bmp);
}

struct TScaleCase {
  int sw, sh, dw, dh;
};

std::string Describe(const TScaleCase& c) {
  return std::to_string(c.sw) + "x" + std::to_string(c.sh) + " -> " + std::to_string(c.dw) + "x" +
         std::to_string(c.dh);
}

}  // namespace

TEST_P(WideSmoothScaling, EnlargingOpaquePicturesGivesTheNearestStepOfTheExactValue) {
  // Factors from 1.01 to 8, tiny pictures, and target widths on both
  // sides of the vector lengths (4 pixels per block, 32 channels per row
  // step); where the filter weights are exact in binary (factors 2, 4, 8)
  // every channel is the nearest step, ties to even.
  for (const TScaleCase c : {TScaleCase{100, 3, 101, 7}, TScaleCase{37, 5, 83, 11}, TScaleCase{3, 2, 24, 16},
                             TScaleCase{13, 7, 26, 14}, TScaleCase{9, 5, 36, 20}, TScaleCase{29, 11, 31, 13},
                             TScaleCase{7, 9, 52, 9}, TScaleCase{6, 4, 6, 17}, TScaleCase{1, 1, 7, 5},
                             TScaleCase{1, 6, 9, 11}, TScaleCase{5, 1, 33, 3}, TScaleCase{2, 2, 3, 3},
                             TScaleCase{3, 3, 4, 5}, TScaleCase{4, 2, 8, 4}, TScaleCase{4, 4, 15, 5},
                             TScaleCase{8, 3, 16, 4}, TScaleCase{8, 3, 17, 4}, TScaleCase{16, 2, 31, 3},
                             TScaleCase{16, 2, 32, 3}, TScaleCase{16, 2, 33, 3}, TScaleCase{31, 5, 65, 6}}) {
    const auto pixels = RandomPixels(c.sw * c.sh, true);
    const auto exact = ExactEnlarged(pixels, c.sw, c.sh, c.dw, c.dh);
    const auto got = Enlarged(pixels, c.sw, c.sh, c.dw, c.dh);
    // The two filter passes together stay well within 0.05 of a step.
    EXPECT_EQ(ChannelsOffTheNearestStep(got, exact, 0.05), 0) << Describe(c);
    const bool dyadic = (c.dw % c.sw == 0 && ((c.dw / c.sw) & (c.dw / c.sw - 1)) == 0) &&
                        (c.dh % c.sh == 0 && ((c.dh / c.sh) & (c.dh / c.sh - 1)) == 0);
    if (dyadic) {
      EXPECT_EQ(ChannelsOffTheNearestStep(got, exact, 0.0), 0) << Describe(c) << " (exact weights)";
    }
  }
}

TEST(Canvas, EnlargingGivesTheSameBytesOnEveryKernelPath) {
  for (const TScaleCase c : {TScaleCase{37, 5, 83, 11}, TScaleCase{100, 3, 101, 7}, TScaleCase{5, 1, 33, 3},
                             TScaleCase{64, 9, 509, 17}, TScaleCase{3, 40, 257, 41}}) {
    const auto pixels = RandomPixels(c.sw * c.sh, true);
    Fmx::Graphics::Detail::UseBaselineKernels(true);
    const auto baseline = Enlarged(pixels, c.sw, c.sh, c.dw, c.dh);
    Fmx::Graphics::Detail::UseBaselineKernels(false);
    EXPECT_TRUE(Enlarged(pixels, c.sw, c.sh, c.dw, c.dh) == baseline) << Describe(c);
  }
  // Rectangles that start and end inside pixels, up to the source's edges.
  constexpr int kSw = 45, kSh = 13;
  const auto pixels = RandomPixels(kSw * kSh, true);
  TBitmap src(kSw, kSh);
  Fill(src, pixels);
  for (const auto& [from, to] : {std::pair{RectF(0.3f, 0.6f, 44.7f, 12.9f), RectF(1.5f, 0.25f, 130.2f, 40.8f)},
                                 std::pair{RectF(40.1f, 2.5f, 45, 13), RectF(-3.3f, 7.7f, 77.1f, 29.6f)},
                                 std::pair{RectF(-5, -5, 50, 20), RectF(0.5f, 0.5f, 99.5f, 41.5f)}}) {
    std::vector<TAlphaColor> drawn[2];
    for (const bool baseline : {true, false}) {
      Fmx::Graphics::Detail::UseBaselineKernels(baseline);
      TBitmap target(101, 43);
      target.Clear(0xFF808080u);
      {
        TCanvasScene scene(target.Canvas());
        target.Canvas().DrawBitmap(src, from, to, 1.0f, false);
      }
      drawn[baseline] = Pixels(target);
    }
    Fmx::Graphics::Detail::UseBaselineKernels(false);
    EXPECT_TRUE(drawn[0] == drawn[1]) << from.Left << "," << from.Top << " into " << to.Left << "," << to.Top;
    EXPECT_NE(drawn[0], std::vector<TAlphaColor>(drawn[0].size(), 0xFF808080u));
  }
}

TEST_P(WideSmoothScaling, EnlargingPartOfAPictureDrawsThatPartOnlyAndLeavesTheRestAlone) {
  // Integral rectangles, so the part drawn is the crop scaled; crops that
  // end at the source's last column and row read no pixel past them.
  struct Case {
    int x0, y0, x1, y1;  // source rectangle
    int dx, dy, dw, dh;  // target rectangle
  };
  constexpr int kSw = 40, kSh = 30, kTw = 90, kTh = 70;
  constexpr TAlphaColor kBackground = 0xFF102030u;
  const auto pixels = RandomPixels(kSw * kSh, true);
  TBitmap src(kSw, kSh);
  Fill(src, pixels);
  for (const Case c : {Case{0, 0, kSw, kSh, 0, 0, kTw, kTh}, Case{29, 20, kSw, kSh, 3, 5, 61, 33},
                       Case{5, 7, 17, 12, 40, 1, 49, 66}, Case{kSw - 1, 0, kSw, kSh, 0, 0, 9, 70},
                       Case{0, kSh - 2, 13, kSh, 1, 2, 88, 5}}) {
    TBitmap target(kTw, kTh);
    target.Clear(kBackground);
    {
      TCanvasScene scene(target.Canvas());
      target.Canvas().DrawBitmap(src, RectF(float(c.x0), float(c.y0), float(c.x1), float(c.y1)),
                                 RectF(float(c.dx), float(c.dy), float(c.dx + c.dw), float(c.dy + c.dh)), 1.0f, false);
    }
    std::vector<TAlphaColor> crop, inside;
    for (int y = c.y0; y < c.y1; ++y)
      for (int x = c.x0; x < c.x1; ++x) crop.push_back(pixels[std::size_t(y) * kSw + x]);
    const auto all = Pixels(target);
    int touchedOutside = 0;
    for (int y = 0; y < kTh; ++y) {
      for (int x = 0; x < kTw; ++x) {
        const TAlphaColor px = all[std::size_t(y) * kTw + x];
        if (x >= c.dx && x < c.dx + c.dw && y >= c.dy && y < c.dy + c.dh) {
          inside.push_back(px);
        } else {
          touchedOutside += px != kBackground;
        }
      }
    }
    const auto exact = ExactEnlarged(crop, c.x1 - c.x0, c.y1 - c.y0, c.dw, c.dh);
    EXPECT_EQ(touchedOutside, 0) << c.x0 << "," << c.y0 << " into " << c.dx << "," << c.dy;
    EXPECT_EQ(ChannelsOffTheNearestStep(inside, exact, 0.05), 0) << c.x0 << "," << c.y0 << " into " << c.dx << ","
                                                                 << c.dy;
  }
  // At half opacity over an opaque colour: the two colours mixed evenly.
  TBitmap uniform(7, 3);
  uniform.Clear(0xFFC8C8C8u);
  TBitmap target(33, 17);
  target.Clear(0xFF646464u);
  {
    TCanvasScene scene(target.Canvas());
    target.Canvas().DrawBitmap(uniform, RectF(0, 0, 7, 3), RectF(0, 0, 33, 17), 0.5f, false);
  }
  EXPECT_EQ(Pixels(target), std::vector<TAlphaColor>(33 * 17, 0xFF969696u));
}

namespace {

// Rectangles that start and end inside pixels, partly outside the source or
// the target, drawn with every blend, at full and partial opacity.
struct TFractionalDraw {
  System::Types::TRectF Src, Dst;
  int Width, Height;  // of the target
};

std::vector<TFractionalDraw> FractionalDraws(int count, std::uint32_t seed, float srcLo, float srcW, float srcH) {
  std::vector<TFractionalDraw> out;
  auto rnd = [&seed](float lo, float hi) {
    seed = seed * 1664525u + 1013904223u;
    return lo + (hi - lo) * float(seed >> 8) / float(1 << 24);
  };
  for (int i = 0; i < count; ++i) {
    TFractionalDraw d;
    d.Width = 1 + int(rnd(0, 90)), d.Height = 1 + int(rnd(0, 60));
    const float sx = rnd(srcLo, srcW), sy = rnd(srcLo, srcH);
    d.Src = RectF(sx, sy, sx + rnd(0.5f, 19), sy + rnd(0.5f, 13));
    const float dx = rnd(-20, float(d.Width)), dy = rnd(-20, float(d.Height));
    d.Dst = RectF(dx, dy, dx + rnd(0.1f, 120), dy + rnd(0.1f, 90));
    out.push_back(d);
  }
  return out;
}

std::vector<TAlphaColor> DrawOnto(const std::vector<TAlphaColor>& src, int sw, int sh, const TFractionalDraw& d,
                                  TAlphaColor background, float opacity, Fmx::Graphics::Detail::TBlend blend,
                                  System::Types::TRect& drawn) {
  namespace Detail = Fmx::Graphics::Detail;
  std::vector<TAlphaColor> dst(std::size_t(d.Width) * std::size_t(d.Height), background);
  drawn = Detail::DrawScaled(Detail::TPixelSource{src.data(), sw, sh}, d.Src,
                             Detail::TPixelTarget{dst.data(), d.Width, d.Height}, d.Dst, opacity,
                             Detail::TFilter::Smooth, blend);
  return dst;
}

}  // namespace

// Resize no longer zeroes new pixels before drawing, so the rectangle a draw
// reports must be exactly what it wrote: a replacing draw over two different
// backgrounds gives the same pixels inside it, and every draw leaves both
// backgrounds alone outside it.
TEST_P(WideSmoothScaling, DrawsWriteTheWholeRectangleTheyReportAndNothingElse) {
  using Fmx::Graphics::Detail::TBlend;
  constexpr int kSw = 23, kSh = 17;
  constexpr TAlphaColor kBack1 = 0x12345678u, kBack2 = 0xFEDCBA98u;
  for (const bool opaque : {true, false}) {
    const auto src = RandomPixels(kSw * kSh, opaque);
    int i = 0;
    for (const TFractionalDraw& d : FractionalDraws(120, opaque ? 11u : 12u, -3, kSw, kSh)) {
      for (const TBlend blend : {TBlend::Replace, TBlend::SourceOver}) {
        for (const float opacity : {1.0f, 0.6f}) {
          System::Types::TRect r1, r2;
          const auto a = DrawOnto(src, kSw, kSh, d, kBack1, opacity, blend, r1);
          const auto b = DrawOnto(src, kSw, kSh, d, kBack2, opacity, blend, r2);
          ASSERT_EQ(r1, r2);
          ASSERT_TRUE(r1.Width() <= 0 || r1.Height() <= 0 || (r1.Left >= 0 && r1.Top >= 0 && r1.Right <= d.Width && r1.Bottom <= d.Height));
          int unwritten = 0, touchedOutside = 0;
          for (int y = 0; y < d.Height; ++y) {
            for (int x = 0; x < d.Width; ++x) {
              const std::size_t k = std::size_t(y) * std::size_t(d.Width) + std::size_t(x);
              if (x >= r1.Left && x < r1.Right && y >= r1.Top && y < r1.Bottom) {
                unwritten += blend == TBlend::Replace && a[k] != b[k];
              } else {
                touchedOutside += a[k] != kBack1 || b[k] != kBack2;
              }
            }
          }
          EXPECT_EQ(unwritten, 0) << "draw " << i << (opaque ? " opaque" : " translucent") << " opacity " << opacity;
          EXPECT_EQ(touchedOutside, 0) << "draw " << i << (opaque ? " opaque" : " translucent") << " blend "
                                       << int(blend) << " opacity " << opacity;
        }
      }
      ++i;
    }
  }
}

// The fixed-point enlarging against the float filter on the same draws: one
// slightly translucent source pixel sends a draw through floats, and every
// target pixel it does not reach (still opaque) agrees within one step.
TEST_P(WideSmoothScaling, FixedPointAndFloatFilteringAgreeOnRectanglesInsidePixels) {
  using Fmx::Graphics::Detail::TBlend;
  constexpr int kSw = 23, kSh = 17;
  const auto opaque = RandomPixels(kSw * kSh, true);
  auto translucent = opaque;
  translucent[0] = (translucent[0] & 0x00FFFFFFu) | 0xFE000000u;
  int compared = 0, i = 0;
  for (const TFractionalDraw& d : FractionalDraws(200, 99u, -1, 4, 4)) {
    System::Types::TRect r1, r2;
    const auto fixed = DrawOnto(opaque, kSw, kSh, d, 0u, 1.0f, TBlend::Replace, r1);
    const auto floats = DrawOnto(translucent, kSw, kSh, d, 0u, 1.0f, TBlend::Replace, r2);
    EXPECT_EQ(r1, r2) << "draw " << i;
    int worst = 0;
    for (std::size_t k = 0; k < fixed.size(); ++k) {
      if ((floats[k] >> 24) != 0xFF) continue;
      ++compared;
      for (int shift = 0; shift < 32; shift += 8)
        worst = std::max(worst, std::abs(int((fixed[k] >> shift) & 0xFF) - int((floats[k] >> shift) & 0xFF)));
    }
    EXPECT_LE(worst, 1) << "draw " << i;
    ++i;
  }
  EXPECT_GT(compared, 10000);  // the comparison is not vacuous
}

TEST(Bitmap, ResizedPixelsTheDrawCannotReachAreTransparentEvenInReusedMemory) {
  // A freed block of picture size comes back for the next bitmap of that
  // size with its old pixels in it.
  constexpr int kSide = 512;
  for (int round = 0; round < 2; ++round) {
    {
      TBitmap old(kSide, kSide);
      old.Clear(0xFFFFFFFFu);
    }
    TBitmap empty;
    empty.Resize(kSide, kSide);  // nothing to draw from
    const auto px = Pixels(empty);
    EXPECT_EQ(std::count(px.begin(), px.end(), 0u), std::ptrdiff_t(px.size())) << round;
  }
  // One past 2^24 pixels: float edges round the last centre off the draw.
  TBitmap line(1, 1);
  line.Clear(0xFF0A0B0Cu);
  line.Resize((1 << 24) + 1, 1);
  TBitmapMapping map(line);
  EXPECT_EQ(map.Data().GetPixel(0, 0), 0xFF0A0B0Cu);
  EXPECT_EQ(map.Data().GetPixel((1 << 24) - 1, 0), 0xFF0A0B0Cu);
  EXPECT_EQ(map.Data().GetPixel(1 << 24, 0), 0u);
}

TEST(Canvas, ScalingLeavesTheUpperVectorHalvesClear) {
  if (!UpperVectorHalvesInUse().has_value()) GTEST_SKIP() << "the processor cannot tell";
  // One draw per filter and its kernels: fixed point up, floats down, floats
  // up with transparency; sizes with ragged tails, so each kernel hands its
  // last pixels to the baseline code before it returns.
  struct Case {
    int sw, sh, dw, dh;
    bool opaque;
  };
  for (const Case c : {Case{61, 33, 131, 70, true}, Case{131, 70, 61, 33, true}, Case{61, 33, 131, 70, false},
                       Case{131, 70, 61, 33, false}, Case{61, 33, 61, 70, true}}) {
    TBitmap bmp(c.sw, c.sh);
    Fill(bmp, RandomPixels(c.sw * c.sh, c.opaque));
    ClearUpperVectorHalves();
    bmp.Resize(c.dw, c.dh);
    EXPECT_EQ(UpperVectorHalvesInUse(), std::optional<bool>(false))
        << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh << (c.opaque ? " opaque" : " with alpha");
  }
}

TEST(Bitmap, ExtremeReshapingNeedsMemoryForAFewRowsNotForEveryTap) {
  // 1 x 100000 into 100000 x 1 once asked for 100001 rows of 100000 pixels
  // of working memory (std::bad_alloc); each target pixel is the mean of the
  // whole column.
  struct Case {
    int sw, sh, dw, dh;
  };
  for (const Case c : {Case{1, 100000, 100000, 1}, Case{100000, 1, 1, 100000}, Case{64, 40000, 64, 1}}) {
    TBitmap bmp(c.sw, c.sh);
    {
      TBitmapMapping map(bmp, TMapAccess::Write);
      for (int y = 0; y < c.sh; ++y) {
        auto* row = reinterpret_cast<TAlphaColor*>(map.WritableScanline(y));
        for (int x = 0; x < c.sw; ++x) row[x] = (x + y) % 2 ? 0xFF6496C8u : 0xFF2050A0u;
      }
    }
    bmp.Resize(c.dw, c.dh);
    ASSERT_EQ(bmp.Width(), c.dw);
    const std::vector<TAlphaColor> got = Pixels(bmp);
    // Halfway between the two colours: (0x64 + 0x20) / 2 = 0x42, and so on.
    EXPECT_EQ(WorstChannelDifference(got, std::vector<TAlphaColor>(got.size(), 0xFF4273B4u)), 0)
        << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
  }
}

TEST(Canvas, DegenerateRectanglesDrawNothingOrStayInsideTheSource) {
  TBitmap src(100, 1);
  src.Clear(0xFF204060u);
  TBitmap target(3, 1);
  TCanvasScene scene(target.Canvas());
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  target.Canvas().DrawBitmap(src, RectF(0, 0, 100, 1), RectF(-inf, 0, inf, 1), 1.0f);
  target.Canvas().DrawBitmap(src, RectF(0, 0, nan, 1), RectF(0, 0, 3, 1), 1.0f);
  target.Canvas().DrawBitmap(src, RectF(5, 0, 5, 1), RectF(0, 0, 3, 1), 1.0f);  // empty source
  target.Canvas().DrawBitmap(src, RectF(0, 0, 100, 1), RectF(3, 0, 1, 1), 1.0f);  // inverted target
  EXPECT_EQ(Pixels(target), std::vector<TAlphaColor>(3, 0u));
  // The whole source squeezed into a sliver that covers one pixel centre.
  target.Canvas().DrawBitmap(src, RectF(0, 0, 100, 1), RectF(1.4f, 0, 1.6f, 1), 1.0f);
  EXPECT_EQ(Pixels(target), (std::vector<TAlphaColor>{0, 0xFF204060u, 0}));
  // Far outside, at scales that would overflow integer pixel indices.
  target.Canvas().DrawBitmap(src, RectF(0, 0, 100, 1), RectF(-3e9f, 0, 3e9f, 1), 1.0f);
  EXPECT_EQ(Pixels(target), std::vector<TAlphaColor>(3, 0xFF204060u));
}
