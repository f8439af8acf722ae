// TFace, NumpyNorm, NumpyDot and the four request-on-the-caller's-thread face
// components, against the recording fake of the vision library.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "face/face_fmx.h"
#include "tests/vision_support.h"

using namespace Corvina::Testing;
using namespace Face::Fmx;
using Anything::TBBox;
using Fmx::Graphics::TBitmap;
using System::String;

namespace {

const String kChineseMessage = u"\u8f93\u5165\u6570\u7ec4\u957f\u5ea6\u5fc5\u987b\u975e\u7a7a\u4e14\u76f8\u7b49";

// ---------------------------------------------------------------- NumpyNorm and NumpyDot

TEST(NumpyNorm, AccumulatesInSinglePrecision) {
  const struct {
    std::vector<float> a;
    float expected;
  } cases[] = {
      {{3, 4}, 5.0f},
      {{-2}, 2.0f},
      {{0, 0, 0}, 0.0f},
      // 4096^2 = 2^24: each further 1 is lost in single precision (a double
      // accumulator would give 4096.00049).
      {{4096, 1, 1, 1, 1}, 4096.0f},
  };
  for (const auto& c : cases) EXPECT_EQ(NumpyNorm(c.a), c.expected) << c.a.size();
}

TEST(NumpyDot, AccumulatesInSinglePrecision) {
  const struct {
    std::vector<float> a, b;
    float expected;
  } cases[] = {
      {{1, 2, 3}, {4, 5, 6}, 32.0f},
      {{0.6f, 0.8f}, {0.6f, 0.8f}, 1.0f},
      {{16777216, 1, 1}, {1, 1, 1}, 16777216.0f},  // a double accumulator gives 16777218
  };
  for (const auto& c : cases) EXPECT_EQ(NumpyDot(c.a, c.b), c.expected);
}

TEST(NumpyDot, RefusesEmptyOrUnequalArraysWithTheChineseMessage) {
  const struct {
    std::vector<float> a, b;
  } cases[] = {{{}, {}}, {{1}, {}}, {{}, {1}}, {{1}, {1, 2}}};
  for (const auto& c : cases)
    EXPECT_EQ(MessageOf([&] { NumpyDot(c.a, c.b); }), kChineseMessage) << c.a.size() << "," << c.b.size();
  // The message's UTF-16 code units, one by one.
  const std::vector<char16_t> units = {0x8f93, 0x5165, 0x6570, 0x7ec4, 0x957f, 0x5ea6, 0x5fc5,
                                       0x987b, 0x975e, 0x7a7a, 0x4e14, 0x76f8, 0x7b49};
  const String message = MessageOf([] { NumpyDot({}, {}); });
  EXPECT_EQ(std::vector<char16_t>(message.begin(), message.end()), units);
  EXPECT_EQ(MessageOf([] { NumpyNorm({}); }), u"Input array must not be empty");
}

// ---------------------------------------------------------------- shared checks

class FaceTest : public VisionFakeTest {
 protected:
  template <class C>
  static std::unique_ptr<C> Make() {
    return std::make_unique<C>(nullptr);
  }
};

// A face record with every field distinct; kps and the 106 points hold
// values that must never reach a TFace.
TBBox Record(float base) {
  TBBox b{};
  b.xmin = base + 10;
  b.ymin = base + 20;
  b.xmax = base + 110;
  b.ymax = base + 140;
  b.score = base / 1000 + 0.5f;
  for (float& v : b.kps) v = -7777;
  for (float& v : b.landmark_2d_106) v = -8888;
  for (int i = 0; i < 10; ++i) b.landmark_5[i] = -9999;  // overwritten by face_detector_landmark_5
  return b;
}

TFace FaceWithPoints() {
  TFace f;
  for (int k = 0; k < 5; ++k) f.landmark_5[k] = {static_cast<float>(2 * k + 1), static_cast<float>(2 * k + 2)};
  f.embeddings = {3, 4};
  f.normed_embedding = {0.6f, 0.8f};
  return f;
}

// Every request of every component, as a call on a freshly made component.
struct TRequest {
  const char* Name;
  std::function<void(FaceTest&, const TBitmap*)> Run;
};

std::vector<TRequest> Requests() {
  return {
      {"Detect", [](FaceTest&, const TBitmap* b) { TFMXFaceDetector(nullptr).Detect(b); }},
      {"Enhance", [](FaceTest&, const TBitmap* b) { TFMXFaceEnhancer(nullptr).Enhance(b, FaceWithPoints()); }},
      {"SwapFace",
       [](FaceTest&, const TBitmap* b) { TFMXFaceSwapper(nullptr).SwapFace(b, FaceWithPoints(), FaceWithPoints()); }},
      {"LivePortrait", [](FaceTest&, const TBitmap* b) { TFMXLivePortrait(nullptr).LivePortrait(b); }},
  };
}

TEST_F(FaceTest, RequestsOnAnInactiveComponentRaiseAndNeverReachTheLibrary) {
  const String messages[] = {u"Face Detector is not active", u"Face Enhancer is not active",
                             u"Face Swapper is not active", u"Live Portrait is not active"};
  auto image = Gradient(4, 3);
  int i = 0;
  for (const auto& r : Requests()) {
    EXPECT_EQ(MessageOf([&] { r.Run(*this, image.get()); }), messages[i++]) << r.Name;
    EXPECT_FALSE(image->IsMapped()) << r.Name;
  }
  EXPECT_TRUE(Sam2().Calls().empty());
}

TEST_F(FaceTest, SetActiveWhileDesigningRaisesAndLoadsNothing) {
  System::Classes::TComponent form(nullptr);
  form.SetDesigning(true);
  const std::function<void()> activations[] = {
      [&] { System::Classes::MakeOwned<TFMXFaceDetector>(form)->SetActive(true); },
      [&] { System::Classes::MakeOwned<TFMXFaceEnhancer>(form)->SetActive(true); },
      [&] { System::Classes::MakeOwned<TFMXFaceSwapper>(form)->SetActive(true); },
      [&] { System::Classes::MakeOwned<TFMXLivePortrait>(form)->SetActive(true); },
      [&] { System::Classes::MakeOwned<TFMXVoiceExtractor>(form)->SetActive(true); },
  };
  for (const auto& activate : activations) EXPECT_NE(MessageOf(activate).find(u"designer"), String::npos);
  EXPECT_TRUE(Sam2().Calls().empty());
}

TEST_F(FaceTest, DeclaredDefaultsAndStreamingOrder) {
  const struct {
    std::unique_ptr<System::Classes::TComponent> Component;
    std::vector<String> Published;
  } cases[] = {
      {Make<TFMXFaceDetector>(),
       {u"Name", u"Model", u"LandmarkModel", u"FeatureModel", u"GPUDeviceID", u"ConfidenceTh", u"OverlapTh"}},
      {Make<TFMXFaceEnhancer>(), {u"Name", u"Model", u"GPUDeviceID", u"Fidelity"}},
      {Make<TFMXFaceSwapper>(), {u"Name", u"Model", u"ModelMatrix", u"GPUDeviceID"}},
      {Make<TFMXLivePortrait>(),
       {u"Name", u"FeatureModel", u"MotionModel", u"WarpingModel", u"StitchingModel", u"LandMarkModel", u"FaceModel",
        u"FacePoseModel", u"MaskTemplate", u"GPUDeviceID"}},
      {Make<TFMXVoiceExtractor>(), {u"Name", u"Model", u"GPUDeviceID"}},
  };
  for (const auto& c : cases) {
    std::vector<String> names;
    for (const auto& p : c.Component->PublishedProperties()) {
      names.push_back(p.Name);
      // A fresh component equals every declared default: nothing is stored.
      EXPECT_FALSE(System::Classes::IsStoredProp(*c.Component, p.Name)) << System::UTF8Encode(p.Name);
    }
    EXPECT_EQ(names, c.Published);
  }
  EXPECT_EQ(System::Classes::GetPropValue(*cases[0].Component, u"ConfidenceTh"), System::Classes::TValue(0.5f));
  EXPECT_EQ(System::Classes::GetPropValue(*cases[0].Component, u"OverlapTh"), System::Classes::TValue(0.4f));
  EXPECT_EQ(System::Classes::GetPropValue(*cases[1].Component, u"Fidelity"), System::Classes::TValue(0.7f));
  System::Classes::SetPropValue(*cases[2].Component, u"GPUDeviceID", System::Classes::TValue(std::int32_t{0}));
  EXPECT_TRUE(System::Classes::IsStoredProp(*cases[2].Component, u"GPUDeviceID"));
}

// ---------------------------------------------------------------- detector

class DetectorTest : public FaceTest {
 protected:
  std::unique_ptr<TFMXFaceDetector> Active() {
    auto d = Make<TFMXFaceDetector>();
    d->SetModel(Model());
    d->SetLandmarkModel(Model("decoder.model"));
    d->SetFeatureModel(Model());
    d->SetActive(true);
    return d;
  }
};

TEST_F(DetectorTest, ActivationChecksFilesInOrderThenInit) {
  const struct {
    const char* name;
    bool model, landmarks, feature, initFails;
    String expected;
  } cases[] = {
      {"all missing", false, false, false, false, u"Model File " + Missing() + u" does not exist"},
      {"landmarks and feature missing", true, false, false, false, u"Landmark Model File does not exist"},
      {"feature missing", true, true, false, false, u"Feature Model File does not exist"},
      {"init fails", true, true, true, true, u"Failed to init Face Detector"},
  };
  for (const auto& c : cases) {
    Sam2().Reset();
    Sam2().SetInitFails("face_detector", c.initFails);
    auto d = Make<TFMXFaceDetector>();
    d->SetModel(c.model ? Model() : Missing());
    d->SetLandmarkModel(c.landmarks ? Model() : Missing());
    d->SetFeatureModel(c.feature ? Model() : FTemp.File(""));  // a folder is no file
    EXPECT_EQ(MessageOf([&] { d->SetActive(true); }), c.expected) << c.name;
    EXPECT_FALSE(d->Active()) << c.name;
    EXPECT_EQ(Sam2().Calls("face_detector_init").size(), c.initFails ? 1u : 0u) << c.name;
  }
}

TEST_F(DetectorTest, InitGetsPathsDeviceAndThresholdsOnlyAtActivation) {
  auto d = Make<TFMXFaceDetector>();
  WriteFileBytes(FTemp.Path("mod\xC3\xA8le.model"), "x");
  d->SetModel(FTemp.File("mod\xC3\xA8le.model"));
  d->SetLandmarkModel(Model("decoder.model"));
  d->SetFeatureModel(Model());
  d->SetGPUDeviceID(2);
  d->SetConfidenceTh(0.25f);
  d->SetOverlapTh(0.75f);
  d->SetActive(true);
  d->SetActive(true);  // no second context
  d->SetConfidenceTh(0.9f);
  auto calls = Sam2().Calls("face_detector_init");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Texts, (std::vector<std::string>{FTemp.Path("mod\xC3\xA8le.model").string(),
                                                      FTemp.Path("decoder.model").string(),
                                                      FTemp.Path("encoder.model").string()}));
  EXPECT_EQ(calls[0].Ints, std::vector<std::int64_t>{2});
  EXPECT_EQ(calls[0].Floats, (std::vector<float>{0.25f, 0.75f}));
  d->SetActive(false);
  d->SetActive(false);
  EXPECT_EQ(Sam2().Calls("face_detector_destroy").size(), 1u);
  d->SetActive(true);
  calls = Sam2().Calls("face_detector_init");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].Floats, (std::vector<float>{0.9f, 0.75f}));
}

