// The shape the four vision components share, checked across all of them:
// published properties and defaults, the activation checks and messages, the
// init arguments, the one context per activation, and the refusal of
// requests while inactive.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "face/face_detector.h"
#include "face/face_enhancer.h"
#include "face/face_swapper.h"
#include "face/live_portrait.h"
#include "framework/components.h"
#include "tests/vision_support.h"
#include "vision/ostrack.h"
#include "vision/remove_anything.h"
#include "vision/remove_bg.h"
#include "vision/sam.h"

using namespace Corvina::Testing;
using Anything::Fmx::TFMXOSTrack;
using Anything::Fmx::TFMXRemoveAnything;
using Anything::Fmx::TFMXRemoveBg;
using Anything::Fmx::TFMXSam;
using Face::Fmx::TFace;
using Face::Fmx::TFMXFaceDetector;
using Face::Fmx::TFMXFaceEnhancer;
using Face::Fmx::TFMXFaceSwapper;
using Face::Fmx::TFMXLivePortrait;
using Fmx::Graphics::TBitmap;
using System::String;
using System::Classes::TComponent;

namespace {

// One component kind as the table sees it: its models in checking order with
// their messages, its init entry and family, and every request it offers.
struct TKind {
  std::string Name;
  std::string Family;  // the fake's family name
  std::vector<String> ModelProperties;
  std::vector<String> MissingMessages;
  String InitFailure;
  String Inactive;
  std::function<std::unique_ptr<TComponent>()> Create;
  std::function<void(TComponent&, bool)> SetActive;
  std::function<bool(const TComponent&)> Active;
  std::vector<std::function<void(TComponent&)>> Requests;
};

template <class T>
T& As(TComponent& c) {
  return dynamic_cast<T&>(c);
}

std::vector<TKind> Kinds() {
  static const auto image = Gradient(16, 8);
  static const auto other = Gradient(16, 8);
  return {
      {"TFMXSam", "sam", {u"EncoderModel", u"DecoderModel"},
       {u"Encoder Model File does not exist", u"Decoder Model File does not exist"}, u"Failed to init SAM2",
       u"SAM2 is not active", [] { return std::make_unique<TFMXSam>(nullptr); },
       [](TComponent& c, bool v) { As<TFMXSam>(c).SetActive(v); },
       [](const TComponent& c) { return dynamic_cast<const TFMXSam&>(c).Active(); },
       {[](TComponent& c) { As<TFMXSam>(c).LoadImage(image.get()); },
        [](TComponent& c) { As<TFMXSam>(c).AddPoint({1, 2}); },
        [](TComponent& c) { As<TFMXSam>(c).AddRect({1, 2, 3, 4}); }, [](TComponent& c) { As<TFMXSam>(c).Clear(); },
        [](TComponent& c) { As<TFMXSam>(c).GetPointMask(); }, [](TComponent& c) { As<TFMXSam>(c).GetRectMask(); }}},
      {"TFMXOSTrack", "ostrack", {u"Model"}, {u"OSTrack Model File does not exist"}, u"Failed to init OSTrack",
       u"OSTrack is not active", [] { return std::make_unique<TFMXOSTrack>(nullptr); },
       [](TComponent& c, bool v) { As<TFMXOSTrack>(c).SetActive(v); },
       [](const TComponent& c) { return dynamic_cast<const TFMXOSTrack&>(c).Active(); },
       {[](TComponent& c) { As<TFMXOSTrack>(c).InitTrack(image.get(), {1, 2, 3, 4}); },
        [](TComponent& c) {
          Anything::TDrOBB r{};
          As<TFMXOSTrack>(c).Track(image.get(), &r);
        }}},
      {"TFMXRemoveAnything", "lama", {u"Model"}, {u"Biglama Model File does not exist"}, u"Failed to init Biglama",
       u"Biglama is not active", [] { return std::make_unique<TFMXRemoveAnything>(nullptr); },
       [](TComponent& c, bool v) { As<TFMXRemoveAnything>(c).SetActive(v); },
       [](const TComponent& c) { return dynamic_cast<const TFMXRemoveAnything&>(c).Active(); },
       {[](TComponent& c) { As<TFMXRemoveAnything>(c).RemoveAnything(image.get(), other.get()); }}},
      {"TFMXRemoveBg", "rmbg", {u"Model"}, {u"RemoveBackground Model File does not exist"},
       u"Failed to init RemoveBackground", u"RemoveBackground is not active",
       [] { return std::make_unique<TFMXRemoveBg>(nullptr); },
       [](TComponent& c, bool v) { As<TFMXRemoveBg>(c).SetActive(v); },
       [](const TComponent& c) { return dynamic_cast<const TFMXRemoveBg&>(c).Active(); },
       {[](TComponent& c) {
         TBitmap img(16, 8), bg(4, 4);
         As<TFMXRemoveBg>(c).ReplaceBackground(&img, &bg);
       }}},
  };
}

class VisionComponents : public VisionFakeTest {
 protected:
  void SetModels(TComponent& c, const std::vector<String>& values) {
    const TKind& kind = FindKind(c);
    for (size_t i = 0; i < kind.ModelProperties.size(); ++i)
      System::Classes::SetPropValue(c, kind.ModelProperties[i], values[i]);
  }
  void SetValidModels(TComponent& c) {
    SetModels(c, std::vector<String>(FindKind(c).ModelProperties.size(), Model()));
  }
  const TKind& FindKind(const TComponent& c) {
    for (const TKind& k : FKinds)
      if (System::UTF8Encode(c.ClassName()) == k.Name) return k;
    throw std::runtime_error("unknown kind");
  }
  std::vector<TKind> FKinds = Kinds();
};

}  // namespace

