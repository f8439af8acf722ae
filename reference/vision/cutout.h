// Figure and ground of a small picture, shared by segmentation and background
// replacement: what is in focus, which colours belong to which side, and a
// graph cut that settles both along the picture's sharp edges.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

namespace Corvina::Reference::Vision {

struct TCutGraph;
class TFaceFinder;

// Fixed labels of a cut: free pixels are decided by the cues.
enum TFixed : std::uint8_t { kFree = 0, kSureBackground = 1, kSureForeground = 2 };

class TFigureGround {
 public:
  // bgr: the picture at the size the cut is made at (8-bit, 3 channels);
  // faces: the boxes of the faces in it, if any.
  explicit TFigureGround(const cv::Mat& bgr, const std::vector<cv::Rect2f>& faces = {});

  cv::Size Size() const { return FBgr.size(); }

  // Per pixel, how much focus says foreground (positive: sharp edges) or
  // background (negative: edges blurred over a few pixels), in nats; 0 where
  // the picture is too flat to tell.
  const cv::Mat& Focus() const { return FFocus; }
  // How far focus can be trusted to tell the subject, 0..1: not where the
  // picture's rim is sharp more than defocused.
  double FocusTrust() const { return FFocusTrust; }
  // Per pixel, how far its colour is from every colour of the picture's rim
  // (CIE Lab units).
  const cv::Mat& RimContrast() const { return FContrast; }
  // Where the faces' people surely stand (255), and how far they may reach;
  // empty without faces.
  const cv::Mat& People() const { return FPeople; }
  const cv::Mat& PeopleReach() const { return FPeopleReach; }

  // The foreground (255) and background (0) after rounds of colour models
  // and graph cuts. prior: CV_32F evidence in nats
  // added to every pixel's colour evidence (positive favours foreground);
  // fixed: CV_8U TFixed labels or empty; seed: CV_32F weights in [0, 1]
  // that say which pixels the first colour models learn the foreground from
  // (1 - seed the background; negative: neither). tightBox: a box the object
  // is known to fill, or null; where the object comes up to its sides it may
  // go on beyond them. convex: the object is the piece holding the
  // sure foreground, and what its convex hull encloses in focus belongs to it.
  cv::Mat Cut(const cv::Mat& prior, const cv::Mat& fixed, const cv::Mat& seed, int rounds,
              const cv::Rect* tightBox = nullptr, bool convex = false) const;

 private:
  cv::Mat FBgr;
  cv::Mat FFocus;     // CV_32F
  cv::Mat FContrast;  // CV_32F
  cv::Mat FPeople, FPeopleReach;
  double FFocusTrust = 1;
  std::shared_ptr<const TCutGraph> FGraph;
};

// The three questions the library asks; 255 marks the answer.
// The subject of the whole picture, as background replacement wants it; in
// a portrait, its people.
cv::Mat Subject(const TFigureGround& fg, int rounds);
// The object inside box (in the figure's pixels); nothing outside it.
cv::Mat BoxedObject(const TFigureGround& fg, const cv::Rect& box, int rounds);
// The object under the points (all inside the figure); points on a person
// name the person.
cv::Mat PointedObject(const TFigureGround& fg, const std::vector<cv::Point>& points, int rounds);

// The figure of a full-size picture: shrunk so its longest side is at most
// workSide (factor maps full-size coordinates to it), with the faces the
// finder sees in it.
TFigureGround FigureOf(const cv::Mat& bgr, int workSide, const TFaceFinder& finder, double& factor);

}  // namespace Corvina::Reference::Vision
