// The four vision components end to end on the reference vision backend,
// found the default way (ANY_DLL_PATH empty: beside libCorvina.so), on
// generated scenes with a known answer and on real photographs.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "framework/graphics.h"
#include "tests/support/reference_vision_components.h"

using namespace Corvina::Testing;
using Anything::TDrOBB;
using Fmx::Graphics::TBitmap;
using Fmx::Graphics::TBitmapMapping;
using Fmx::Graphics::TMapAccess;

namespace {

struct TRgb {
  int R, G, B;
};

// A fine two-tone texture with a little deterministic noise, so that nothing
// in the background is flat.
TRgb Background(int x, int y) {
  const unsigned hash = (static_cast<unsigned>(x) * 73856093u) ^ (static_cast<unsigned>(y) * 19349663u);
  const int noise = static_cast<int>(hash % 17u);
  const bool stripe = ((x / 6) + (y / 6)) % 2 == 0;
  return stripe ? TRgb{70 + noise, 120 + noise, 60 + noise} : TRgb{110 + noise, 150 + noise, 90 + noise};
}

void Put(TBitmapMapping& map, int x, int y, TRgb c) {
  reinterpret_cast<std::uint32_t*>(map.WritableScanline(y))[x] =
      0xFF000000u | std::uint32_t(c.R) << 16 | std::uint32_t(c.G) << 8 | std::uint32_t(c.B);
}

TRgb Get(const TBitmapMapping& map, int x, int y) {
  const std::uint32_t v = reinterpret_cast<const std::uint32_t*>(map.Scanline(y))[x];
  return {int(v >> 16 & 255), int(v >> 8 & 255), int(v & 255)};
}

// A saturated red disc on the texture.
struct TDiscScene {
  int Width = 320, Height = 240, Cx = 150, Cy = 115, Radius = 55;
  bool Inside(int x, int y) const { return (x - Cx) * (x - Cx) + (y - Cy) * (y - Cy) <= Radius * Radius; }
  std::unique_ptr<TBitmap> Picture() const {
    auto bmp = std::make_unique<TBitmap>(Width, Height);
    TBitmapMapping map(*bmp, TMapAccess::Write);
    for (int y = 0; y < Height; ++y)
      for (int x = 0; x < Width; ++x) Put(map, x, y, Inside(x, y) ? TRgb{220, 30, 40} : Background(x, y));
    return bmp;
  }
  // White over the disc grown by margin pixels, black elsewhere.
  std::unique_ptr<TBitmap> Mask(int margin) const {
    auto bmp = std::make_unique<TBitmap>(Width, Height);
    TBitmapMapping map(*bmp, TMapAccess::Write);
    const int r = Radius + margin;
    for (int y = 0; y < Height; ++y)
      for (int x = 0; x < Width; ++x) {
        const bool in = (x - Cx) * (x - Cx) + (y - Cy) * (y - Cy) <= r * r;
        Put(map, x, y, in ? TRgb{255, 255, 255} : TRgb{0, 0, 0});
      }
    return bmp;
  }
};

double IoU(const TBitmap& mask, const TDiscScene& scene) {
  TBitmapMapping map(mask);
  std::int64_t both = 0, either = 0;
  for (int y = 0; y < mask.Height(); ++y)
    for (int x = 0; x < mask.Width(); ++x) {
      const bool m = Get(map, x, y).R > 127;
      const bool d = scene.Inside(x, y);
      both += m && d;
      either += m || d;
    }
  return either ? double(both) / double(either) : 0.0;
}

class VisionReference : public ReferenceVisionComponents {};

}  // namespace

TEST_F(VisionReference, TheDefaultLookupFindsTheReferenceBackendBesideThePackage) {
  auto sam = ReferenceSam();  // loads on construction
  Dl_info info{};
  ASSERT_NE(::dladdr(reinterpret_cast<const void*>(Anything::sam_init), &info), 0);
  Dl_info package{};
  ASSERT_NE(::dladdr(reinterpret_cast<const void*>(&Anything::Fmx::LoadAnyLibs), &package), 0);
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::path(info.dli_fname).filename(), "libsam2.so");
  EXPECT_EQ(fs::canonical(fs::path(info.dli_fname).parent_path()),
            fs::canonical(fs::path(package.dli_fname).parent_path()));
}

