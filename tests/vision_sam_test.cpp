#include "vision/sam.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <memory>
#include <vector>

#include "tests/support/bitmap_support.h"
#include "tests/vision_support.h"

using namespace Corvina::Testing;
using Anything::Fmx::TFMXSam;
using Fmx::Graphics::TBitmap;
using System::String;

namespace {

class SamTest : public VisionFakeTest {
 protected:
  std::unique_ptr<TFMXSam> ActiveSam(std::int32_t device = -1) {
    auto sam = std::make_unique<TFMXSam>(nullptr);
    sam->SetEncoderModel(Model("encoder.model"));
    sam->SetDecoderModel(Model("decoder.model"));
    sam->SetGPUDeviceID(device);
    sam->SetActive(true);
    return sam;
  }
};

}  // namespace

TEST_F(SamTest, InitGetsEncoderThenDecoderThenTheDeviceText) {
  const struct {
    std::int32_t Device;
    const char* Text;
  } cases[] = {{-1, "cpu"}, {0, "cuda:0"}, {3, "cuda:3"}, {-2, "cuda:-2"}, {2147483647, "cuda:2147483647"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    Sam2().Reset();
    auto sam = ActiveSam(c.Device);
    const auto init = Sam2().Calls("sam_init");
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(init[0].Texts, (std::vector<std::string>{System::UTF8Encode(Model("encoder.model")),
                                                       System::UTF8Encode(Model("decoder.model")), c.Text}));
  }
}

TEST_F(SamTest, MissingEncoderIsReportedBeforeTheDecoderIsLookedAt) {
  TFMXSam sam(nullptr);
  sam.SetDecoderModel(Missing());
  EXPECT_EQ(MessageOf([&] { sam.SetActive(true); }), u"Encoder Model File does not exist");
  sam.SetEncoderModel(Model());
  EXPECT_EQ(MessageOf([&] { sam.SetActive(true); }), u"Decoder Model File does not exist");
  EXPECT_TRUE(Sam2().Calls().empty());
}

TEST_F(SamTest, LoadImageHandsOverTheMappedPixelsAndMakesAMaskOfItsSize) {
  auto sam = ActiveSam();
  auto image = Gradient(7, 5);
  sam->LoadImage(image.get());
  EXPECT_FALSE(image->IsMapped());
  const auto load = Sam2().Calls("sam_load_image");
  ASSERT_EQ(load.size(), 1u);
  EXPECT_EQ(load[0].Images[0].Width, 7);
  EXPECT_EQ(load[0].Images[0].Height, 5);
  EXPECT_EQ(load[0].Images[0].Pitch, 28);
  EXPECT_EQ(load[0].Images[0].Pixels, PixelBytes(*image));
  const TBitmap* mask = sam->GetPointMask();
  ASSERT_NE(mask, nullptr);
  EXPECT_EQ(mask->Width(), 7);
  EXPECT_EQ(mask->Height(), 5);
}

TEST_F(SamTest, PromptsReachTheLibraryAsPointsAndLeftTopWidthHeight) {
  auto sam = ActiveSam();
  sam->AddPoint({12, -3});
  sam->AddRect({10, 20, 110, 70});
  sam->AddRect({50, 60, 40, 30});  // a reversed rectangle keeps its signs
  sam->Clear();
  const auto calls = Sam2().Calls();
  ASSERT_EQ(calls.size(), 5u);  // init first
  EXPECT_EQ(calls[1].Entry, "sam_add_point");
  EXPECT_EQ(calls[1].Ints, (std::vector<std::int64_t>{12, -3}));
  EXPECT_EQ(calls[2].Entry, "sam_add_rect");
  EXPECT_EQ(calls[2].Ints, (std::vector<std::int64_t>{10, 20, 100, 50}));
  EXPECT_EQ(calls[3].Ints, (std::vector<std::int64_t>{50, 60, -10, -30}));
  EXPECT_EQ(calls[4].Entry, "sam_clear");
  for (size_t i = 2; i < calls.size(); ++i) EXPECT_EQ(calls[i].Context, calls[1].Context);
}

TEST_F(SamTest, ARectangleWiderThan32BitsIsRefused) {
  auto sam = ActiveSam();
  EXPECT_EQ(MessageOf([&] { sam->AddRect({-2147483647 - 1, 0, 2147483647, 10}); }),
            u"SAM2.AddRect: a width of 4294967295 or a height of 10 does not fit 32 bits");
  EXPECT_TRUE(Sam2().Calls("sam_add_rect").empty());
}

TEST_F(SamTest, GettersTurnTheGrayBufferIntoOpaqueGrayPixelsOfOneOwnedBitmap) {
  auto sam = ActiveSam();
  TBitmap image(3, 2);
  sam->LoadImage(&image);
  Sam2().SetBuffer("sam_get_point_mask", {0, 128, 255, 1, 2, 3});
  Sam2().SetBuffer("sam_get_rect_mask", {9, 8, 7, 6, 5, 4});
  TBitmap* point = sam->GetPointMask();
  EXPECT_EQ(Pixels(*point), (std::vector<std::uint32_t>{0xFF000000, 0xFF808080, 0xFFFFFFFF, 0xFF010101, 0xFF020202,
                                                        0xFF030303}));
  TBitmap* rect = sam->GetRectMask();
  EXPECT_EQ(rect, point);
  EXPECT_EQ(Pixels(*rect), (std::vector<std::uint32_t>{0xFF090909, 0xFF080808, 0xFF070707, 0xFF060606, 0xFF050505,
                                                       0xFF040404}));
  EXPECT_EQ(Sam2().Calls("sam_get_point_mask").size(), 1u);
  EXPECT_EQ(Sam2().Calls("sam_get_rect_mask").size(), 1u);
}

TEST_F(SamTest, ANewImageReplacesTheMaskWithOneOfItsSize) {
  auto sam = ActiveSam();
  TBitmap large(640, 480), small(320, 240);
  sam->LoadImage(&large);
  EXPECT_EQ(sam->GetPointMask()->Width(), 640);
  sam->LoadImage(&small);
  const TBitmap* mask = sam->GetRectMask();
  EXPECT_EQ(mask->Width(), 320);
  EXPECT_EQ(mask->Height(), 240);
  // Prompts are the caller's to clear: a new image does not clear them.
  EXPECT_TRUE(Sam2().Calls("sam_clear").empty());
}

TEST_F(SamTest, TheMaskItselfMayBeLoadedAsTheNextImage) {
  auto sam = ActiveSam();
  auto image = Gradient(6, 4);
  sam->LoadImage(image.get());
  TBitmap* mask = sam->GetPointMask();
  const auto maskBytes = PixelBytes(*mask);
  sam->LoadImage(mask);  // frees the very bitmap it was given, after the call
  EXPECT_EQ(Sam2().Calls("sam_load_image")[1].Images[0].Pixels, maskBytes);
  EXPECT_EQ(sam->GetPointMask()->Width(), 6);
}

TEST_F(SamTest, FaultsRaiseClearMessagesWithoutCallingTheLibrary) {
  auto image = Gradient(4, 4);
  const struct {
    const char* Name;
    std::function<void(TFMXSam&)> Act;
    const char16_t* Message;
  } cases[] = {
      {"point mask before any image", [](TFMXSam& s) { s.GetPointMask(); }, u"SAM2 has no image: call LoadImage first"},
      {"rect mask before any image", [](TFMXSam& s) { s.GetRectMask(); }, u"SAM2 has no image: call LoadImage first"},
      {"mask after reactivation",
       [&](TFMXSam& s) {
         s.LoadImage(image.get());
         s.SetActive(false);
         s.SetActive(true);
         s.GetPointMask();
       },
       u"SAM2 has no image: call LoadImage first"},
      {"mask after FreeMask",
       [&](TFMXSam& s) {
         s.LoadImage(image.get());
         s.FreeMask();
         s.GetRectMask();
       },
       u"SAM2 has no image: call LoadImage first"},
      {"nil image", [](TFMXSam& s) { s.LoadImage(nullptr); }, u"SAM2.LoadImage: bmp is nil"},
      {"empty image",
       [](TFMXSam& s) {
         TBitmap empty(0, 3);
         s.LoadImage(&empty);
       },
       u"SAM2.LoadImage: bmp is empty (0 x 3)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Sam2().Reset();
    auto sam = ActiveSam();
    EXPECT_EQ(MessageOf([&] { c.Act(*sam); }), c.Message);
    for (const auto& call : Sam2().Calls())
      EXPECT_TRUE(call.Entry != "sam_get_point_mask" && call.Entry != "sam_get_rect_mask") << call.Entry;
    EXPECT_FALSE(image->IsMapped());
  }
}

TEST_F(SamTest, ANullMaskFromTheLibraryRaisesInsteadOfBeingRead) {
  auto sam = ActiveSam();
  TBitmap image(5, 5);
  sam->LoadImage(&image);
  Sam2().SetNullResult("sam_get_point_mask");
  Sam2().SetNullResult("sam_get_rect_mask");
  EXPECT_EQ(MessageOf([&] { sam->GetPointMask(); }), u"SAM2 returned no point mask");
  EXPECT_EQ(MessageOf([&] { sam->GetRectMask(); }), u"SAM2 returned no rect mask");
}

TEST_F(SamTest, AFailingLoadUnmapsTheImageAndKeepsThePreviousMask) {
  auto sam = ActiveSam();
  TBitmap first(8, 8), second(4, 4);
  sam->LoadImage(&first);
  TBitmap* before = sam->GetPointMask();
  Sam2().SetThrows("sam_load_image");
  EXPECT_THROW(sam->LoadImage(&second), std::runtime_error);
  EXPECT_FALSE(second.IsMapped());
  Sam2().SetThrows("sam_load_image", false);
  TBitmap* after = sam->GetPointMask();
  EXPECT_EQ(after, before);
  EXPECT_EQ(after->Width(), 8);
}
