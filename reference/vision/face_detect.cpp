// Face detection family: dlib's frontal face finder, its 68-point shape model,
// the five points derived from the 68, and a feature vector of the aligned
// face crop (texture histograms for identity, a small appearance code for the
// swapper).
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "reference/vision/common.h"
#include "reference/vision/entry_points.h"
#include "reference/vision/face_common.h"

namespace Corvina::Reference::Vision {
namespace {

// Uniform local binary patterns (8 neighbours, radius 1): 58 uniform codes
// get their own bin, every other code shares bin 58.
const std::array<std::uint8_t, 256>& UniformBins() {
  static const std::array<std::uint8_t, 256> bins = [] {
    std::array<std::uint8_t, 256> b{};
    std::uint8_t next = 0;
    for (int code = 0; code < 256; ++code) {
      int transitions = 0;
      for (int bit = 0; bit < 8; ++bit) transitions += ((code >> bit) & 1) != ((code >> ((bit + 1) % 8)) & 1);
      b[code] = transitions <= 2 ? next++ : 58;
    }
    return b;
  }();
  return bins;
}

void IdentityPart(const cv::Mat& crop, float* out) {
  cv::Mat gray;
  cv::cvtColor(crop, gray, cv::COLOR_BGR2GRAY);
  cv::GaussianBlur(gray, gray, cv::Size(3, 3), 0);
  const auto& bins = UniformBins();
  std::fill(out, out + kIdentityLength, 0.0f);
  // A 4 x 4 grid of 24-pixel cells over brows, eyes, nose, mouth and chin.
  constexpr int kLeft = 8, kTop = 16, kCell = 24;
  static const int dx[8] = {-1, 0, 1, 1, 1, 0, -1, -1};
  static const int dy[8] = {-1, -1, -1, 0, 1, 1, 1, 0};
  for (int y = kTop; y < kTop + 4 * kCell; ++y) {
    const int cy = (y - kTop) / kCell;
    for (int x = kLeft; x < kLeft + 4 * kCell; ++x) {
      const int cx = (x - kLeft) / kCell;
      const std::uint8_t centre = gray.at<std::uint8_t>(y, x);
      int code = 0;
      for (int k = 0; k < 8; ++k) {
        const int yy = std::min(y + dy[k], kAlignedSide - 1);
        const int xx = std::min(x + dx[k], kAlignedSide - 1);
        code |= (gray.at<std::uint8_t>(yy, xx) >= centre) << k;
      }
      out[(cy * 4 + cx) * 59 + bins[code]] += 1.0f;
    }
  }
  double norm = 0;
  for (int i = 0; i < kIdentityLength; ++i) {
    out[i] = std::sqrt(out[i]);  // Hellinger: compares histograms better than raw counts
    norm += static_cast<double>(out[i]) * out[i];
  }
  const float inv = norm > 0 ? static_cast<float>(1.0 / std::sqrt(norm)) : 0.0f;
  for (int i = 0; i < kIdentityLength; ++i) out[i] *= inv;
}

void AppearancePart(const cv::Mat& crop, float* out) {
  cv::Mat small;
  cv::resize(crop, small, cv::Size(kAppearanceSide, kAppearanceSide), 0, 0, cv::INTER_AREA);
  for (int i = 0; i < kAppearanceLength; ++i) out[i] = static_cast<float>(small.data[i]) * kAppearanceScale;
}

bool UsableBox(const TBBox& box, const cv::Size& image) {
  const float v[4] = {box.xmin, box.ymin, box.xmax, box.ymax};
  if (!std::all_of(v, v + 4, [](float f) { return std::isfinite(f); })) return false;
  if (box.xmax - box.xmin < 8 || box.ymax - box.ymin < 8) return false;
  return box.xmax > 0 && box.ymax > 0 && box.xmin < static_cast<float>(image.width) &&
         box.ymin < static_cast<float>(image.height);
}

class FaceDetectorContext : public Context {
 public:
  FaceDetectorContext(std::unique_ptr<TFaceLandmarker> marks, float minScore, float maxOverlap, int upsample)
      : FMarks(std::move(marks)), FMinScore(minScore), FMaxOverlap(maxOverlap), FUpsample(upsample) {}

  // The boxes of every face found, strongest first.
  const std::vector<TBBox>& Execute(const ImageArgs& image) {
    FBoxes.clear();
    if (!image.Valid()) return FBoxes;
    for (const auto& found : FMarks->Find(GrayOf(image.Bgra()), FMinScore, FMaxOverlap, FUpsample)) {
      TBBox box{};
      box.xmin = found.Box.x;
      box.ymin = found.Box.y;
      box.xmax = found.Box.x + found.Box.width;
      box.ymax = found.Box.y + found.Box.height;
      box.score = found.Score;
      FBoxes.push_back(box);
    }
    return FBoxes;
  }

