// Frozen at eba12f8 as the benchmark's peer; not part of the product.
// Promptable segmentation without a network: a point grows a colour region
// that seeds GrabCut, a box seeds GrabCut directly; the coarse mask is worked
// out on a shrunk copy and brought back to full size with a guided filter so
// its edge follows the picture's.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc/edge_filter.hpp>

#include "reference/vision/common.h"
#include "reference/vision/entry_points.h"

namespace Corvina::Reference::Vision {
namespace {

struct SamParams {
  int workSize = 512;        // longest side GrabCut works on
  int smoothing = 5;         // median aperture before region growing
  int iterations = 5;        // GrabCut rounds
  int tolerance = 24;        // per-channel colour range of region growing
  double maxRegion = 0.6;    // a grown region larger than this share leaked
  int refineRadius = 8;      // guided filter radius at full size, 0 = off
  double refineEps = 1e-3;   // guided filter regularisation (intensities 0..1)
};

std::optional<SamParams> ReadParams(const char* encoderPath, const char* decoderPath) {
  const auto encoder = ModelFile::Read(encoderPath, "sam2-encoder");
  const auto decoder = ModelFile::Read(decoderPath, "sam2-decoder");
  if (!encoder || !decoder) return std::nullopt;
  const auto workSize = encoder->Number("work-size", 512, 32, 4096);
  const auto smoothing = encoder->Number("smoothing", 5, 1, 9);
  const auto iterations = decoder->Number("iterations", 5, 1, 20);
  const auto tolerance = decoder->Number("tolerance", 24, 1, 128);
  const auto maxRegion = decoder->Number("max-region", 0.6, 0.01, 1);
  const auto refineRadius = decoder->Number("refine-radius", 8, 0, 64);
  const auto refineEps = decoder->Number("refine-eps", 1e-3, 1e-8, 1);
  if (!workSize || !smoothing || !iterations || !tolerance || !maxRegion || !refineRadius || !refineEps) {
    return std::nullopt;
  }
  SamParams p;
  p.workSize = static_cast<int>(*workSize);
  p.smoothing = static_cast<int>(*smoothing) | 1;  // median apertures are odd
  p.iterations = static_cast<int>(*iterations);
  p.tolerance = static_cast<int>(*tolerance);
  p.maxRegion = *maxRegion;
  p.refineRadius = static_cast<int>(*refineRadius);
  p.refineEps = *refineEps;
  return p;
}

// "cpu" or "cuda:<number>"; everything runs on the processor either way.
bool KnownDevice(const char* device) {
  if (device == nullptr) return false;
  if (std::strcmp(device, "cpu") == 0) return true;
  int number = 0;
  char tail = 0;
  return std::sscanf(device, "cuda:%d%c", &number, &tail) == 1;
}

// More prompts than any picture needs would only make every mask slower.
constexpr std::size_t kMaxPrompts = 4096;

class SamContext : public Context {
 public:
  explicit SamContext(const SamParams& params) : FParams(params) {}

  void Load(const ImageArgs& image) {
    // A refused image also forgets the previous one: a mask of the old size
    // must never be handed out for a picture of another size.
    FImage.release();
    FWork.release();
    FSmooth.release();
    FGuide.release();
    if (!image.Valid()) return;
    cv::Mat bgr = image.Bgr();
    cv::Mat work = Shrink(bgr, FParams.workSize, FFactor);
    cv::medianBlur(work, FSmooth, FParams.smoothing);
    if (FParams.refineRadius > 0) cv::cvtColor(bgr, FGuide, cv::COLOR_BGR2GRAY);
    FWork = std::move(work);
    FImage = std::move(bgr);
  }

  void AddPoint(int x, int y) {
    if (FPoints.size() < kMaxPrompts) FPoints.emplace_back(x, y);
  }
  void AddRect(int x, int y, int width, int height) {
    if (width <= 0 || height <= 0 || FRects.size() >= kMaxPrompts) return;
    // Far edges beyond the integer range could not be clipped safely.
    if (std::int64_t{x} + width > INT32_MAX || std::int64_t{y} + height > INT32_MAX) return;
    FRects.emplace_back(x, y, width, height);
  }
  void Clear() {
    FPoints.clear();
    FRects.clear();
  }