TEST_F(VisionReference, PointAndBoxPromptsMaskTheDisc) {
  const TDiscScene scene;
  auto picture = scene.Picture();
  auto sam = ReferenceSam();
  sam->LoadImage(picture.get());
  sam->AddPoint({scene.Cx, scene.Cy});
  const TBitmap* pointMask = sam->GetPointMask();
  ASSERT_EQ(pointMask->Width(), scene.Width);
  EXPECT_GT(IoU(*pointMask, scene), 0.8);
  sam->Clear();
  sam->AddRect({scene.Cx - scene.Radius - 6, scene.Cy - scene.Radius - 6, scene.Cx + scene.Radius + 6,
                scene.Cy + scene.Radius + 6});
  EXPECT_GT(IoU(*sam->GetRectMask(), scene), 0.8);
}

TEST_F(VisionReference, TheTrackerFollowsAMovingSquare) {
  const int w = 320, h = 240, side = 40;
  auto frameAt = [&](int i, int& left, int& top) {
    left = 40 + 6 * i;
    top = 60 + 3 * i + static_cast<int>(10 * std::sin(i * 0.3));
    auto bmp = std::make_unique<TBitmap>(w, h);
    TBitmapMapping map(*bmp, TMapAccess::Write);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const bool in = x >= left && x < left + side && y >= top && y < top + side;
        const bool cross = in && (std::abs(x - left - side / 2) < 4 || std::abs(y - top - side / 2) < 4);
        Put(map, x, y, cross ? TRgb{250, 250, 40} : in ? TRgb{30, 40, 200} : Background(x, y));
      }
    return bmp;
  };
  auto tracker = ReferenceTracker();
  int left = 0, top = 0;
  auto first = frameAt(0, left, top);
  tracker->InitTrack(first.get(), {left, top, left + side, top + side});
  double worst = 0;
  for (int i = 1; i <= 30; ++i) {
    auto frame = frameAt(i, left, top);
    TDrOBB box{};
    tracker->Track(frame.get(), &box);
    const double cx = (box.box.x0 + box.box.x1) / 2, cy = (box.box.y0 + box.box.y1) / 2;
    const double error = std::hypot(cx - (left + side / 2.0), cy - (top + side / 2.0));
    worst = std::max(worst, error);
    EXPECT_LT(error, 5.0) << "frame " << i;
    EXPECT_EQ(box.class_id, 0);
  }
  RecordProperty("worst_centre_error_px", std::to_string(worst));
}

TEST_F(VisionReference, RemovalChangesOnlyTheMaskedRegionAndErasesTheDisc) {
  const TDiscScene scene;
  auto picture = scene.Picture();
  auto mask = scene.Mask(4);
  auto remover = ReferenceRemover();
  auto result = remover->RemoveAnything(picture.get(), mask.get());
  ASSERT_EQ(result->Width(), scene.Width);
  ASSERT_EQ(result->Height(), scene.Height);
  TBitmapMapping before(*picture), after(*result);
  int changedOutside = 0, redInside = 0, inside = 0;
  for (int y = 0; y < scene.Height; ++y)
    for (int x = 0; x < scene.Width; ++x) {
      const TRgb a = Get(before, x, y), b = Get(after, x, y);
      const int dx = x - scene.Cx, dy = y - scene.Cy, r = scene.Radius + 4;
      if (dx * dx + dy * dy > r * r) {
        changedOutside += a.R != b.R || a.G != b.G || a.B != b.B;
      } else {
        ++inside;
        redInside += b.R > 180 && b.G < 80;
      }
    }
  EXPECT_EQ(changedOutside, 0);
  EXPECT_LT(redInside, inside / 20);  // the disc is gone from its region
}

