// Pictures between bitmaps and the diffusion library: every pixel and channel
// converted, refusals with clear messages, and the Canny edge map that never
// hands the library a picture it cannot survive.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "framework/kernels.h"
#include "generation/sd_fmx.h"
#include "tests/fakes/sd_fake.h"
#include "tests/support/bitmap_support.h"
#include "tests/support/test_support.h"
#include "tests/support/vector_state.h"

namespace {

using namespace Sd::Fmx;
using Corvina::Fakes::TFakeSd;
using Corvina::Testing::MessageOf;
using Corvina::Testing::Pixels;
using System::String;
using System::Uitypes::TAlphaColor;

// Every test runs with the fast kernels and again with the baseline ones.
class SDImages : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { ::Fmx::Graphics::Detail::UseBaselineKernels(GetParam()); }
  void TearDown() override { ::Fmx::Graphics::Detail::UseBaselineKernels(false); }
};
INSTANTIATE_TEST_SUITE_P(Kernels, SDImages, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Baseline" : "Best"; });

// A colour per pixel that differs in every channel and position.
TAlphaColor Colour(int x, int y) {
  return TAlphaColor(((x * 7 + y) & 0xFF) << 24 | ((x * 3 + 1) & 0xFF) << 16 | ((y * 5 + 2) & 0xFF) << 8 |
                     ((x + y * 11) & 0xFF));
}

TBitmap Picture(int w, int h) {
  TBitmap bmp(w, h);
  std::vector<TAlphaColor> px;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) px.push_back(Colour(x, y));
  Corvina::Testing::Fill(bmp, px);
  return bmp;
}

TEST_P(SDImages, BitmapToImageAndMaskKeepEveryPixel) {
  // Widths around the 16- and 32-pixel blocks of the fast kernels.
  for (int w : {1, 3, 15, 16, 17, 31, 32, 33, 63, 64, 65, 70}) {
    SCOPED_TRACE(w);
    const int h = 5;
    const TBitmap bmp = Picture(w, h);
    const TSDImageBuffer rgb = Bitmap2SDImage(bmp);
    const TSDImageBuffer mask = Bitmap2SDMask(bmp);
    ASSERT_EQ(rgb.Image().width, std::uint32_t(w));
    ASSERT_EQ(rgb.Image().height, std::uint32_t(h));
    ASSERT_EQ(rgb.Image().channel, 3u);
    ASSERT_EQ(mask.Image().channel, 1u);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const TAlphaColor c = Colour(x, y);
        const std::uint8_t* p = rgb.Data() + (y * w + x) * 3;
        const unsigned r = c >> 16 & 0xFF, g = c >> 8 & 0xFF, b = c & 0xFF;
        ASSERT_EQ(p[0], r) << x << "," << y;
        ASSERT_EQ(p[1], g) << x << "," << y;
        ASSERT_EQ(p[2], b) << x << "," << y;
        ASSERT_EQ(mask.Data()[y * w + x], (r + g + b) / 3) << x << "," << y;
      }
    }
  }
}

TEST_P(SDImages, MaskIsTheTruncatedMeanOfTheColourBytes) {
  struct Case {
    TAlphaColor colour;
    std::uint8_t gray;
  };
  const Case cases[] = {
      {0xFFFFFFFEu, 254},  // (255 + 255 + 254) / 3 = 254.67
      {0xFFFFFFFFu, 255}, {0xFF000000u, 0},   {0x00FFFFFFu, 255},  // alpha plays no part
      {0xFF010000u, 0},   {0xFF020100u, 1},   {0xFFFF0000u, 85}, {0xFF7F7F80u, 127},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.colour);
    // 20 pixels wide, so the fast kernel's blocks and the tail both see it.
    TBitmap bmp(20, 1);
    bmp.Clear(c.colour);
    const TSDImageBuffer mask = Bitmap2SDMask(bmp);
    for (int x = 0; x < 20; ++x) ASSERT_EQ(mask.Data()[x], c.gray) << x;
  }
}