  const std::uint8_t* PointMask() {
    if (FImage.empty()) return nullptr;
    return StoreGray(ToFullSize(PointMaskAtWorkSize()), FResult);
  }

  const std::uint8_t* RectMask() {
    if (FImage.empty()) return nullptr;
    cv::Mat mask = ToFullSize(RectMaskAtWorkSize());
    // A box prompt never selects anything outside its boxes.
    cv::Mat inside = cv::Mat::zeros(mask.size(), CV_8U);
    const cv::Rect whole(0, 0, FImage.cols, FImage.rows);
    for (const cv::Rect& r : FRects) inside(r & whole).setTo(255);
    mask &= inside;
    return StoreGray(mask, FResult);
  }

 private:
  cv::Size WorkSize() const { return FWork.size(); }

  cv::Point ToWork(cv::Point p) const {
    const int x = static_cast<int>(std::floor((p.x + 0.5) * FFactor));
    const int y = static_cast<int>(std::floor((p.y + 0.5) * FFactor));
    return {std::clamp(x, 0, FWork.cols - 1), std::clamp(y, 0, FWork.rows - 1)};
  }

  cv::Rect ToWork(const cv::Rect& r) const {
    const cv::Point tl = ToWork(r.tl());
    const int x1 = static_cast<int>(std::ceil(r.br().x * FFactor));
    const int y1 = static_cast<int>(std::ceil(r.br().y * FFactor));
    return cv::Rect(tl, cv::Point(std::max(x1, tl.x + 1), std::max(y1, tl.y + 1))) &
           cv::Rect(0, 0, FWork.cols, FWork.rows);
  }

  // The colour region around one seed; a leak over most of the picture or a
  // speck on texture falls back to a disc around the seed.
  cv::Mat GrowRegion(cv::Point seed) const {
    cv::Mat flood = cv::Mat::zeros(FWork.rows + 2, FWork.cols + 2, CV_8U);
    const cv::Scalar range = cv::Scalar::all(FParams.tolerance);
    cv::floodFill(FSmooth, flood, seed, cv::Scalar(), nullptr, range, range,
                  4 | cv::FLOODFILL_FIXED_RANGE | cv::FLOODFILL_MASK_ONLY | (255 << 8));
    cv::Mat region = flood(cv::Rect(1, 1, FWork.cols, FWork.rows)).clone();
    const double area = static_cast<double>(FWork.total());
    const int shortest = std::min(FWork.cols, FWork.rows);
    const int count = cv::countNonZero(region);
    if (count > FParams.maxRegion * area) {
      region.setTo(0);
      cv::circle(region, seed, std::max(1, shortest / 10), cv::Scalar(255), cv::FILLED);
    } else if (count < 0.001 * area) {
      cv::circle(region, seed, std::max(1, shortest / 30), cv::Scalar(255), cv::FILLED);
    }
    return region;
  }

