// Face restoration family: inside the face region found from the five points,
// non-local-means denoising and OpenCV's detail enhancement, mixed by the
// fidelity (1 keeps the denoised face as it is, 0 takes the full enhancement)
// and feathered into the picture; every pixel outside the region is returned
// unchanged.
#include <cmath>
#include <memory>

#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include "reference/vision/face_exports.h"
#include "reference/vision/face_common.h"

using namespace Corvina::Reference;

namespace {

struct TFaceEnhancer {
  float Fidelity = 0.7f;
  float Denoise = 6.0f;
  TBgrResult Result;
};

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

}  // namespace

extern "C" {


void* face_enhancer_init(const char* model, std::int32_t gpu_device, float fidelity) {
  try {
    if (gpu_device < -1 || !std::isfinite(fidelity) || fidelity < 0 || fidelity > 1) return nullptr;
    const auto params = ReadModelFile(model, "face-enhancer");
    if (!params) return nullptr;
    const auto denoise = ModelNumber(*params, "denoise", 6, 0, 50);
    if (!denoise) return nullptr;
    auto enhancer = std::make_unique<TFaceEnhancer>();
    enhancer->Fidelity = fidelity;
    enhancer->Denoise = static_cast<float>(*denoise);
    return enhancer.release();
  } catch (...) {
    return nullptr;
  }
}

const std::uint8_t* face_enhancer_execute(void* ctx, const std::uint8_t* pixels, std::int32_t width,
                                          std::int32_t height, std::int32_t pitch, const float* landmarks_5) {
  if (ctx == nullptr) return nullptr;
  auto* enhancer = static_cast<TFaceEnhancer*>(ctx);
  const auto image = MappedImage(pixels, width, height, pitch);
  if (!image) return nullptr;
  const auto five = FivePointsFrom(landmarks_5, image->size());
  if (!five) return nullptr;
  try {
    cv::Mat out = BgrOf(*image);
    const cv::Mat toCrop = AlignToCrop(*five);
    if (toCrop.empty()) return nullptr;
    const cv::Mat weights = FaceWeights(toCrop, out.size());
    cv::Mat inside;
    cv::findNonZero(weights > 0, inside);
    if (inside.empty()) return enhancer->Result.Keep(out);
    const cv::Rect region = cv::boundingRect(inside);
    // The filters look a little past the region so its edge sees real context.
    const cv::Rect padded = (region + cv::Size(32, 32) - cv::Point(16, 16)) & cv::Rect(0, 0, width, height);
    const cv::Mat restored = Restore(out(padded).clone(), enhancer->Fidelity, enhancer->Denoise);
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
    return enhancer->Result.Keep(out);
  } catch (...) {
    return nullptr;
  }
}

void face_enhancer_destroy(void* ctx) { delete static_cast<TFaceEnhancer*>(ctx); }

}  // extern "C"