TEST_P(SDImages, ImageToBitmapConvertsEveryPixelOfOneThreeAndFourChannels) {
  for (std::uint32_t channel : {1u, 3u, 4u}) {
    // Widths around the blocks of the fast kernels and the bytes they read
    // past a block (odd widths also start rows at every alignment).
    for (std::uint32_t w : {1u, 4u, 15u, 16u, 17u, 18u, 19u, 20u, 31u, 34u, 35u, 36u, 40u, 67u}) {
      SCOPED_TRACE(testing::Message() << channel << " channels, width " << w);
      const std::uint32_t h = 20;  // more than the old 16-pixel band
      std::vector<std::uint8_t> data(w * h * channel);
      for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::uint8_t(i * 31 + 7);
      const sd_image_t image{w, h, channel, data.data()};
      const auto bmp = SDImage2Bitmap(&image);
      ASSERT_EQ(bmp->Width(), int(w));
      ASSERT_EQ(bmp->Height(), int(h));
      const auto px = Pixels(*bmp);
      for (std::uint32_t i = 0; i < w * h; ++i) {
        const std::uint8_t* p = &data[i * channel];
        const TAlphaColor want = channel == 1 ? 0xFF000000u | p[0] * 0x010101u
                                              : 0xFF000000u | TAlphaColor(p[0]) << 16 | TAlphaColor(p[1]) << 8 | p[2];
        ASSERT_EQ(px[i], want) << "pixel " << i;
      }
    }
  }
}

// Pictures from 2^17 pixels are converted in bands of rows on several
// threads: every band, its first and last row included, must come out as a
// single-threaded conversion would (odd sizes, so no band is a whole block).
TEST_P(SDImages, PicturesSplitAcrossTheCoresConvertEveryRow) {
  struct Case {
    int w, h;
  };
  for (const Case c : {Case{700, 400}, Case{1023, 257}, Case{131073, 1}, Case{3, 50000}}) {
    SCOPED_TRACE(testing::Message() << c.w << " x " << c.h);
    const TBitmap bmp = Picture(c.w, c.h);
    const TSDImageBuffer rgb = Bitmap2SDImage(bmp);
    const TSDImageBuffer mask = Bitmap2SDMask(bmp);
    const auto back = SDImage2Bitmap(&rgb.Image());
    const auto px = Pixels(*back);
    for (int y = 0; y < c.h; ++y) {
      for (int x = 0; x < c.w; ++x) {
        const TAlphaColor colour = Colour(x, y);
        const std::size_t i = std::size_t(y) * c.w + x;
        const unsigned sum = (colour >> 16 & 0xFF) + (colour >> 8 & 0xFF) + (colour & 0xFF);
        ASSERT_EQ(px[i], colour | 0xFF000000u) << x << "," << y;  // RGB there and back, made opaque
        ASSERT_EQ(mask.Data()[i], sum / 3) << x << "," << y;
      }
    }
  }
}

// A result of 32 MiB of pixels and more gets a bitmap outside the C heap,
// which is not zeroed first: every pixel must still be written.
TEST_P(SDImages, LargeResultsConvertEveryPixel) {
  const std::uint32_t w = 4099, h = 2047;
  const std::size_t n = std::size_t(w) * h;
  std::vector<std::uint8_t> rgb(n * 3);
  for (std::size_t i = 0; i < n; ++i) {
    rgb[3 * i] = std::uint8_t(i);
    rgb[3 * i + 1] = std::uint8_t(i >> 8);
    rgb[3 * i + 2] = std::uint8_t(i >> 16);
  }
  const sd_image_t image{w, h, 3, rgb.data()};
  const auto bmp = SDImage2Bitmap(&image);
  ::Fmx::Graphics::TBitmapMapping map(*bmp);
  const auto* px = reinterpret_cast<const TAlphaColor*>(map.Data().Data);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const TAlphaColor want = 0xFF000000u | (i & 0xFF) << 16 | (i >> 8 & 0xFF) << 8 | (i >> 16 & 0xFF);
    wrong += px[i] != want;
  }
  EXPECT_EQ(wrong, 0u);
}