  cv::Mat PointMaskAtWorkSize() const {
    cv::Mat mask = cv::Mat::zeros(WorkSize(), CV_8U);
    std::vector<cv::Point> seeds;
    for (const cv::Point& p : FPoints) {
      if (p.x < 0 || p.y < 0 || p.x >= FImage.cols || p.y >= FImage.rows) continue;
      seeds.push_back(ToWork(p));
    }
    if (seeds.empty()) return mask;

    cv::Mat region = cv::Mat::zeros(WorkSize(), CV_8U);
    for (const cv::Point& s : seeds) region |= GrowRegion(s);

    const cv::Rect box = cv::boundingRect(region);
    const cv::Rect roi = Grown(box, std::max(8, std::max(box.width, box.height) / 2));
    cv::Mat labels(roi.size(), CV_8U, cv::Scalar(cv::GC_PR_BGD));
    labels.setTo(cv::GC_PR_FGD, region(roi));
    for (const cv::Point& s : seeds) cv::circle(labels, s - roi.tl(), 2, cv::Scalar(cv::GC_FGD), cv::FILLED);

    cv::Mat fg;
    if (cv::countNonZero(labels == cv::GC_PR_BGD) == 0) {
      fg = region(roi).clone();
    } else {
      try {
        cv::Mat bgdModel, fgdModel;
        cv::grabCut(FWork(roi), labels, cv::Rect(), bgdModel, fgdModel, FParams.iterations, cv::GC_INIT_WITH_MASK);
        fg = (labels & 1) * 255;  // GC_FGD and GC_PR_FGD are the odd labels
        // On clutter the colour models can overlap so much that nothing but
        // the fixed seeds survives; the grown region is the better answer.
        if (cv::countNonZero(fg) * 4 < cv::countNonZero(region(roi))) fg = region(roi).clone();
      } catch (const cv::Exception&) {
        fg = region(roi).clone();  // degenerate colour models: keep the grown region
      }
    }

    // The object a point names is the piece of foreground that holds it.
    cv::Mat components;
    cv::connectedComponents(fg, components, 8, CV_32S);
    cv::Mat kept = cv::Mat::zeros(fg.size(), CV_8U);
    for (const cv::Point& s : seeds) {
      const int label = components.at<int>(s - roi.tl());
      if (label != 0) kept.setTo(255, components == label);
    }
    FillHoles(kept);
    kept.copyTo(mask(roi));
    return mask;
  }

  // The box with room around it for GrabCut's background model.
  cv::Rect BoxSurroundings(const cv::Rect& box) const {
    return Grown(box, std::max(8, std::max(box.width, box.height) / 10));
  }

  cv::Rect Grown(const cv::Rect& r, int margin) const {
    return cv::Rect(r.x - margin, r.y - margin, r.width + 2 * margin, r.height + 2 * margin) &
           cv::Rect(0, 0, FWork.cols, FWork.rows);
  }

  // The object inside one box, over BoxSurroundings(box).
  cv::Mat BoxMask(const cv::Rect& box) const {
    const cv::Rect roi = BoxSurroundings(box);
    const cv::Rect inner = box - roi.tl();
    cv::Mat labels(roi.size(), CV_8U, cv::Scalar(cv::GC_BGD));
    labels(inner).setTo(cv::GC_PR_FGD);
    if (inner.size() == roi.size()) {
      // The box is the whole picture: let its rim speak for the background.
      const int rim = std::max(1, std::min(inner.width, inner.height) / 20);
      cv::rectangle(labels, cv::Rect(0, 0, roi.width, roi.height), cv::Scalar(cv::GC_PR_BGD), rim);
    }
    cv::Mat fg = cv::Mat::zeros(roi.size(), CV_8U);
    if (inner.width < 3 || inner.height < 3) {
      fg(inner).setTo(255);
      return fg;
    }
    try {
      cv::Mat bgdModel, fgdModel;
      cv::grabCut(FWork(roi), labels, cv::Rect(), bgdModel, fgdModel, FParams.iterations, cv::GC_INIT_WITH_MASK);
      fg = (labels & 1) * 255;
    } catch (const cv::Exception&) {
      fg(inner).setTo(255);
      return fg;
    }
    // A box frames one object: keep its main piece and any sizeable others.
    cv::Mat components, stats, centroids;
    const int n = cv::connectedComponentsWithStats(fg, components, stats, centroids, 8, CV_32S);
    int largest = 0;
    for (int i = 1; i < n; ++i) largest = std::max(largest, stats.at<int>(i, cv::CC_STAT_AREA));
    cv::Mat kept = cv::Mat::zeros(fg.size(), CV_8U);
    for (int i = 1; i < n; ++i) {
      if (stats.at<int>(i, cv::CC_STAT_AREA) * 10 >= largest) kept.setTo(255, components == i);
    }
    FillHoles(kept);
    return kept;
  }

  cv::Mat RectMaskAtWorkSize() const {
    cv::Mat mask = cv::Mat::zeros(WorkSize(), CV_8U);
    const cv::Rect whole(0, 0, FImage.cols, FImage.rows);
    for (const cv::Rect& r : FRects) {
      const cv::Rect clipped = r & whole;
      if (clipped.empty()) continue;
      const cv::Rect box = ToWork(clipped);
      if (box.empty()) continue;
      cv::Mat piece = mask(BoxSurroundings(box));
      piece |= BoxMask(box);
    }
    return mask;
  }

