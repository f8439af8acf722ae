#include "utils/bitmaps.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "framework/exceptions.h"
#include "framework/kernels.h"
#include "tests/support/bitmap_support.h"
#include "tests/support/test_support.h"
#include "tests/support/vector_state.h"

using namespace Corvina::Testing;
using Fmx::Graphics::TBitmap;
using Fmx::Graphics::TBitmapMapping;
using Fmx::Graphics::TMapAccess;
using System::String;
using System::Uitypes::TAlphaColor;

TEST(GrayToBitmap, GrayLevelsBecomeOpaqueGrey) {
  const std::uint8_t gray[] = {0, 128, 255, 1};
  TBitmap bmp(4, 1);
  Utils::GrayToBitmap(gray, bmp);
  EXPECT_EQ(Pixels(bmp), (std::vector<TAlphaColor>{0xFF000000u, 0xFF808080u, 0xFFFFFFFFu, 0xFF010101u}));
}

TEST(GrayToBitmap, ReadsTheBufferRowByRow) {
  const std::uint8_t gray[] = {10, 20, 30, 40, 50, 60};
  TBitmap bmp(3, 2);
  Utils::GrayToBitmap(gray, bmp);
  TBitmapMapping map(bmp);
  EXPECT_EQ(map.Data().GetPixel(2, 0), 0xFF1E1E1Eu);  // byte 2
  EXPECT_EQ(map.Data().GetPixel(0, 1), 0xFF282828u);  // byte 3
  EXPECT_EQ(map.Data().GetPixel(2, 1), 0xFF3C3C3Cu);  // byte 5
}

TEST(GrayToBitmap, WideRowsConvertEveryPixel) {
  // Long enough for any vector width plus a ragged tail.
  std::vector<std::uint8_t> gray(2 * 67);
  for (std::size_t i = 0; i < gray.size(); ++i) gray[i] = static_cast<std::uint8_t>(i * 7);
  TBitmap bmp(67, 2);
  Utils::GrayToBitmap(gray.data(), bmp);
  const auto px = Pixels(bmp);
  EXPECT_EQ(px[66], 0xFFCECECEu);   // 462 wraps to 206
  EXPECT_EQ(px[100], 0xFFBCBCBCu);  // 700 wraps to 188
  EXPECT_EQ(px[133], 0xFFA3A3A3u);  // 931 wraps to 163
}

TEST(MatToBitmap, EachByteGoesToItsOwnChannel) {
  const std::uint8_t bgr[] = {1, 2, 3, 10, 20, 30, 0, 0, 255, 255, 255, 255};
  TBitmap bmp(2, 2);
  Utils::MatToBitmap(bgr, bmp);
  EXPECT_EQ(Pixels(bmp), (std::vector<TAlphaColor>{0xFF030201u, 0xFF1E140Au, 0xFFFF0000u, 0xFFFFFFFFu}));
}

TEST(MatToBitmap, WideRowsKeepTheirOrder) {
  std::vector<std::uint8_t> bgr(3 * 35 * 3);
  for (std::size_t i = 0; i < bgr.size(); ++i) bgr[i] = static_cast<std::uint8_t>(i);
  TBitmap bmp(35, 3);
  Utils::MatToBitmap(bgr.data(), bmp);
  TBitmapMapping map(bmp);
  // Pixel (34, 2) has index 104: bytes 312, 313, 314 wrap to 56, 57, 58.
  EXPECT_EQ(map.Data().GetPixel(34, 2), 0xFF3A3938u);
  EXPECT_EQ(map.Data().GetPixel(0, 1), 0xFF6B6A69u);  // index 35: bytes 105..107
}

TEST(BufferConversions, EmptyBitmapsReadNothing) {
  for (auto [w, h] : {std::pair{0, 0}, std::pair{5, 0}, std::pair{0, 3}}) {
    TBitmap bmp(w, h);
    // A null source proves no byte is read (ASan would see it).
    EXPECT_NO_THROW(Utils::GrayToBitmap(nullptr, bmp));
    EXPECT_NO_THROW(Utils::MatToBitmap(nullptr, bmp));
    EXPECT_FALSE(bmp.IsMapped());
  }
}

TEST(BufferConversions, NullSourceForAPictureRaisesBeforeMapping) {
  TBitmap bmp(3, 2);
  EXPECT_EQ(MessageOf([&] { Utils::GrayToBitmap(nullptr, bmp); }),
            u"GrayToBitmap: the source buffer is nil for a 3 x 2 bitmap");
  EXPECT_EQ(MessageOf([&] { Utils::MatToBitmap(nullptr, bmp); }),
            u"MatToBitmap: the source buffer is nil for a 3 x 2 bitmap");
  EXPECT_FALSE(bmp.IsMapped());
}

