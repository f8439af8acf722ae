// The shape the four vision components share, checked across all of them:
// published properties and defaults, the activation checks and messages, the
// init arguments, the one context per activation, and the refusal of
// requests while inactive.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

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