TEST_F(VisionComponents, PublishModelPathsThenGPUDeviceIDWithItsDefault) {
  for (const TKind& kind : FKinds) {
    SCOPED_TRACE(kind.Name);
    auto c = kind.Create();
    const auto& table = c->PublishedProperties();
    std::vector<String> names;
    for (const auto& p : table) names.push_back(p.Name);
    std::vector<String> expected = {u"Name"};
    expected.insert(expected.end(), kind.ModelProperties.begin(), kind.ModelProperties.end());
    expected.push_back(u"GPUDeviceID");
    EXPECT_EQ(names, expected);
    EXPECT_EQ(System::Classes::GetPropValue(*c, u"GPUDeviceID").AsInteger(), -1);
    EXPECT_FALSE(System::Classes::IsStoredProp(*c, u"GPUDeviceID"));
    System::Classes::SetPropValue(*c, u"GPUDeviceID", std::int32_t{0});
    EXPECT_TRUE(System::Classes::IsStoredProp(*c, u"GPUDeviceID"));
    for (const String& model : kind.ModelProperties) {
      EXPECT_EQ(System::Classes::GetPropValue(*c, model).AsString(), u"");
      EXPECT_TRUE(System::Classes::IsStoredProp(*c, model));  // no declared default
    }
    EXPECT_EQ(table.Find(u"Active"), nullptr);  // public, never streamed
    EXPECT_FALSE(kind.Active(*c));
  }
}

TEST_F(VisionComponents, ActivationChecksModelsInOrderAndCreatesNoContextOnFailure) {
  for (const TKind& kind : FKinds) {
    const size_t n = kind.ModelProperties.size();
    // Row i: models before i valid, model i empty or missing.
    for (size_t i = 0; i < n; ++i) {
      for (const String& bad : {String(), Missing()}) {
        SCOPED_TRACE(kind.Name + " model " + std::to_string(i) + " '" + System::UTF8Encode(bad) + "'");
        Sam2().Reset();
        auto c = kind.Create();
        std::vector<String> values(n, bad);
        for (size_t j = 0; j < i; ++j) values[j] = Model();
        SetModels(*c, values);
        EXPECT_EQ(MessageOf([&] { kind.SetActive(*c, true); }), kind.MissingMessages[i]);
        EXPECT_FALSE(kind.Active(*c));
        EXPECT_TRUE(Sam2().Calls().empty());
      }
    }
  }
}

