// TFMXRemoveAnything and TFMXRemoveBg against the recording fake.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "tests/support/bitmap_support.h"
#include "tests/vision_support.h"
#include "vision/remove_anything.h"
#include "vision/remove_bg.h"

using namespace Corvina::Testing;
using Anything::Fmx::TFMXRemoveAnything;
using Anything::Fmx::TFMXRemoveBg;
using Fmx::Graphics::TBitmap;

namespace {

class RemoveTest : public VisionFakeTest {
 protected:
  std::unique_ptr<TFMXRemoveAnything> ActiveRemover() {
    auto c = std::make_unique<TFMXRemoveAnything>(nullptr);
    c->SetModel(Model());
    c->SetActive(true);
    return c;
  }
  std::unique_ptr<TFMXRemoveBg> ActiveReplacer() {
    auto c = std::make_unique<TFMXRemoveBg>(nullptr);
    c->SetModel(Model());
    c->SetActive(true);
    return c;
  }
};

// A BGR buffer whose pixel i is (i, 2i, 3i) modulo 256, and the opaque
// colours it must become.
std::vector<std::uint8_t> BgrRamp(int pixels) {
  std::vector<std::uint8_t> bgr;
  for (int i = 0; i < pixels; ++i) {
    bgr.push_back(static_cast<std::uint8_t>(i));
    bgr.push_back(static_cast<std::uint8_t>(2 * i));
    bgr.push_back(static_cast<std::uint8_t>(3 * i));
  }
  return bgr;
}
std::vector<std::uint32_t> OpaqueRamp(int pixels) {
  std::vector<std::uint32_t> colours;
  for (int i = 0; i < pixels; ++i)
    colours.push_back(0xFF000000u | ((3u * i & 255u) << 16) | ((2u * i & 255u) << 8) | (i & 255u));
  return colours;
}

}  // namespace

TEST_F(RemoveTest, RemoveAnythingHandsOverImageAndMaskWithTheImagesGeometry) {
  auto remover = ActiveRemover();
  auto image = Gradient(30, 20);
  auto mask = Gradient(30, 20);
  Fill(*mask, std::vector<std::uint32_t>(600, 0xFFFFFFFF));
  const auto imageBefore = PixelBytes(*image);
  const auto maskBefore = PixelBytes(*mask);
  Sam2().SetBuffer("lama_execute", BgrRamp(600));
  auto result = remover->RemoveAnything(image.get(), mask.get());
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Width(), 30);
  EXPECT_EQ(result->Height(), 20);
  EXPECT_EQ(Pixels(*result), OpaqueRamp(600));
  const auto calls = Sam2().Calls("lama_execute");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Images[0].Pixels, imageBefore);
  EXPECT_EQ(calls[0].Images[1].Pixels, maskBefore);
  EXPECT_EQ(calls[0].Images[0].Pitch, 120);
  // Neither input changes, and neither stays mapped.
  EXPECT_EQ(PixelBytes(*image), imageBefore);
  EXPECT_EQ(PixelBytes(*mask), maskBefore);
  EXPECT_FALSE(image->IsMapped());
  EXPECT_FALSE(mask->IsMapped());
}

TEST_F(RemoveTest, RemoveAnythingRefusesBadArgumentsBeforeAnythingIsMapped) {
  auto image = Gradient(300, 200);
  TBitmap empty;
  const struct {
    const char* Name;
    const TBitmap* Image;
    std::function<std::unique_ptr<TBitmap>()> Mask;
    const char16_t* Message;
  } cases[] = {
      {"smaller mask", image.get(), [] { return std::make_unique<TBitmap>(100, 100); },
       u"Biglama.RemoveAnything: Mask is 100 x 100, it must match the image's 300 x 200"},
      {"one row more", image.get(), [] { return std::make_unique<TBitmap>(300, 201); },
       u"Biglama.RemoveAnything: Mask is 300 x 201, it must match the image's 300 x 200"},
      {"one column less", image.get(), [] { return std::make_unique<TBitmap>(299, 200); },
       u"Biglama.RemoveAnything: Mask is 299 x 200, it must match the image's 300 x 200"},
      {"nil mask", image.get(), [] { return nullptr; }, u"Biglama.RemoveAnything: Mask is nil"},
      {"nil image", nullptr, [] { return std::make_unique<TBitmap>(300, 200); },
       u"Biglama.RemoveAnything: Image is nil"},
      {"empty image", &empty, [] { return std::make_unique<TBitmap>(300, 200); },
       u"Biglama.RemoveAnything: Image is empty (0 x 0)"},
  };
  auto remover = ActiveRemover();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    auto mask = c.Mask();
    EXPECT_EQ(MessageOf([&] { remover->RemoveAnything(c.Image, mask.get()); }), c.Message);
    EXPECT_FALSE(image->IsMapped());
  }
  EXPECT_TRUE(Sam2().Calls("lama_execute").empty());
}