TEST_F(DetectorTest, DetectCopiesBoxScoreAndLandmarksButNeverKpsOr106Points) {
  auto d = Active();
  // A score whose bits must survive: the smallest subnormal.
  TBBox first = Record(0);
  first.score = std::numeric_limits<float>::denorm_min();
  Sam2().SetFaces({first, Record(1000)});
  float l5[10], l68[136];
  for (int i = 0; i < 10; ++i) l5[i] = 0.5f + static_cast<float>(i);
  for (int i = 0; i < 136; ++i) l68[i] = 1000.25f + static_cast<float>(i);
  Sam2().SetLandmarks(l5, l68);
  auto image = Gradient(7, 5);
  auto& faces = d->Detect(image.get());
  EXPECT_EQ(&faces, &d->Faces());
  EXPECT_FALSE(image->IsMapped());
  ASSERT_EQ(faces.Count(), 2);
  EXPECT_EQ(faces[0].bounding_box, System::Types::RectF(10, 20, 110, 140));
  EXPECT_EQ(faces[1].bounding_box, System::Types::RectF(1010, 1020, 1110, 1140));
  EXPECT_EQ(std::bit_cast<std::uint32_t>(faces[0].score), 1u);
  EXPECT_EQ(faces[1].score, 1.5f);
  for (int k = 0; k < 5; ++k) EXPECT_EQ(faces[1].landmark_5[k], System::Types::PointF(l5[2 * k], l5[2 * k + 1])) << k;
  for (int k = 0; k < 68; ++k)
    EXPECT_EQ(faces[1].landmark_68[k], System::Types::PointF(l68[2 * k], l68[2 * k + 1])) << k;
  // Each record went to face_detector_landmark_5 in order, with the image.
  const auto marks = Sam2().Calls("face_detector_landmark_5");
  const auto execute = Sam2().Calls("face_detector_execute");
  ASSERT_EQ(marks.size(), 2u);
  ASSERT_EQ(execute.size(), 1u);
  EXPECT_NE(marks[0].Pointers[0], marks[1].Pointers[0]);
  EXPECT_EQ(static_cast<const char*>(marks[1].Pointers[0]) - static_cast<const char*>(marks[0].Pointers[0]),
            static_cast<std::ptrdiff_t>(sizeof(TBBox)));
  for (const auto& call : {execute[0], marks[0], marks[1]}) {
    EXPECT_EQ(call.Images[0].Width, 7);
    EXPECT_EQ(call.Images[0].Height, 5);
    EXPECT_EQ(call.Images[0].Pitch, 28);
    EXPECT_EQ(call.Images[0].Pixels, PixelBytes(*image));
  }
}

