// Promptable segmentation without a network: loading a picture works out its
// cues once (focus, contrast with the rim, colour bins, the links of a graph
// cut) on a shrunk copy, as an encoder would; each prompt then settles figure
// and ground with a few rounds of colour models and graph cuts (cutout.h),
// and the mask is brought back to full size with a guided filter so its edge
// follows the picture's.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc/edge_filter.hpp>

#include "reference/vision/common.h"
#include "reference/vision/cutout.h"
#include "reference/vision/entry_points.h"
#include "reference/vision/face_common.h"

namespace Corvina::Reference::Vision {
namespace {

struct SamParams {
  int workSize = 320;        // longest side the cut is made at
  int iterations = 3;        // rounds of colour models and graph cuts
  int refineRadius = 8;      // guided filter radius at full size, 0 = off
  double refineEps = 1e-3;   // guided filter regularisation (intensities 0..1)
};

std::optional<SamParams> ReadParams(const char* encoderPath, const char* decoderPath) {
  const auto encoder = ModelFile::Read(encoderPath, "sam2-encoder");
  const auto decoder = ModelFile::Read(decoderPath, "sam2-decoder");
  if (!encoder || !decoder) return std::nullopt;
  const auto workSize = encoder->Number("work-size", 320, 32, 4096);
  const auto iterations = decoder->Number("iterations", 3, 1, 20);
  const auto refineRadius = decoder->Number("refine-radius", 8, 0, 64);
  const auto refineEps = decoder->Number("refine-eps", 1e-3, 1e-8, 1);
  if (!workSize || !iterations || !refineRadius || !refineEps) return std::nullopt;
  SamParams p;
  p.workSize = static_cast<int>(*workSize);
  p.iterations = static_cast<int>(*iterations);
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
    FFigure.reset();
    FGuide.release();
    if (!image.Valid()) return;
    cv::Mat bgr = image.Bgr();
    FFigure.emplace(FigureOf(bgr, FParams.workSize, FFaces, FFactor));
    if (FParams.refineRadius > 0) cv::cvtColor(bgr, FGuide, cv::COLOR_BGR2GRAY);
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
  cv::Size WorkSize() const { return FFigure->Size(); }

  cv::Point ToWork(cv::Point p) const {
    const int x = static_cast<int>(std::floor((p.x + 0.5) * FFactor));
    const int y = static_cast<int>(std::floor((p.y + 0.5) * FFactor));
    return {std::clamp(x, 0, WorkSize().width - 1), std::clamp(y, 0, WorkSize().height - 1)};
  }

  cv::Rect ToWork(const cv::Rect& r) const {
    const cv::Point tl = ToWork(r.tl());
    const int x1 = static_cast<int>(std::ceil(r.br().x * FFactor));
    const int y1 = static_cast<int>(std::ceil(r.br().y * FFactor));
    return cv::Rect(tl, cv::Point(std::max(x1, tl.x + 1), std::max(y1, tl.y + 1))) & cv::Rect(cv::Point(), WorkSize());
  }

  cv::Mat PointMaskAtWorkSize() const {
    std::vector<cv::Point> seeds;
    for (const cv::Point& p : FPoints) {
      if (p.x < 0 || p.y < 0 || p.x >= FImage.cols || p.y >= FImage.rows) continue;
      seeds.push_back(ToWork(p));
    }
    if (seeds.empty()) return cv::Mat::zeros(WorkSize(), CV_8U);
    return PointedObject(*FFigure, seeds, FParams.iterations);
  }

  cv::Mat RectMaskAtWorkSize() const {
    cv::Mat mask = cv::Mat::zeros(WorkSize(), CV_8U);
    const cv::Rect whole(0, 0, FImage.cols, FImage.rows);
    for (const cv::Rect& r : FRects) {
      const cv::Rect clipped = r & whole;
      if (clipped.empty()) continue;
      const cv::Rect box = ToWork(clipped);
      if (box.empty()) continue;
      mask |= BoxedObject(*FFigure, box, FParams.iterations);
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
  TFaceFinder FFaces;
  cv::Mat FImage;
  std::optional<TFigureGround> FFigure;  // the cues of FImage at the working size
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
