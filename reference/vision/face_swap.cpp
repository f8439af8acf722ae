// Face swap family: the target face, aligned by its five points, is repainted
// from the appearance code that the source face's feature vector carries
// (kept below the code's resolution: the target's own fine texture), mapped
// back into the picture and blended in with Poisson cloning.
#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include "reference/vision/common.h"
#include "reference/vision/entry_points.h"
#include "reference/vision/face_common.h"

namespace Corvina::Reference::Vision {
namespace {

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

class FaceSwapperContext : public Context {
 public:
  explicit FaceSwapperContext(float detail) : FDetail(detail) {}

  const std::uint8_t* Execute(const ImageArgs& image, const float* landmarks, std::int32_t length,
                              const float* embedding) {
    if (!image.Valid()) return nullptr;
    const auto five = FivePointsFrom(landmarks, cv::Size(image.width, image.height));
    if (!five) return nullptr;
    const cv::Mat appearance = DecodeAppearance(length, embedding);
    if (appearance.empty()) return nullptr;
    const cv::Mat toCrop = AlignToCrop(*five);
    if (toCrop.empty()) return nullptr;
    cv::Mat out = image.Bgr();
    const cv::Mat face = PaintFace(AlignedCrop(out, toCrop), appearance, FDetail);

    cv::Mat fromCrop, placed, mask;
    cv::invertAffineTransform(toCrop, fromCrop);
    cv::warpAffine(face, placed, fromCrop, out.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    cv::warpAffine(AlignedFaceMask(), mask, fromCrop, out.size(), cv::INTER_NEAREST, cv::BORDER_CONSTANT,
                   cv::Scalar(0));
    // Poisson cloning needs a ring of known pixels around the region.
    cv::rectangle(mask, cv::Rect(0, 0, out.cols, out.rows), cv::Scalar(0), 4);
    if (cv::countNonZero(mask) < 16) return StoreBgr(out, FResult);
    const cv::Rect region = cv::boundingRect(mask);
    const cv::Point centre(region.x + region.width / 2, region.y + region.height / 2);
    cv::Mat blended;
    cv::seamlessClone(placed, out, mask, centre, blended, cv::NORMAL_CLONE);
    return StoreBgr(blended, FResult);
  }

 private:
  float FDetail;
  std::vector<std::uint8_t> FResult;
};

}  // namespace
}  // namespace Corvina::Reference::Vision

using namespace Corvina::Reference::Vision;

CORVINA_SAM2_EXPORT void* face_swapper_init(const char* model, const char* model_matrix, std::int32_t gpu_device) {
  return Guarded(
      [&]() -> void* {
        if (gpu_device < -1) return nullptr;
        const auto params = ModelFile::Read(model, "face-swapper");
        if (!params || !ModelFile::Read(model_matrix, "face-swapper-matrix")) return nullptr;
        const auto detail = params->Number("detail", 0.3, 0, 2);
        if (!detail) return nullptr;
        return Register(std::make_unique<FaceSwapperContext>(static_cast<float>(*detail)));
      },
      static_cast<void*>(nullptr));
}

CORVINA_SAM2_EXPORT const std::uint8_t* face_swapper_execute(void* ctx, const std::uint8_t* pixels,
                                                             std::int32_t width, std::int32_t height,
                                                             std::int32_t pitch, const float* target_landmarks_5,
                                                             std::int32_t embedding_length, const float* embedding) {
  return Guarded(
      [&]() -> const std::uint8_t* {
        auto* c = Lookup<FaceSwapperContext>(ctx);
        return c ? c->Execute({pixels, width, height, pitch}, target_landmarks_5, embedding_length, embedding)
                 : nullptr;
      },
      static_cast<const std::uint8_t*>(nullptr));
}

CORVINA_SAM2_EXPORT void face_swapper_destroy(void* ctx) {
  Guarded([&] { Destroy<FaceSwapperContext>(ctx); });
}