TEST(BufferConversions, LeaveTheBitmapUnmappedAndRefuseAMappedOne) {
  const std::uint8_t bgr[3] = {1, 2, 3};
  TBitmap bmp(1, 1);
  Utils::MatToBitmap(bgr, bmp);
  EXPECT_FALSE(bmp.IsMapped());
  TBitmapMapping busy(bmp, TMapAccess::Read);
  EXPECT_EQ(MessageOf([&] { Utils::GrayToBitmap(bgr, bmp); }), u"GrayToBitmap: the bitmap is mapped; unmap it first");
  EXPECT_EQ(MessageOf([&] { Utils::MatToBitmap(bgr, bmp); }), u"MatToBitmap: the bitmap is mapped; unmap it first");
  EXPECT_TRUE(bmp.IsMapped());  // the caller's mapping is untouched
}

TEST(StretchBitmap, KeepsTheObjectAndTakesTheNewSize) {
  TBitmap bmp(37, 23);
  bmp.Clear(0xFF336699u);
  TBitmap* const before = &bmp;
  Utils::StretchBitmap(bmp, 100, 7);
  EXPECT_EQ(&bmp, before);
  EXPECT_EQ(bmp.Width(), 100);
  EXPECT_EQ(bmp.Height(), 7);
  // A uniform colour stays exactly uniform, up and down.
  EXPECT_EQ(Pixels(bmp), std::vector<TAlphaColor>(700, 0xFF336699u));
  Utils::StretchBitmap(bmp, 9, 61);
  EXPECT_EQ(Pixels(bmp), std::vector<TAlphaColor>(9 * 61, 0xFF336699u));
}

TEST(StretchBitmap, SameSizeIsAnExactCopy) {
  std::vector<std::uint8_t> bgr(3 * 5 * 4);
  for (std::size_t i = 0; i < bgr.size(); ++i) bgr[i] = static_cast<std::uint8_t>(i * 37);
  TBitmap bmp(5, 4);
  Utils::MatToBitmap(bgr.data(), bmp);
  const auto before = Pixels(bmp);
  Utils::StretchBitmap(bmp, 5, 4);
  EXPECT_EQ(Pixels(bmp), before);
}

TEST(StretchBitmap, OtherAspectRatioDistortsAndNeverPads) {
  // Left half blue, right half red, stretched into a tall square.
  const std::uint8_t bgr[] = {255, 0, 0, 255, 0, 0, 0, 0, 255, 0, 0, 255,
                              255, 0, 0, 255, 0, 0, 0, 0, 255, 0, 0, 255};
  TBitmap bmp(4, 2);
  Utils::MatToBitmap(bgr, bmp);
  Utils::StretchBitmap(bmp, 8, 8);
  TBitmapMapping map(bmp);
  for (int y = 0; y < 8; ++y) {
    EXPECT_EQ(map.Data().GetPixel(0, y), 0xFF0000FFu) << y;  // full height: no bars
    EXPECT_EQ(map.Data().GetPixel(7, y), 0xFFFF0000u) << y;
    EXPECT_EQ(map.Data().GetPixel(3, y) >> 24, 0xFFu) << y;  // the seam blends, still opaque
  }
}

TEST(StretchBitmap, ShrinkingAveragesBlocks) {
  // 4 x 4 of 2 x 2 blocks of 0/100 and 200/50 grey, shrunk to 2 x 2.
  const std::uint8_t gray[] = {0, 100, 200, 200, 100, 0, 200, 200, 50, 50, 10, 30, 50, 50, 30, 10};
  TBitmap bmp(4, 4);
  Utils::GrayToBitmap(gray, bmp);
  Utils::StretchBitmap(bmp, 2, 2);
  EXPECT_EQ(Pixels(bmp), (std::vector<TAlphaColor>{0xFF323232u, 0xFFC8C8C8u, 0xFF323232u, 0xFF141414u}));
}

