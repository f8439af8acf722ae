// The face, portrait and voice families of the reference vision library
// (libsam2.so, loaded with dlopen as the package loads it) on real photos
// (skimage's astronaut and faces of its LFW sample), on voices made with
// espeak-ng and music made with sox, and on every kind of bad argument.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "binding/anything.h"
#include "tests/support/test_support.h"

namespace {

void* Resolve(const char* name) {
  static void* const library = ::dlopen(CORVINA_REFERENCE_VISION_LIB, RTLD_NOW | RTLD_LOCAL);
  return library ? ::dlsym(library, name) : nullptr;
}

// The tests call the library's entry points by their own names.
#define CORVINA_RESOLVE(name) Anything::name##_fn* const name = reinterpret_cast<Anything::name##_fn*>(Resolve(#name));
ANYTHING_ENTRY_POINTS(CORVINA_RESOLVE)
#undef CORVINA_RESOLVE

TEST(ReferenceFaceLibrary, ExportsEveryEntryPoint) {
#define CORVINA_CHECK(name) EXPECT_NE(name, nullptr) << #name;
  ANYTHING_ENTRY_POINTS(CORVINA_CHECK)
#undef CORVINA_CHECK
}

using Anything::TBBox;
using Corvina::Testing::TempDir;

const std::string kModels = CORVINA_REFERENCE_VISION_MODELS;
const std::string kShape = CORVINA_DLIB_SHAPE_MODEL;
const std::string kSkimage = CORVINA_SAMPLE_PHOTOS;

std::string Model(const char* name) { return kModels + name; }

cv::Mat Bgra(const cv::Mat& bgr) {
  cv::Mat out;
  cv::cvtColor(bgr, out, cv::COLOR_BGR2BGRA);
  return out;
}

cv::Mat Astronaut() {
  static const cv::Mat picture = Bgra(cv::imread(kSkimage + "astronaut.png", cv::IMREAD_COLOR));
  return picture;
}

// One of the faces of skimage's LFW sample (25 x 25 gray, float64 in a .npy
// file), enlarged to 200 pixels and framed so that dlib's finder sees it.
cv::Mat LfwFace(int index) {
  std::ifstream in(kSkimage + "lfw_subset.npy", std::ios::binary);
  char head[10];
  in.read(head, 10);
  const int headerLength = static_cast<unsigned char>(head[8]) | (static_cast<unsigned char>(head[9]) << 8);
  in.seekg(10 + headerLength + static_cast<std::streamoff>(index) * 25 * 25 * 8);
  cv::Mat face(25, 25, CV_64F);
  in.read(reinterpret_cast<char*>(face.data), 25 * 25 * 8);
  if (!in) throw std::runtime_error("lfw_subset.npy is missing or short");
  cv::Mat gray, big, framed;
  face.convertTo(gray, CV_8U, 255);
  cv::resize(gray, big, cv::Size(200, 200), 0, 0, cv::INTER_CUBIC);
  cv::copyMakeBorder(big, framed, 50, 50, 50, 50, cv::BORDER_REPLICATE);
  cv::cvtColor(framed, framed, cv::COLOR_GRAY2BGRA);
  return framed;
}

cv::Mat Mirrored(const cv::Mat& m) {
  cv::Mat out;
  cv::flip(m, out, 1);
  return out;
}

cv::Mat Scaled(const cv::Mat& m, double f) {
  cv::Mat out;
  cv::resize(m, out, cv::Size(), f, f, cv::INTER_AREA);
  return out;
}

cv::Mat Shifted(const cv::Mat& m, float dx, float dy) {
  cv::Mat out;
  const cv::Mat shift = (cv::Mat_<double>(2, 3) << 1, 0, dx, 0, 1, dy);
  cv::warpAffine(m, out, shift, m.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return out;
}

cv::Mat FromBgr(const std::uint8_t* buffer, const cv::Mat& like) {
  return cv::Mat(like.rows, like.cols, CV_8UC3, const_cast<std::uint8_t*>(buffer)).clone();
}

struct TDetected {
  TBBox Box;
  std::vector<float> Feature;
};

// One detector context for the suite: reading dlib's shape model takes a while.
class ReferenceFace : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    FDetector = face_detector_init(Model("face_detector.cvm").c_str(), kShape.c_str(),
                                   Model("face_feature.cvm").c_str(), -1, 0.5f, 0.4f);
  }
  static void TearDownTestSuite() {
    face_detector_destroy(FDetector);
    FDetector = nullptr;
  }
  void SetUp() override { ASSERT_NE(FDetector, nullptr); }

  static std::vector<TDetected> Detect(const cv::Mat& bgra) {
    std::int32_t count = -1;
    TBBox* boxes = nullptr;
    face_detector_execute(FDetector, bgra.data, bgra.cols, bgra.rows, static_cast<std::int32_t>(bgra.step), &count,
                          &boxes);
    std::vector<TDetected> faces;
    for (int i = 0; i < count; ++i) {
      std::int32_t length = -1;
      float* feature = nullptr;
      face_detector_landmark_5(FDetector, bgra.data, bgra.cols, bgra.rows, static_cast<std::int32_t>(bgra.step),
                               &boxes[i], &length, &feature);
      TDetected face{boxes[i], {}};
      if (feature != nullptr) face.Feature.assign(feature, feature + length);
      faces.push_back(std::move(face));
    }
    return faces;
  }

