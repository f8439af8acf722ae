// Two classical methods joined. On the coarsest level of a pyramid the hole
// is grown inward in Criminisi, Perez and Toyama's order (front pixels on
// strong edges and with much known around them first, each patch given the
// best matching known patch nearby), which carries edges across. Every level
// is then refined by Wexler, Shechtman and Irani's iterations (for every
// patch touching the hole its nearest known patch, found by PatchMatch, then
// a vote of those patches per pixel), which brings back the detail of each
// finer level from the coarser answer.
#include "reference/vision/patch_fill.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <queue>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

namespace Corvina::Reference::Vision {
namespace {

// How far the inward growth looks for a patch, either way, before it widens.
constexpr int kSearch = 40;
// A level is coarse enough to grow from when no hole pixel is deeper than
// this many patch radii: deeper, copies from the rim no longer reach the middle.
constexpr int kCoarseDepth = 6;
constexpr int kRefineRounds = 4;
// The full-size level of several only sharpens an answer that is already
// laid out, and is by far the dearest: half the rounds give the same picture.
constexpr int kFullSizeRounds = 2;
// The growth's window search for one pixel, in units of one refined patch
// (Work below); one unit takes a microsecond or two.
constexpr double kGrowthWork = 18;
// Up to this much work (a second or two) even a thin hole is filled from
// patches. A solid hole costs about 4 per hole pixel, a line a pixel wide 54.
constexpr double kFreeWork = 1e6;
// Thin: no hole pixel further than this from a known one (lines 5 wide).
constexpr double kThinDepth = 3;
// Largest stretch of picture, and most work, for one fill (a photo of 12
// million pixels with a twentieth taken out is well inside both): beyond
// either it is made smaller and brought back, which bounds time and memory.
constexpr double kMaxPixels = 1 << 23;
constexpr double kMaxWork = 4e6;
// Telea's reach, and the most pixels it diffuses into at once: it spends a
// few microseconds on each hole pixel (225 s for a hole of 8192x8192 less a
// thin frame), and its answer there is smooth anyway.
constexpr int kDiffuseRadius = 5;
constexpr double kMaxDiffusePixels = 1 << 19;

// xorshift: one sequence on every platform, which std's distributions are not.
class Rng {
 public:
  int Below(int n) {
    FState ^= FState << 13;
    FState ^= FState >> 7;
    FState ^= FState << 17;
    return static_cast<int>((FState >> 11) % static_cast<std::uint64_t>(n));
  }

 private:
  std::uint64_t FState = 0x9E3779B97F4A7C15ull;
};

cv::Mat Square(int r) { return cv::getStructuringElement(cv::MORPH_RECT, {2 * r + 1, 2 * r + 1}); }

// 1 where a whole patch around the pixel lies in the picture and off the hole.
cv::Mat SourceCentres(const cv::Mat& hole, int r) {
  cv::Mat valid;
  cv::erode(hole == 0, valid, Square(r), {-1, -1}, 1, cv::BORDER_CONSTANT, cv::Scalar(0));
  return valid / 255;
}

double Depth(const cv::Mat& hole) {
  cv::Mat distance;
  cv::distanceTransform(hole, distance, cv::DIST_L2, 3);
  double deepest = 0;
  cv::minMaxLoc(distance, nullptr, &deepest);
  return deepest;
}

// The hole's box grown by margin on every side, within the picture.
cv::Rect AroundHole(const cv::Mat& region, const cv::Rect& box, int margin) {
  const cv::Rect grown(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin);
  return grown & cv::Rect(0, 0, region.cols, region.rows);
}

// The hole and all the searches reach around it, so a small hole in a huge
// picture costs what it costs in a small one.
cv::Rect Neighbourhood(const cv::Mat& region, int r) {
  const cv::Rect box = cv::boundingRect(region);
  return AroundHole(region, box, std::max(box.width, box.height) + kSearch + 4 * r);
}

// The factor (at most 1) that brings a stretch down to pixels, and a size by it.
double ShrinkTo(const cv::Rect& stretch, double pixels) {
  return std::min(1.0, std::sqrt(pixels / static_cast<double>(stretch.area())));
}
cv::Size Shrunk(const cv::Rect& stretch, double shrink) {
  return {std::max(1, static_cast<int>(stretch.width * shrink)), std::max(1, static_cast<int>(stretch.height * shrink))};
}

bool Inside(const cv::Mat& m, int x, int y) { return x >= 0 && y >= 0 && x < m.cols && y < m.rows; }

// ------------------------------------------------------------ inward growth

class InwardGrowth {
 public:
  // bgr: 8-bit, rebuilt in place where hole is 1; sources from SourceCentres.
  InwardGrowth(cv::Mat& bgr, const cv::Mat& hole, const cv::Mat& sources, int r)
      : FImg(bgr), FSources(sources), FR(r), FW(bgr.cols), FH(bgr.rows) {
    FKnown = 1 - hole;
    FKnown.convertTo(FConfidence, CV_32F);
    cv::cvtColor(FImg, FGray, cv::COLOR_BGR2GRAY);
    FGray.convertTo(FGray, CV_32F);
    const std::size_t n = static_cast<std::size_t>(FW) * FH;
    FOffset.assign(n, cv::Point(0, 0));
    FCopied.assign(n, 0);
    FStamp.assign(n, 0);
    cv::Mat distance;
    cv::distanceTransform(FSources == 0, distance, FNearestLabel, cv::DIST_L2, 3, cv::DIST_LABEL_PIXEL);
    for (int y = 0; y < FH; ++y)
      for (int x = 0; x < FW; ++x) {
        if (!FSources.at<std::uint8_t>(y, x)) continue;
        const auto label = static_cast<std::size_t>(FNearestLabel.at<int>(y, x));
        if (label >= FNearest.size()) FNearest.resize(label + 1);
        FNearest[label] = {x, y};
      }
  }