TEST_F(VisionComponents, AFailedInitRaisesItsMessageAndLeavesTheComponentInactive) {
  for (const TKind& kind : FKinds) {
    SCOPED_TRACE(kind.Name);
    Sam2().Reset();
    Sam2().SetInitFails(kind.Family.c_str());
    auto c = kind.Create();
    SetValidModels(*c);
    EXPECT_EQ(MessageOf([&] { kind.SetActive(*c, true); }), kind.InitFailure);
    EXPECT_FALSE(kind.Active(*c));
    EXPECT_EQ(Sam2().Calls(kind.Family + "_init").size(), 1u);
    // Still inactive for requests, and a later try can succeed.
    for (const auto& request : kind.Requests) EXPECT_EQ(MessageOf([&] { request(*c); }), kind.Inactive);
    Sam2().SetInitFails(kind.Family.c_str(), false);
    kind.SetActive(*c, true);
    EXPECT_TRUE(kind.Active(*c));
  }
}

TEST_F(VisionComponents, ModelTextAndDeviceNumberReachInit) {
  // The path is non-ASCII so that the UTF-8 conversion shows.
  WriteFileBytes(FTemp.Path("mod\xC3\xA8le \xF0\x9F\x98\x80.bin"), "m");
  const String path = FTemp.File("mod\xC3\xA8le \xF0\x9F\x98\x80.bin");
  const std::string utf8 = System::UTF8Encode(path);
  for (const TKind& kind : FKinds) {
    if (kind.Family == "sam") continue;  // a device text instead, see vision_sam_test
    for (std::int32_t device : {-1, 0, 1, -2}) {
      SCOPED_TRACE(kind.Name + " device " + std::to_string(device));
      Sam2().Reset();
      auto c = kind.Create();
      SetModels(*c, {path});
      System::Classes::SetPropValue(*c, u"GPUDeviceID", device);
      kind.SetActive(*c, true);
      const auto calls = Sam2().Calls(kind.Family + "_init");
      ASSERT_EQ(calls.size(), 1u);
      EXPECT_EQ(calls[0].Texts, std::vector<std::string>{utf8});
      EXPECT_EQ(calls[0].Ints, std::vector<std::int64_t>{device});
    }
  }
}

TEST_F(VisionComponents, OneContextPerActivationAndOneReleasePerContext) {
  for (const TKind& kind : FKinds) {
    SCOPED_TRACE(kind.Name);
    Sam2().Reset();
    {
      auto c = kind.Create();
      SetValidModels(*c);
      kind.SetActive(*c, true);
      kind.SetActive(*c, true);
      EXPECT_EQ(Sam2().LiveContexts(), 1);
      kind.SetActive(*c, false);
      kind.SetActive(*c, false);
      EXPECT_EQ(Sam2().LiveContexts(), 0);
      kind.SetActive(*c, true);  // destroyed while active
    }
    EXPECT_EQ(Sam2().LiveContexts(), 0);
    EXPECT_EQ(Sam2().Calls(kind.Family + "_init").size(), 2u);
    EXPECT_EQ(Sam2().Calls(kind.Family + "_destroy").size(), 2u);
  }
}

TEST_F(VisionComponents, ChangedModelsReachTheLibraryOnlyAtTheNextActivation) {
  WriteFileBytes(FTemp.Path("second.model"), "2");
  for (const TKind& kind : FKinds) {
    SCOPED_TRACE(kind.Name);
    Sam2().Reset();
    auto c = kind.Create();
    SetValidModels(*c);
    kind.SetActive(*c, true);
    SetModels(*c, std::vector<String>(kind.ModelProperties.size(), FTemp.File("second.model")));
    System::Classes::SetPropValue(*c, u"GPUDeviceID", std::int32_t{5});
    EXPECT_EQ(Sam2().Calls(kind.Family + "_init").size(), 1u);
    kind.SetActive(*c, false);
    kind.SetActive(*c, true);
    const auto calls = Sam2().Calls(kind.Family + "_init");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].Texts[0], System::UTF8Encode(FTemp.File("second.model")));
    EXPECT_NE(calls[0].Texts[0], calls[1].Texts[0]);
  }
}