  // Fills the box's landmarks and returns its feature vector; empty when the
  // box cannot hold a face of this picture.
  const std::vector<float>& Landmarks(const ImageArgs& image, TBBox& box) {
    FFeature.clear();
    if (!image.Valid() || !UsableBox(box, cv::Size(image.width, image.height))) return FFeature;
    const cv::Mat bgra = image.Bgra();
    const auto shape = FMarks->Shape(GrayOf(bgra), cv::Rect2f(box.xmin, box.ymin, box.xmax - box.xmin, box.ymax - box.ymin));
    const auto five = FiveFromSixtyEight(shape);
    for (int k = 0; k < 68; ++k) {
      box.landmark_68[2 * k] = shape[k].x;
      box.landmark_68[2 * k + 1] = shape[k].y;
    }
    for (int k = 0; k < 5; ++k) {
      box.landmark_5[2 * k] = box.kps[2 * k] = five[k].x;
      box.landmark_5[2 * k + 1] = box.kps[2 * k + 1] = five[k].y;
    }
    const cv::Mat toCrop = AlignToCrop(five);
    if (toCrop.empty()) return FFeature;
    const cv::Mat crop = AlignedCrop(image.Bgr(), toCrop);
    FFeature.assign(kFeatureLength, 0.0f);
    IdentityPart(crop, FFeature.data());
    AppearancePart(crop, FFeature.data() + kIdentityLength);
    return FFeature;
  }

 private:
  std::unique_ptr<TFaceLandmarker> FMarks;
  float FMinScore;
  float FMaxOverlap;
  int FUpsample;
  std::vector<TBBox> FBoxes;
  std::vector<float> FFeature;
};

}  // namespace
}  // namespace Corvina::Reference::Vision

using namespace Corvina::Reference::Vision;

CORVINA_SAM2_EXPORT void* face_detector_init(const char* model, const char* landmark_model, const char* feature_model,
                                             std::int32_t gpu_device, float confidence_threshold,
                                             float overlap_threshold) {
  return Guarded(
      [&]() -> void* {
        if (gpu_device < -1) return nullptr;
        if (!std::isfinite(confidence_threshold) || confidence_threshold < 0 || confidence_threshold > 1)
          return nullptr;
        if (!std::isfinite(overlap_threshold) || overlap_threshold < 0 || overlap_threshold > 1) return nullptr;
        const auto params = ModelFile::Read(model, "face-detector");
        if (!params || !ModelFile::Read(feature_model, "face-feature")) return nullptr;
        const auto upsample = params->Number("upsample", 0, 0, 1);
        if (!upsample) return nullptr;
        auto marks = TFaceLandmarker::Load(landmark_model);
        if (!marks) return nullptr;
        return Register(std::make_unique<FaceDetectorContext>(std::move(marks), confidence_threshold,
                                                              overlap_threshold, static_cast<int>(*upsample)));
      },
      static_cast<void*>(nullptr));
}

CORVINA_SAM2_EXPORT void face_detector_execute(void* ctx, const std::uint8_t* pixels, std::int32_t width,
                                               std::int32_t height, std::int32_t pitch, std::int32_t* count,
                                               TBBox** boxes) {
  if (count != nullptr) *count = 0;
  if (boxes != nullptr) *boxes = nullptr;
  if (count == nullptr || boxes == nullptr) return;
  Guarded([&] {
    auto* c = Lookup<FaceDetectorContext>(ctx);
    if (!c) return;
    auto& found = c->Execute({pixels, width, height, pitch});
    *count = static_cast<std::int32_t>(found.size());
    *boxes = found.empty() ? nullptr : const_cast<TBBox*>(found.data());
  });
}

CORVINA_SAM2_EXPORT void face_detector_landmark_5(void* ctx, const std::uint8_t* pixels, std::int32_t width,
                                                  std::int32_t height, std::int32_t pitch, TBBox* box,
                                                  std::int32_t* feature_length, float** feature) {
  if (feature_length != nullptr) *feature_length = 0;
  if (feature != nullptr) *feature = nullptr;
  if (box == nullptr || feature_length == nullptr || feature == nullptr) return;
  Guarded([&] {
    auto* c = Lookup<FaceDetectorContext>(ctx);
    if (!c) return;
    auto& vector = c->Landmarks({pixels, width, height, pitch}, *box);
    if (vector.empty()) return;
    *feature_length = static_cast<std::int32_t>(vector.size());
    *feature = const_cast<float*>(vector.data());
  });
}

CORVINA_SAM2_EXPORT void face_detector_destroy(void* ctx) {
  Guarded([&] { Destroy<FaceDetectorContext>(ctx); });
}