  void Run() {
    for (int y = 0; y < FH; ++y)
      for (int x = 0; x < FW; ++x) Queue(x, y);
    while (!FFront.empty()) {
      const Entry e = FFront.top();
      FFront.pop();
      const int x = e.index % FW, y = e.index / FW;
      if (e.stamp != FStamp[e.index] || Known(x, y)) continue;
      Copy(x, y, BestSource(x, y));
      for (int yy = std::max(0, y - 2 * FR - 2); yy <= std::min(FH - 1, y + 2 * FR + 2); ++yy)
        for (int xx = std::max(0, x - 2 * FR - 2); xx <= std::min(FW - 1, x + 2 * FR + 2); ++xx) Queue(xx, yy);
    }
  }

 private:
  struct Entry {
    float priority;
    int index;
    int stamp;
    // Ties go to the earlier pixel, so the order never depends on the heap.
    bool operator<(const Entry& o) const { return priority < o.priority || (priority == o.priority && index > o.index); }
  };

  bool Known(int x, int y) const { return FKnown.at<std::uint8_t>(y, x) != 0; }

  bool OnFront(int x, int y) const {
    if (Known(x, y)) return false;
    return (x > 0 && Known(x - 1, y)) || (x + 1 < FW && Known(x + 1, y)) || (y > 0 && Known(x, y - 1)) ||
           (y + 1 < FH && Known(x, y + 1));
  }

  void Queue(int x, int y) {
    const int i = y * FW + x;
    ++FStamp[i];
    if (OnFront(x, y)) FFront.push({Priority(x, y), i, FStamp[i]});
  }

  float Confidence(int x, int y) const {
    float sum = 0;
    int area = 0;
    for (int yy = y - FR; yy <= y + FR; ++yy)
      for (int xx = x - FR; xx <= x + FR; ++xx) {
        if (!Inside(FKnown, xx, yy)) continue;
        ++area;
        if (Known(xx, yy)) sum += FConfidence.at<float>(yy, xx);
      }
    return sum / static_cast<float>(area);
  }