TEST_F(RemoveTest, TheImageMayServeAsItsOwnMask) {
  auto remover = ActiveRemover();
  auto image = Gradient(10, 10);
  auto result = remover->RemoveAnything(image.get(), image.get());
  const auto calls = Sam2().Calls("lama_execute");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Images[1].Pixels, calls[0].Images[0].Pixels);
  EXPECT_EQ(result->Width(), 10);
  EXPECT_FALSE(image->IsMapped());
}

TEST_F(RemoveTest, ReplaceBackgroundRoundsTheImageUpTo8AndStretchesTheBackground) {
  const struct {
    std::int32_t Width, Height, BgWidth, BgHeight, Expected_W, Expected_H;
  } cases[] = {
      {641, 479, 1920, 1080, 648, 480},
      {640, 480, 100, 100, 640, 480},
      {1, 1, 3, 3, 8, 8},
      {8, 9, 8, 16, 8, 16},
      {17, 8, 1, 1, 24, 8},
  };
  auto replacer = ActiveReplacer();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.Width) + "x" + std::to_string(c.Height));
    Sam2().Reset();
    auto image = Gradient(c.Width, c.Height);
    auto background = Gradient(c.BgWidth, c.BgHeight);
    auto result = replacer->ReplaceBackground(image.get(), background.get());
    EXPECT_EQ(result->Width(), c.Expected_W);
    EXPECT_EQ(result->Height(), c.Expected_H);
    EXPECT_EQ(image->Width(), c.Expected_W);
    EXPECT_EQ(image->Height(), c.Expected_H);
    EXPECT_EQ(background->Width(), c.Expected_W);
    EXPECT_EQ(background->Height(), c.Expected_H);
    const auto calls = Sam2().Calls("rmbg_execute");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Images[0].Width, c.Expected_W);
    EXPECT_EQ(calls[0].Images[0].Height, c.Expected_H);
    EXPECT_EQ(calls[0].Images[0].Pitch, c.Expected_W * 4);
    EXPECT_EQ(calls[0].Images[0].Pixels, PixelBytes(*image));
    EXPECT_EQ(calls[0].Images[1].Pixels, PixelBytes(*background));
    EXPECT_FALSE(image->IsMapped());
    EXPECT_FALSE(background->IsMapped());
  }
}

TEST_F(RemoveTest, AnImageOfRoundSizeKeepsItsPixels) {
  auto replacer = ActiveReplacer();
  auto image = Gradient(16, 8);
  const auto before = PixelBytes(*image);
  TBitmap background(3, 3);
  replacer->ReplaceBackground(image.get(), &background);
  EXPECT_EQ(PixelBytes(*image), before);
}

TEST_F(RemoveTest, TheWholeBackgroundIsStretchedWithoutKeepingItsAspect) {
  auto replacer = ActiveReplacer();
  TBitmap image(64, 8);
  // Left half red, right half blue: after stretching the left columns stay
  // red and the right ones blue, whatever the aspect.
  TBitmap background(2, 2);
  Fill(background, {0xFFFF0000, 0xFF0000FF, 0xFFFF0000, 0xFF0000FF});
  replacer->ReplaceBackground(&image, &background);
  const auto colours = Pixels(background);
  ASSERT_EQ(colours.size(), 64u * 8u);
  for (int y = 0; y < 8; ++y) {
    EXPECT_EQ(colours[y * 64 + 0], 0xFFFF0000u);
    EXPECT_EQ(colours[y * 64 + 63], 0xFF0000FFu);
  }
}

