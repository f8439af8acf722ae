// Face detection family: dlib's frontal face finder, its 68-point shape model,
// the five points derived from the 68, and a feature vector of the aligned
// face crop (texture histograms for identity, a small appearance code for the
// swapper).
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "reference/vision/face_exports.h"
#include "reference/vision/face_common.h"

using Anything::TBBox;
using namespace Corvina::Reference;

namespace {

struct TFaceDetector {
  std::unique_ptr<TFaceLandmarker> Marks;
  float MinScore = 0.5f;
  float MaxOverlap = 0.4f;
  int Upsample = 0;
  std::vector<TBBox> Boxes;
  std::vector<float> Feature;
};

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

}  // namespace

extern "C" {


void* face_detector_init(const char* model, const char* landmark_model, const char* feature_model,
                         std::int32_t gpu_device, float confidence_threshold, float overlap_threshold) {
  try {
    if (gpu_device < -1) return nullptr;
    if (!std::isfinite(confidence_threshold) || confidence_threshold < 0 || confidence_threshold > 1) return nullptr;
    if (!std::isfinite(overlap_threshold) || overlap_threshold < 0 || overlap_threshold > 1) return nullptr;
    const auto params = ReadModelFile(model, "face-detector");
    if (!params || !ReadModelFile(feature_model, "face-feature")) return nullptr;
    const auto upsample = ModelNumber(*params, "upsample", 0, 0, 1);
    if (!upsample) return nullptr;
    auto detector = std::make_unique<TFaceDetector>();
    detector->Marks = TFaceLandmarker::Load(landmark_model);
    if (!detector->Marks) return nullptr;
    detector->MinScore = confidence_threshold;
    detector->MaxOverlap = overlap_threshold;
    detector->Upsample = static_cast<int>(*upsample);
    return detector.release();
  } catch (...) {
    return nullptr;
  }
}

void face_detector_execute(void* ctx, const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                           std::int32_t pitch, std::int32_t* count, TBBox** boxes) {
  if (count != nullptr) *count = 0;
  if (boxes != nullptr) *boxes = nullptr;
  if (ctx == nullptr || count == nullptr || boxes == nullptr) return;
  auto* detector = static_cast<TFaceDetector*>(ctx);
  detector->Boxes.clear();
  const auto image = MappedImage(pixels, width, height, pitch);
  if (!image) return;
  try {
    for (const auto& found : detector->Marks->Find(GrayOf(*image), detector->MinScore, detector->MaxOverlap,
                                                   detector->Upsample)) {
      TBBox box{};
      box.xmin = found.Box.x;
      box.ymin = found.Box.y;
      box.xmax = found.Box.x + found.Box.width;
      box.ymax = found.Box.y + found.Box.height;
      box.score = found.Score;
      detector->Boxes.push_back(box);
    }
  } catch (...) {
    detector->Boxes.clear();
  }
  *count = static_cast<std::int32_t>(detector->Boxes.size());
  *boxes = detector->Boxes.empty() ? nullptr : detector->Boxes.data();
}

void face_detector_landmark_5(void* ctx, const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                              std::int32_t pitch, TBBox* box, std::int32_t* feature_length, float** feature) {
  if (feature_length != nullptr) *feature_length = 0;
  if (feature != nullptr) *feature = nullptr;
  if (ctx == nullptr || box == nullptr || feature_length == nullptr || feature == nullptr) return;
  auto* detector = static_cast<TFaceDetector*>(ctx);
  const auto image = MappedImage(pixels, width, height, pitch);
  if (!image || !UsableBox(*box, image->size())) return;
  try {
    const cv::Mat gray = GrayOf(*image);
    const auto shape =
        detector->Marks->Shape(gray, cv::Rect2f(box->xmin, box->ymin, box->xmax - box->xmin, box->ymax - box->ymin));
    const auto five = FiveFromSixtyEight(shape);
    for (int k = 0; k < 68; ++k) {
      box->landmark_68[2 * k] = shape[k].x;
      box->landmark_68[2 * k + 1] = shape[k].y;
    }
    for (int k = 0; k < 5; ++k) {
      box->landmark_5[2 * k] = box->kps[2 * k] = five[k].x;
      box->landmark_5[2 * k + 1] = box->kps[2 * k + 1] = five[k].y;
    }
    const cv::Mat toCrop = AlignToCrop(five);
    if (toCrop.empty()) return;
    const cv::Mat crop = AlignedCrop(BgrOf(*image), toCrop);
    detector->Feature.assign(kFeatureLength, 0.0f);
    IdentityPart(crop, detector->Feature.data());
    AppearancePart(crop, detector->Feature.data() + kIdentityLength);
    *feature_length = kFeatureLength;
    *feature = detector->Feature.data();
  } catch (...) {
    *feature_length = 0;
    *feature = nullptr;
  }
}

void face_detector_destroy(void* ctx) { delete static_cast<TFaceDetector*>(ctx); }

}  // extern "C"
