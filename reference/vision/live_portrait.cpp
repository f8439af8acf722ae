// Portrait animation family: the portrait's 68 landmarks follow the motion of
// the driving face's landmarks relative to the first driving frame after the
// portrait was set (turned and scaled into the portrait's face), and the
// portrait is warped triangle by triangle over those landmarks; the frame is
// returned at the driving frame's size.
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "reference/vision/common.h"
#include "reference/vision/entry_points.h"
#include "reference/vision/face_common.h"

namespace Corvina::Reference::Vision {
namespace {

// The face the finder is surest of.
std::optional<TSixtyEightPoints> MainFace(const TFaceLandmarker& marks, const cv::Mat& gray) {
  auto found = marks.Find(gray, 0.5f, 0.4f, 0);
  if (found.empty()) found = marks.Find(gray, 0.5f, 0.4f, 1);
  if (found.empty()) return std::nullopt;
  return marks.Shape(gray, found.front().Box);
}

// The rotation and scale (no shift) that best takes the driving face's
// landmarks onto the portrait's.
cv::Matx22f DrivingToPortrait(const TSixtyEightPoints& driving, const TSixtyEightPoints& portrait) {
  cv::Point2d dm(0, 0), pm(0, 0);
  for (int i = 0; i < 68; ++i) {
    dm += cv::Point2d(driving[i]);
    pm += cv::Point2d(portrait[i]);
  }
  dm /= 68.0;
  pm /= 68.0;
  double norm = 0, a = 0, b = 0;
  for (int i = 0; i < 68; ++i) {
    const cv::Point2d d = cv::Point2d(driving[i]) - dm;
    const cv::Point2d p = cv::Point2d(portrait[i]) - pm;
    norm += d.dot(d);
    a += d.x * p.x + d.y * p.y;
    b += d.x * p.y - d.y * p.x;
  }
  if (norm < 1e-6) return cv::Matx22f::eye();
  return cv::Matx22f(static_cast<float>(a / norm), static_cast<float>(-b / norm), static_cast<float>(b / norm),
                     static_cast<float>(a / norm));
}

// Warps the portrait so that each point of from lands on the same point of to;
// the picture's corners and edge centres stay put.
cv::Mat PiecewiseAffine(const cv::Mat& portrait, const TSixtyEightPoints& from, const TSixtyEightPoints& to) {
  const cv::Rect bounds(0, 0, portrait.cols, portrait.rows);
  const float w = static_cast<float>(portrait.cols - 1), h = static_cast<float>(portrait.rows - 1);
  std::vector<cv::Point2f> src(from.begin(), from.end()), dst(to.begin(), to.end());
  for (const cv::Point2f anchor : {cv::Point2f(0, 0), cv::Point2f(w / 2, 0), cv::Point2f(w, 0), cv::Point2f(w, h / 2),
                                   cv::Point2f(w, h), cv::Point2f(w / 2, h), cv::Point2f(0, h), cv::Point2f(0, h / 2)}) {
    src.push_back(anchor);
    dst.push_back(anchor);
  }
  for (auto& p : dst) p = cv::Point2f(std::clamp(p.x, 0.0f, w), std::clamp(p.y, 0.0f, h));

  cv::Subdiv2D subdiv(cv::Rect(0, 0, portrait.cols, portrait.rows));
  for (const auto& p : dst) subdiv.insert(p);
  std::vector<cv::Vec6f> triangles;
  subdiv.getTriangleList(triangles);

  const auto indexOf = [&](cv::Point2f p) -> int {
    for (size_t i = 0; i < dst.size(); ++i)
      if (std::abs(dst[i].x - p.x) < 0.5f && std::abs(dst[i].y - p.y) < 0.5f) return static_cast<int>(i);
    return -1;
  };
  cv::Mat out = portrait.clone();
  for (const auto& t : triangles) {
    const std::array<int, 3> idx = {indexOf({t[0], t[1]}), indexOf({t[2], t[3]}), indexOf({t[4], t[5]})};
    if (std::any_of(idx.begin(), idx.end(), [](int i) { return i < 0; })) continue;
    std::vector<cv::Point2f> d = {dst[idx[0]], dst[idx[1]], dst[idx[2]]};
    const std::vector<cv::Point2f> s = {src[idx[0]], src[idx[1]], src[idx[2]]};
    if (std::abs(cv::contourArea(d)) < 0.5 || std::abs(cv::contourArea(s)) < 0.5) continue;
    const cv::Rect r = cv::boundingRect(d) & bounds;
    if (r.empty()) continue;
    std::vector<cv::Point> corners;
    for (auto& p : d) {
      p -= cv::Point2f(static_cast<float>(r.x), static_cast<float>(r.y));
      corners.emplace_back(static_cast<int>(std::lround(p.x)), static_cast<int>(std::lround(p.y)));
    }
    const cv::Mat toSource = cv::getAffineTransform(d.data(), s.data());
    cv::Mat patch, mask(r.size(), CV_8UC1, cv::Scalar(0));
    cv::warpAffine(portrait, patch, toSource, r.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                   cv::BORDER_REFLECT_101);
    cv::fillConvexPoly(mask, corners, cv::Scalar(255));
    patch.copyTo(out(r), mask);
  }
  return out;
}

class LivePortraitContext : public Context {
 public:
  explicit LivePortraitContext(std::unique_ptr<TFaceLandmarker> marks) : FMarks(std::move(marks)) {}