TEST(StretchBitmap, GivesWhatASmoothDrawOntoANewBitmapGives) {
  // Pixels of every kind of alpha, enlarged, shrunk, kept and emptied; the
  // new bitmap's memory may be a freed picture's, so nothing of an earlier
  // picture may show through either.
  struct Case {
    int sw, sh, dw, dh;
  };
  for (const Case c : {Case{37, 23, 100, 57}, Case{37, 23, 11, 5}, Case{37, 23, 37, 23}, Case{37, 23, 37, 60},
                       Case{1, 1, 300, 300}, Case{0, 0, 300, 300}, Case{300, 300, 1, 1}, Case{300, 1, 2, 300}}) {
    std::vector<TAlphaColor> pixels(std::size_t(c.sw) * c.sh);
    std::uint32_t s = 99;
    for (auto& p : pixels) {
      s = s * 1664525u + 1013904223u;
      p = (s >> 8) | ((s >> 29) % 3 == 0 ? 0u : (s >> 29) % 3 == 1 ? 0xFF000000u : s << 24);
    }
    TBitmap bmp(c.sw, c.sh);
    if (!pixels.empty()) Fill(bmp, pixels);
    TBitmap drawn(c.dw, c.dh);
    {
      Fmx::Graphics::TCanvasScene scene(drawn.Canvas());
      drawn.Canvas().DrawBitmap(bmp, System::Types::RectF(0, 0, float(c.sw), float(c.sh)),
                                System::Types::RectF(0, 0, float(c.dw), float(c.dh)), 1.0f, false);
    }
    {
      TBitmap previous(c.dw, c.dh);
      previous.Clear(0xFFFFFFFFu);
    }
    Utils::StretchBitmap(bmp, c.dw, c.dh);
    EXPECT_TRUE(Pixels(bmp) == Pixels(drawn)) << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
  }
}

TEST(Bitmaps, ConversionsAndStretchingLeaveTheUpperVectorHalvesClear) {
  if (!UpperVectorHalvesInUse().has_value()) GTEST_SKIP() << "the processor cannot tell";
  // Ragged widths: each kernel hands its last pixels to baseline code.
  constexpr int kW = 203, kH = 41;
  const std::vector<std::uint8_t> bytes(std::size_t(3) * kW * kH, 77);
  const std::vector<std::pair<const char*, std::function<void(TBitmap&)>>> operations = {
      {"GrayToBitmap", [&](TBitmap& bmp) { Utils::GrayToBitmap(bytes.data(), bmp); }},
      {"MatToBitmap", [&](TBitmap& bmp) { Utils::MatToBitmap(bytes.data(), bmp); }},
      {"StretchBitmap up", [](TBitmap& bmp) { Utils::StretchBitmap(bmp, 2 * kW + 1, 2 * kH + 3); }},
      {"StretchBitmap down", [](TBitmap& bmp) { Utils::StretchBitmap(bmp, kW / 3, kH / 3); }}};
  for (const auto& [name, operation] : operations) {
    TBitmap bmp(kW, kH);
    bmp.Clear(0xFF204080u);
    ClearUpperVectorHalves();
    operation(bmp);
    EXPECT_EQ(UpperVectorHalvesInUse(), std::optional<bool>(false)) << name;
  }
}

TEST(StretchBitmap, InvalidSizeRaisesAndLeavesTheBitmapAlone) {
  TBitmap bmp(2, 2);
  bmp.Clear(0xFF010203u);
  EXPECT_EQ(MessageOf([&] { Utils::StretchBitmap(bmp, -4, 4); }),
            u"StretchBitmap: NewWidth and NewHeight must be 0 or more, got -4 x 4");
  EXPECT_EQ(MessageOf([&] { Utils::StretchBitmap(bmp, 536870912, 1); }),
            u"StretchBitmap: NewWidth must be at most 536870911, got 536870912");
  EXPECT_EQ(bmp.Width(), 2);
  EXPECT_EQ(Pixels(bmp), std::vector<TAlphaColor>(4, 0xFF010203u));
  Utils::StretchBitmap(bmp, 0, 0);
  EXPECT_TRUE(bmp.IsEmpty());
}

TEST(StretchBitmap, MappedBitmapRaisesAndStaysMapped) {
  TBitmap bmp(2, 2);
  TBitmapMapping busy(bmp, TMapAccess::Read);
  EXPECT_EQ(MessageOf([&] { Utils::StretchBitmap(bmp, 4, 4); }), u"StretchBitmap: the bitmap is mapped; unmap it first");
  EXPECT_EQ(bmp.Width(), 2);
  EXPECT_TRUE(bmp.IsMapped());
}

TEST(RoundUpTo8, RoundsToTheNextMultipleOfEight) {
  const std::pair<int, int> table[] = {{0, 0}, {1, 8}, {7, 8}, {8, 8}, {9, 16}, {641, 648}, {2147483633, 2147483640},
                                       {2147483640, 2147483640}};
  for (auto [in, out] : table) EXPECT_EQ(Utils::RoundUpTo8(in), out) << in;
}