  // The face the library is surest of (it reports the strongest first).
  static TDetected DetectMain(const cv::Mat& bgra) {
    auto faces = Detect(bgra);
    if (faces.empty()) throw std::runtime_error("no face found");
    for (size_t i = 1; i < faces.size(); ++i)
      if (faces[i].Box.score > faces[0].Box.score) throw std::runtime_error("faces not strongest first");
    return faces[0];
  }

  static void* FDetector;
};
void* ReferenceFace::FDetector = nullptr;

double Cosine(const std::vector<float>& a, const std::vector<float>& b) {
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    ab += static_cast<double>(a[i]) * b[i];
    aa += static_cast<double>(a[i]) * a[i];
    bb += static_cast<double>(b[i]) * b[i];
  }
  return ab / std::sqrt(aa * bb);
}

// Zero-mean correlation of the gray appearance codes of two feature vectors
// inside the face's ellipse (the part a swap repaints).
double AppearanceCorrelation(const std::vector<float>& a, const std::vector<float>& b) {
  constexpr int kFirst = 944, kSide = 32;
  std::vector<double> ga, gb;
  for (int r = 0; r < kSide; ++r) {
    for (int c = 0; c < kSide; ++c) {
      const double u = (c - 16) / 9.0, v = (r - 18.3) / 11.5;
      if (u * u + v * v > 1) continue;
      const int at = kFirst + (r * kSide + c) * 3;
      ga.push_back(a[at] + a[at + 1] + a[at + 2]);
      gb.push_back(b[at] + b[at + 1] + b[at + 2]);
    }
  }
  const double n = static_cast<double>(ga.size());
  const double ma = std::accumulate(ga.begin(), ga.end(), 0.0) / n;
  const double mb = std::accumulate(gb.begin(), gb.end(), 0.0) / n;
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < ga.size(); ++i) {
    ab += (ga[i] - ma) * (gb[i] - mb);
    aa += (ga[i] - ma) * (ga[i] - ma);
    bb += (gb[i] - mb) * (gb[i] - mb);
  }
  return ab / std::sqrt(aa * bb);
}

// Cosine of the identity parts alone.
double IdentityCosine(const std::vector<float>& a, const std::vector<float>& b) {
  return Cosine(std::vector<float>(a.begin(), a.begin() + 944), std::vector<float>(b.begin(), b.begin() + 944));
}

cv::Rect2f BoxOf(const TBBox& b) { return {b.xmin, b.ymin, b.xmax - b.xmin, b.ymax - b.ymin}; }

// ---------------------------------------------------------------- detection

TEST_F(ReferenceFace, InitRefusesMissingForeignOrOutOfRangeSettings) {
  TempDir dir;
  Corvina::Testing::WriteFileBytes(dir.Path("foreign.cvm"), "corvina-vision-model 1\nfamily: face-enhancer\n");
  Corvina::Testing::WriteFileBytes(dir.Path("bad.cvm"), "corvina-vision-model 1\nfamily: face-detector\nupsample: 7\n");
  const std::string detector = Model("face_detector.cvm"), feature = Model("face_feature.cvm");
  const std::string foreign = dir.Path("foreign.cvm").string(), bad = dir.Path("bad.cvm").string();
  const std::string missing = dir.Path("missing.cvm").string();
  struct Case {
    const char* name;
    const char* model;
    const char* landmarks;
    const char* feature;
    std::int32_t gpu;
    float confidence;
    float overlap;
  };
  const Case cases[] = {
      {"null model", nullptr, kShape.c_str(), feature.c_str(), -1, 0.5f, 0.4f},
      {"missing model", missing.c_str(), kShape.c_str(), feature.c_str(), -1, 0.5f, 0.4f},
      {"model of another family", foreign.c_str(), kShape.c_str(), feature.c_str(), -1, 0.5f, 0.4f},
      {"parameter out of range", bad.c_str(), kShape.c_str(), feature.c_str(), -1, 0.5f, 0.4f},
      {"landmark file not a dlib model", detector.c_str(), detector.c_str(), feature.c_str(), -1, 0.5f, 0.4f},
      {"null feature model", detector.c_str(), kShape.c_str(), nullptr, -1, 0.5f, 0.4f},
      {"NaN confidence", detector.c_str(), kShape.c_str(), feature.c_str(), -1, NAN, 0.4f},
      {"confidence above 1", detector.c_str(), kShape.c_str(), feature.c_str(), -1, 1.5f, 0.4f},
      {"negative overlap", detector.c_str(), kShape.c_str(), feature.c_str(), -1, 0.5f, -0.1f},
      {"device below -1", detector.c_str(), kShape.c_str(), feature.c_str(), -2, 0.5f, 0.4f},
  };
  for (const auto& c : cases) {
    void* ctx = face_detector_init(c.model, c.landmarks, c.feature, c.gpu, c.confidence, c.overlap);
    EXPECT_EQ(ctx, nullptr) << c.name;
    face_detector_destroy(ctx);
  }
}