TEST_F(VisionComponents, RequestsWhileInactiveRaiseAndNeverReachTheLibrary) {
  for (const TKind& kind : FKinds) {
    SCOPED_TRACE(kind.Name);
    Sam2().Reset();
    auto c = kind.Create();
    SetValidModels(*c);
    for (const auto& request : kind.Requests) EXPECT_EQ(MessageOf([&] { request(*c); }), kind.Inactive);
    kind.SetActive(*c, true);
    kind.SetActive(*c, false);
    for (const auto& request : kind.Requests) EXPECT_EQ(MessageOf([&] { request(*c); }), kind.Inactive);
    for (const auto& call : Sam2().Calls())
      EXPECT_TRUE(call.Entry.ends_with("_init") || call.Entry.ends_with("_destroy")) << call.Entry;
  }
}

TEST_F(VisionComponents, OwnedComponentsReleaseTheirContextsWithTheirOwner) {
  {
    TComponent owner(nullptr);
    for (const TKind& kind : FKinds) {
      auto c = kind.Create();
      SetValidModels(*c);
      kind.SetActive(*c, true);
      owner.InsertComponent(std::move(c));
    }
    EXPECT_EQ(Sam2().LiveContexts(), 4);
  }
  EXPECT_EQ(Sam2().LiveContexts(), 0);
}

// A picture whose pixels are never set: past the mapping threshold only its
// address space is taken, so sizes beyond the limits cost nothing until
// something reads them.
std::unique_ptr<TBitmap> Unset(std::int32_t width, std::int32_t height) {
  auto bitmap = std::make_unique<TBitmap>();
  Fmx::Graphics::Detail::SetSizeForOverwrite(*bitmap, width, height);
  return bitmap;
}