  void SetInput(const ImageArgs& image) {
    if (!image.Valid()) return;
    FPortrait.release();
    FPortraitFace.reset();
    FReference.reset();
    FLastTarget.reset();
    FPortrait = image.Bgr();
    FPortraitFace = MainFace(*FMarks, GrayOf(image.Bgra()));
  }

  const std::uint8_t* Execute(std::int32_t frame, const ImageArgs& image) {
    if (frame < 0 || !image.Valid() || FPortrait.empty()) return nullptr;
    cv::Mat animated = FPortrait;
    if (FPortraitFace) {
      const auto driving = MainFace(*FMarks, GrayOf(image.Bgra()));
      if (driving && (frame == 0 || !FReference)) FReference = driving;
      if (driving && FReference) {
        const cv::Matx22f turn = DrivingToPortrait(*FReference, *FPortraitFace);
        TSixtyEightPoints target;
        for (int i = 0; i < 68; ++i) {
          const cv::Point2f moved = (*driving)[i] - (*FReference)[i];
          target[i] = (*FPortraitFace)[i] + cv::Point2f(turn * cv::Vec2f(moved.x, moved.y));
        }
        FLastTarget = target;
      }
      if (FLastTarget) animated = PiecewiseAffine(FPortrait, *FPortraitFace, *FLastTarget);
    }
    cv::Mat sized;
    cv::resize(animated, sized, cv::Size(image.width, image.height), 0, 0, cv::INTER_LINEAR);
    return StoreBgr(sized, FResult);
  }

 private:
  std::unique_ptr<TFaceLandmarker> FMarks;
  cv::Mat FPortrait;                              // BGR; empty until lp_set_input
  std::optional<TSixtyEightPoints> FPortraitFace;  // none when the portrait shows no face
  std::optional<TSixtyEightPoints> FReference;    // the driving face the motion is measured from
  std::optional<TSixtyEightPoints> FLastTarget;
  std::vector<std::uint8_t> FResult;
};

}  // namespace
}  // namespace Corvina::Reference::Vision

using namespace Corvina::Reference::Vision;

CORVINA_SAM2_EXPORT void* lp_init(const char* feature_model, const char* motion_model, const char* warping_model,
                                  const char* stitching_model, const char* landmark_model, const char* face_model,
                                  const char* face_pose_model, const char* mask_template, std::int32_t gpu_device) {
  return Guarded(
      [&]() -> void* {
        if (gpu_device < -1) return nullptr;
        for (const char* path : {feature_model, motion_model, warping_model, stitching_model, face_model,
                                 face_pose_model, mask_template})
          if (!ModelFile::Read(path, "live-portrait")) return nullptr;
        auto marks = TFaceLandmarker::Load(landmark_model);
        if (!marks) return nullptr;
        return Register(std::make_unique<LivePortraitContext>(std::move(marks)));
      },
      static_cast<void*>(nullptr));
}

CORVINA_SAM2_EXPORT void lp_set_input(void* ctx, const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                                      std::int32_t pitch) {
  Guarded([&] {
    if (auto* c = Lookup<LivePortraitContext>(ctx)) c->SetInput({pixels, width, height, pitch});
  });
}

CORVINA_SAM2_EXPORT const std::uint8_t* lp_execute(void* ctx, std::int32_t frame, const std::uint8_t* pixels,
                                                   std::int32_t width, std::int32_t height, std::int32_t pitch) {
  return Guarded(
      [&]() -> const std::uint8_t* {
        auto* c = Lookup<LivePortraitContext>(ctx);
        return c ? c->Execute(frame, {pixels, width, height, pitch}) : nullptr;
      },
      static_cast<const std::uint8_t*>(nullptr));
}

CORVINA_SAM2_EXPORT void lp_destroy(void* ctx) {
  Guarded([&] { Destroy<LivePortraitContext>(ctx); });
}
