// What the face and portrait families of the reference vision library share:
// dlib's face finder and 68-point shape model, and the five-point alignment
// of a face.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

namespace Corvina::Reference::Vision {

// Five points in the order eye (image left), eye (image right), nose tip,
// mouth corner (image left), mouth corner (image right).
using TFivePoints = std::array<cv::Point2f, 5>;
using TSixtyEightPoints = std::array<cv::Point2f, 68>;

TFivePoints FiveFromSixtyEight(const TSixtyEightPoints& points);
// Reads ten floats (x then y); nothing when a value is not finite or lies
// far outside the image.
std::optional<TFivePoints> FivePointsFrom(const float* values, const cv::Size& image);

// The side of the square aligned face crop, and the 2x3 similarity that takes
// the five points of a face onto their places in that crop.
inline constexpr int kAlignedSide = 112;
cv::Mat AlignToCrop(const TFivePoints& points);
cv::Mat AlignedCrop(const cv::Mat& bgr, const cv::Mat& toCrop);
// Where the face's skin lies in the aligned crop: 255 inside an ellipse, 0 out.
cv::Mat AlignedFaceMask();

// The feature vector of a face: first an identity part (texture histograms of
// the aligned crop, unit length), then an appearance code (the aligned crop at
// 32 x 32, B, G, R, scaled far below the identity part so that it barely moves
// a cosine similarity) from which the swapper paints the face.
inline constexpr int kIdentityLength = 16 * 59;
inline constexpr int kAppearanceSide = 32;
inline constexpr int kAppearanceLength = kAppearanceSide * kAppearanceSide * 3;
inline constexpr int kFeatureLength = kIdentityLength + kAppearanceLength;
inline constexpr float kAppearanceScale = 1e-3f / 255.0f;

// dlib's frontal face finder, at scores near its own threshold confirmed by
// OpenCV's Haar cascade of frontal faces (opencv-data): the two make their
// mistakes on different things (dlib on round emblems), so a weak finding
// both agree on is a face. The first finder made in a process unpacks dlib's
// model (a good part of a second); later ones copy it. A finder may not be
// used by two threads at once.
class TFaceFinder {
 public:
  struct TFound {
    cv::Rect2f Box;
    float Score;  // 0..1, the finder's margin through a logistic curve
  };

  TFaceFinder();
  ~TFaceFinder();
  TFaceFinder(const TFaceFinder&) = delete;
  TFaceFinder& operator=(const TFaceFinder&) = delete;

  // Faces in a gray picture whose score reaches minScore, strongest first,
  // with no two overlapping by more than maxOverlap (intersection over union).
  // upsample 1 doubles the picture first (finds faces down to 40 pixels).
  std::vector<TFound> Find(const cv::Mat& gray, float minScore = 0.5f, float maxOverlap = 0.4f,
                           int upsample = 0) const;

 private:
  struct TModel;
  std::unique_ptr<TModel> FModel;
};

// The face finder and a 68-point shape model read from a dlib .dat file
// (Debian's libdlib-data ships shape_predictor_68_face_landmarks.dat).
class TFaceLandmarker {
 public:
  using TFound = TFaceFinder::TFound;

  // Null when the file is missing or not a dlib shape model of 68 points.
  static std::unique_ptr<TFaceLandmarker> Load(const char* path);
  ~TFaceLandmarker();

  std::vector<TFound> Find(const cv::Mat& gray, float minScore, float maxOverlap, int upsample) const {
    return FFinder.Find(gray, minScore, maxOverlap, upsample);
  }
  TSixtyEightPoints Shape(const cv::Mat& gray, const cv::Rect2f& box) const;

 private:
  struct TModels;
  explicit TFaceLandmarker(std::unique_ptr<TModels> models);
  TFaceFinder FFinder;
  std::unique_ptr<TModels> FModels;
};

cv::Mat GrayOf(const cv::Mat& bgra);

}  // namespace Corvina::Reference::Vision