TEST_P(SDImages, ImageToBitmapRefusesWhatItCannotConvert) {
  std::uint8_t pixels[64] = {};
  const sd_image_t noData{4, 4, 3, nullptr};
  const sd_image_t zeroWidth{0, 4, 3, pixels};
  const sd_image_t zeroHeight{4, 0, 3, pixels};
  const sd_image_t twoChannels{2, 2, 2, pixels};
  const sd_image_t huge{0x80000000u, 1, 3, pixels};
  struct Case {
    const sd_image_t* image;
    String message;
  };
  const Case cases[] = {
      {nullptr, u"SDImage2Bitmap: the image is nil"},
      {&noData, u"SDImage2Bitmap: the image has no pixel data"},
      {&zeroWidth, u"SDImage2Bitmap: the image is empty (0 x 4)"},
      {&zeroHeight, u"SDImage2Bitmap: the image is empty (4 x 0)"},
      {&twoChannels, u"SDImage2Bitmap: 2 channels per pixel, expected 1, 3 or 4"},
      {&huge, u"SDImage2Bitmap: the image is too large for a bitmap (2147483648 x 1)"},
  };
  for (const Case& c : cases) EXPECT_EQ(MessageOf([&] { SDImage2Bitmap(c.image); }), c.message);
}

// Wide-register state left behind slows every legacy SSE instruction after
// it, in the caller's code too.
TEST(SDImageKernels, ConversionsLeaveTheUpperVectorHalvesClear) {
  using namespace Corvina::Testing;
  if (!UpperVectorHalvesInUse().has_value()) GTEST_SKIP() << "the processor cannot tell";
  // Ragged widths: each kernel hands its last pixels to baseline code.
  constexpr int kW = 203, kH = 41;
  TBitmap bmp(kW, kH);
  bmp.Clear(0xFF204080u);
  std::vector<std::uint8_t> bytes(std::size_t(4) * kW * kH, 77);
  const sd_image_t rgb{kW, kH, 3, bytes.data()}, rgba{kW, kH, 4, bytes.data()};
  const std::vector<std::pair<const char*, std::function<void()>>> operations = {
      {"Bitmap2SDImage", [&] { Bitmap2SDImage(bmp); }},
      {"Bitmap2SDMask", [&] { Bitmap2SDMask(bmp); }},
      {"SDImage2Bitmap RGB", [&] { SDImage2Bitmap(&rgb); }},
      {"SDImage2Bitmap RGBA", [&] { SDImage2Bitmap(&rgba); }}};
  for (const auto& [name, operation] : operations) {
    ClearUpperVectorHalves();
    operation();
    EXPECT_EQ(UpperVectorHalvesInUse(), std::optional<bool>(false)) << name;
  }
}

TEST(SDImageRelease, ResultArraysAndPixelsGoBackToTheCHeapOnce) {
  auto* images = static_cast<sd_image_t*>(std::calloc(3, sizeof(sd_image_t)));
  for (int i = 0; i < 3; ++i) images[i] = sd_image_t{2, 2, 3, static_cast<std::uint8_t*>(std::malloc(12))};
  std::memset(images[1].data, 9, 12);
  images[2].data[0] = 0;
  std::free(images[2].data);
  images[2].data = nullptr;  // a picture the library failed to decode
  TSDImageArray results(images, 3);
  // The null image ends conversion with a message; everything is freed by
  // then (LeakSanitizer and a double free would tell otherwise).
  EXPECT_EQ(MessageOf([&] { ConvertResults(results, u"Failed to generate image"); }),
            u"Failed to generate image: result 3 of 3 has no pixel data");
  EXPECT_EQ(results.Images(), nullptr);
  results.Release();
}