TEST_F(VisionComponents, PicturesLargerThanTheComponentsTakeAreRefusedBeforeAnythingIsTouched) {
  const String limit = u", more than the vision library's components take (at most 32768 pixels a side and "
                       u"268435456 in all)";
  auto wide = Unset(32769, 1), tall = Unset(1, 32769), many = Unset(16385, 16385);
  auto strip = Unset(65535, 1), roundsOver = Unset(32761, 8193);
  auto small = Gradient(16, 8), background = Gradient(5, 3);

  TFMXSam sam(nullptr);
  sam.SetEncoderModel(Model());
  sam.SetDecoderModel(Model());
  TFMXOSTrack tracker(nullptr);
  TFMXRemoveAnything remover(nullptr);
  TFMXRemoveBg replacer(nullptr);
  TFMXFaceEnhancer enhancer(nullptr);
  for (auto* c : std::initializer_list<TComponent*>{&tracker, &remover, &replacer, &enhancer})
    System::Classes::SetPropValue(*c, u"Model", Model());
  TFMXFaceDetector detector(nullptr);
  detector.SetModel(Model());
  detector.SetLandmarkModel(Model());
  detector.SetFeatureModel(Model());
  TFMXFaceSwapper swapper(nullptr);
  swapper.SetModel(Model());
  swapper.SetModelMatrix(Model());
  TFMXLivePortrait portrait(nullptr);
  for (auto set : {&TFMXLivePortrait::SetFeatureModel, &TFMXLivePortrait::SetMotionModel,
                   &TFMXLivePortrait::SetWarpingModel, &TFMXLivePortrait::SetStitchingModel,
                   &TFMXLivePortrait::SetLandMarkModel, &TFMXLivePortrait::SetFaceModel,
                   &TFMXLivePortrait::SetFacePoseModel, &TFMXLivePortrait::SetMaskTemplate})
    (portrait.*set)(Model());
  sam.SetActive(true);
  tracker.SetActive(true);
  remover.SetActive(true);
  replacer.SetActive(true);
  detector.SetActive(true);
  enhancer.SetActive(true);
  swapper.SetActive(true);
  portrait.SetActive(true);
  TFace face;
  face.embeddings = {1, 2};
  Anything::TDrOBB box{};

  const struct {
    const char* Name;
    std::function<void()> Act;
    String Message;
    std::vector<const TBitmap*> Inputs;
  } cases[] = {
      {"LoadImage", [&] { sam.LoadImage(wide.get()); }, u"SAM2.LoadImage: bmp is 32769 x 1", {wide.get()}},
      {"InitTrack", [&] { tracker.InitTrack(tall.get(), {0, 0, 1, 1}); }, u"OSTrack.InitTrack: Image is 1 x 32769",
       {tall.get()}},
      {"Track", [&] { tracker.Track(many.get(), &box); }, u"OSTrack.Track: Image is 16385 x 16385", {many.get()}},
      {"RemoveAnything image", [&] { remover.RemoveAnything(many.get(), many.get()); },
       u"Biglama.RemoveAnything: Image is 16385 x 16385", {many.get()}},
      {"RemoveAnything mask", [&] { remover.RemoveAnything(small.get(), wide.get()); },
       u"Biglama.RemoveAnything: Mask is 32769 x 1", {small.get(), wide.get()}},
      {"ReplaceBackground image", [&] { replacer.ReplaceBackground(strip.get(), background.get()); },
       u"RemoveBackground.ReplaceBackground: Image is 65535 x 1", {strip.get(), background.get()}},
      {"ReplaceBackground background", [&] { replacer.ReplaceBackground(small.get(), tall.get()); },
       u"RemoveBackground.ReplaceBackground: newBg is 1 x 32769", {small.get(), tall.get()}},
      {"ReplaceBackground rounded", [&] { replacer.ReplaceBackground(roundsOver.get(), background.get()); },
       u"RemoveBackground.ReplaceBackground: Image rounded up to 8 is 32768 x 8200",
       {roundsOver.get(), background.get()}},
      {"Detect", [&] { detector.Detect(wide.get()); }, u"FaceDetector.Detect: Image is 32769 x 1", {wide.get()}},
      {"Enhance", [&] { enhancer.Enhance(tall.get(), face); }, u"FaceEnhancer.Enhance: Image is 1 x 32769",
       {tall.get()}},
      {"SwapFace", [&] { swapper.SwapFace(many.get(), face, face); },
       u"FaceSwapper.SwapFace: Image is 16385 x 16385", {many.get()}},
      {"LivePortrait", [&] { portrait.LivePortrait(wide.get()); },
       u"LivePortrait.LivePortrait: RefImage is 32769 x 1", {wide.get()}},
      {"SetInputImage", [&] { portrait.SetInputImage(tall.get()); }, u"LivePortrait.SetInputImage: Value is 1 x 32769",
       {tall.get(), &portrait.InputImage()}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Sam2().Reset();
    std::vector<std::pair<std::int32_t, std::int32_t>> before;
    for (const TBitmap* b : c.Inputs) before.emplace_back(b->Width(), b->Height());
    EXPECT_EQ(MessageOf(c.Act), c.Message + limit);
    EXPECT_TRUE(Sam2().Calls().empty()) << Sam2().Entries().front();
    for (std::size_t i = 0; i < c.Inputs.size(); ++i) {
      EXPECT_EQ(std::make_pair(c.Inputs[i]->Width(), c.Inputs[i]->Height()), before[i]) << "input " << i;
      EXPECT_FALSE(c.Inputs[i]->IsMapped()) << "input " << i;
    }
  }
  EXPECT_EQ(PixelBytes(*small), PixelBytes(*Gradient(16, 8)));
  EXPECT_EQ(PixelBytes(*background), PixelBytes(*Gradient(5, 3)));
}