  // Confidence times how strongly an edge meets the front head-on; the small
  // floor lets flat stretches advance once the edges are through.
  float Priority(int x, int y) const {
    float strongest = 0, gx = 0, gy = 0;
    for (int yy = std::max(1, y - FR); yy <= std::min(FH - 2, y + FR); ++yy)
      for (int xx = std::max(1, x - FR); xx <= std::min(FW - 2, x + FR); ++xx) {
        bool whole = true;
        for (int j = -1; j <= 1 && whole; ++j)
          for (int i = -1; i <= 1 && whole; ++i) whole = Known(xx + i, yy + j);
        if (!whole) continue;
        auto g = [&](int i, int j) { return FGray.at<float>(yy + j, xx + i); };
        const float dx = (g(1, -1) + 2 * g(1, 0) + g(1, 1) - g(-1, -1) - 2 * g(-1, 0) - g(-1, 1)) / 8;
        const float dy = (g(-1, 1) + 2 * g(0, 1) + g(1, 1) - g(-1, -1) - 2 * g(0, -1) - g(1, -1)) / 8;
        if (dx * dx + dy * dy > strongest) {
          strongest = dx * dx + dy * dy;
          gx = dx;
          gy = dy;
        }
      }
    auto k = [&](int i, int j) {
      return Known(std::clamp(x + i, 0, FW - 1), std::clamp(y + j, 0, FH - 1)) ? 1.f : 0.f;
    };
    const float nx = k(1, -1) + 2 * k(1, 0) + k(1, 1) - k(-1, -1) - 2 * k(-1, 0) - k(-1, 1);
    const float ny = k(-1, 1) + 2 * k(0, 1) + k(1, 1) - k(-1, -1) - 2 * k(0, -1) - k(1, -1);
    const float norm = std::sqrt(nx * nx + ny * ny);
    const float data = norm > 0 ? std::abs(gx * ny - gy * nx) / norm / 255.f : 0.f;
    return Confidence(x, y) * (data + 0.01f);
  }

  // Squared colour difference over the known pixels of the target patch;
  // stops early once above limit.
  long Ssd(int tx, int ty, int sx, int sy, long limit) const {
    long sum = 0;
    for (int j = -FR; j <= FR; ++j) {
      const int y = ty + j;
      if (y < 0 || y >= FH) continue;
      const auto* t = FImg.ptr<cv::Vec3b>(y);
      const auto* s = FImg.ptr<cv::Vec3b>(sy + j);
      const auto* known = FKnown.ptr<std::uint8_t>(y);
      for (int i = -FR; i <= FR; ++i) {
        const int x = tx + i;
        if (x < 0 || x >= FW || !known[x]) continue;
        const cv::Vec3b a = t[x], b = s[sx + i];
        const int d0 = a[0] - b[0], d1 = a[1] - b[1], d2 = a[2] - b[2];
        sum += d0 * d0 + d1 * d1 + d2 * d2;
      }
      if (sum > limit) return sum;
    }
    return sum;
  }

  cv::Point BestSource(int tx, int ty) const {
    // Equal matches go to the nearer source: in flat colour every candidate
    // matches, and a far one may bring another region with it.
    constexpr int kNearBits = 14;
    long best = LONG_MAX;
    cv::Point found(-1, -1);
    auto consider = [&](int sx, int sy) {
      if (!Inside(FSources, sx, sy) || !FSources.at<std::uint8_t>(sy, sx)) return;
      const long near = std::min<long>((sx - tx) * (sx - tx) + (sy - ty) * (sy - ty), (1 << kNearBits) - 1);
      const long ssd = Ssd(tx, ty, sx, sy, best >> kNearBits);
      if (ssd > (best >> kNearBits)) return;
      const long score = (ssd << kNearBits) + near;
      if (score < best) {
        best = score;
        found = {sx, sy};
      }
    };
    auto window = [&](cv::Point c) {
      for (int sy = c.y - kSearch; sy <= c.y + kSearch; ++sy)
        for (int sx = c.x - kSearch; sx <= c.x + kSearch; ++sx) consider(sx, sy);
    };
    window({tx, ty});
    // Deep in a hole that no coarser level could take: around the nearest known patch.
    if (found.x < 0) window(FNearest[static_cast<std::size_t>(FNearestLabel.at<int>(ty, tx))]);
    // Around where the patches beside it came from, which keeps a copied
    // stretch going beyond the window.
    constexpr int kAround = 3;
    for (int j = -FR; j <= FR; ++j)
      for (int i = -FR; i <= FR; ++i) {
        const int x = tx + i, y = ty + j;
        if (!Inside(FKnown, x, y) || !FCopied[y * FW + x]) continue;
        const cv::Point o = FOffset[y * FW + x];
        for (int b = -kAround; b <= kAround; ++b)
          for (int a = -kAround; a <= kAround; ++a) {
            const int sx = tx + o.x + a, sy = ty + o.y + b;
            if (std::abs(sx - tx) > kSearch || std::abs(sy - ty) > kSearch) consider(sx, sy);
          }
      }
    return found;
  }