TEST_F(VisionReference, BackgroundReplacementKeepsTheDiscAndReplacesTheRest) {
  const TDiscScene scene;
  auto picture = scene.Picture();
  TBitmap blue(64, 48);
  {
    TBitmapMapping map(blue, TMapAccess::Write);
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) Put(map, x, y, {10, 20, 230});
  }
  auto replacer = ReferenceReplacer();
  auto result = replacer->ReplaceBackground(picture.get(), &blue);
  ASSERT_EQ(result->Width(), 320);
  ASSERT_EQ(result->Height(), 240);
  TBitmapMapping map(*result);
  int discKept = 0, disc = 0, replaced = 0, far = 0;
  for (int y = 0; y < 240; ++y)
    for (int x = 0; x < 320; ++x) {
      const TRgb c = Get(map, x, y);
      const int d2 = (x - scene.Cx) * (x - scene.Cx) + (y - scene.Cy) * (y - scene.Cy);
      if (d2 < (scene.Radius - 8) * (scene.Radius - 8)) {
        ++disc;
        discKept += c.R > 180 && c.B < 90;
      } else if (d2 > (scene.Radius + 30) * (scene.Radius + 30)) {
        ++far;
        replaced += c.B > 180 && c.R < 60;
      }
    }
  EXPECT_GT(discKept, disc * 9 / 10);
  EXPECT_GT(replaced, far * 9 / 10);
}

TEST_F(VisionReference, EveryFamilyGivesPlausibleOutputsOnRealPhotographs) {
  const std::string data = "/usr/lib/python3/dist-packages/skimage/data/";
  auto sam = ReferenceSam();
  auto tracker = ReferenceTracker();
  auto remover = ReferenceRemover();
  auto replacer = ReferenceReplacer();
  for (const char* name : {"chelsea.png", "coffee.png", "astronaut.png"}) {
    SCOPED_TRACE(name);
    TBitmap photo;
    photo.LoadFromFile(System::UTF8ToString(data + name));
    photo.Resize(photo.Width() / 2 + 1, photo.Height() / 2 + 1);  // odd sizes: ReplaceBackground rounds them
    const int w = photo.Width(), h = photo.Height();
    ASSERT_GT(w, 100);
    sam->LoadImage(&photo);
    sam->Clear();
    sam->AddPoint({w / 2, h / 2});
    const TBitmap* mask = sam->GetPointMask();
    EXPECT_EQ(mask->Width(), w);
    EXPECT_EQ(mask->Height(), h);
    {
      TBitmapMapping m(*mask);
      std::int64_t on = 0;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) on += Get(m, x, y).R > 127;
      EXPECT_GT(on, 0);
      EXPECT_LT(on, std::int64_t{w} * h);
    }
    // The photo itself, then a copy shifted by 4 pixels: the box follows.
    tracker->InitTrack(&photo, {w / 2 - 40, h / 2 - 40, w / 2 + 40, h / 2 + 40});
    TBitmap shifted(w, h);
    {
      TBitmapMapping src(photo), dst(shifted, TMapAccess::Write);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) Put(dst, x, y, Get(src, std::max(0, x - 4), y));
    }
    TDrOBB box{};
    tracker->Track(&shifted, &box);
    EXPECT_NEAR((box.box.x0 + box.box.x1) / 2, w / 2.0 + 4, 8.0);
    EXPECT_NEAR((box.box.y0 + box.box.y1) / 2, h / 2.0, 8.0);
    TBitmap hole(w, h);
    {
      TBitmapMapping m(hole, TMapAccess::Write);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const bool in = std::abs(x - w / 2) < w / 10 && std::abs(y - h / 2) < h / 10;
          Put(m, x, y, in ? TRgb{255, 255, 255} : TRgb{0, 0, 0});
        }
    }
    auto removed = remover->RemoveAnything(&photo, &hole);
    EXPECT_EQ(removed->Width(), w);
    EXPECT_EQ(removed->Height(), h);
    TBitmap background(100, 60);
    background.Clear(0xFF2040E0);
    auto replaced = replacer->ReplaceBackground(&photo, &background);
    EXPECT_EQ(replaced->Width(), (w + 7) / 8 * 8);
    EXPECT_EQ(replaced->Height(), (h + 7) / 8 * 8);
  }
}
