// Face restoration family: inside the face region found from the five points,
// non-local-means denoising and OpenCV's detail enhancement, mixed by the
// fidelity (1 keeps the denoised face as it is, 0 takes the full enhancement)
// and feathered into the picture; every pixel outside the region is returned
// unchanged.
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

// The face region as weights 0..1 over the picture, falling to 0 inside the
// face's ellipse so that the seam never reaches outside it.
cv::Mat FaceWeights(const cv::Mat& toCrop, const cv::Size& size) {
  cv::Mat fromCrop;
  cv::invertAffineTransform(toCrop, fromCrop);
  cv::Mat mask;
  cv::warpAffine(AlignedFaceMask(), mask, fromCrop, size, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
  const double scale = std::sqrt(std::abs(cv::determinant(fromCrop.colRange(0, 2))));
  const int feather = std::max(1, static_cast<int>(std::lround(4 * scale)));
  cv::erode(mask, mask, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * feather + 1, 2 * feather + 1)));
  cv::Mat weights;
  mask.convertTo(weights, CV_32F, 1.0 / 255);
  cv::GaussianBlur(weights, weights, cv::Size(2 * feather + 1, 2 * feather + 1), 0);
  return weights;
}

cv::Mat Restore(const cv::Mat& bgr, float fidelity, float denoise) {
  cv::Mat clean, detailed;
  cv::fastNlMeansDenoisingColored(bgr, clean, denoise, denoise, 7, 21);
  cv::detailEnhance(clean, detailed, 10, 0.15f);
  cv::Mat mixed;
  cv::addWeighted(clean, fidelity, detailed, 1.0 - fidelity, 0, mixed, CV_32F);
  return mixed;
}

class FaceEnhancerContext : public Context {
 public:
  FaceEnhancerContext(float fidelity, float denoise) : FFidelity(fidelity), FDenoise(denoise) {}

  const std::uint8_t* Execute(const ImageArgs& image, const float* landmarks) {
    if (!image.Valid()) return nullptr;
    const auto five = FivePointsFrom(landmarks, cv::Size(image.width, image.height));
    if (!five) return nullptr;
    const cv::Mat toCrop = AlignToCrop(*five);
    if (toCrop.empty()) return nullptr;
    cv::Mat out = image.Bgr();
    const cv::Mat weights = FaceWeights(toCrop, out.size());
    cv::Mat inside;
    cv::findNonZero(weights > 0, inside);
    if (inside.empty()) return StoreBgr(out, FResult);
    const cv::Rect region = cv::boundingRect(inside);
    // The filters look a little past the region so its edge sees real context.
    const cv::Rect padded = (region + cv::Size(32, 32) - cv::Point(16, 16)) & cv::Rect(0, 0, out.cols, out.rows);
    const cv::Mat restored = Restore(out(padded).clone(), FFidelity, FDenoise);
    for (int y = region.y; y < region.br().y; ++y) {
      const float* w = weights.ptr<float>(y);
      const cv::Vec3f* r = restored.ptr<cv::Vec3f>(y - padded.y);
      cv::Vec3b* o = out.ptr<cv::Vec3b>(y);
      for (int x = region.x; x < region.br().x; ++x) {
        if (w[x] <= 0) continue;
        const cv::Vec3f mixed = r[x - padded.x] * w[x] + cv::Vec3f(o[x]) * (1 - w[x]);
        o[x] = cv::Vec3b(cv::saturate_cast<std::uint8_t>(mixed[0]), cv::saturate_cast<std::uint8_t>(mixed[1]),
                         cv::saturate_cast<std::uint8_t>(mixed[2]));
      }
    }
    return StoreBgr(out, FResult);
  }

 private:
  float FFidelity;
  float FDenoise;
  std::vector<std::uint8_t> FResult;
};

}  // namespace
}  // namespace Corvina::Reference::Vision

using namespace Corvina::Reference::Vision;

CORVINA_SAM2_EXPORT void* face_enhancer_init(const char* model, std::int32_t gpu_device, float fidelity) {
  return Guarded(
      [&]() -> void* {
        if (gpu_device < -1 || !std::isfinite(fidelity) || fidelity < 0 || fidelity > 1) return nullptr;
        const auto params = ModelFile::Read(model, "face-enhancer");
        if (!params) return nullptr;
        const auto denoise = params->Number("denoise", 6, 0, 50);
        if (!denoise) return nullptr;
        return Register(std::make_unique<FaceEnhancerContext>(fidelity, static_cast<float>(*denoise)));
      },
      static_cast<void*>(nullptr));
}

CORVINA_SAM2_EXPORT const std::uint8_t* face_enhancer_execute(void* ctx, const std::uint8_t* pixels,
                                                              std::int32_t width, std::int32_t height,
                                                              std::int32_t pitch, const float* landmarks_5) {
  return Guarded(
      [&]() -> const std::uint8_t* {
        auto* c = Lookup<FaceEnhancerContext>(ctx);
        return c ? c->Execute({pixels, width, height, pitch}, landmarks_5) : nullptr;
      },
      static_cast<const std::uint8_t*>(nullptr));
}

CORVINA_SAM2_EXPORT void face_enhancer_destroy(void* ctx) {
  Guarded([&] { Destroy<FaceEnhancerContext>(ctx); });
}