  void Copy(int tx, int ty, cv::Point source) {
    const float confidence = Confidence(tx, ty);
    for (int j = -FR; j <= FR; ++j)
      for (int i = -FR; i <= FR; ++i) {
        const int x = tx + i, y = ty + j;
        if (!Inside(FKnown, x, y) || Known(x, y)) continue;
        const cv::Vec3b c = FImg.at<cv::Vec3b>(source.y + j, source.x + i);
        FImg.at<cv::Vec3b>(y, x) = c;
        FGray.at<float>(y, x) = 0.114f * c[0] + 0.587f * c[1] + 0.299f * c[2];
        FKnown.at<std::uint8_t>(y, x) = 1;
        FConfidence.at<float>(y, x) = confidence;
        FOffset[y * FW + x] = source - cv::Point(tx, ty);
        FCopied[y * FW + x] = 1;
      }
  }

  cv::Mat& FImg;
  const cv::Mat& FSources;
  const int FR, FW, FH;
  cv::Mat FKnown;  // 1 off the hole and where filled
  cv::Mat FConfidence;
  cv::Mat FGray;
  std::vector<cv::Point> FOffset;  // from a filled pixel to where it was copied from
  std::vector<std::uint8_t> FCopied;
  std::vector<int> FStamp;  // a queued entry counts only while its stamp is current
  cv::Mat FNearestLabel;    // per pixel, the label of the nearest source centre
  std::vector<cv::Point> FNearest;  // each label's source centre
  std::priority_queue<Entry> FFront;
};

// ------------------------------------------------------------- refinement

float PatchDistance(const cv::Mat& img, int tx, int ty, int sx, int sy, int r, float limit) {
  float sum = 0;
  for (int j = -r; j <= r; ++j) {
    const int y = ty + j;
    if (y < 0 || y >= img.rows) continue;
    const auto* t = img.ptr<cv::Vec3f>(y);
    const auto* s = img.ptr<cv::Vec3f>(sy + j);
    for (int i = -r; i <= r; ++i) {
      const int x = tx + i;
      if (x < 0 || x >= img.cols) continue;
      const cv::Vec3f d = t[x] - s[sx + i];
      sum += d.dot(d);
    }
    if (sum > limit) return sum;
  }
  return sum;
}

struct Level {
  cv::Mat img;      // CV_32FC3; inside the hole, the current answer
  cv::Mat hole;     // CV_8U, 1 to rebuild
  cv::Mat sources;  // CV_8U, 1 where a known patch is centred
  double depth = 0;  // of the hole's deepest pixel
};

// nnf (CV_32SC2): for each pixel whose patch touches the hole, the centre of
// the known patch that stands for it.
void Refine(Level& level, cv::Mat& nnf, int r, int rounds, Rng& rng) {
  cv::Mat& img = level.img;
  const int w = img.cols, h = img.rows;
  cv::Mat touching;
  cv::dilate(level.hole, touching, Square(r));
  std::vector<cv::Point> targets;
  cv::findNonZero(touching, targets);
  const cv::Rect box = cv::boundingRect(level.hole);
  // Random search stays near the hole: what lies there is what belongs there.
  const int reach = std::min(std::max(w, h), std::max(box.width, box.height) + 4 * r);
  cv::Mat distance(h, w, CV_32F, cv::Scalar(0));
  std::vector<cv::Vec4f> votes(static_cast<std::size_t>(w) * h);
  std::vector<float> sorted(targets.size());
  for (int round = 0; round < rounds; ++round) {
    for (const cv::Point& t : targets) {
      const cv::Vec2i s = nnf.at<cv::Vec2i>(t);
      distance.at<float>(t) = PatchDistance(img, t.x, t.y, s[0], s[1], r, std::numeric_limits<float>::infinity());
    }
    // PatchMatch: take a neighbour's match shifted by one, then try random
    // places around the best at shrinking distances; the scan turns every round.
    const bool forward = round % 2 == 0;
    const int step = forward ? 1 : -1;
    const auto n = static_cast<std::ptrdiff_t>(targets.size());
    for (std::ptrdiff_t k = 0; k < n; ++k) {
      const cv::Point t = targets[static_cast<std::size_t>(forward ? k : n - 1 - k)];
      cv::Vec2i& best = nnf.at<cv::Vec2i>(t);
      float& bestDistance = distance.at<float>(t);
      auto consider = [&](int sx, int sy) {
        if (!Inside(img, sx, sy) || !level.sources.at<std::uint8_t>(sy, sx)) return;
        const float d = PatchDistance(img, t.x, t.y, sx, sy, r, bestDistance);
        if (d < bestDistance) {
          bestDistance = d;
          best = cv::Vec2i(sx, sy);
        }
      };
      for (const cv::Point before : {cv::Point(t.x - step, t.y), cv::Point(t.x, t.y - step)}) {
        if (!Inside(img, before.x, before.y) || !touching.at<std::uint8_t>(before)) continue;
        const cv::Vec2i s = nnf.at<cv::Vec2i>(before);
        consider(s[0] + t.x - before.x, s[1] + t.y - before.y);
      }
      for (int radius = reach; radius >= 1; radius /= 2)
        consider(best[0] + rng.Below(2 * radius + 1) - radius, best[1] + rng.Below(2 * radius + 1) - radius);
    }
    // Close matches weigh more; the scale follows this round's matches.
    for (std::size_t i = 0; i < targets.size(); ++i) sorted[i] = distance.at<float>(targets[i]);
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() * 3 / 4), sorted.end());
    const float scale = 2 * std::max(sorted[sorted.size() * 3 / 4], 1.f);
    std::fill(votes.begin(), votes.end(), cv::Vec4f(0, 0, 0, 0));
    for (const cv::Point& t : targets) {
      const cv::Vec2i s = nnf.at<cv::Vec2i>(t);
      const float weight = std::exp(-distance.at<float>(t) / scale);
      for (int j = -r; j <= r; ++j)
        for (int i = -r; i <= r; ++i) {
          const int x = t.x + i, y = t.y + j;
          if (!Inside(img, x, y) || !level.hole.at<std::uint8_t>(y, x)) continue;
          const cv::Vec3f c = img.at<cv::Vec3f>(s[1] + j, s[0] + i) * weight;
          votes[static_cast<std::size_t>(y) * w + x] += cv::Vec4f(c[0], c[1], c[2], weight);
        }
    }
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const cv::Vec4f& v = votes[static_cast<std::size_t>(y) * w + x];
        if (level.hole.at<std::uint8_t>(y, x) && v[3] > 0) img.at<cv::Vec3f>(y, x) = cv::Vec3f(v[0], v[1], v[2]) / v[3];
      }
  }
}