TEST_F(DetectorTest, EmbeddingsAreCopiedAndNormalised) {
  const struct {
    const char* name;
    std::vector<float> feature;
    std::vector<float> normed;
  } cases[] = {
      {"3-4-5", {3, 4}, {0.6f, 0.8f}},
      {"one value", {-2}, {-1}},
      {"norm 0: zeros, no NaN", {0, 0, 0}, {0, 0, 0}},
  };
  auto d = Active();
  Sam2().SetFaces({Record(0), Record(1)});
  auto image = Gradient(3, 3);
  for (const auto& c : cases) {
    Sam2().SetFeature(c.feature);
    const auto& faces = d->Detect(image.get());
    ASSERT_EQ(faces.Count(), 2) << c.name;
    for (const TFace& f : faces) {
      EXPECT_EQ(f.embeddings, c.feature) << c.name;
      EXPECT_EQ(f.normed_embedding, c.normed) << c.name;
    }
  }
}

TEST_F(DetectorTest, EveryFaceOfAManyFaceResultGetsNumpyNormsQuotient) {
  auto d = Active();
  std::vector<TBBox> records;
  for (int i = 0; i < 11; ++i) records.push_back(Record(static_cast<float>(i)));  // eight faces, then three
  Sam2().SetFaces(records);
  std::vector<float> feature;
  for (int j = 0; j < 37; ++j) feature.push_back(std::sin(static_cast<float>(j) * 1.7f) * 1e3f + 1e-3f * j);
  Sam2().SetFeature(feature);
  auto image = Gradient(3, 3);
  const auto& faces = d->Detect(image.get());
  ASSERT_EQ(faces.Count(), 11);
  const double norm = NumpyNorm(feature);
  for (const TFace& f : faces) {
    ASSERT_EQ(f.normed_embedding.size(), feature.size());
    for (size_t j = 0; j < feature.size(); ++j)
      EXPECT_EQ(f.normed_embedding[j], static_cast<float>(static_cast<double>(feature[j]) / norm)) << j;
  }
}