TEST(RoundUpTo8, ValuesThatCannotBeRoundedRaise) {
  EXPECT_EQ(MessageOf([] { Utils::RoundUpTo8(-1); }), u"RoundUpTo8: value -1 is outside 0..2147483640");
  EXPECT_EQ(MessageOf([] { Utils::RoundUpTo8(2147483641); }),
            u"RoundUpTo8: value 2147483641 is outside 0..2147483640");
  EXPECT_EQ(MessageOf([] { Utils::RoundUpTo8(INT_MAX); }), u"RoundUpTo8: value 2147483647 is outside 0..2147483640");
  EXPECT_EQ(MessageOf([] { Utils::RoundUpTo8(INT_MIN); }), u"RoundUpTo8: value -2147483648 is outside 0..2147483640");
}

namespace {

std::vector<std::uint8_t> RandomBytes(std::size_t n) {
  std::vector<std::uint8_t> out(n);
  std::uint32_t s = 7;
  for (auto& b : out) {
    s = s * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(s >> 24);
  }
  return out;
}

// Runs the conversion with the kernels picked for this processor and with
// the baseline ones.
template <class Convert>
std::pair<std::vector<TAlphaColor>, std::vector<TAlphaColor>> BothKernels(int w, int h, Convert convert) {
  TBitmap best(w, h), baseline(w, h);
  convert(best);
  Fmx::Graphics::Detail::UseBaselineKernels(true);
  convert(baseline);
  Fmx::Graphics::Detail::UseBaselineKernels(false);
  return {Pixels(best), Pixels(baseline)};
}

}  // namespace

TEST(BufferConversions, EveryKernelGivesTheSameResultForEveryLength) {
  for (auto [w, h] : {std::pair{1, 1}, {15, 1}, {16, 1}, {17, 3}, {27, 1}, {31, 2}, {33, 7}, {1000, 3}}) {
    const auto gray = RandomBytes(std::size_t(w) * h);
    const auto bgr = RandomBytes(std::size_t(w) * h * 3);
    const auto g = BothKernels(w, h, [&](TBitmap& b) { Utils::GrayToBitmap(gray.data(), b); });
    EXPECT_EQ(g.first, g.second) << "gray " << w << "x" << h;
    const auto m = BothKernels(w, h, [&](TBitmap& b) { Utils::MatToBitmap(bgr.data(), b); });
    EXPECT_EQ(m.first, m.second) << "bgr " << w << "x" << h;
    // The last pixel of the buffer lands in the last pixel of the bitmap.
    EXPECT_EQ(m.first.back(), 0xFF000000u | std::uint32_t(bgr[bgr.size() - 1]) << 16 |
                                  std::uint32_t(bgr[bgr.size() - 2]) << 8 | bgr[bgr.size() - 3]);
  }
}

TEST(BufferConversions, PicturesLargerThanTheCachesConvertEveryPixel) {
  // Large enough for the path that writes around the caches.
  const int w = 4096, h = 2048;
  const std::size_t n = std::size_t(w) * h;
  std::vector<std::uint8_t> gray(n, 0x5A);
  gray[0] = 1;
  gray[n / 2 + 3] = 2;
  gray[n - 1] = 3;
  std::vector<std::uint8_t> bgr(3 * n, 0x5A);
  bgr[0] = 0x10;                  // blue of the first pixel
  bgr[3 * (n - 1) + 2] = 0x20;    // red of the last pixel
  TBitmap bmp(w, h);
  Utils::GrayToBitmap(gray.data(), bmp);
  {
    TBitmapMapping map(bmp);
    const auto* px = reinterpret_cast<const std::uint32_t*>(map.Data().Data);
    std::size_t others = 0;
    for (std::size_t i = 0; i < n; ++i) others += px[i] == 0xFF5A5A5Au;
    EXPECT_EQ(others, n - 3);
    EXPECT_EQ(px[0], 0xFF010101u);
    EXPECT_EQ(px[n / 2 + 3], 0xFF020202u);
    EXPECT_EQ(px[n - 1], 0xFF030303u);
  }
  Utils::MatToBitmap(bgr.data(), bmp);
  TBitmapMapping map(bmp);
  const auto* px = reinterpret_cast<const std::uint32_t*>(map.Data().Data);
  std::size_t others = 0;
  for (std::size_t i = 0; i < n; ++i) others += px[i] == 0xFF5A5A5Au;
  EXPECT_EQ(others, n - 2);
  EXPECT_EQ(px[0], 0xFF5A5A10u);
  EXPECT_EQ(px[n - 1], 0xFF205A5Au);
}