// Each level halves the one before; a coarse pixel is hole when any pixel
// under it is. Stops once the hole is shallow enough to grow inward, or
// before a level too small to hold a known patch.
std::vector<Level> Pyramid(const cv::Mat& bgr, const cv::Mat& region, int r) {
  std::vector<Level> levels(1);
  bgr.convertTo(levels[0].img, CV_32FC3);
  levels[0].hole = (region != 0) / 255;
  levels[0].sources = SourceCentres(levels[0].hole, r);
  levels[0].depth = Depth(levels[0].hole);
  while (levels.back().depth > kCoarseDepth * r) {
    const Level& fine = levels.back();
    const cv::Size size((fine.img.cols + 1) / 2, (fine.img.rows + 1) / 2);
    Level coarse;
    cv::resize(fine.img, coarse.img, size, 0, 0, cv::INTER_AREA);
    cv::Mat cover;
    fine.hole.convertTo(cover, CV_32F);
    cv::resize(cover, cover, size, 0, 0, cv::INTER_AREA);
    coarse.hole = (cover > 0) / 255;
    coarse.sources = SourceCentres(coarse.hole, r);
    if (cv::countNonZero(coarse.sources) == 0) break;
    coarse.depth = Depth(coarse.hole);
    levels.push_back(std::move(coarse));
  }
  return levels;
}

cv::Mat RandomMatches(const Level& level, Rng& rng) {
  std::vector<cv::Point> sources;
  cv::findNonZero(level.sources, sources);
  cv::Mat nnf(level.img.size(), CV_32SC2, cv::Scalar(sources[0].x, sources[0].y));
  for (int y = 0; y < nnf.rows; ++y)
    for (int x = 0; x < nnf.cols; ++x) {
      const cv::Point s = sources[static_cast<std::size_t>(rng.Below(static_cast<int>(sources.size())))];
      nnf.at<cv::Vec2i>(y, x) = cv::Vec2i(s.x, s.y);
    }
  return nnf;
}

