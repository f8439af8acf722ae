// Background replacement without a network: focus (a subject in focus over a
// defocused background) and, where the background is in focus too, colour
// contrast with the picture's rim name the likely subject, and found faces
// make a portrait's people the subject; colour models and
// graph cuts settle it (cutout.h), a guided filter turns the cut into a soft
// matte that follows the picture's edges, and the matte blends the picture
// over the new background.
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc/edge_filter.hpp>

#include "reference/vision/common.h"
#include "reference/vision/cutout.h"
#include "reference/vision/entry_points.h"
#include "reference/vision/face_common.h"

namespace Corvina::Reference::Vision {
namespace {

struct RmbgParams {
  int workSize = 320;       // longest side the cut is made on
  int iterations = 3;       // rounds of colour models and graph cuts
  int mattRadius = 2;       // guided filter radius, in pixels of the working size
  double mattEps = 1e-3;    // guided filter regularisation (intensities 0..1)
  double feather = 1.5;     // Gaussian softening of the matte edge, pixels
};

std::optional<RmbgParams> ReadParams(const char* path) {
  const auto model = ModelFile::Read(path, "rmbg");
  if (!model) return std::nullopt;
  const auto workSize = model->Number("work-size", 320, 32, 4096);
  const auto iterations = model->Number("iterations", 3, 1, 20);
  const auto radius = model->Number("matte-radius", 2, 1, 64);
  const auto eps = model->Number("matte-eps", 1e-3, 1e-8, 1);
  const auto feather = model->Number("feather", 1.5, 0, 32);
  if (!workSize || !iterations || !radius || !eps || !feather) return std::nullopt;
  RmbgParams p;
  p.workSize = static_cast<int>(*workSize);
  p.iterations = static_cast<int>(*iterations);
  p.mattRadius = static_cast<int>(*radius);
  p.mattEps = *eps;
  p.feather = *feather;
  return p;
}

class RmbgContext : public Context {
 public:
  explicit RmbgContext(const RmbgParams& params) : FParams(params) {}

  const std::uint8_t* Execute(const ImageArgs& image, const void* backgroundPixels) {
    const ImageArgs background = image.With(backgroundPixels);
    if (!image.Valid() || !background.Valid()) return nullptr;
    const cv::Mat bgr = image.Bgr();
    const cv::Mat alpha = Matte(bgr);
    return StoreBgr(Composite(bgr, background.Bgra(), alpha), FResult);
  }

 private:
  // Opacity of the foreground at full size, 0..1, soft only near its edge.
  cv::Mat Matte(const cv::Mat& bgr) const {
    double factor = 1.0;
    cv::Mat alpha;
    Subject(FigureOf(bgr, FParams.workSize, FFaces, factor), FParams.iterations).convertTo(alpha, CV_32F, 1.0 / 255);
    if (alpha.size() != bgr.size()) cv::resize(alpha, alpha, bgr.size(), 0, 0, cv::INTER_LINEAR);
    cv::Mat guide;
    cv::cvtColor(bgr, guide, cv::COLOR_BGR2GRAY);
    guide.convertTo(guide, CV_32F, 1.0 / 255);
    // The cut is as coarse as the working size, so the filter reaches as far
    // at full size.
    const int radius = static_cast<int>(std::ceil(FParams.mattRadius / factor));
    cv::ximgproc::guidedFilter(guide, alpha, alpha, radius, FParams.mattEps);
    if (FParams.feather > 0) cv::GaussianBlur(alpha, alpha, cv::Size(), FParams.feather);
    // Settle the nearly sure values so the inside is the picture itself and
    // the outside the background itself.
    alpha.setTo(1.0f, alpha > 0.98f);
    alpha.setTo(0.0f, alpha < 0.02f);
    return alpha;
  }

  static cv::Mat Composite(const cv::Mat& bgr, const cv::Mat& backgroundBgra, const cv::Mat& alpha) {
    cv::Mat out(bgr.size(), CV_8UC3);
    for (int y = 0; y < bgr.rows; ++y) {
      const auto* front = bgr.ptr<std::uint8_t>(y);
      const auto* back = backgroundBgra.ptr<std::uint8_t>(y);
      const auto* a = alpha.ptr<float>(y);
      auto* o = out.ptr<std::uint8_t>(y);
      for (int x = 0; x < bgr.cols; ++x) {
        for (int c = 0; c < 3; ++c) {
          const float v = back[4 * x + c] + a[x] * (front[3 * x + c] - back[4 * x + c]);
          o[3 * x + c] = static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
        }
      }
    }
    return out;
  }

  RmbgParams FParams;
  TFaceFinder FFaces;
  std::vector<std::uint8_t> FResult;
};

}  // namespace
}  // namespace Corvina::Reference::Vision

using namespace Corvina::Reference::Vision;

CORVINA_SAM2_EXPORT void* rmbg_init(const char* model, int gpuDevice) {
  (void)gpuDevice;  // the processor does the work whatever the number
  return Guarded(
      [&]() -> void* {
        const auto params = ReadParams(model);
        if (!params) return nullptr;
        return Register(std::make_unique<RmbgContext>(*params));
      },
      static_cast<void*>(nullptr));
}

CORVINA_SAM2_EXPORT const std::uint8_t* rmbg_execute(void* ctx, const std::uint8_t* pixels, const std::uint8_t* backgroundPixels,
                                                     int width, int height, int pitch) {
  return Guarded(
      [&]() -> const std::uint8_t* {
        auto* c = Lookup<RmbgContext>(ctx);
        return c ? c->Execute({pixels, width, height, pitch}, backgroundPixels) : nullptr;
      },
      static_cast<const std::uint8_t*>(nullptr));
}

CORVINA_SAM2_EXPORT void rmbg_destroy(void* ctx) {
  Guarded([&] { Destroy<RmbgContext>(ctx); });
}