  // Back to the loaded size. Only a band along the upsampled edge is
  // reconsidered: there a guided filter pulls the edge onto the picture's
  // own edges; inside and outside the band the cut stands as it is.
  cv::Mat ToFullSize(const cv::Mat& workMask) const {
    if (workMask.size() == FImage.size()) return workMask.clone();
    cv::Mat soft;
    workMask.convertTo(soft, CV_32F, 1.0 / 255);
    cv::resize(soft, soft, FImage.size(), 0, 0, cv::INTER_LINEAR);
    cv::Mat hard = soft >= 0.5f;
    if (FParams.refineRadius == 0 || cv::countNonZero(workMask) == 0) return hard;

    const int reach = static_cast<int>(std::ceil(1.0 / FFactor));
    const cv::Mat disc = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * reach + 1, 2 * reach + 1));
    cv::Mat outer, inner;
    cv::dilate(hard, outer, disc);
    cv::erode(hard, inner, disc);
    cv::Mat guide, refined;
    FGuide.convertTo(guide, CV_32F, 1.0 / 255);
    cv::ximgproc::guidedFilter(guide, soft, refined, FParams.refineRadius, FParams.refineEps);
    cv::Mat refinedHard = refined >= 0.5f;
    refinedHard.copyTo(hard, outer & ~inner);
    return hard;
  }

  SamParams FParams;
  cv::Mat FImage;
  cv::Mat FWork;
  cv::Mat FSmooth;
  cv::Mat FGuide;
  double FFactor = 1.0;
  std::vector<cv::Point> FPoints;
  std::vector<cv::Rect> FRects;
  std::vector<std::uint8_t> FResult;
};

}  // namespace
}  // namespace Corvina::Reference::Vision

using namespace Corvina::Reference::Vision;

CORVINA_SAM2_EXPORT void* sam_init(const char* encoderModel, const char* decoderModel, const char* device) {
  return Guarded(
      [&]() -> void* {
        if (!KnownDevice(device)) return nullptr;
        const auto params = ReadParams(encoderModel, decoderModel);
        if (!params) return nullptr;
        return Register(std::make_unique<SamContext>(*params));
      },
      static_cast<void*>(nullptr));
}

CORVINA_SAM2_EXPORT void sam_load_image(void* ctx, const std::uint8_t* pixels, int width, int height, int pitch) {
  Guarded([&] {
    if (auto* c = Lookup<SamContext>(ctx)) c->Load({pixels, width, height, pitch});
  });
}

CORVINA_SAM2_EXPORT void sam_add_rect(void* ctx, int x, int y, int width, int height) {
  Guarded([&] {
    if (auto* c = Lookup<SamContext>(ctx)) c->AddRect(x, y, width, height);
  });
}

CORVINA_SAM2_EXPORT void sam_add_point(void* ctx, int x, int y) {
  Guarded([&] {
    if (auto* c = Lookup<SamContext>(ctx)) c->AddPoint(x, y);
  });
}

CORVINA_SAM2_EXPORT void sam_clear(void* ctx) {
  Guarded([&] {
    if (auto* c = Lookup<SamContext>(ctx)) c->Clear();
  });
}

CORVINA_SAM2_EXPORT const std::uint8_t* sam_get_rect_mask(void* ctx) {
  return Guarded(
      [&]() -> const std::uint8_t* {
        auto* c = Lookup<SamContext>(ctx);
        return c ? c->RectMask() : nullptr;
      },
      static_cast<const std::uint8_t*>(nullptr));
}

CORVINA_SAM2_EXPORT const std::uint8_t* sam_get_point_mask(void* ctx) {
  return Guarded(
      [&]() -> const std::uint8_t* {
        auto* c = Lookup<SamContext>(ctx);
        return c ? c->PointMask() : nullptr;
      },
      static_cast<const std::uint8_t*>(nullptr));
}

CORVINA_SAM2_EXPORT void sam_destroy(void* ctx) {
  Guarded([&] { Destroy<SamContext>(ctx); });
}