TEST_F(RemoveTest, ReplaceBackgroundReturnsTheLibrarysCompositeAsOpaquePixels) {
  auto replacer = ActiveReplacer();
  TBitmap image(8, 3), background(8, 3);  // rounded to 8 x 8
  Sam2().SetBuffer("rmbg_execute", BgrRamp(64));
  auto result = replacer->ReplaceBackground(&image, &background);
  EXPECT_EQ(Pixels(*result), OpaqueRamp(64));
}

TEST_F(RemoveTest, ReplaceBackgroundRefusesNilEmptyAndMappedBitmaps) {
  auto replacer = ActiveReplacer();
  TBitmap image(8, 8), background(8, 8), empty, held(3, 3);
  const Fmx::Graphics::TBitmapMapping holding(held);
  const struct {
    const char* Name;
    TBitmap* Image;
    TBitmap* Background;
    const char16_t* Message;
  } cases[] = {
      {"nil image", nullptr, &background, u"RemoveBackground.ReplaceBackground: Image is nil"},
      {"nil background", &image, nullptr, u"RemoveBackground.ReplaceBackground: newBg is nil"},
      {"empty image", &empty, &background, u"RemoveBackground.ReplaceBackground: Image is empty (0 x 0)"},
      {"empty background", &image, &empty, u"RemoveBackground.ReplaceBackground: newBg is empty (0 x 0)"},
      {"mapped image", &held, &background, u"RemoveBackground.ReplaceBackground: Image is mapped; unmap it first"},
      {"mapped background", &image, &held, u"RemoveBackground.ReplaceBackground: newBg is mapped; unmap it first"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(MessageOf([&] { replacer->ReplaceBackground(c.Image, c.Background); }), c.Message);
  }
  EXPECT_TRUE(Sam2().Calls("rmbg_execute").empty());
}

TEST_F(RemoveTest, TheImageMayServeAsItsOwnBackground) {
  auto replacer = ActiveReplacer();
  auto image = Gradient(13, 7);
  auto result = replacer->ReplaceBackground(image.get(), image.get());
  EXPECT_EQ(result->Width(), 16);
  EXPECT_EQ(image->Width(), 16);
  const auto calls = Sam2().Calls("rmbg_execute");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Images[1].Pixels, calls[0].Images[0].Pixels);
  EXPECT_FALSE(image->IsMapped());
}

TEST_F(RemoveTest, ANullOrFailingLibraryResultLeavesBothBitmapsAsTheyWereAndReturnsNothing) {
  auto remover = ActiveRemover();
  auto replacer = ActiveReplacer();
  // Sizes ReplaceBackground would change had the library answered.
  TBitmap image(13, 7), other(13, 7);
  Fill(image, std::vector<std::uint32_t>(13 * 7, 0xFF102030));
  Fill(other, std::vector<std::uint32_t>(13 * 7, 0x80405060));
  const auto imageBytes = PixelBytes(image), otherBytes = PixelBytes(other);
  const struct {
    const char* Entry;
    bool Throws;
    std::function<void()> Act;
    const char16_t* Message;  // null: the library's own exception
  } cases[] = {
      {"lama_execute", false, [&] { remover->RemoveAnything(&image, &other); }, u"Biglama returned no image"},
      {"rmbg_execute", false, [&] { replacer->ReplaceBackground(&image, &other); },
       u"RemoveBackground returned no image"},
      {"lama_execute", true, [&] { remover->RemoveAnything(&image, &other); }, nullptr},
      {"rmbg_execute", true, [&] { replacer->ReplaceBackground(&image, &other); }, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Entry) + (c.Throws ? " throws" : " returns null"));
    Sam2().Reset();
    if (c.Throws) {
      Sam2().SetThrows(c.Entry);
      EXPECT_THROW(c.Act(), std::runtime_error);
    } else {
      Sam2().SetNullResult(c.Entry);
      EXPECT_EQ(MessageOf(c.Act), c.Message);
    }
    EXPECT_EQ(Sam2().Calls(c.Entry).size(), 1u);
    EXPECT_FALSE(image.IsMapped());
    EXPECT_FALSE(other.IsMapped());
    EXPECT_EQ(PixelBytes(image), imageBytes);
    EXPECT_EQ(PixelBytes(other), otherBytes);
  }
}
