// Single-object tracking with OpenCV's CSRT correlation-filter tracker. CSRT
// reports only found or lost, so the confidence is the normalised correlation
// between the first frame's object and the patch under the new box.
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>
#include <opencv2/tracking.hpp>

#include "reference/vision/common.h"
#include "reference/vision/entry_points.h"

namespace Corvina::Reference::Vision {
namespace {

struct TrackParams {
  float padding = 3.0f;       // search area around the object, in object sizes
  float templateSize = 200;   // CSRT works on the object scaled to about this
  int scales = 33;            // scale candidates per frame
  bool hog = true;            // gradient features beside colour names
  float psrThreshold = 0.035f;
};

std::optional<TrackParams> ReadParams(const char* path) {
  const auto model = ModelFile::Read(path, "ostrack");
  if (!model) return std::nullopt;
  const auto padding = model->Number("padding", 3.0, 1.0, 8.0);
  const auto templateSize = model->Number("template-size", 200, 32, 800);
  const auto scales = model->Number("scales", 33, 1, 65);
  const auto hog = model->Number("hog", 1, 0, 1);
  const auto psr = model->Number("psr-threshold", 0.035, 0, 1);
  if (!padding || !templateSize || !scales || !hog || !psr) return std::nullopt;
  TrackParams p;
  p.padding = static_cast<float>(*padding);
  p.templateSize = static_cast<float>(*templateSize);
  p.scales = static_cast<int>(*scales);
  p.hog = *hog != 0;
  p.psrThreshold = static_cast<float>(*psr);
  return p;
}

const cv::Size kAppearanceSize(32, 32);

class TrackContext : public Context {
 public:
  explicit TrackContext(const TrackParams& params) : FParams(params) {}

  void Start(const ImageArgs& image, int left, int top, int right, int bottom) {
    // Whatever happens below, the previous object is forgotten.
    FTracker.reset();
    if (!image.Valid()) return;
    if (right <= left || bottom <= top) return;
    // Clip the edges before any width is computed: the far ones may be
    // anywhere in the integer range.
    const cv::Rect box(cv::Point(std::clamp(left, 0, image.width), std::clamp(top, 0, image.height)),
                       cv::Point(std::clamp(right, 0, image.width), std::clamp(bottom, 0, image.height)));
    // CSRT needs a few pixels of object to build its filters.
    if (box.width < 4 || box.height < 4) return;

    const cv::Mat frame = image.Bgr();
    cv::TrackerCSRT::Params p;
    p.padding = FParams.padding;
    p.template_size = FParams.templateSize;
    p.number_of_scales = FParams.scales;
    p.use_hog = FParams.hog;
    p.psr_threshold = FParams.psrThreshold;
    cv::Ptr<cv::TrackerCSRT> tracker = cv::TrackerCSRT::create(p);
    tracker->init(frame, box);
    FAppearance = Appearance(frame, box);
    FFrameSize = frame.size();
    FLast = box;
    FTracker = std::move(tracker);
  }

  void Track(const ImageArgs& image, TDrOBB& result) {
    if (!FTracker || !image.Valid()) return;
    // The filters are tied to the first frame's geometry.
    if (image.width != FFrameSize.width || image.height != FFrameSize.height) return;
    const cv::Mat frame = image.Bgr();
    cv::Rect box;
    const bool found = FTracker->update(frame, box);
    float score = 0.0f;
    if (found) {
      box &= cv::Rect(0, 0, frame.cols, frame.rows);
      if (box.empty()) {
        box = FLast;
      } else {
        FLast = box;
        score = Similarity(Appearance(frame, box));
      }
    } else {
      box = FLast;
    }
    result.box.x0 = static_cast<float>(box.x);
    result.box.y0 = static_cast<float>(box.y);
    result.box.x1 = static_cast<float>(box.x + box.width);
    result.box.y1 = static_cast<float>(box.y + box.height);
    result.score = score;
    result.class_id = 0;
  }

 private:
  static cv::Mat Appearance(const cv::Mat& frame, const cv::Rect& box) {
    cv::Mat patch;
    cv::resize(frame(box), patch, kAppearanceSize, 0, 0, cv::INTER_AREA);
    patch.convertTo(patch, CV_32F);
    return patch;
  }

  float Similarity(const cv::Mat& patch) const {
    cv::Mat ncc;
    cv::matchTemplate(patch, FAppearance, ncc, cv::TM_CCOEFF_NORMED);
    const float v = ncc.at<float>(0, 0);
    // A flat patch makes the correlation undefined: equal flat patches match.
    if (!std::isfinite(v)) return cv::norm(patch, FAppearance, cv::NORM_INF) < 8 ? 1.0f : 0.0f;
    return std::clamp(v, 0.0f, 1.0f);
  }

  TrackParams FParams;
  cv::Ptr<cv::TrackerCSRT> FTracker;
  cv::Mat FAppearance;
  cv::Size FFrameSize;
  cv::Rect FLast;
};

}  // namespace
}  // namespace Corvina::Reference::Vision

using namespace Corvina::Reference::Vision;

CORVINA_SAM2_EXPORT void* ostrack_init(const char* model, int gpuDevice) {
  (void)gpuDevice;  // the processor does the work whatever the number
  return Guarded(
      [&]() -> void* {
        const auto params = ReadParams(model);
        if (!params) return nullptr;
        return Register(std::make_unique<TrackContext>(*params));
      },
      static_cast<void*>(nullptr));
}

CORVINA_SAM2_EXPORT void ostrack_init_image(void* ctx, const std::uint8_t* pixels, int width, int height, int pitch, int left,
                                            int top, int right, int bottom) {
  Guarded([&] {
    if (auto* c = Lookup<TrackContext>(ctx)) c->Start({pixels, width, height, pitch}, left, top, right, bottom);
  });
}

CORVINA_SAM2_EXPORT void ostrack_track(void* ctx, const std::uint8_t* pixels, int width, int height, int pitch,
                                       TDrOBB* result) {
  if (result == nullptr) return;
  *result = TDrOBB{};
  Guarded([&] {
    TDrOBB found{};
    if (auto* c = Lookup<TrackContext>(ctx)) c->Track({pixels, width, height, pitch}, found);
    *result = found;
  });
}

CORVINA_SAM2_EXPORT void ostrack_destroy(void* ctx) {
  Guarded([&] { Destroy<TrackContext>(ctx); });
}