// Faces are normalised together, several to a register: each face must get
// its own vector's norm, whatever the count and however the lengths differ.
TEST_F(DetectorTest, EachFaceOfAnyCountGetsItsOwnVectorsNormAndQuotients) {
  auto d = Active();
  auto image = Gradient(3, 3);
  const std::size_t lengths[] = {512, 512, 512, 9, 1, 513, 16};
  for (int count = 1; count <= 70; ++count) {
    std::vector<TBBox> records;
    std::vector<std::vector<float>> features;
    for (int i = 0; i < count; ++i) {
      records.push_back(Record(static_cast<float>(i)));
      // Lengths differ within the call only for some counts.
      std::vector<float> f(lengths[count % 3 == 0 ? (i % 7) : (count % 7)]);
      for (std::size_t j = 0; j < f.size(); ++j)
        f[j] = std::sin(static_cast<float>(j * 31 + static_cast<std::size_t>(i) * 977 + 1)) * std::ldexp(1.0f, i % 40 - 20);
      features.push_back(std::move(f));
    }
    Sam2().SetFaces(records);
    Sam2().SetFeatures(features);
    const auto& faces = d->Detect(image.get());
    ASSERT_EQ(faces.Count(), count);
    for (int i = 0; i < count; ++i) {
      const std::vector<float>& f = features[static_cast<std::size_t>(i)];
      ASSERT_EQ(faces[i].embeddings, f) << "face " << i << " of " << count;
      ASSERT_EQ(faces[i].bounding_box.Left, records[static_cast<std::size_t>(i)].xmin);
      const float norm = NumpyNorm(f);
      ASSERT_EQ(faces[i].normed_embedding.size(), f.size());
      for (std::size_t j = 0; j < f.size(); ++j)
        ASSERT_EQ(std::bit_cast<std::uint32_t>(faces[i].normed_embedding[j]),
                  std::bit_cast<std::uint32_t>(static_cast<float>(static_cast<double>(f[j]) / norm)))
            << "face " << i << " of " << count << ", element " << j;
    }
  }
}

// A face without a vector stops Detect; the faces before it keep their
// own norms, whatever an earlier, larger answer left in their storage.
TEST_F(DetectorTest, AnEmptyVectorMidwayKeepsTheEarlierFacesNormalised) {
  auto d = Active();
  auto image = Gradient(3, 3);
  std::vector<TBBox> records;
  for (int i = 0; i < 20; ++i) records.push_back(Record(static_cast<float>(i)));
  Sam2().SetFaces(records);
  Sam2().SetFeatures({{1, 1, 1, 1}});
  EXPECT_EQ(d->Detect(image.get()).Count(), 20);
  Sam2().SetFeatures({{3, 4}, {0, 5}, {6, 8}, {}, {1}});
  EXPECT_EQ(MessageOf([&] { d->Detect(image.get()); }), u"Input array must not be empty");
  EXPECT_FALSE(image->IsMapped());
  const auto& faces = d->Faces();
  ASSERT_EQ(faces.Count(), 3);
  EXPECT_EQ(faces[0].normed_embedding, (std::vector<float>{0.6f, 0.8f}));
  EXPECT_EQ(faces[1].normed_embedding, (std::vector<float>{0, 1}));
  EXPECT_EQ(faces[2].normed_embedding, (std::vector<float>{0.6f, 0.8f}));
  EXPECT_EQ(faces[2].bounding_box.Left, records[2].xmin);
  // The next answer is whole again.
  Sam2().SetFeatures({{2}});
  ASSERT_EQ(d->Detect(image.get()).Count(), 20);
  EXPECT_EQ(d->Faces()[19].normed_embedding, std::vector<float>{1});
}