// ---- Canny through the recording fake ----

const std::string kFakeFile = CORVINA_FAKE_DIR "fakes/sd/" + Corvina::Testing::LibraryFile("stable-diffusion");

class Canny : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UnLoadSDLibs();
    SD_DLL_PATH = System::UTF8ToString(CORVINA_FAKE_DIR "fakes/sd/");
    LoadSDLibs();
  }
  static void TearDownTestSuite() {
    UnLoadSDLibs();
    SD_DLL_PATH.clear();
  }
  void SetUp() override { Fake().Reset(); }
  void TearDown() override { EXPECT_EQ(Fake().TakeViolations(), std::vector<std::string>()); }
  static TFakeSd& Fake() { return Corvina::Fakes::LoadedFakeSd(kFakeFile); }
};

TEST_F(Canny, SmallPicturesArePaddedAndTheEdgeMapCroppedBack) {
  struct Case {
    int w, h;
    std::uint32_t sentW, sentH;
  };
  const Case cases[] = {{1, 1, 64, 64},     {10, 10, 64, 64},   {62, 62, 64, 64}, {63, 63, 64, 64},
                        {64, 64, 64, 64},   {128, 32, 128, 64}, {20, 90, 64, 90}, {100, 70, 100, 70}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
    Fake().Reset();
    const TBitmap bmp = Picture(c.w, c.h);
    const auto edges = GetCannyOfBitmap(bmp);
    ASSERT_EQ(edges->Width(), c.w);
    ASSERT_EQ(edges->Height(), c.h);
    const auto calls = Fake().CallsNamed("preprocess_canny");
    ASSERT_EQ(calls.size(), 1u);
    const auto& sent = calls[0].Images.at("image");
    EXPECT_EQ(sent.Width, c.sentW);
    EXPECT_EQ(sent.Height, c.sentH);
    EXPECT_EQ(sent.Channel, 3u);
    // The padding repeats the last column and row.
    const auto at = [&](std::uint32_t x, std::uint32_t y, int k) { return sent.Pixels[(y * sent.Width + x) * 3 + k]; };
    const TAlphaColor corner = Colour(c.w - 1, c.h - 1);
    EXPECT_EQ(at(sent.Width - 1, sent.Height - 1, 0), corner >> 16 & 0xFF);
    // The fake's edge map is the inverted picture; the crop shows exactly it.
    const auto px = Pixels(*edges);
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x) {
        const TAlphaColor s = Colour(x, y);
        ASSERT_EQ(px[y * c.w + x], 0xFF000000u | (~s & 0xFFFFFFu)) << x << "," << y;
      }
    EXPECT_FLOAT_EQ(calls[0].Floats[0], 0.08f);
    EXPECT_FLOAT_EQ(calls[0].Floats[1], 0.08f);
    EXPECT_FLOAT_EQ(calls[0].Floats[2], 0.8f);
    EXPECT_FLOAT_EQ(calls[0].Floats[3], 1.0f);
    EXPECT_FALSE(calls[0].Flag1);
  }
}

TEST_F(Canny, FailuresAndEmptyPicturesRaiseClearMessages) {
  Fake().Script.CannyFails = true;
  const TBitmap bmp = Picture(70, 70);
  EXPECT_EQ(MessageOf([&] { GetCannyOfBitmap(bmp); }), u"Failed to generate canny image");
  const TBitmap empty;
  EXPECT_EQ(MessageOf([&] { GetCannyOfBitmap(empty); }), u"GetCannyOfBitmap: the bitmap is empty (0 x 0)");
  UnLoadSDLibs();
  EXPECT_EQ(MessageOf([&] { GetCannyOfBitmap(bmp); }), u"The diffusion library is not loaded");
  LoadSDLibs();
}

}  // namespace