TEST_F(ReferenceFace, DetectionRefusesBadArgumentsAndZeroesItsOutputs) {
  const cv::Mat pic = Astronaut();
  const std::int32_t pitch = static_cast<std::int32_t>(pic.step);
  struct Case {
    const char* name;
    void* ctx;
    const std::uint8_t* pixels;
    std::int32_t width, height, pitch;
  };
  const Case cases[] = {
      {"null context", nullptr, pic.data, pic.cols, pic.rows, pitch},
      {"null pixels", FDetector, nullptr, pic.cols, pic.rows, pitch},
      {"zero width", FDetector, pic.data, 0, pic.rows, pitch},
      {"negative height", FDetector, pic.data, pic.cols, -1, pitch},
      {"pitch shorter than a row", FDetector, pic.data, pic.cols, pic.rows, pic.cols * 4 - 1},
      {"huge width", FDetector, pic.data, 1 << 30, 1, pitch},
  };
  for (const auto& c : cases) {
    std::int32_t count = 99;
    TBBox* boxes = reinterpret_cast<TBBox*>(0x10);
    face_detector_execute(c.ctx, c.pixels, c.width, c.height, c.pitch, &count, &boxes);
    EXPECT_EQ(count, 0) << c.name;
    EXPECT_EQ(boxes, nullptr) << c.name;
    TBBox box{};
    box.xmin = 180, box.ymin = 80, box.xmax = 270, box.ymax = 170;
    std::int32_t length = 99;
    float* feature = reinterpret_cast<float*>(0x10);
    face_detector_landmark_5(c.ctx, c.pixels, c.width, c.height, c.pitch, &box, &length, &feature);
    EXPECT_EQ(length, 0) << c.name;
    EXPECT_EQ(feature, nullptr) << c.name;
  }
  // Boxes that cannot hold a face: not finite, empty, outside the picture.
  const float bad[][4] = {{NAN, 80, 270, 170}, {180, 80, 180, 170}, {600, 600, 700, 700}, {-90, -90, -10, -10}};
  for (const auto& b : bad) {
    TBBox box{};
    box.xmin = b[0], box.ymin = b[1], box.xmax = b[2], box.ymax = b[3];
    std::int32_t length = 99;
    float* feature = nullptr;
    face_detector_landmark_5(FDetector, pic.data, pic.cols, pic.rows, pitch, &box, &length, &feature);
    EXPECT_EQ(length, 0) << b[0] << "," << b[1] << "," << b[2] << "," << b[3];
  }
  // Missing outputs: nothing to write to, and nothing breaks.
  face_detector_execute(FDetector, pic.data, pic.cols, pic.rows, pitch, nullptr, nullptr);
}