TEST_F(DetectorTest, EmptyFeatureRaisesAndLeavesTheBitmapUnmapped) {
  auto d = Active();
  Sam2().SetFaces({Record(0)});
  Sam2().SetFeature({});
  auto image = Gradient(3, 3);
  EXPECT_EQ(MessageOf([&] { d->Detect(image.get()); }), u"Input array must not be empty");
  EXPECT_FALSE(image->IsMapped());
  EXPECT_EQ(d->Faces().Count(), 0);
}

TEST_F(DetectorTest, EachDetectReplacesTheListAndNoFaceGivesAnEmptyOne) {
  auto d = Active();
  auto image = Gradient(3, 3);
  Sam2().SetFaces({Record(0), Record(1), Record(2)});
  auto* first = &d->Detect(image.get());
  EXPECT_EQ(first->Count(), 3);
  Sam2().SetFaces({});
  EXPECT_EQ(&d->Detect(image.get()), first);
  EXPECT_EQ(first->Count(), 0);
  EXPECT_TRUE(Sam2().Calls("face_detector_landmark_5").size() == 3u);
}

// Detect refills the previous faces' storage: nothing of an earlier, larger
// or longer answer may show through in a later one.
TEST_F(DetectorTest, ReusedFacesCarryOnlyTheLatestAnswer) {
  auto d = Active();
  auto image = Gradient(3, 3);
  struct Step {
    std::vector<float> records;
    std::vector<float> feature;
  };
  const Step steps[] = {
      {{0, 1, 2}, {3, 4, 0, 0, 1, 1, 1, 1}},
      {{5}, {0, 2}},
      {{6, 7, 8, 9}, {0, 0, 0}},  // a norm of 0: zeros, not what the spare held
      {{10, 11}, {1, 2, 2}},
  };
  for (const Step& step : steps) {
    std::vector<TBBox> records;
    for (float base : step.records) records.push_back(Record(base));
    Sam2().SetFaces(records);
    Sam2().SetFeature(step.feature);
    const auto& faces = d->Detect(image.get());
    ASSERT_EQ(faces.Count(), int(records.size()));
    const float norm = NumpyNorm(step.feature.empty() ? std::vector<float>{1} : step.feature);
    for (int i = 0; i < faces.Count(); ++i) {
      SCOPED_TRACE(testing::Message() << "face " << i << " of base " << step.records[i]);
      EXPECT_EQ(faces[i].score, records[i].score);
      EXPECT_EQ(faces[i].bounding_box.Left, records[i].xmin);
      EXPECT_EQ(faces[i].embeddings, step.feature);
      ASSERT_EQ(faces[i].normed_embedding.size(), step.feature.size());
      for (std::size_t j = 0; j < step.feature.size(); ++j)
        EXPECT_EQ(faces[i].normed_embedding[j], norm == 0 ? 0.0f : step.feature[j] / norm);
    }
  }
}

TEST_F(DetectorTest, NilOrEmptyBitmapsAreRefusedBeforeTheLibrary) {
  auto d = Active();
  TBitmap empty(0, 4);
  EXPECT_EQ(MessageOf([&] { d->Detect(nullptr); }), u"FaceDetector.Detect: Image is nil");
  EXPECT_EQ(MessageOf([&] { d->Detect(&empty); }), u"FaceDetector.Detect: Image is empty (0 x 4)");
  EXPECT_TRUE(Sam2().Calls("face_detector_execute").empty());
}

// ---------------------------------------------------------------- enhancer and swapper

class EnhancerSwapperTest : public FaceTest {
 protected:
  std::unique_ptr<TFMXFaceEnhancer> ActiveEnhancer(float fidelity = 0.7f) {
    auto e = Make<TFMXFaceEnhancer>();
    e->SetModel(Model());
    e->SetFidelity(fidelity);
    e->SetActive(true);
    return e;
  }
  std::unique_ptr<TFMXFaceSwapper> ActiveSwapper() {
    auto s = Make<TFMXFaceSwapper>();
    s->SetModel(Model());
    s->SetModelMatrix(Model("decoder.model"));
    s->SetActive(true);
    return s;
  }
};

TEST_F(EnhancerSwapperTest, ActivationChecksInOrder) {
  const String model = Model(), missing = Missing();
  const struct {
    const char* name;
    std::function<void()> activate;
    String expected;
  } cases[] = {
      {"enhancer model missing",
       [&] {
         TFMXFaceEnhancer e(nullptr);
         e.SetModel(missing);
         e.SetActive(true);
       },
       u"Model File " + missing + u" does not exist"},
      {"swapper both missing",
       [&] {
         TFMXFaceSwapper s(nullptr);
         s.SetModel(missing);
         s.SetModelMatrix(missing);
         s.SetActive(true);
       },
       u"Model File " + missing + u" does not exist"},
      {"swapper matrix missing",
       [&] {
         TFMXFaceSwapper s(nullptr);
         s.SetModel(model);
         s.SetModelMatrix(missing);
         s.SetActive(true);
       },
       u"Model Matrix File " + missing + u" does not exist"},
  };
  for (const auto& c : cases) EXPECT_EQ(MessageOf(c.activate), c.expected) << c.name;
  EXPECT_TRUE(Sam2().Calls().empty());
  Sam2().SetInitFails("face_enhancer");
  Sam2().SetInitFails("face_swapper");
  auto e = Make<TFMXFaceEnhancer>();
  e->SetModel(Model());
  EXPECT_EQ(MessageOf([&] { e->SetActive(true); }), u"Failed to init Face Enhancer");
  auto s = Make<TFMXFaceSwapper>();
  s->SetModel(Model());
  s->SetModelMatrix(Model());
  EXPECT_EQ(MessageOf([&] { s->SetActive(true); }), u"Failed to init Face Swapper");
  EXPECT_FALSE(e->Active());
  EXPECT_FALSE(s->Active());
}