// The coarse matches at twice the scale; a match that lands off the known
// patches is drawn again.
cv::Mat Upsampled(const cv::Mat& coarse, const Level& fine, Rng& rng) {
  cv::Mat nnf = RandomMatches(fine, rng);
  for (int y = 0; y < nnf.rows; ++y)
    for (int x = 0; x < nnf.cols; ++x) {
      const int cx = std::min(x / 2, coarse.cols - 1), cy = std::min(y / 2, coarse.rows - 1);
      const cv::Vec2i c = coarse.at<cv::Vec2i>(cy, cx);
      const int sx = 2 * c[0] + x - 2 * cx, sy = 2 * c[1] + y - 2 * cy;
      if (Inside(nnf, sx, sy) && fine.sources.at<std::uint8_t>(sy, sx)) nnf.at<cv::Vec2i>(y, x) = cv::Vec2i(sx, sy);
    }
  return nnf;
}

// What the fill costs, in units of one 9x9 patch refined once: every patch
// touching the hole on every level and round, and the inward growth's
// window search, dearer per pixel where a copy fills few hole pixels; a
// larger patch costs in proportion to its area.
double Work(const std::vector<Level>& levels, int r) {
  double work = 0;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    cv::Mat touching;
    cv::dilate(levels[i].hole, touching, Square(r));
    const int rounds = i + 1 == levels.size() || i > 0 ? kRefineRounds : kFullSizeRounds;
    work += static_cast<double>(cv::countNonZero(touching)) * rounds;
  }
  work += kGrowthWork * cv::countNonZero(levels.back().hole);
  return work * (2 * r + 1) * (2 * r + 1) / 81;
}

// Ring by ring from the known side, each hole pixel the mean of its known
// neighbours: time in proportion to the hole, for holes a few pixels thin.
cv::Mat PeelFill(const cv::Mat& bgr, const cv::Mat& region) {
  cv::Mat out = bgr.clone();
  cv::Mat known = region == 0;
  std::vector<cv::Point> todo;
  cv::findNonZero(region, todo);
  std::vector<std::pair<cv::Point, cv::Vec3b>> ring;
  std::vector<cv::Point> later;
  while (!todo.empty()) {
    ring.clear();
    later.clear();
    for (const cv::Point& p : todo) {
      int sum[3] = {0, 0, 0}, n = 0;
      for (int y = std::max(0, p.y - 1); y <= std::min(out.rows - 1, p.y + 1); ++y)
        for (int x = std::max(0, p.x - 1); x <= std::min(out.cols - 1, p.x + 1); ++x) {
          if (!known.at<std::uint8_t>(y, x)) continue;
          const cv::Vec3b& c = out.at<cv::Vec3b>(y, x);
          for (int k = 0; k < 3; ++k) sum[k] += c[k];
          ++n;
        }
      if (n == 0) {
        later.push_back(p);
        continue;
      }
      cv::Vec3b mean;
      for (int k = 0; k < 3; ++k) mean[k] = static_cast<std::uint8_t>((sum[k] + n / 2) / n);
      ring.emplace_back(p, mean);
    }
    if (ring.empty()) break;  // nothing known anywhere: left as it came
    for (const auto& [p, colour] : ring) {
      out.at<cv::Vec3b>(p) = colour;
      known.at<std::uint8_t>(p) = 255;
    }
    todo.swap(later);
  }
  return out;
}

// Empty, with costly set, when the fill would take longer than kMaxWork.
cv::Mat FillPart(const cv::Mat& bgr, const cv::Mat& region, int radius, bool& costly) {
  std::vector<Level> levels = Pyramid(bgr, region, radius);
  const bool sources = cv::countNonZero(levels.back().sources) > 0;
  const double work = sources ? Work(levels, radius) : 0;
  // A hole this thin is all edge: its pixels take their neighbours' colours,
  // where patches would touch many times the hole (many seconds for lines
  // across a large picture) and Telea's queue slows down badly on many small pieces.
  if (levels[0].depth <= kThinDepth && (!sources || work > kFreeWork)) return PeelFill(bgr, region);
  // Without a whole known patch, or with too little known around a large
  // hole for any level to bring its middle within reach of copies.
  if (!sources || levels.back().depth > kCoarseDepth * radius) return {};
  costly = work > kMaxWork;
  if (costly) return {};
  Rng rng;
  Level& coarsest = levels.back();
  cv::Mat grown;
  coarsest.img.convertTo(grown, CV_8UC3);
  InwardGrowth(grown, coarsest.hole, coarsest.sources, radius).Run();
  grown.convertTo(coarsest.img, CV_32FC3);
  cv::Mat nnf = RandomMatches(coarsest, rng);
  Refine(coarsest, nnf, radius, kRefineRounds, rng);
  for (auto level = levels.rbegin() + 1; level != levels.rend(); ++level) {
    cv::Mat guess;
    cv::resize((level - 1)->img, guess, level->img.size(), 0, 0, cv::INTER_LINEAR);
    guess.copyTo(level->img, level->hole);
    nnf = Upsampled(nnf, *level, rng);
    Refine(*level, nnf, radius, level + 1 == levels.rend() ? kFullSizeRounds : kRefineRounds, rng);
  }
  cv::Mat out;
  levels[0].img.convertTo(out, CV_8UC3);
  bgr.copyTo(out, region == 0);
  return out;
}

}  // namespace