TEST_F(ReferenceFace, FindsTheFaceWithOrderedLandmarksInSeveralPictures) {
  const cv::Mat astronaut = Astronaut();
  struct Case {
    const char* name;
    cv::Mat picture;
  };
  const Case cases[] = {
      {"astronaut", astronaut},
      {"astronaut mirrored", Mirrored(astronaut)},
      {"astronaut enlarged", Scaled(astronaut, 1.3)},
      {"astronaut shifted", Shifted(astronaut, 40, 25)},
      {"LFW face 0", LfwFace(0)},
      {"LFW face 10", LfwFace(10)},
      {"LFW face 20", LfwFace(20)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto face = DetectMain(c.picture);
    const TBBox& b = face.Box;
    EXPECT_GT(b.score, 0.5f);
    EXPECT_LE(b.score, 1.0f);
    EXPECT_GT(b.xmax - b.xmin, 40);
    const cv::Rect2f box = BoxOf(b);
    const cv::Rect2f roomy(box.x - box.width / 4, box.y - box.height / 4, box.width * 1.5f, box.height * 1.5f);
    for (int k = 0; k < 5; ++k) EXPECT_TRUE(roomy.contains({b.landmark_5[2 * k], b.landmark_5[2 * k + 1]})) << k;
    for (int k = 0; k < 68; ++k) EXPECT_TRUE(roomy.contains({b.landmark_68[2 * k], b.landmark_68[2 * k + 1]})) << k;
    // Eyes left to right and above the nose tip, which is above both mouth corners.
    EXPECT_LT(b.landmark_5[0], b.landmark_5[2]);
    EXPECT_LT(b.landmark_5[6], b.landmark_5[8]);
    EXPECT_LT(std::max(b.landmark_5[1], b.landmark_5[3]), b.landmark_5[5]);
    EXPECT_LT(b.landmark_5[5], std::min(b.landmark_5[7], b.landmark_5[9]));
    EXPECT_EQ(face.Feature.size(), static_cast<size_t>(944 + 3072));
  }
}

TEST_F(ReferenceFace, BoxesFollowTheFaceWhenThePictureMoves) {
  const cv::Mat astronaut = Astronaut();
  const cv::Rect2f base = BoxOf(DetectMain(astronaut).Box);
  const cv::Point2f centre = (base.tl() + base.br()) * 0.5f;
  struct Case {
    const char* name;
    cv::Mat picture;
    cv::Point2f expected;
  };
  const Case cases[] = {
      {"mirrored", Mirrored(astronaut), {static_cast<float>(astronaut.cols) - centre.x, centre.y}},
      {"scaled", Scaled(astronaut, 1.3), centre * 1.3f},
      {"shifted", Shifted(astronaut, 40, 25), centre + cv::Point2f(40, 25)},
  };
  for (const auto& c : cases) {
    const cv::Rect2f box = BoxOf(DetectMain(c.picture).Box);
    const cv::Point2f found = (box.tl() + box.br()) * 0.5f;
    EXPECT_LT(cv::norm(found - c.expected), 12.0) << c.name << " found " << found << " expected " << c.expected;
  }
}

// Every copy of a tiled portrait is one face: the finder's nearby windows on
// a face must not survive as extra faces.
TEST_F(ReferenceFace, ATiledPortraitGivesOneFacePerTile) {
  struct Case {
    const char* name;
    cv::Mat portrait;
  };
  const Case cases[] = {{"astronaut", Astronaut()}, {"LFW face 0", LfwFace(0)}, {"LFW face 20", LfwFace(20)}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    cv::Mat row, tiled;
    cv::hconcat(std::vector<cv::Mat>(3, c.portrait), row);
    cv::vconcat(std::vector<cv::Mat>(3, row), tiled);
    const auto faces = Detect(tiled);
    EXPECT_EQ(faces.size(), 9u);
    std::vector<int> perTile(9, 0);
    for (const auto& f : faces) {
      const cv::Rect2f box = BoxOf(f.Box);
      const cv::Point2f centre = (box.tl() + box.br()) * 0.5f;
      const int tx = std::clamp(static_cast<int>(centre.x / c.portrait.cols), 0, 2);
      const int ty = std::clamp(static_cast<int>(centre.y / c.portrait.rows), 0, 2);
      ++perTile[ty * 3 + tx];
    }
    EXPECT_EQ(perTile, std::vector<int>(9, 1));
  }
}

TEST_F(ReferenceFace, SamePersonScoresHigherThanDifferentPeople) {
  const auto astronaut = DetectMain(Astronaut()).Feature;
  const auto astronautAgain = DetectMain(Shifted(Scaled(Astronaut(), 1.2), -30, -10)).Feature;
  const auto lfw0 = DetectMain(LfwFace(0)).Feature;
  const auto lfw0Again = DetectMain(Scaled(Shifted(LfwFace(0), 12, -8), 1.2)).Feature;
  const double same = Cosine(astronaut, astronautAgain);
  for (int other : {10, 20, 40, 60}) {
    const auto stranger = DetectMain(LfwFace(other)).Feature;
    EXPECT_GT(same, Cosine(astronaut, stranger)) << "LFW face " << other;
    EXPECT_GT(Cosine(lfw0, lfw0Again), Cosine(lfw0, stranger)) << "LFW face " << other;
  }
}

TEST_F(ReferenceFace, ThresholdsDecideWhatIsReported) {
  // Nothing in a flat picture; nothing at all when every face must be certain.
  const cv::Mat flat(240, 320, CV_8UC4, cv::Scalar(90, 120, 150, 255));
  EXPECT_TRUE(Detect(flat).empty());
  void* strict = face_detector_init(Model("face_detector.cvm").c_str(), kShape.c_str(),
                                    Model("face_feature.cvm").c_str(), -1, 0.999f, 0.4f);
  ASSERT_NE(strict, nullptr);
  std::int32_t count = -1;
  TBBox* boxes = nullptr;
  const cv::Mat pic = Astronaut();
  face_detector_execute(strict, pic.data, pic.cols, pic.rows, static_cast<std::int32_t>(pic.step), &count, &boxes);
  EXPECT_EQ(count, 0);
  face_detector_destroy(strict);
}

// ---------------------------------------------------------------- enhancement

TEST_F(ReferenceFace, EnhancerChangesTheFaceAndNothingElse) {
  const cv::Mat pic = Astronaut();
  const auto face = DetectMain(pic);
  const cv::Rect2f box = BoxOf(face.Box);
  const cv::Rect outside(cv::Rect2f(box.x - box.width * 0.6f, box.y - box.height * 0.6f, box.width * 2.2f,
                                    box.height * 2.2f));
  const cv::Rect inner(cv::Rect2f(box.x + box.width * 0.25f, box.y + box.height * 0.3f, box.width * 0.5f,
                                  box.height * 0.5f));
  const cv::Mat original = Bgra(cv::imread(kSkimage + "astronaut.png"));
  cv::Mat bgr;
  cv::cvtColor(pic, bgr, cv::COLOR_BGRA2BGR);
  double changeAt[2] = {0, 0};
  const float fidelities[2] = {1.0f, 0.0f};
  for (int i = 0; i < 2; ++i) {
    void* ctx = face_enhancer_init(Model("face_enhancer.cvm").c_str(), -1, fidelities[i]);
    ASSERT_NE(ctx, nullptr);
    const std::uint8_t* result = face_enhancer_execute(ctx, pic.data, pic.cols, pic.rows,
                                                       static_cast<std::int32_t>(pic.step), face.Box.landmark_5);
    ASSERT_NE(result, nullptr);
    const cv::Mat out = FromBgr(result, pic);
    cv::Mat diff;
    cv::absdiff(out, bgr, diff);
    cv::Mat far = diff.clone();
    far(outside & cv::Rect(0, 0, pic.cols, pic.rows)).setTo(0);
    EXPECT_EQ(cv::countNonZero(far.reshape(1)), 0) << "fidelity " << fidelities[i];
    const cv::Scalar mean = cv::mean(diff(inner));
    changeAt[i] = (mean[0] + mean[1] + mean[2]) / 3;
    EXPECT_GT(changeAt[i], 0.5) << "fidelity " << fidelities[i];
    face_enhancer_destroy(ctx);
  }
  EXPECT_GT(changeAt[1], changeAt[0]) << "a lower fidelity restores more";
  EXPECT_EQ(cv::norm(pic, original, cv::NORM_INF), 0) << "the input is read only";
}

TEST_F(ReferenceFace, EnhancerAndSwapperRefuseBadArguments) {
  const cv::Mat pic = Astronaut();
  const std::int32_t pitch = static_cast<std::int32_t>(pic.step);
  const auto face = DetectMain(pic);
  const float* good = face.Box.landmark_5;
  const float nanPoints[10] = {NAN, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  const float samePoints[10] = {5, 5, 5, 5, 5, 5, 5, 5, 5, 5};
  const float farPoints[10] = {1e9f, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  void* enhancer = face_enhancer_init(Model("face_enhancer.cvm").c_str(), -1, 0.7f);
  void* swapper = face_swapper_init(Model("face_swapper.cvm").c_str(), Model("face_swapper_matrix.cvm").c_str(), -1);
  ASSERT_NE(enhancer, nullptr);
  ASSERT_NE(swapper, nullptr);
  std::vector<float> shortFeature(face.Feature.begin(), face.Feature.end() - 1);
  std::vector<float> notOurs(face.Feature.size(), 5.0f);
  struct Case {
    const char* name;
    bool nullContext;
    const std::uint8_t* pixels;
    std::int32_t width, pitch;
    const float* points;
    std::int32_t length;
    const float* feature;
  };
  const std::int32_t n = static_cast<std::int32_t>(face.Feature.size());
  const Case cases[] = {
      {"null context", true, pic.data, pic.cols, pitch, good, n, face.Feature.data()},
      {"null pixels", false, nullptr, pic.cols, pitch, good, n, face.Feature.data()},
      {"zero width", false, pic.data, 0, pitch, good, n, face.Feature.data()},
      {"short pitch", false, pic.data, pic.cols, 16, good, n, face.Feature.data()},
      {"null points", false, pic.data, pic.cols, pitch, nullptr, n, face.Feature.data()},
      {"NaN point", false, pic.data, pic.cols, pitch, nanPoints, n, face.Feature.data()},
      {"all points in one place", false, pic.data, pic.cols, pitch, samePoints, n, face.Feature.data()},
      {"point far away", false, pic.data, pic.cols, pitch, farPoints, n, face.Feature.data()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(face_enhancer_execute(c.nullContext ? nullptr : enhancer, c.pixels, c.width, pic.rows, c.pitch, c.points),
              nullptr)
        << c.name;
    EXPECT_EQ(face_swapper_execute(c.nullContext ? nullptr : swapper, c.pixels, c.width, pic.rows, c.pitch, c.points,
                                   c.length, c.feature),
              nullptr)
        << c.name;
  }
  const struct {
    const char* name;
    std::int32_t length;
    const float* feature;
  } vectors[] = {{"no vector", 0, nullptr},
                 {"null vector", n, nullptr},
                 {"vector one short", n - 1, shortFeature.data()},
                 {"vector of another library", n, notOurs.data()}};
  for (const auto& v : vectors)
    EXPECT_EQ(face_swapper_execute(swapper, pic.data, pic.cols, pic.rows, pitch, good, v.length, v.feature), nullptr)
        << v.name;
  const std::string enhancerModel = Model("face_enhancer.cvm");
  for (float fidelity : {-0.1f, 1.1f, NAN}) EXPECT_EQ(face_enhancer_init(enhancerModel.c_str(), -1, fidelity), nullptr);
  EXPECT_EQ(face_swapper_init(Model("face_swapper.cvm").c_str(), Model("face_swapper.cvm").c_str(), -1), nullptr);
  face_enhancer_destroy(enhancer);
  face_swapper_destroy(swapper);
}

TEST_F(ReferenceFace, ContextsOfOtherFamiliesOrAlreadyFreedAreRefused) {
  const cv::Mat pic = Astronaut();
  const std::int32_t pitch = static_cast<std::int32_t>(pic.step);
  const auto face = DetectMain(pic);
  void* enhancer = face_enhancer_init(Model("face_enhancer.cvm").c_str(), -1, 0.7f);
  ASSERT_NE(enhancer, nullptr);
  // The detector's context handed to the other families.
  EXPECT_EQ(face_enhancer_execute(FDetector, pic.data, pic.cols, pic.rows, pitch, face.Box.landmark_5), nullptr);
  EXPECT_EQ(face_swapper_execute(FDetector, pic.data, pic.cols, pic.rows, pitch, face.Box.landmark_5,
                                 static_cast<std::int32_t>(face.Feature.size()), face.Feature.data()),
            nullptr);
  EXPECT_EQ(lp_execute(FDetector, 0, pic.data, pic.cols, pic.rows, pitch), nullptr);
  float* vocals = reinterpret_cast<float*>(0x10);
  const float samples[4] = {0, 0, 0, 0};
  voice_extractor_execute(FDetector, samples, 4, &vocals);
  EXPECT_EQ(vocals, nullptr);
  std::int32_t count = 5;
  TBBox* boxes = nullptr;
  face_detector_execute(enhancer, pic.data, pic.cols, pic.rows, pitch, &count, &boxes);
  EXPECT_EQ(count, 0);
  // Destroying through the wrong family leaves the context alive; a freed
  // context is refused, and freeing it again is harmless.
  face_detector_destroy(enhancer);
  EXPECT_NE(face_enhancer_execute(enhancer, pic.data, pic.cols, pic.rows, pitch, face.Box.landmark_5), nullptr);
  face_enhancer_destroy(enhancer);
  EXPECT_EQ(face_enhancer_execute(enhancer, pic.data, pic.cols, pic.rows, pitch, face.Box.landmark_5), nullptr);
  face_enhancer_destroy(enhancer);
}

// ---------------------------------------------------------------- swap

TEST_F(ReferenceFace, SwapRepaintsTheTargetFaceWithTheSourceAppearance) {
  const cv::Mat target = Astronaut();
  const auto dst = DetectMain(target);
  void* swapper = face_swapper_init(Model("face_swapper.cvm").c_str(), Model("face_swapper_matrix.cvm").c_str(), -1);
  ASSERT_NE(swapper, nullptr);
  for (int source : {0, 20, 40}) {
    SCOPED_TRACE(source);
    const auto src = DetectMain(LfwFace(source));
    const std::uint8_t* result =
        face_swapper_execute(swapper, target.data, target.cols, target.rows, static_cast<std::int32_t>(target.step),
                             dst.Box.landmark_5, static_cast<std::int32_t>(src.Feature.size()), src.Feature.data());
    ASSERT_NE(result, nullptr);
    const cv::Mat swapped = Bgra(FromBgr(result, target));
    cv::Mat diff;
    cv::absdiff(swapped, target, diff);
    const cv::Rect2f box = BoxOf(dst.Box);
    const cv::Rect inner(cv::Rect2f(box.x + box.width * 0.25f, box.y + box.height * 0.3f, box.width * 0.5f,
                                    box.height * 0.5f));
    const cv::Scalar inside = cv::mean(diff(inner));
    EXPECT_GT((inside[0] + inside[1] + inside[2]) / 3, 5.0);
    cv::Mat far = diff.clone();
    far(cv::Rect(cv::Rect2f(box.x - box.width, box.y - box.height, box.width * 3, box.height * 3)) &
        cv::Rect(0, 0, target.cols, target.rows))
        .setTo(0);
    EXPECT_EQ(cv::countNonZero(far.reshape(1)), 0);
    // The face now has the source's features (the blend keeps the target's
    // skin tone, so colour is left out of the comparison).
    const auto after = DetectMain(swapped);
    EXPECT_GT(AppearanceCorrelation(after.Feature, src.Feature),
              AppearanceCorrelation(dst.Feature, src.Feature) + 0.2);
    EXPECT_GT(IdentityCosine(after.Feature, src.Feature), IdentityCosine(dst.Feature, src.Feature));
  }
  face_swapper_destroy(swapper);
}

// ---------------------------------------------------------------- portrait animation

class ReferencePortrait : public ReferenceFace {
 protected:
  void SetUp() override {
    ReferenceFace::SetUp();
    const std::string m = Model("live_portrait.cvm");
    FPortrait = lp_init(m.c_str(), m.c_str(), m.c_str(), m.c_str(), kShape.c_str(), m.c_str(), m.c_str(), m.c_str(), -1);
    ASSERT_NE(FPortrait, nullptr);
  }
  void TearDown() override { lp_destroy(FPortrait); }

  cv::Mat Frame(int number, const cv::Mat& driving) {
    const std::uint8_t* out =
        lp_execute(FPortrait, number, driving.data, driving.cols, driving.rows, static_cast<std::int32_t>(driving.step));
    if (out == nullptr) return {};
    return Bgra(FromBgr(out, driving));
  }

  void* FPortrait = nullptr;
};

TEST_F(ReferencePortrait, PortraitFollowsTheDrivingFacesMotion) {
  const cv::Mat portrait = Astronaut();
  lp_set_input(FPortrait, portrait.data, portrait.cols, portrait.rows, static_cast<std::int32_t>(portrait.step));
  // The driving face is the astronaut too, so its motion maps one to one.
  const cv::Mat still = Frame(0, portrait);
  ASSERT_FALSE(still.empty());
  const cv::Point2f start = (BoxOf(DetectMain(still).Box).tl() + BoxOf(DetectMain(still).Box).br()) * 0.5f;
  const struct {
    float dx, dy;
  } moves[] = {{24, 0}, {0, 18}, {-20, -12}};
  int number = 1;
  for (const auto& m : moves) {
    const cv::Mat frame = Frame(number++, Shifted(portrait, m.dx, m.dy));
    ASSERT_FALSE(frame.empty());
    const cv::Rect2f box = BoxOf(DetectMain(frame).Box);
    const cv::Point2f moved = (box.tl() + box.br()) * 0.5f - start;
    EXPECT_NEAR(moved.x, m.dx, 8) << m.dx << "," << m.dy;
    EXPECT_NEAR(moved.y, m.dy, 8) << m.dx << "," << m.dy;
  }
}

TEST_F(ReferencePortrait, FramesHaveTheDrivingFramesSize) {
  const cv::Mat portrait = Astronaut();
  lp_set_input(FPortrait, portrait.data, portrait.cols, portrait.rows, static_cast<std::int32_t>(portrait.step));
  for (const cv::Size size : {cv::Size(300, 300), cv::Size(640, 360), cv::Size(97, 131)}) {
    cv::Mat driving;
    cv::resize(portrait, driving, size);
    const cv::Mat frame = Frame(0, driving);
    ASSERT_FALSE(frame.empty());
    EXPECT_EQ(frame.size(), size);
  }
}

TEST_F(ReferencePortrait, RefusesFramesWithoutPortraitOrWithBadArguments) {
  const cv::Mat pic = Astronaut();
  const std::int32_t pitch = static_cast<std::int32_t>(pic.step);
  EXPECT_EQ(lp_execute(FPortrait, 0, pic.data, pic.cols, pic.rows, pitch), nullptr) << "no portrait yet";
  lp_set_input(nullptr, pic.data, pic.cols, pic.rows, pitch);
  lp_set_input(FPortrait, nullptr, pic.cols, pic.rows, pitch);
  EXPECT_EQ(lp_execute(FPortrait, 0, pic.data, pic.cols, pic.rows, pitch), nullptr) << "a refused portrait";
  lp_set_input(FPortrait, pic.data, pic.cols, pic.rows, pitch);
  EXPECT_EQ(lp_execute(nullptr, 0, pic.data, pic.cols, pic.rows, pitch), nullptr);
  EXPECT_EQ(lp_execute(FPortrait, -1, pic.data, pic.cols, pic.rows, pitch), nullptr);
  EXPECT_EQ(lp_execute(FPortrait, 0, nullptr, pic.cols, pic.rows, pitch), nullptr);
  EXPECT_EQ(lp_execute(FPortrait, 0, pic.data, pic.cols, 0, pitch), nullptr);
  EXPECT_EQ(lp_execute(FPortrait, 0, pic.data, pic.cols, pic.rows, 3), nullptr);
  EXPECT_NE(lp_execute(FPortrait, 0, pic.data, pic.cols, pic.rows, pitch), nullptr);
  const std::string m = Model("live_portrait.cvm");
  const std::string other = Model("face_feature.cvm");
  EXPECT_EQ(lp_init(m.c_str(), m.c_str(), m.c_str(), m.c_str(), m.c_str(), m.c_str(), m.c_str(), m.c_str(), -1), nullptr)
      << "landmark model must be dlib's";
  EXPECT_EQ(lp_init(m.c_str(), m.c_str(), other.c_str(), m.c_str(), kShape.c_str(), m.c_str(), m.c_str(), m.c_str(), -1),
            nullptr)
      << "a model of another family";
}

// ---------------------------------------------------------------- voice separation

std::vector<float> ReadRawFloats(const std::filesystem::path& path) {
  const std::string bytes = Corvina::Testing::ReadFileBytes(path);
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  return samples;
}

void Shell(const std::string& command) {
  ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
}

struct TProgressLog {
  std::vector<int> Values;
  std::vector<std::thread::id> Threads;
};

void RecordProgress(void* arg, std::int32_t progress) {
  auto* log = static_cast<TProgressLog*>(arg);
  log->Values.push_back(progress);
  log->Threads.push_back(std::this_thread::get_id());
}

double Distance(const std::vector<float>& a, const std::vector<float>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::pow(static_cast<double>(a[i]) - b[i], 2);
  return std::sqrt(sum);
}

// espeak-ng saying text, at 22050 Hz mono.
std::vector<float> Spoken(const TempDir& dir, const char* text) {
  const std::string wav = dir.Path("voice.wav").string(), raw = dir.Path("voice.f32").string();
  Shell("espeak-ng -w '" + wav + "' '" + text + "'");
  Shell("sox '" + wav + "' -r 22050 -c 1 -t f32 '" + raw + "'");
  return ReadRawFloats(raw);
}

// The vocals the shipped model separates from mono samples.
void Separate(const std::vector<float>& mix, std::vector<float>& vocals, TProgressLog* log = nullptr) {
  void* ctx =
      voice_extractor_init(Model("voice_extractor.cvm").c_str(), -1, log, log != nullptr ? RecordProgress : nullptr);
  ASSERT_NE(ctx, nullptr);
  float* out = nullptr;
  voice_extractor_execute(ctx, mix.data(), static_cast<std::int32_t>(mix.size()), &out);
  if (out != nullptr) vocals.assign(out, out + mix.size());
  voice_extractor_destroy(ctx);
  ASSERT_NE(out, nullptr);
}

const char* const kSentences[] = {"The quick brown fox jumps over the lazy dog while the band keeps playing",
                                  "Separation keeps the singer and leaves the accompaniment behind"};

TEST(ReferenceVoice, SeparatedVocalsAreCloserToTheVoiceThanTheMixIs) {
  TempDir dir;
  const auto musicWav = dir.Path("music.wav");
  const char* const chords[] = {"sine 196 sine 247 sine 330", "sine 110 sine 165 sine 220"};
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(kSentences[k]);
    const auto voice = Spoken(dir, kSentences[k]);
    Shell(std::string("sox -r 22050 -c 3 -n -c 1 '") + musicWav.string() + "' synth 8 " + chords[k] +
          " tremolo 3 30 remix 1-3 gain -14");
    Shell("sox '" + musicWav.string() + "' -t f32 '" + dir.Path("music.f32").string() + "'");
    auto music = ReadRawFloats(dir.Path("music.f32"));
    ASSERT_GT(voice.size(), 22050u);
    ASSERT_GE(music.size(), voice.size());
    // An odd length checks that the vocals keep the input's exact length.
    const size_t n = voice.size() - (voice.size() % 2 == 0 ? 1 : 0);
    std::vector<float> mix(n), clean(voice.begin(), voice.begin() + static_cast<ptrdiff_t>(n));
    for (size_t i = 0; i < n; ++i) mix[i] = voice[i] + music[i];

    TProgressLog log;
    std::vector<float> separated;
    ASSERT_NO_FATAL_FAILURE(Separate(mix, separated, &log));
    EXPECT_LT(Distance(separated, clean), 0.8 * Distance(mix, clean));
    ASSERT_FALSE(log.Values.empty());
    EXPECT_EQ(log.Values.front(), 0);
    EXPECT_EQ(log.Values.back(), 100);
    EXPECT_TRUE(std::is_sorted(log.Values.begin(), log.Values.end()));
    for (const auto id : log.Threads) EXPECT_EQ(id, std::this_thread::get_id());
  }
}

// A plucked melody (Karplus-Strong strings, a note every 0.28 s, each
// ringing on under the next two), its notes scaled by octave.
std::vector<float> PluckedMelody(size_t count, int rate, double octave = 1, std::uint32_t noise = 12345) {
  const double notes[] = {262, 330, 392, 523, 440, 349, 294, 392};
  const size_t step = static_cast<size_t>(0.28 * rate);
  std::vector<float> out(count, 0.0f);
  for (size_t start = 0, k = 0; start < count; start += step, ++k) {
    const int period = static_cast<int>(rate / (octave * notes[k % 8]) + 0.5);
    std::vector<float> string(static_cast<size_t>(period));
    for (float& s : string) s = static_cast<float>((noise = noise * 1664525u + 1013904223u) >> 8) / (1 << 23) - 1.0f;
    for (size_t i = start, at = 0; i < std::min(count, start + 3 * step); ++i, ++at) {
      float& here = string[at % string.size()];
      const float next = string[(at + 1) % string.size()];
      out[i] += here;
      here = 0.996f * 0.5f * (here + next);
    }
  }
  return out;
}

// Plucked notes ring at a fixed pitch while a voice glides: with the melody
// at the voice's own level, they leave the vocals. (Before, the separation
// kept them: 1 dB gain against the voice.)
TEST(ReferenceVoice, APluckedMelodyLeavesTheVocals) {
  TempDir dir;
  struct Melody {
    const char* name;
    double octave;
    std::uint32_t seed;
    const char* key;  // of the recorded figure
  };
  const Melody melodies[] = {
      {"middle", 1, 12345, ""}, {"an octave lower", 0.5, 4242, "_lower"}, {"an octave higher", 2, 99, "_higher"}};
  for (int k = 0; k < 2; ++k) {
    const auto voice = Spoken(dir, kSentences[k]);
    ASSERT_GT(voice.size(), 22050u);
    for (const auto& m : melodies) {
      SCOPED_TRACE(std::string(kSentences[k]) + ", melody " + m.name);
      const auto melody = PluckedMelody(voice.size(), 22050, m.octave, m.seed);
      // The melody at the voice's own energy.
      const std::vector<float> silence(voice.size(), 0.0f);
      const float level = static_cast<float>(Distance(voice, silence) / Distance(melody, silence));
      std::vector<float> mix(voice.size());
      for (size_t i = 0; i < mix.size(); ++i) mix[i] = voice[i] + level * melody[i];

      std::vector<float> separated;
      ASSERT_NO_FATAL_FAILURE(Separate(mix, separated));
      // The gain in signal-to-noise ratio against the voice.
      const double gain = 20 * std::log10(Distance(mix, voice) / Distance(separated, voice));
      RecordProperty("snr_gain_db_" + std::to_string(k + 1) + m.key, std::to_string(gain));
      EXPECT_GT(gain, 4.0);
    }
  }
}

TEST(ReferenceVoice, RefusesBadInputWithoutCrashing) {
  TempDir dir;
  Corvina::Testing::WriteFileBytes(dir.Path("stereo.cvm"), "corvina-vision-model 1\nfamily: voice-extractor\nchannels: 2\n");
  Corvina::Testing::WriteFileBytes(dir.Path("bad.cvm"), "corvina-vision-model 1\nfamily: voice-extractor\nchannels: 1.5\n");
  EXPECT_EQ(voice_extractor_init(dir.Path("bad.cvm").c_str(), -1, nullptr, nullptr), nullptr);
  EXPECT_EQ(voice_extractor_init(Model("face_feature.cvm").c_str(), -1, nullptr, nullptr), nullptr);
  EXPECT_EQ(voice_extractor_init(nullptr, -1, nullptr, nullptr), nullptr);
  void* mono = voice_extractor_init(Model("voice_extractor.cvm").c_str(), -1, nullptr, nullptr);
  void* stereo = voice_extractor_init(dir.Path("stereo.cvm").c_str(), -1, nullptr, nullptr);
  ASSERT_NE(mono, nullptr);
  ASSERT_NE(stereo, nullptr);
  std::vector<float> samples(3001, 0.25f), withNaN(samples);
  withNaN[1234] = NAN;
  struct Case {
    const char* name;
    void* ctx;
    const float* samples;
    std::int32_t count;
  };
  const Case cases[] = {
      {"null context", nullptr, samples.data(), 3001},
      {"null samples", mono, nullptr, 3001},
      {"no samples", mono, samples.data(), 0},
      {"negative count", mono, samples.data(), -5},
      {"NaN sample", mono, withNaN.data(), 3001},
      {"odd count for stereo", stereo, samples.data(), 3001},
  };
  for (const auto& c : cases) {
    float* vocals = reinterpret_cast<float*>(0x10);
    voice_extractor_execute(c.ctx, c.samples, c.count, &vocals);
    EXPECT_EQ(vocals, nullptr) << c.name;
  }
  voice_extractor_execute(mono, samples.data(), 3001, nullptr);
  // A short stereo signal comes back at its length, channels interleaved.
  float* vocals = nullptr;
  voice_extractor_execute(stereo, samples.data(), 3000, &vocals);
  ASSERT_NE(vocals, nullptr);
  EXPECT_TRUE(std::all_of(vocals, vocals + 3000, [](float v) { return std::isfinite(v); }));
  voice_extractor_destroy(mono);
  voice_extractor_destroy(stereo);
}

}  // namespace