TEST_F(EnhancerSwapperTest, NumbersThatAreNotFiniteNeverReachTheLibrary) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  TFace badPoint = FaceWithPoints(), badVector = FaceWithPoints();
  badPoint.landmark_5[3] = {7, nan};
  badVector.embeddings = {3, -inf, 4};
  auto image = Gradient(6, 4);
  // Activates a detector with one threshold set to value.
  const auto detectorWith = [this](void (TFMXFaceDetector::*set)(float), float value) {
    return [this, set, value] {
      TFMXFaceDetector d(nullptr);
      d.SetModel(Model());
      d.SetLandmarkModel(Model());
      d.SetFeatureModel(Model());
      (d.*set)(value);
      d.SetActive(true);
    };
  };
  const struct {
    const char* Name;
    std::function<void()> Act;
    String Message;
    const char* Untouched;  // the entry point the numbers would have reached
  } cases[] = {
      {"ConfidenceTh", detectorWith(&TFMXFaceDetector::SetConfidenceTh, nan),
       u"TFMXFaceDetector.ConfidenceTh must be a finite number, got NAN", "face_detector_init"},
      {"OverlapTh", detectorWith(&TFMXFaceDetector::SetOverlapTh, inf),
       u"TFMXFaceDetector.OverlapTh must be a finite number, got INF", "face_detector_init"},
      {"Fidelity", [&] { ActiveEnhancer(-inf); }, u"TFMXFaceEnhancer.Fidelity must be a finite number, got -INF",
       "face_enhancer_init"},
      {"Enhance's points", [&] { ActiveEnhancer(0.5f)->Enhance(image.get(), badPoint); },
       u"FaceEnhancer.Enhance: Face.landmark_5[3] must be a finite point, got (7, NAN)", "face_enhancer_execute"},
      {"SwapFace's points", [&] { ActiveSwapper()->SwapFace(image.get(), FaceWithPoints(), badPoint); },
       u"FaceSwapper.SwapFace: DstFace.landmark_5[3] must be a finite point, got (7, NAN)", "face_swapper_execute"},
      {"SwapFace's vector", [&] { ActiveSwapper()->SwapFace(image.get(), badVector, FaceWithPoints()); },
       u"FaceSwapper.SwapFace: SrcFace.embeddings[1] must be a finite number, got -INF", "face_swapper_execute"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Sam2().Reset();
    EXPECT_EQ(MessageOf(c.Act), c.Message);
    EXPECT_TRUE(Sam2().Calls(c.Untouched).empty());
    EXPECT_EQ(Sam2().LiveContexts(), 0);
    EXPECT_FALSE(image->IsMapped());
  }
}

