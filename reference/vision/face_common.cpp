#include "reference/vision/face_common.h"

#include <algorithm>
#include <cmath>
#include <fstream>

#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/image_processing/shape_predictor.h>
#include <dlib/opencv/cv_image.h>
#include <dlib/serialize.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

namespace Corvina::Reference::Vision {

namespace {

// Where the five points of a face sit in the aligned crop (the usual
// 112-pixel template of face alignment).
const TFivePoints kTemplate = {cv::Point2f(38.2946f, 51.6963f), cv::Point2f(73.5318f, 51.5014f),
                               cv::Point2f(56.0252f, 71.7366f), cv::Point2f(41.5493f, 92.3655f),
                               cv::Point2f(70.7299f, 92.2041f)};

cv::Point2f Mean(const TSixtyEightPoints& p, int first, int last) {
  cv::Point2f sum(0, 0);
  for (int i = first; i <= last; ++i) sum += p[i];
  return sum / static_cast<float>(last - first + 1);
}

float Overlap(const cv::Rect2f& a, const cv::Rect2f& b) {
  const float inter = (a & b).area();
  const float uni = a.area() + b.area() - inter;
  return uni > 0 ? inter / uni : 0.0f;
}

}  // namespace

TFivePoints FiveFromSixtyEight(const TSixtyEightPoints& p) {
  return {Mean(p, 36, 41), Mean(p, 42, 47), p[30], p[48], p[54]};
}

std::optional<TFivePoints> FivePointsFrom(const float* values, const cv::Size& image) {
  if (values == nullptr) return std::nullopt;
  TFivePoints points;
  for (int k = 0; k < 5; ++k) {
    const float x = values[2 * k];
    const float y = values[2 * k + 1];
    if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
    if (std::abs(x) > 4.0f * static_cast<float>(image.width) + 4096 ||
        std::abs(y) > 4.0f * static_cast<float>(image.height) + 4096)
      return std::nullopt;
    points[k] = cv::Point2f(x, y);
  }
  return points;
}

cv::Mat AlignToCrop(const TFivePoints& points) {
  // Least-squares similarity (rotation, uniform scale, shift).
  cv::Point2d ps(0, 0), qs(0, 0);
  for (int i = 0; i < 5; ++i) {
    ps += cv::Point2d(points[i]);
    qs += cv::Point2d(kTemplate[i]);
  }
  ps /= 5.0;
  qs /= 5.0;
  double norm = 0, a = 0, b = 0;
  for (int i = 0; i < 5; ++i) {
    const cv::Point2d p = cv::Point2d(points[i]) - ps;
    const cv::Point2d q = cv::Point2d(kTemplate[i]) - qs;
    norm += p.dot(p);
    a += p.x * q.x + p.y * q.y;
    b += p.x * q.y - p.y * q.x;
  }
  if (norm < 1e-6) return {};
  a /= norm;
  b /= norm;
  if (std::hypot(a, b) < 1e-6) return {};
  cv::Mat m = (cv::Mat_<double>(2, 3) << a, -b, qs.x - (a * ps.x - b * ps.y), b, a, qs.y - (b * ps.x + a * ps.y));
  return m;
}

cv::Mat AlignedCrop(const cv::Mat& bgr, const cv::Mat& toCrop) {
  cv::Mat crop;
  cv::warpAffine(bgr, crop, toCrop, cv::Size(kAlignedSide, kAlignedSide), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return crop;
}

cv::Mat AlignedFaceMask() {
  cv::Mat mask(kAlignedSide, kAlignedSide, CV_8UC1, cv::Scalar(0));
  cv::ellipse(mask, cv::Point(56, 64), cv::Size(40, 50), 0, 0, 360, cv::Scalar(255), cv::FILLED);
  return mask;
}

// dlib's finder model, unpacked once per process; finders are copies.
const dlib::frontal_face_detector& UnpackedFinder() {
  static const dlib::frontal_face_detector unpacked = dlib::get_frontal_face_detector();
  return unpacked;
}

struct TFaceLandmarker::TModels {
  dlib::shape_predictor Shape;
};

TFaceLandmarker::TFaceLandmarker(std::unique_ptr<TModels> models) : FModels(std::move(models)) {}
TFaceLandmarker::~TFaceLandmarker() = default;

std::unique_ptr<TFaceLandmarker> TFaceLandmarker::Load(const char* path) {
  if (path == nullptr) return nullptr;
  auto models = std::make_unique<TModels>();
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return nullptr;
    dlib::deserialize(models->Shape, in);
  } catch (const std::exception&) {
    return nullptr;
  }
  if (models->Shape.num_parts() != 68) return nullptr;
  return std::unique_ptr<TFaceLandmarker>(new TFaceLandmarker(std::move(models)));
}

TSixtyEightPoints TFaceLandmarker::Shape(const cv::Mat& gray, const cv::Rect2f& box) const {
  dlib::cv_image<unsigned char> image(gray);
  const dlib::rectangle r(std::lround(box.x), std::lround(box.y), std::lround(box.x + box.width) - 1,
                          std::lround(box.y + box.height) - 1);
  const dlib::full_object_detection shape = FModels->Shape(image, r);
  TSixtyEightPoints points;
  for (unsigned i = 0; i < 68; ++i)
    points[i] = cv::Point2f(static_cast<float>(shape.part(i).x()), static_cast<float>(shape.part(i).y()));
  return points;
}

struct TFaceFinder::TModel {
  dlib::frontal_face_detector Finder;
  cv::CascadeClassifier Cascade;  // empty when opencv-data is missing: no confirmation then
};

TFaceFinder::TFaceFinder() : FModel(std::make_unique<TModel>(TModel{UnpackedFinder(), {}})) {
  FModel->Cascade.load(CORVINA_FACE_CASCADE);
}

TFaceFinder::~TFaceFinder() = default;

namespace {

// dlib's margins from here on are faces whatever the cascade says.
constexpr double kSureMargin = 1.0;

// Whether the cascade (not const: it keeps scratch data) finds a face where
// box is: around it, at about its size, seen by at least three of its
// overlapping windows.
bool Confirmed(cv::CascadeClassifier& cascade, const cv::Mat& gray, const cv::Rect2f& box) {
  const cv::Rect around = cv::Rect(cvRound(box.x - box.width / 2), cvRound(box.y - box.height / 2),
                                   cvRound(2 * box.width), cvRound(2 * box.height)) &
                          cv::Rect(0, 0, gray.cols, gray.rows);
  if (around.empty()) return false;
  std::vector<cv::Rect> found;
  std::vector<int> neighbours;
  cascade.detectMultiScale(gray(around), found, neighbours, 1.1, 1, 0,
                           cv::Size(cvRound(box.width / 2), cvRound(box.height / 2)),
                           cv::Size(cvRound(2 * box.width), cvRound(2 * box.height)));
  for (std::size_t i = 0; i < found.size(); ++i)
    if (neighbours[i] >= 3 && Overlap(cv::Rect2f(found[i] + around.tl()), box) > 0.3f) return true;
  return false;
}

}  // namespace

std::vector<TFaceFinder::TFound> TFaceFinder::Find(const cv::Mat& gray, float minScore, float maxOverlap,
                                                   int upsample) const {
  const double s = std::clamp(static_cast<double>(minScore), 0.001, 0.999);
  const double threshold = std::log(s / (1 - s));  // the margin whose logistic is minScore
  const double scale = upsample > 0 ? 2.0 : 1.0;
  cv::Mat work = gray;
  if (upsample > 0) cv::resize(gray, work, cv::Size(), scale, scale, cv::INTER_LINEAR);
  dlib::cv_image<unsigned char> image(work);
  std::vector<dlib::rect_detection> found;
  FModel->Finder(image, found, threshold);
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.detection_confidence > b.detection_confidence; });
  std::vector<TFound> kept;
  for (const auto& d : found) {
    const auto& r = d.rect;
    const cv::Rect2f box(static_cast<float>(r.left() / scale), static_cast<float>(r.top() / scale),
                         static_cast<float>((r.right() + 1 - r.left()) / scale),
                         static_cast<float>((r.bottom() + 1 - r.top()) / scale));
    const bool suppressed =
        std::any_of(kept.begin(), kept.end(), [&](const TFound& k) { return Overlap(k.Box, box) > maxOverlap; });
    if (suppressed) continue;
    if (d.detection_confidence < kSureMargin && !FModel->Cascade.empty() &&
        !Confirmed(FModel->Cascade, work, cv::Rect2f(box.x * scale, box.y * scale, box.width * scale, box.height * scale)))
      continue;
    kept.push_back({box, static_cast<float>(1.0 / (1.0 + std::exp(-d.detection_confidence)))});
  }
  return kept;
}

cv::Mat GrayOf(const cv::Mat& bgra) {
  cv::Mat gray;
  cv::cvtColor(bgra, gray, cv::COLOR_BGRA2GRAY);
  return gray;
}

}  // namespace Corvina::Reference::Vision
