// Face swap family: the target face, aligned by its five points, is repainted
// from the appearance code that the source face's feature vector carries
// (kept below the code's resolution: the target's own fine texture), mapped
// back into the picture and blended in with Poisson cloning.
#include <algorithm>
#include <cmath>
#include <memory>

#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include "reference/vision/face_exports.h"
#include "reference/vision/face_common.h"

using namespace Corvina::Reference;

namespace {

struct TFaceSwapper {
  float Detail = 1.0f;
  TBgrResult Result;
};

// The appearance code as a full-size aligned crop; empty when the vector is
// not one of this library's feature vectors.
cv::Mat DecodeAppearance(std::int32_t length, const float* embedding) {
  if (embedding == nullptr || length != kFeatureLength) return {};
  const float* code = embedding + kIdentityLength;
  cv::Mat small(kAppearanceSide, kAppearanceSide, CV_32FC3);
  auto* out = small.ptr<float>();
  for (int i = 0; i < kAppearanceLength; ++i) {
    const float v = code[i] / kAppearanceScale;
    if (!std::isfinite(v) || v < -0.5f || v > 255.5f) return {};
    out[i] = v;
  }
  cv::Mat full;
  cv::resize(small, full, cv::Size(kAlignedSide, kAlignedSide), 0, 0, cv::INTER_CUBIC);
  return full;
}

cv::Mat PaintFace(const cv::Mat& targetCrop, const cv::Mat& appearance, float detail) {
  cv::Mat target, small, coarse;
  targetCrop.convertTo(target, CV_32FC3);
  cv::resize(target, small, cv::Size(kAppearanceSide, kAppearanceSide), 0, 0, cv::INTER_AREA);
  cv::resize(small, coarse, target.size(), 0, 0, cv::INTER_CUBIC);
  cv::Mat painted = appearance + (target - coarse) * detail;
  cv::Mat out;
  painted.convertTo(out, CV_8UC3);
  return out;
}

}  // namespace

extern "C" {


void* face_swapper_init(const char* model, const char* model_matrix, std::int32_t gpu_device) {
  try {
    if (gpu_device < -1) return nullptr;
    const auto params = ReadModelFile(model, "face-swapper");
    if (!params || !ReadModelFile(model_matrix, "face-swapper-matrix")) return nullptr;
    const auto detail = ModelNumber(*params, "detail", 1, 0, 2);
    if (!detail) return nullptr;
    auto swapper = std::make_unique<TFaceSwapper>();
    swapper->Detail = static_cast<float>(*detail);
    return swapper.release();
  } catch (...) {
    return nullptr;
  }
}

const std::uint8_t* face_swapper_execute(void* ctx, const std::uint8_t* pixels, std::int32_t width,
                                         std::int32_t height, std::int32_t pitch, const float* target_landmarks_5,
                                         std::int32_t embedding_length, const float* embedding) {
  if (ctx == nullptr) return nullptr;
  auto* swapper = static_cast<TFaceSwapper*>(ctx);
  const auto image = MappedImage(pixels, width, height, pitch);
  if (!image) return nullptr;
  const auto five = FivePointsFrom(target_landmarks_5, image->size());
  if (!five) return nullptr;
  try {
    const cv::Mat appearance = DecodeAppearance(embedding_length, embedding);
    if (appearance.empty()) return nullptr;
    const cv::Mat toCrop = AlignToCrop(*five);
    if (toCrop.empty()) return nullptr;
    cv::Mat out = BgrOf(*image);
    const cv::Mat face = PaintFace(AlignedCrop(out, toCrop), appearance, swapper->Detail);

    cv::Mat fromCrop, placed, mask;
    cv::invertAffineTransform(toCrop, fromCrop);
    cv::warpAffine(face, placed, fromCrop, out.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    cv::warpAffine(AlignedFaceMask(), mask, fromCrop, out.size(), cv::INTER_NEAREST, cv::BORDER_CONSTANT,
                   cv::Scalar(0));
    // Poisson cloning needs a ring of known pixels around the region.
    cv::rectangle(mask, cv::Rect(0, 0, width, height), cv::Scalar(0), 4);
    if (cv::countNonZero(mask) < 16) return swapper->Result.Keep(out);
    const cv::Rect region = cv::boundingRect(mask);
    const cv::Point centre(region.x + region.width / 2, region.y + region.height / 2);
    cv::Mat blended;
    cv::seamlessClone(placed, out, mask, centre, blended, cv::NORMAL_CLONE);
    return swapper->Result.Keep(blended);
  } catch (...) {
    return nullptr;
  }
}

void face_swapper_destroy(void* ctx) { delete static_cast<TFaceSwapper*>(ctx); }

}  // extern "C"