TEST_F(EnhancerSwapperTest, EnhanceSendsTheFivePointsAndReturnsANewBitmap) {
  auto e = ActiveEnhancer(0.25f);
  e->SetFidelity(0.9f);  // reaches the library only at the next activation
  auto image = Gradient(6, 4);
  const auto before = PixelBytes(*image);
  auto result = e->Enhance(image.get(), FaceWithPoints());
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->Width(), 6);
  EXPECT_EQ(result->Height(), 4);
  EXPECT_EQ(PixelBytes(*result), before);  // the fake answers with the image's own B, G, R
  EXPECT_EQ(PixelBytes(*image), before);
  EXPECT_FALSE(image->IsMapped());
  const auto init = Sam2().Calls("face_enhancer_init");
  ASSERT_EQ(init.size(), 1u);
  EXPECT_EQ(init[0].Floats, std::vector<float>{0.25f});
  EXPECT_EQ(init[0].Ints, std::vector<std::int64_t>{-1});
  const auto calls = Sam2().Calls("face_enhancer_execute");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Arrays[0], (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

TEST_F(EnhancerSwapperTest, SwapSendsDestinationPointsAndRawSourceEmbeddings) {
  auto s = ActiveSwapper();
  TFace src = FaceWithPoints();
  for (auto& p : src.landmark_5) p = {-1, -1};  // the source's points are not used
  src.embeddings = {3, 4, 12};                  // not normalised: the library gets them raw
  src.normed_embedding = {0.1f, 0.2f, 0.3f};
  TFace dst = FaceWithPoints();
  dst.embeddings.clear();  // the target's vector is not used
  auto image = Gradient(5, 5);
  auto result = s->SwapFace(image.get(), src, dst);
  EXPECT_EQ(result->Width(), 5);
  EXPECT_EQ(PixelBytes(*result), PixelBytes(*image));
  EXPECT_FALSE(image->IsMapped());
  const auto calls = Sam2().Calls("face_swapper_execute");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Arrays[0], (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(calls[0].Ints, std::vector<std::int64_t>{3});
  EXPECT_EQ(calls[0].Arrays[1], (std::vector<float>{3, 4, 12}));
  const auto init = Sam2().Calls("face_swapper_init");
  EXPECT_EQ(init[0].Texts, (std::vector<std::string>{FTemp.Path("encoder.model").string(),
                                                      FTemp.Path("decoder.model").string()}));
}

TEST_F(EnhancerSwapperTest, SwapWithoutSourceEmbeddingsRaisesBeforeTheLibrary) {
  auto s = ActiveSwapper();
  TFace src = FaceWithPoints();
  src.embeddings.clear();
  auto image = Gradient(5, 5);
  EXPECT_EQ(MessageOf([&] { s->SwapFace(image.get(), src, FaceWithPoints()); }),
            u"FaceSwapper.SwapFace: SrcFace.embeddings is empty; pass a face that Detect returned");
  EXPECT_TRUE(Sam2().Calls("face_swapper_execute").empty());
}

TEST_F(EnhancerSwapperTest, NullResultsRaiseAndUnmap) {
  auto e = ActiveEnhancer();
  auto s = ActiveSwapper();
  Sam2().SetNullResult("face_enhancer_execute");
  Sam2().SetNullResult("face_swapper_execute");
  auto image = Gradient(5, 5);
  EXPECT_EQ(MessageOf([&] { e->Enhance(image.get(), FaceWithPoints()); }), u"Face Enhancer returned no image");
  EXPECT_FALSE(image->IsMapped());
  EXPECT_EQ(MessageOf([&] { s->SwapFace(image.get(), FaceWithPoints(), FaceWithPoints()); }),
            u"Face Swapper returned no image");
  EXPECT_FALSE(image->IsMapped());
  Sam2().SetThrows("face_enhancer_execute");
  Sam2().SetBuffer("face_enhancer_execute", std::vector<std::uint8_t>(75, 1));
  EXPECT_ANY_THROW(e->Enhance(image.get(), FaceWithPoints()));
  EXPECT_FALSE(image->IsMapped());
}

// ---------------------------------------------------------------- live portrait

class LivePortraitTest : public FaceTest {
 protected:
  std::unique_ptr<TFMXLivePortrait> Inactive() {
    auto lp = Make<TFMXLivePortrait>();
    for (auto set : {&TFMXLivePortrait::SetFeatureModel, &TFMXLivePortrait::SetMotionModel,
                     &TFMXLivePortrait::SetWarpingModel, &TFMXLivePortrait::SetStitchingModel,
                     &TFMXLivePortrait::SetLandMarkModel, &TFMXLivePortrait::SetFaceModel,
                     &TFMXLivePortrait::SetFacePoseModel, &TFMXLivePortrait::SetMaskTemplate})
      (lp.get()->*set)(Model());
    return lp;
  }
};

TEST_F(LivePortraitTest, ActivationChecksTheEightFilesInOrder) {
  using Setter = void (TFMXLivePortrait::*)(const String&);
  const struct {
    Setter set;
    String message;
  } files[] = {
      {&TFMXLivePortrait::SetFeatureModel, u"Feature Model File does not exist"},
      {&TFMXLivePortrait::SetMotionModel, u"Motion Model File does not exist"},
      {&TFMXLivePortrait::SetWarpingModel, u"Wraping Model File does not exist"},
      {&TFMXLivePortrait::SetStitchingModel, u"Stitching Model File does not exist"},
      {&TFMXLivePortrait::SetLandMarkModel, u"Landmark Model File does not exist"},
      {&TFMXLivePortrait::SetFaceModel, u"Face Model File does not exist"},
      {&TFMXLivePortrait::SetFacePoseModel, u"FacePose Model File does not exist"},
      {&TFMXLivePortrait::SetMaskTemplate, u"Mask template does not exist"},
  };
  // With files i.. missing, file i is the one reported.
  for (size_t i = 0; i < std::size(files); ++i) {
    auto lp = Inactive();
    for (size_t j = i; j < std::size(files); ++j) (lp.get()->*files[j].set)(Missing());
    EXPECT_EQ(MessageOf([&] { lp->SetActive(true); }), files[i].message) << i;
    EXPECT_FALSE(lp->Active());
  }
  EXPECT_TRUE(Sam2().Calls().empty());
  Sam2().SetInitFails("lp");
  auto lp = Inactive();
  EXPECT_EQ(MessageOf([&] { lp->SetActive(true); }), u"Failed to init Live Portrait");
}

TEST_F(LivePortraitTest, EveryNewContextGetsTheStoredPortraitAndStartsAtFrameZero) {
  auto lp = Inactive();
  auto portrait = Gradient(8, 6);
  lp->SetInputImage(portrait.get());
  EXPECT_EQ(lp->InputImage().Width(), 8);
  auto frame = Gradient(5, 4);
  // Set while inactive, then kept across a deactivation: each context made
  // afterwards gets it before any frame.
  for (int activation = 0; activation < 2; ++activation) {
    SCOPED_TRACE(activation);
    Sam2().Reset();
    lp->SetActive(true);
    const auto given = Sam2().Calls("lp_set_input");
    ASSERT_EQ(given.size(), 1u);
    EXPECT_EQ(given[0].Images[0].Pixels, PixelBytes(*portrait));
    EXPECT_FALSE(lp->InputImage().IsMapped());
    lp->LivePortrait(frame.get());
    lp->LivePortrait(frame.get());
    EXPECT_EQ(Sam2().Entries(), (std::vector<std::string>{"lp_init", "lp_set_input", "lp_execute", "lp_execute"}));
    EXPECT_EQ(Sam2().Calls("lp_execute")[0].Ints, std::vector<std::int64_t>{0});
    lp->SetActive(false);
  }
  // Without a portrait a new context gets none.
  auto bare = Inactive();
  Sam2().Reset();
  bare->SetActive(true);
  EXPECT_TRUE(Sam2().Calls("lp_set_input").empty());
  // A library that raises while taking the portrait fails the activation.
  Sam2().SetThrows("lp_set_input");
  EXPECT_ANY_THROW(lp->SetActive(true));
  EXPECT_FALSE(lp->Active());
  EXPECT_EQ(Sam2().LiveContexts(), 1) << "only the bare component's context is left";
}

TEST_F(LivePortraitTest, InputImageReachesTheLibraryOnlyWhileActiveAndResetsTheFrameNumber) {
  auto lp = Inactive();
  auto portrait = Gradient(8, 6);
  lp->SetActive(true);
  auto frame = Gradient(5, 4);
  const std::vector<std::int64_t> expectedFrames[] = {{0}, {1}, {2}};
  for (const auto& expected : expectedFrames) {
    auto out = lp->LivePortrait(frame.get());
    EXPECT_EQ(out->Width(), 5);
    EXPECT_EQ(out->Height(), 4);
    EXPECT_EQ(Sam2().Calls("lp_execute").back().Ints, expected);
  }
  lp->SetInputImage(portrait.get());
  ASSERT_EQ(Sam2().Calls("lp_set_input").size(), 1u);
  EXPECT_EQ(Sam2().Calls("lp_set_input")[0].Images[0].Pixels, PixelBytes(*portrait));
  lp->LivePortrait(frame.get());
  EXPECT_EQ(Sam2().Calls("lp_execute").back().Ints, std::vector<std::int64_t>{0});
  // An empty portrait is kept but not sent; the count still restarts.
  lp->LivePortrait(frame.get());
  TBitmap empty;
  lp->SetInputImage(&empty);
  EXPECT_EQ(lp->InputImage().Width(), 0);
  EXPECT_EQ(lp->FrameId(), 0);
  EXPECT_EQ(Sam2().Calls("lp_set_input").size(), 1u);
  EXPECT_EQ(MessageOf([&] { lp->SetInputImage(nullptr); }), u"LivePortrait.SetInputImage: Value is nil");
}

TEST_F(LivePortraitTest, APortraitTheLibraryRefusesLeavesTheStoredOneAndTheFrameNumber) {
  auto lp = Inactive();
  lp->SetActive(true);
  auto first = Gradient(8, 6), second = Gradient(5, 9);
  lp->SetInputImage(first.get());
  auto frame = Gradient(5, 4);
  lp->LivePortrait(frame.get());
  lp->LivePortrait(frame.get());
  Sam2().SetThrows("lp_set_input");
  EXPECT_ANY_THROW(lp->SetInputImage(second.get()));
  EXPECT_EQ(PixelBytes(lp->InputImage()), PixelBytes(*first));
  EXPECT_EQ(lp->FrameId(), 2);
  EXPECT_FALSE(second->IsMapped());
  // A portrait being read is not replaced under its reader.
  Sam2().SetThrows("lp_set_input", false);
  const Fmx::Graphics::TBitmapMapping reading(lp->InputImage());
  EXPECT_EQ(MessageOf([&] { lp->SetInputImage(second.get()); }),
            u"LivePortrait.SetInputImage: InputImage is mapped; unmap it first");
  EXPECT_EQ(Sam2().Calls("lp_set_input").size(), 2u);
}

TEST_F(LivePortraitTest, NullFrameRaisesKeepsTheFrameNumberAndUnmaps) {
  auto lp = Inactive();
  lp->SetActive(true);
  auto frame = Gradient(5, 4);
  Sam2().SetNullResult("lp_execute");
  EXPECT_EQ(MessageOf([&] { lp->LivePortrait(frame.get()); }), u"Live Portrait returned no frame");
  EXPECT_FALSE(frame->IsMapped());
  EXPECT_EQ(lp->FrameId(), 0);
  lp->SetActive(false);
  EXPECT_EQ(Sam2().Calls("lp_destroy").size(), 1u);
}

}  // namespace
