// Object removal by classical inpainting: the marked pixels are rebuilt from
// their surroundings (patches copied from around the hole, or Telea's fast
// marching, Navier-Stokes, or frequency selective reconstruction from the
// contrib photo module); every other pixel is handed back exactly as it came.
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>
#include <opencv2/xphoto/inpainting.hpp>

#include "reference/vision/common.h"
#include "reference/vision/entry_points.h"
#include "reference/vision/patch_fill.h"

namespace Corvina::Reference::Vision {
namespace {

enum class Method { Exemplar, Telea, NavierStokes, FrequencySelective };

struct LamaParams {
  Method method = Method::Telea;
  // Neighbourhood that each rebuilt pixel draws on; for patches, half their side.
  double radius = 5;
};

std::optional<LamaParams> ReadParams(const char* path) {
  const auto model = ModelFile::Read(path, "lama");
  if (!model) return std::nullopt;
  const auto method = model->Text("method", "telea");
  if (!method) return std::nullopt;
  // Patches cost the square of their side: beyond 33x33 a fill takes minutes.
  const bool exemplar = *method == "exemplar";
  const auto radius = model->Number("radius", exemplar ? 4 : 5, 1, exemplar ? 16 : 64);
  if (!radius) return std::nullopt;
  LamaParams p;
  if (exemplar) {
    p.method = Method::Exemplar;
  } else if (*method == "telea") {
    p.method = Method::Telea;
  } else if (*method == "navier-stokes") {
    p.method = Method::NavierStokes;
  } else if (*method == "fsr") {
    p.method = Method::FrequencySelective;
  } else {
    return std::nullopt;
  }
  p.radius = *radius;
  return p;
}

// A mask pixel marks the region when the mean of its red, green and blue is
// above 127; alpha plays no part.
cv::Mat MarkedRegion(const ImageArgs& mask) {
  cv::Mat region(mask.height, mask.width, CV_8U);
  const auto* base = static_cast<const std::uint8_t*>(mask.pixels);
  for (int y = 0; y < mask.height; ++y) {
    const std::uint8_t* in = base + static_cast<std::ptrdiff_t>(y) * mask.pitch;
    std::uint8_t* out = region.ptr<std::uint8_t>(y);
    for (int x = 0; x < mask.width; ++x, in += 4) out[x] = in[0] + in[1] + in[2] > 3 * 127 ? 255 : 0;
  }
  return region;
}

// The contrib module's reconstruction left black and bright blocks in
// pictures with a side that is no multiple of its 16-pixel blocks (188 of
// 264 small pictures): it is handed one grown by reflection to fit them.
cv::Mat FrequencySelective(const cv::Mat& bgr, const cv::Mat& region) {
  constexpr int kBlock = 16, kMargin = 8;
  const auto after = [](int side) { return kMargin + (kBlock - (side + 2 * kMargin) % kBlock) % kBlock; };
  cv::Mat img, keep, out;
  // This method names the pixels to keep rather than those to rebuild.
  cv::copyMakeBorder(bgr, img, kMargin, after(bgr.rows), kMargin, after(bgr.cols), cv::BORDER_REFLECT);
  cv::copyMakeBorder(region == 0, keep, kMargin, after(bgr.rows), kMargin, after(bgr.cols), cv::BORDER_REFLECT);
  cv::xphoto::inpaint(img, keep, out, cv::xphoto::INPAINT_FSR_FAST);
  return out(cv::Rect(kMargin, kMargin, bgr.cols, bgr.rows)).clone();
}

class LamaContext : public Context {
 public:
  explicit LamaContext(const LamaParams& params) : FParams(params) {}

  const std::uint8_t* Execute(const ImageArgs& image, const void* maskPixels) {
    const ImageArgs mask = image.With(maskPixels);
    if (!image.Valid() || !mask.Valid()) return nullptr;
    const cv::Mat bgr = image.Bgr();
    const cv::Mat region = MarkedRegion(mask);
    cv::Mat filled;
    const int marked = cv::countNonZero(region);
    // Nothing marked, or nothing left to draw from: the picture as it came
    // (Telea spent 6 s and 3.7 GB at 8192x8192 to give the same).
    if (marked == 0 || marked == region.rows * region.cols) {
      filled = bgr;
    } else {
      filled = Inpaint(bgr, region);
      // Only the marked pixels may change, whatever the method did elsewhere.
      bgr.copyTo(filled, region == 0);
    }
    return StoreBgr(filled, FResult);
  }

 private:
  cv::Mat Inpaint(const cv::Mat& bgr, const cv::Mat& region) const {
    cv::Mat out;
    switch (FParams.method) {
      case Method::Exemplar:
        out = FillFromPatches(bgr, region, static_cast<int>(FParams.radius));
        // Too little known to copy from: a thin frame around a large hole.
        if (out.empty()) out = DiffuseFill(bgr, region);
        break;
      case Method::Telea:
        out = Diffused(bgr, region, FParams.radius, cv::INPAINT_TELEA);
        break;
      case Method::NavierStokes:
        out = Diffused(bgr, region, FParams.radius, cv::INPAINT_NS);
        break;
      case Method::FrequencySelective:
        out = FrequencySelective(bgr, region);
        break;
    }
    return out;
  }

  LamaParams FParams;
  std::vector<std::uint8_t> FResult;
};

}  // namespace
}  // namespace Corvina::Reference::Vision

using namespace Corvina::Reference::Vision;

CORVINA_SAM2_EXPORT void* lama_init(const char* model, int gpuDevice) {
  (void)gpuDevice;  // the processor does the work whatever the number
  return Guarded(
      [&]() -> void* {
        const auto params = ReadParams(model);
        if (!params) return nullptr;
        return Register(std::make_unique<LamaContext>(*params));
      },
      static_cast<void*>(nullptr));
}

CORVINA_SAM2_EXPORT const std::uint8_t* lama_execute(void* ctx, const std::uint8_t* pixels, const std::uint8_t* maskPixels, int width,
                                                     int height, int pitch) {
  return Guarded(
      [&]() -> const std::uint8_t* {
        auto* c = Lookup<LamaContext>(ctx);
        return c ? c->Execute({pixels, width, height, pitch}, maskPixels) : nullptr;
      },
      static_cast<const std::uint8_t*>(nullptr));
}

CORVINA_SAM2_EXPORT void lama_destroy(void* ctx) {
  Guarded([&] { Destroy<LamaContext>(ctx); });
}