cv::Mat FillFromPatches(const cv::Mat& bgr, const cv::Mat& region, int radius) {
  if (cv::countNonZero(region) == 0) return bgr.clone();
  const cv::Rect near = Neighbourhood(region, radius);
  // Too large or too costly at full size: filled smaller and brought back,
  // halving until the work fits (the hole thins out, or loses its sources).
  double shrink = ShrinkTo(near, kMaxPixels);
  for (;;) {
    bool costly = false;
    cv::Mat part;
    if (shrink >= 1) {
      part = FillPart(bgr(near), region(near), radius, costly);
    } else {
      const cv::Size size = Shrunk(near, shrink);
      cv::Mat small, cover;
      cv::resize(bgr(near), small, size, 0, 0, cv::INTER_AREA);
      region(near).convertTo(cover, CV_32F);
      cv::resize(cover, cover, size, 0, 0, cv::INTER_AREA);
      part = FillPart(small, cover > 0, radius, costly);
      if (!part.empty()) cv::resize(part, part, near.size(), 0, 0, cv::INTER_LINEAR);
    }
    if (costly) {
      shrink /= 2;
      continue;
    }
    if (part.empty()) return {};
    cv::Mat out = bgr.clone();
    part.copyTo(out(near), region(near));
    return out;
  }
}

cv::Mat Diffused(const cv::Mat& bgr, const cv::Mat& region, double radius, int flags) {
  if (bgr.rows == 1 && bgr.cols > 1) return cv::Mat(Diffused(bgr.t(), region.t(), radius, flags).t());
  const cv::Mat known = region == 0;
  cv::Mat img = bgr.clone();
  img.setTo(cv::mean(bgr, known), region);
  cv::Mat out;
  cv::inpaint(img, region, out, radius, flags);
  std::vector<cv::Mat> channels;
  cv::split(bgr, channels);
  cv::Scalar lo, hi;
  for (int k = 0; k < 3; ++k) cv::minMaxLoc(channels[k], &lo[k], &hi[k], nullptr, nullptr, known);
  cv::max(out, lo, out);
  cv::min(out, hi, out);
  return out;
}

cv::Mat DiffuseFill(const cv::Mat& bgr, const cv::Mat& region) {
  cv::Mat out = bgr.clone();
  if (cv::countNonZero(region) == 0) return out;
  const cv::Rect near = AroundHole(region, cv::boundingRect(region), kDiffuseRadius + 1);
  const double shrink = ShrinkTo(near, kMaxDiffusePixels);
  cv::Mat img, hole;
  if (shrink >= 1) {
    img = bgr(near);
    hole = region(near);
  } else {
    // Means of the known pixels only: a frame thinner than one small pixel
    // survives, and no marked colour reaches the fill.
    const cv::Size size = Shrunk(near, shrink);
    cv::Mat colour, known, weight, weights;
    bgr(near).convertTo(colour, CV_32FC3);
    colour.setTo(cv::Scalar::all(0), region(near));
    cv::resize(colour, colour, size, 0, 0, cv::INTER_AREA);
    cv::Mat(region(near) == 0).convertTo(known, CV_32F, 1.0 / 255);
    cv::resize(known, weight, size, 0, 0, cv::INTER_AREA);
    cv::merge(std::vector<cv::Mat>{weight, weight, weight}, weights);
    cv::divide(colour, weights, img);
    img.convertTo(img, CV_8UC3);
    hole = weight == 0;
  }
  cv::Mat part = Diffused(img, hole, kDiffuseRadius, cv::INPAINT_TELEA);
  if (shrink < 1) cv::resize(part, part, near.size(), 0, 0, cv::INTER_LINEAR);
  part.copyTo(out(near), region(near));
  return out;
}

}  // namespace Corvina::Reference::Vision
