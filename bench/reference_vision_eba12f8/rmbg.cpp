// Frozen at eba12f8 as the benchmark's peer; not part of the product.
// Background replacement without a network: colour contrast against the
// picture's rim names the likely foreground, GrabCut settles it against the
// rim's colours, a guided filter turns the cut into a soft matte that follows the
// picture's edges, and the matte blends the picture over the new background.
#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc/edge_filter.hpp>

#include "reference/vision/common.h"
#include "reference/vision/entry_points.h"

namespace Corvina::Reference::Vision {
namespace {

struct RmbgParams {
  int workSize = 320;       // longest side the cut is made on
  int iterations = 4;       // GrabCut rounds
  double rim = 0.03;        // share of the shorter side taken as sure background
  int mattRadius = 2;       // guided filter radius, in pixels of the working size
  double mattEps = 1e-3;    // guided filter regularisation (intensities 0..1)
  double feather = 1.5;     // Gaussian softening of the matte edge, pixels
};

std::optional<RmbgParams> ReadParams(const char* path) {
  const auto model = ModelFile::Read(path, "rmbg");
  if (!model) return std::nullopt;
  const auto workSize = model->Number("work-size", 320, 32, 4096);
  const auto iterations = model->Number("iterations", 4, 1, 20);
  const auto rim = model->Number("rim", 0.03, 0.0, 0.25);
  const auto radius = model->Number("matte-radius", 2, 1, 64);
  const auto eps = model->Number("matte-eps", 1e-3, 1e-8, 1);
  const auto feather = model->Number("feather", 1.5, 0, 32);
  if (!workSize || !iterations || !rim || !radius || !eps || !feather) return std::nullopt;
  RmbgParams p;
  p.workSize = static_cast<int>(*workSize);
  p.iterations = static_cast<int>(*iterations);
  p.rim = *rim;
  p.mattRadius = static_cast<int>(*radius);
  p.mattEps = *eps;
  p.feather = *feather;
  return p;
}

// How far each pixel's colour is from every colour of the picture's rim, with
// a mild preference for the middle: the rim is taken to be background, so
// what looks like none of it is the likely subject. 255 where Otsu's split of
// that contrast says foreground.
cv::Mat Distinct(const cv::Mat& bgr, const cv::Rect& inner) {
  cv::Mat lab;
  bgr.convertTo(lab, CV_32F, 1.0 / 255);
  cv::cvtColor(lab, lab, cv::COLOR_BGR2Lab);

  cv::Mat rim(bgr.size(), CV_8U, cv::Scalar(255));
  rim(inner).setTo(0);
  std::vector<cv::Vec3f> samples;
  const int every = std::max(1, cv::countNonZero(rim) / 4000);
  int seen = 0;
  for (int y = 0; y < lab.rows; ++y) {
    for (int x = 0; x < lab.cols; ++x) {
      if (rim.at<std::uint8_t>(y, x) != 0 && seen++ % every == 0) samples.push_back(lab.at<cv::Vec3f>(y, x));
    }
  }
  const int clusters = std::min<int>(8, static_cast<int>(samples.size()));
  cv::Mat labels, centres;
  cv::kmeans(cv::Mat(samples).reshape(1), clusters, labels,
             cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 20, 0.5), 2, cv::KMEANS_PP_CENTERS,
             centres);

  cv::Mat contrast(bgr.size(), CV_32F);
  const float cx = lab.cols / 2.0f, cy = lab.rows / 2.0f;
  const float sx = lab.cols / 2.0f, sy = lab.rows / 2.0f;
  for (int y = 0; y < lab.rows; ++y) {
    for (int x = 0; x < lab.cols; ++x) {
      const cv::Vec3f v = lab.at<cv::Vec3f>(y, x);
      float nearest = std::numeric_limits<float>::max();
      for (int k = 0; k < centres.rows; ++k) {
        const cv::Vec3f c(centres.at<float>(k, 0), centres.at<float>(k, 1), centres.at<float>(k, 2));
        nearest = std::min(nearest, static_cast<float>(cv::norm(v - c)));
      }
      const float dx = (x - cx) / sx, dy = (y - cy) / sy;
      contrast.at<float>(y, x) = nearest * (0.5f + 0.5f * std::exp(-(dx * dx + dy * dy)));
    }
  }
  cv::Mat scaled, distinct;
  cv::normalize(contrast, scaled, 0, 255, cv::NORM_MINMAX, CV_8U);
  cv::threshold(scaled, distinct, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  return distinct;
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
  // The cut at working size: 255 foreground, 0 background.
  cv::Mat Cut(const cv::Mat& work) const {
    const int rim = std::max(1, static_cast<int>(std::lround(std::min(work.cols, work.rows) * FParams.rim)));
    const cv::Rect inner(rim, rim, work.cols - 2 * rim, work.rows - 2 * rim);
    if (inner.width < 4 || inner.height < 4) return cv::Mat::zeros(work.size(), CV_8U);

    cv::Mat labels(work.size(), CV_8U, cv::Scalar(cv::GC_BGD));
    cv::Mat centre = labels(inner);
    centre.setTo(cv::GC_PR_BGD);
    cv::Mat likely = Distinct(work, inner)(inner);
    if (cv::countNonZero(likely) == 0) {
      // Nothing stands out: assume the subject sits in the middle.
      cv::ellipse(centre, cv::Point(inner.width / 2, inner.height / 2), cv::Size(inner.width / 4, inner.height / 4), 0,
                  0, 360, cv::Scalar(cv::GC_PR_FGD), cv::FILLED);
    } else {
      centre.setTo(cv::GC_PR_FGD, likely);
    }
    try {
      cv::Mat bgdModel, fgdModel;
      cv::grabCut(work, labels, cv::Rect(), bgdModel, fgdModel, FParams.iterations, cv::GC_INIT_WITH_MASK);
    } catch (const cv::Exception&) {
      // Degenerate colour models (a flat picture): keep the first guess.
    }
    cv::Mat fg = (labels & 1) * 255;

    // Drop specks: keep the pieces of at least a tenth of the largest.
    cv::Mat components, stats, centroids;
    const int n = cv::connectedComponentsWithStats(fg, components, stats, centroids, 8, CV_32S);
    int largest = 0;
    for (int i = 1; i < n; ++i) largest = std::max(largest, stats.at<int>(i, cv::CC_STAT_AREA));
    cv::Mat kept = cv::Mat::zeros(fg.size(), CV_8U);
    for (int i = 1; i < n; ++i) {
      if (stats.at<int>(i, cv::CC_STAT_AREA) * 10 >= largest) kept.setTo(255, components == i);
    }
    return kept;
  }

  // Opacity of the foreground at full size, 0..1, soft only near its edge.
  cv::Mat Matte(const cv::Mat& bgr) const {
    double factor = 1.0;
    const cv::Mat work = Shrink(bgr, FParams.workSize, factor);
    cv::Mat alpha;
    Cut(work).convertTo(alpha, CV_32F, 1.0 / 255);
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
