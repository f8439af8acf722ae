#include "reference/vision/cutout.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include <opencv2/imgproc.hpp>
#include <opencv2/imgproc/detail/gcgraph.hpp>

#include "reference/vision/common.h"
#include "reference/vision/face_common.h"

namespace Corvina::Reference::Vision {

// The colour bins and neighbour links of one picture: all a cut needs
// besides the evidence.
struct TCutGraph {
  cv::Mat bins;  // CV_16U
  // Link weights towards the right, down, down-right and down-left neighbour.
  std::array<cv::Mat, 4> links;
};

namespace {

constexpr int kLevels = 16;  // per channel: 4096 colour bins
constexpr int kBins = kLevels * kLevels * kLevels;
constexpr double kSmoothness = 50;  // weight of an edge between like pixels, as GrabCut's

// The camera noise's standard deviation from Immerkaer's Laplacian-like
// mask, whose taps cancel every plane and square: the median of its response
// over the picture (edges and texture are the minority it ignores), scaled
// from a median of absolute Gaussian values to a deviation.
double NoiseSigma(const cv::Mat& gray) {
  const cv::Mat kernel = (cv::Mat_<float>(3, 3) << 1, -2, 1, -2, 4, -2, 1, -2, 1);
  cv::Mat response;
  cv::filter2D(gray, response, CV_32F, kernel);
  std::vector<float> values;
  values.reserve(response.total());
  for (int y = 1; y + 1 < response.rows; ++y) {
    const float* r = response.ptr<float>(y);
    for (int x = 1; x + 1 < response.cols; ++x) values.push_back(std::abs(r[x]));
  }
  if (values.empty()) return 1.0;
  auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  // |response| of Gaussian noise: median 0.6745 and deviation 6 times sigma.
  return std::max(0.5, *middle / (6 * 0.6745));
}

// Focus evidence from the blur of the picture's edges (the re-blur ratio of
// Zhuo and Sim): blurring a step of blur s with a Gaussian of 1 pixel lowers
// its gradient peak by sqrt(s^2 + 1) / s, so the ratio of the two peaks
// tells s. Edges are taken where the re-blurred gradient peaks across the
// edge and stands well above the noise; each votes +1 (sharp) to -1 (blurred
// over a few pixels), and the votes spread to their neighbourhood weighted
// by how many edges speak there. Flat regions get no evidence.
cv::Mat FocusEvidence(const cv::Mat& bgr) {
  cv::Mat gray;
  cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
  gray.convertTo(gray, CV_32F);
  const double noise = NoiseSigma(gray);
  cv::Mat blurred;
  cv::GaussianBlur(gray, blurred, cv::Size(), 1.0);
  cv::Mat gx, gy, bx, by;
  cv::Sobel(gray, gx, CV_32F, 1, 0, 3, 1.0 / 8);
  cv::Sobel(gray, gy, CV_32F, 0, 1, 3, 1.0 / 8);
  cv::Sobel(blurred, bx, CV_32F, 1, 0, 3, 1.0 / 8);
  cv::Sobel(blurred, by, CV_32F, 0, 1, 3, 1.0 / 8);
  cv::Mat sharpPeak, softPeak;
  cv::magnitude(gx, gy, sharpPeak);
  cv::magnitude(bx, by, softPeak);
  // Noise of the re-blurred gradient is about a fifth of the pixel noise: an
  // edge counts at six times that.
  const float significant = static_cast<float>(1.2 * noise);
  // Blur (Gaussian sigma, pixels) below which an edge votes sharp, and the
  // span over which the vote turns.
  constexpr float kSharpBlur = 1.6f, kTurn = 0.5f;
  // Sobel taps / 8 square-sum to 0.1875 per direction.
  const float noiseEnergy = static_cast<float>(2 * 0.1875 * noise * noise);
  cv::Mat votes = cv::Mat::zeros(gray.size(), CV_32F), weights = cv::Mat::zeros(gray.size(), CV_32F);
  for (int y = 1; y + 1 < gray.rows; ++y) {
    const float* m = softPeak.ptr<float>(y);
    const float* up = softPeak.ptr<float>(y - 1);
    const float* down = softPeak.ptr<float>(y + 1);
    const float* dx = bx.ptr<float>(y);
    const float* dy = by.ptr<float>(y);
    const float* peak = sharpPeak.ptr<float>(y);
    float* vote = votes.ptr<float>(y);
    float* weight = weights.ptr<float>(y);
    for (int x = 1; x + 1 < gray.cols; ++x) {
      if (m[x] < significant) continue;
      // A peak across the edge: compare with the two neighbours along the
      // gradient, its direction rounded to 45 degrees.
      const float ax = std::abs(dx[x]), ay = std::abs(dy[x]);
      float before, after;
      if (ay < 0.4142f * ax) {
        before = m[x - 1], after = m[x + 1];
      } else if (ax < 0.4142f * ay) {
        before = up[x], after = down[x];
      } else if ((dx[x] > 0) == (dy[x] > 0)) {
        before = up[x - 1], after = down[x + 1];
      } else {
        before = up[x + 1], after = down[x - 1];
      }
      if (m[x] < before || m[x] <= after) continue;
      // Noise adds its own energy to the unblurred gradient: take it out.
      const float clean = std::sqrt(std::max(peak[x] * peak[x] - noiseEnergy, 0.0f));
      const float ratio = std::max(clean / m[x], 1.0001f);
      const float blur = 1.0f / std::sqrt(ratio * ratio - 1.0f);
      vote[x] = std::clamp((kSharpBlur - blur) / kTurn, -1.0f, 1.0f);
      // Faint edges, whose ratio noise still sways, count less.
      weight[x] = std::min(1.0f, (m[x] - significant) / significant);
      vote[x] *= weight[x];
    }
  }
  constexpr double kSpread = 2.0;
  cv::GaussianBlur(votes, votes, cv::Size(), kSpread);
  cv::GaussianBlur(weights, weights, cv::Size(), kSpread);
  // Evidence grows with the density of edges around: where it is 0.1 (a
  // lone edge's neighbourhood) it says half as much as in texture.
  constexpr float kHalf = 0.1f;
  cv::Mat evidence(gray.size(), CV_32F);
  for (int y = 0; y < gray.rows; ++y) {
    const float* v = votes.ptr<float>(y);
    const float* w = weights.ptr<float>(y);
    float* out = evidence.ptr<float>(y);
    for (int x = 0; x < gray.cols; ++x) {
      out[x] = w[x] > 1e-4f ? 3.0f * (v[x] / w[x]) * (w[x] / (w[x] + kHalf)) : 0.0f;
    }
  }
  return evidence;
}

// The picture's outermost pixels, a fiftieth of its shorter side deep.
cv::Mat Rim(cv::Size size) {
  const int width = std::max(1, std::min(size.width, size.height) / 50);
  cv::Mat rim(size, CV_8U, cv::Scalar(255));
  const cv::Rect inner(width, width, size.width - 2 * width, size.height - 2 * width);
  if (inner.width > 0 && inner.height > 0) rim(inner).setTo(0);
  return rim;
}

// How far each pixel's colour lies from every colour of the picture's rim
// (CIE Lab distance to the nearest of a few rim colours, each holding at
// least a tenth of the rim: a highlight on a table is no reason to call a
// white cup background): where the rim is background, what resembles none of
// it is the likely subject.
cv::Mat ContrastWithRim(const cv::Mat& bgr) {
  cv::Mat lab;
  bgr.convertTo(lab, CV_32F, 1.0 / 255);
  cv::cvtColor(lab, lab, cv::COLOR_BGR2Lab);
  const cv::Mat rim = Rim(bgr.size());
  std::vector<cv::Vec3f> samples;
  const int every = std::max(1, cv::countNonZero(rim) / 3000);
  int seen = 0;
  for (int y = 0; y < lab.rows; ++y)
    for (int x = 0; x < lab.cols; ++x)
      if (rim.at<std::uint8_t>(y, x) != 0 && seen++ % every == 0) samples.push_back(lab.at<cv::Vec3f>(y, x));
  const int clusters = std::min<int>(8, static_cast<int>(samples.size()));
  cv::Mat contrast(bgr.size(), CV_32F, cv::Scalar(0));
  if (clusters == 0) return contrast;
  cv::Mat labels, centres;
  cv::RNG& rng = cv::theRNG();
  const cv::RNG saved = rng;
  rng.state = 0x1234567;  // the same picture always gives the same clusters
  cv::kmeans(cv::Mat(samples).reshape(1), clusters, labels,
             cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 20, 0.5), 2, cv::KMEANS_PP_CENTERS,
             centres);
  rng = saved;
  std::vector<int> members(static_cast<std::size_t>(clusters), 0);
  for (int i = 0; i < labels.rows; ++i) ++members[static_cast<std::size_t>(labels.at<int>(i))];
  for (int y = 0; y < lab.rows; ++y) {
    const auto* v = lab.ptr<cv::Vec3f>(y);
    float* out = contrast.ptr<float>(y);
    for (int x = 0; x < lab.cols; ++x) {
      float nearest = std::numeric_limits<float>::max();
      for (int k = 0; k < centres.rows; ++k) {
        if (members[static_cast<std::size_t>(k)] * 10 < labels.rows) continue;
        const float* c = centres.ptr<float>(k);
        const float d0 = v[x][0] - c[0], d1 = v[x][1] - c[1], d2 = v[x][2] - c[2];
        nearest = std::min(nearest, d0 * d0 + d1 * d1 + d2 * d2);
      }
      out[x] = std::sqrt(nearest);
    }
  }
  return contrast;
}

cv::Mat ColourBins(const cv::Mat& bgr) {
  cv::Mat bins(bgr.size(), CV_16U);
  for (int y = 0; y < bgr.rows; ++y) {
    const auto* p = bgr.ptr<cv::Vec3b>(y);
    auto* out = bins.ptr<std::uint16_t>(y);
    for (int x = 0; x < bgr.cols; ++x)
      out[x] = static_cast<std::uint16_t>((p[x][0] >> 4) << 8 | (p[x][1] >> 4) << 4 | (p[x][2] >> 4));
  }
  return bins;
}

// A colour histogram softened over neighbouring bins, as log probabilities.
class TColourModel {
 public:
  void Add(int bin, float weight) { FCounts[bin] += weight; }
  std::vector<float> LogProbabilities() const {
    // Spread each count over its neighbours in all three channels.
    std::vector<double> h(FCounts.begin(), FCounts.end()), t(kBins);
    for (int axis = 0; axis < 3; ++axis) {
      const int stride = axis == 0 ? 1 : axis == 1 ? kLevels : kLevels * kLevels;
      for (int i = 0; i < kBins; ++i) {
        const int level = (i / stride) % kLevels;
        double sum = 2 * h[i], weight = 2;
        if (level > 0) sum += h[i - stride], weight += 1;
        if (level + 1 < kLevels) sum += h[i + stride], weight += 1;
        t[i] = sum / weight;
      }
      h.swap(t);
    }
    double total = 0;
    for (double v : h) total += v;
    std::vector<float> out(kBins);
    const double floor = total / kBins * 0.01 + 1e-9;  // unseen colours stay possible
    for (int i = 0; i < kBins; ++i) out[i] = static_cast<float>(std::log((h[i] + floor) / (total + floor * kBins)));
    return out;
  }

 private:
  std::vector<float> FCounts = std::vector<float>(kBins, 0.0f);
};

const cv::Point kSteps[4] = {{1, 0}, {0, 1}, {1, 1}, {-1, 1}};

// GrabCut's contrast-sensitive links: cheap to cut where neighbours differ
// much, measured against the picture's own mean difference.
TCutGraph GraphInput(const cv::Mat& bgr) {
  TCutGraph in;
  in.bins = ColourBins(bgr);
  cv::Mat colour;
  bgr.convertTo(colour, CV_32FC3);
  double sum = 0;
  std::int64_t count = 0;
  for (int k = 0; k < 4; ++k) {
    in.links[k] = cv::Mat::zeros(bgr.size(), CV_32F);
    for (int y = 0; y + kSteps[k].y < bgr.rows; ++y) {
      const auto* here = colour.ptr<cv::Vec3f>(y);
      const auto* there = colour.ptr<cv::Vec3f>(y + kSteps[k].y) + kSteps[k].x;
      float* out = in.links[k].ptr<float>(y);
      for (int x = std::max(0, -kSteps[k].x); x + std::max(0, kSteps[k].x) < bgr.cols; ++x) {
        const cv::Vec3f d = here[x] - there[x];
        out[x] = d.dot(d);
        sum += out[x];
        ++count;
      }
    }
  }
  const double beta = sum > 0 ? count / (2 * sum) : 0;
  for (int k = 0; k < 4; ++k) {
    cv::Mat w;
    cv::exp(in.links[k] * -beta, w);
    in.links[k] = w * (kSmoothness / std::hypot(kSteps[k].x, kSteps[k].y));
  }
  return in;
}

// Capacities are whole numbers: with floats the max-flow search crawls
// through links of vanishing capacity.
constexpr float kUnit = 64;
// Evidence of a fixed label: beyond anything colour and links can add up to.
constexpr float kSure = 1e5f;

// Per pixel, colour evidence (log-likelihood ratio of the two colour models
// learnt from the weights) plus the prior; the fixed labels become evidence
// too strong to overrule.
cv::Mat Evidence(const TCutGraph& in, const cv::Mat& prior, const cv::Mat& fixed, const cv::Mat& weight) {
  const int rows = in.bins.rows, cols = in.bins.cols;
  TColourModel fg, bg;
  for (int y = 0; y < rows; ++y) {
    const auto* bins = in.bins.ptr<std::uint16_t>(y);
    const float* w = weight.ptr<float>(y);
    const std::uint8_t* f = fixed.ptr<std::uint8_t>(y);
    for (int x = 0; x < cols; ++x) {
      float v = w[x];
      if (f[x] == kSureForeground) v = 1;
      if (f[x] == kSureBackground) v = 0;
      if (v < 0) continue;  // no say in the models
      fg.Add(bins[x], v);
      bg.Add(bins[x], 1 - v);
    }
  }
  const auto pf = fg.LogProbabilities();
  const auto pb = bg.LogProbabilities();
  cv::Mat evidence(rows, cols, CV_32F);
  for (int y = 0; y < rows; ++y) {
    const auto* bins = in.bins.ptr<std::uint16_t>(y);
    const float* p = prior.ptr<float>(y);
    const std::uint8_t* f = fixed.ptr<std::uint8_t>(y);
    float* e = evidence.ptr<float>(y);
    for (int x = 0; x < cols; ++x) {
      e[x] = f[x] == kSureForeground ? kSure : f[x] == kSureBackground ? -kSure : pf[bins[x]] - pb[bins[x]] + p[x];
    }
  }
  return evidence;
}

// Where along each side of a box (left, top, right, bottom; indexed from
// the box's top or left) the object may go on beyond it: non-zero there.
using TOpenSides = std::array<std::vector<std::uint8_t>, 4>;

// Whether the link from p to q leaves box through an open stretch of a side.
bool LeavesThrough(const cv::Rect& box, const TOpenSides& open, cv::Point p, cv::Point q) {
  if (box.contains(p) == box.contains(q)) return false;
  const cv::Point in = box.contains(p) ? p : q, out = box.contains(p) ? q : p;
  const auto at = [](const std::vector<std::uint8_t>& side, int i) {
    return i >= 0 && i < static_cast<int>(side.size()) && side[static_cast<std::size_t>(i)] != 0;
  };
  return (out.x < box.x && at(open[0], in.y - box.y)) || (out.y < box.y && at(open[1], in.x - box.x)) ||
         (out.x >= box.br().x && at(open[2], in.y - box.y)) || (out.y >= box.br().y && at(open[3], in.x - box.x));
}

// The minimum cut between evidence and links; foreground 255. Links leaving
// box through its open sides cost nothing to cut: there the box crops the
// object, and its edge is no edge of the object's.
cv::Mat GraphCut(const TCutGraph& in, const cv::Mat& evidence, const cv::Rect* box = nullptr,
                 const TOpenSides& open = {}) {
  const int rows = in.bins.rows, cols = in.bins.cols;
  cv::detail::GCGraph<int> graph(static_cast<unsigned>(rows * cols), static_cast<unsigned>(8 * rows * cols));
  for (int y = 0; y < rows; ++y) {
    const float* e = evidence.ptr<float>(y);
    for (int x = 0; x < cols; ++x) {
      const int v = graph.addVtx();
      // Source side is foreground: a capacity from the source is what
      // labelling the pixel background costs.
      const int cost = static_cast<int>(std::abs(e[x]) * kUnit);
      graph.addTermWeights(v, e[x] > 0 ? cost : 0, e[x] > 0 ? 0 : cost);
    }
  }
  bool linked = false;
  for (int k = 0; k < 4; ++k)
    for (int y = 0; y + kSteps[k].y < rows; ++y) {
      const float* w = in.links[k].ptr<float>(y);
      for (int x = std::max(0, -kSteps[k].x); x + std::max(0, kSteps[k].x) < cols; ++x) {
        if (box != nullptr && LeavesThrough(*box, open, {x, y}, {x + kSteps[k].x, y + kSteps[k].y})) continue;
        const int c = static_cast<int>(w[x] * kUnit);
        if (c <= 0) continue;  // a link that carries nothing stays out
        graph.addEdges(y * cols + x, (y + kSteps[k].y) * cols + x + kSteps[k].x, c, c);
        linked = true;
      }
    }
  cv::Mat labels(rows, cols, CV_8U);
  // Without a single link (a one-pixel picture) each pixel follows its own
  // evidence; the max-flow search refuses such a graph.
  if (!linked) return evidence > 0;
  graph.maxFlow();
  for (int y = 0; y < rows; ++y) {
    auto* l = labels.ptr<std::uint8_t>(y);
    for (int x = 0; x < cols; ++x) l[x] = graph.inSourceSegment(y * cols + x) ? 255 : 0;
  }
  return labels;
}

// The largest piece of a cut, 255.
cv::Mat Largest(const cv::Mat& cut) {
  cv::Mat components, stats, centroids;
  const int n = cv::connectedComponentsWithStats(cut, components, stats, centroids, 8, CV_32S);
  int best = 0;
  for (int i = 1; i < n; ++i)
    if (best == 0 || stats.at<int>(i, cv::CC_STAT_AREA) > stats.at<int>(best, cv::CC_STAT_AREA)) best = i;
  return best == 0 ? cv::Mat::zeros(cut.size(), CV_8U) : cv::Mat(components == best);
}

// An object fills the box drawn around it: every row and column of the box's
// core crosses it (the tightness prior of Lempitsky et al.). Rows and
// columns that the cut's main piece leaves empty (specks elsewhere do not
// count) gain foreground evidence under that piece's span, the object being
// somewhere there; false when none was missing.
bool Tighten(const cv::Mat& labels, const cv::Rect& box, cv::Mat& prior) {
  constexpr float kPush = 1.5f;
  const cv::Mat main = Largest(labels(box));
  const cv::Rect span = cv::countNonZero(main) > 0 ? cv::boundingRect(main) : cv::Rect(cv::Point(), box.size());
  const int marginX = box.width / 20, marginY = box.height / 20;
  cv::Mat inBox = prior(box);
  bool added = false;
  for (int y = marginY; y < box.height - marginY; ++y) {
    if (cv::countNonZero(main.row(y)) > 0) continue;
    cv::Mat part = inBox.row(y).colRange(span.x, span.br().x);
    part += kPush;
    added = true;
  }
  for (int x = marginX; x < box.width - marginX; ++x) {
    if (cv::countNonZero(main.col(x)) > 0) continue;
    cv::Mat part = inBox.col(x).rowRange(span.y, span.br().y);
    part += kPush;
    added = true;
  }
  return added;
}

// Where the cut's main piece inside box comes up to its sides: the rows
// and columns in which it lies within 15 % of the box's size of a side with
// nothing out of focus between (that would be a backdrop seen past it).
TOpenSides Reached(const cv::Mat& labels, const cv::Rect& box, const cv::Mat& focus) {
  constexpr double depth = 0.15;
  const cv::Mat main = Largest(labels(box));
  const cv::Mat blurred = focus(box) < -0.5f;
  const int w = main.cols, h = main.rows;
  const int dx = std::clamp(static_cast<int>(depth * w), 1, w), dy = std::clamp(static_cast<int>(depth * h), 1, h);
  TOpenSides open;
  // Along one side: for each row or column (line), the piece's nearest pixel
  // to the side within reach, and the line clear of defocus up to the side.
  const auto side = [&](bool rows, bool far) {
    const int lines = rows ? h : w, length = rows ? w : h, reach = rows ? dx : dy;
    std::vector<std::uint8_t> out(static_cast<std::size_t>(lines), 0);
    for (int l = 0; l < lines; ++l) {
      for (int step = 0; step < reach; ++step) {
        const int t = far ? length - 1 - step : step;
        const cv::Point p = rows ? cv::Point(t, l) : cv::Point(l, t);
        if (main.at<std::uint8_t>(p) != 0) {
          out[static_cast<std::size_t>(l)] = 1;
          break;
        }
        if (blurred.at<std::uint8_t>(p) != 0) break;
      }
    }
    return out;
  };
  open[0] = side(true, false);
  open[1] = side(false, false);
  open[2] = side(true, true);
  open[3] = side(false, true);
  return open;
}

// The components (CV_32S labels, 0 none) whose keep flag is set, 255.
cv::Mat Kept(const cv::Mat& components, const std::vector<std::uint8_t>& keep) {
  cv::Mat kept(components.size(), CV_8U);
  for (int y = 0; y < components.rows; ++y) {
    const int* c = components.ptr<int>(y);
    std::uint8_t* k = kept.ptr<std::uint8_t>(y);
    for (int x = 0; x < components.cols; ++x) k[x] = c[x] != 0 && keep[static_cast<std::size_t>(c[x])] != 0 ? 255 : 0;
  }
  return kept;
}

// The pieces of a cut that hold any pixel of seeds.
cv::Mat Holding(const cv::Mat& cut, const cv::Mat& seeds) {
  cv::Mat components;
  const int n = cv::connectedComponents(cut, components, 8, CV_32S);
  std::vector<std::uint8_t> held(static_cast<std::size_t>(n), 0);
  for (int y = 0; y < cut.rows; ++y) {
    const int* c = components.ptr<int>(y);
    const std::uint8_t* s = seeds.ptr<std::uint8_t>(y);
    for (int x = 0; x < cut.cols; ++x)
      if (s[x] != 0) held[static_cast<std::size_t>(c[x])] = 1;
  }
  return Kept(components, held);
}

// An object is mostly convex: what the convex hull of its piece holds
// besides the piece (the inside of a cup seen from above, in colours
// unlike its outside) is likely the object too, unless it shows something
// out of focus, which is the backdrop seen through a gap whatever the
// shape. Empty where nothing qualifies.
cv::Mat Enclosed(const cv::Mat& piece, const cv::Mat& focus) {
  cv::Mat hullArea = cv::Mat::zeros(piece.size(), CV_8U);
  std::vector<cv::Point> inPiece, hull;
  cv::findNonZero(piece, inPiece);
  if (inPiece.size() < 3) return hullArea;
  cv::convexHull(inPiece, hull);
  cv::fillConvexPoly(hullArea, hull, cv::Scalar(255));
  const cv::Mat deficit = hullArea & ~piece;
  cv::Mat components, stats, centroids;
  const int n = cv::connectedComponentsWithStats(deficit, components, stats, centroids, 8, CV_32S);
  std::vector<int> blurred(static_cast<std::size_t>(n), 0);
  for (int y = 0; y < deficit.rows; ++y) {
    const int* c = components.ptr<int>(y);
    const float* f = focus.ptr<float>(y);
    for (int x = 0; x < deficit.cols; ++x)
      if (c[x] != 0 && f[x] < -0.5f) ++blurred[static_cast<std::size_t>(c[x])];
  }
  // Smooth shading passes for a few blurred edges: up to 6 in 100 pixels
  // (the inside of the coffee cup has 4).
  std::vector<std::uint8_t> sharp(static_cast<std::size_t>(n), 0);
  for (int i = 1; i < n; ++i)
    sharp[static_cast<std::size_t>(i)] = blurred[static_cast<std::size_t>(i)] <= 0.06 * stats.at<int>(i, cv::CC_STAT_AREA);
  return Kept(components, sharp);
}

// Where people stand, given their faces: the head, the neck and a torso
// widening to the bottom of the picture (255 in core), and a margin around
// them (255 in reach); what lies beyond the reach of every person is
// background.
void PeopleFrom(cv::Size size, const std::vector<cv::Rect2f>& faces, cv::Mat& core, cv::Mat& reach) {
  cv::Mat body = cv::Mat::zeros(size, CV_8U);
  core = cv::Mat::zeros(size, CV_8U);
  reach = cv::Mat::zeros(size, CV_8U);
  for (const cv::Rect2f& f : faces) {
    body.setTo(0);
    const float cx = f.x + f.width / 2, w = f.width, h = f.height, top = f.y;
    cv::ellipse(body, cv::Point(cvRound(cx), cvRound(top + 0.4f * h)), cv::Size(cvRound(0.65f * w), cvRound(0.9f * h)), 0,
                0, 360, cv::Scalar(255), cv::FILLED);
    const float bottom = static_cast<float>(size.height);
    const std::vector<cv::Point> torso = {
        cv::Point(cvRound(cx - 0.5f * w), cvRound(top + h)),          cv::Point(cvRound(cx + 0.5f * w), cvRound(top + h)),
        cv::Point(cvRound(cx + 1.7f * w), cvRound(top + 1.9f * h)),   cv::Point(cvRound(cx + 1.9f * w), cvRound(bottom)),
        cv::Point(cvRound(cx - 1.9f * w), cvRound(bottom)),           cv::Point(cvRound(cx - 1.7f * w), cvRound(top + 1.9f * h))};
    cv::fillConvexPoly(body, torso, cv::Scalar(255));
    const int in = std::max(1, cvRound(0.25f * w)), out = std::max(1, cvRound(0.7f * w));
    cv::Mat shrunk, grown;
    cv::erode(body, shrunk, cv::getStructuringElement(cv::MORPH_ELLIPSE, {2 * in + 1, 2 * in + 1}));
    cv::dilate(body, grown, cv::getStructuringElement(cv::MORPH_ELLIPSE, {2 * out + 1, 2 * out + 1}));
    core |= shrunk;
    reach |= grown;
  }
}

}  // namespace

TFigureGround::TFigureGround(const cv::Mat& bgr, const std::vector<cv::Rect2f>& faces) : FBgr(bgr) {
  CV_Assert(bgr.type() == CV_8UC3);
  FFocus = FocusEvidence(bgr);
  FContrast = ContrastWithRim(bgr);
  // Focus tells the subject from its surroundings only where the
  // surroundings are out of focus or flat: a rim that is sharp more than it
  // is defocused (a table in the focal plane, a textured wall) takes its say
  // away.
  const cv::Mat rim = Rim(bgr.size());
  const double rimArea = std::max(1.0, double(cv::countNonZero(rim)));
  const double sharpRim = cv::countNonZero(rim & (FFocus > 0.5f)) / rimArea;
  const double softRim = cv::countNonZero(rim & (FFocus < -0.5f)) / rimArea;
  FFocusTrust = std::clamp(1 - (sharpRim - softRim - 0.2) / 0.3, 0.0, 1.0);
  FGraph = std::make_shared<const TCutGraph>(GraphInput(bgr));
  if (!faces.empty()) PeopleFrom(bgr.size(), faces, FPeople, FPeopleReach);
}

cv::Mat TFigureGround::Cut(const cv::Mat& prior, const cv::Mat& fixed, const cv::Mat& seed, int rounds,
                           const cv::Rect* tightBox, bool convex) const {
  // Foreground evidence of what the object's hull encloses: about what a
  // strong colour says.
  constexpr float kEnclosed = 3.0f;
  cv::Mat labels;
  cv::Mat weight = seed.clone();
  cv::Mat pushed = prior.clone();
  const cv::Mat sure = fixed.empty() ? cv::Mat::zeros(FBgr.size(), CV_8U) : fixed;
  cv::Mat enclosed = cv::Mat::zeros(FBgr.size(), CV_8U);
  TOpenSides open{};
  const auto cut = [&] {
    cv::Mat evidencePrior = pushed.clone();
    cv::add(pushed, cv::Scalar(kEnclosed), evidencePrior, enclosed);
    return GraphCut(*FGraph, Evidence(*FGraph, evidencePrior, sure, weight), tightBox, open);
  };
  for (int round = 0; round < rounds; ++round) {
    labels = cut();
    for (int pass = 0; tightBox != nullptr && pass < 3 && Tighten(labels, *tightBox, pushed); ++pass) labels = cut();
    labels.convertTo(weight, CV_32F, 1.0 / 255);
    // Where the object comes up to the box, the box may crop it.
    if (tightBox != nullptr) open = Reached(labels, *tightBox, FFocus);
    if (convex) {
      enclosed = Enclosed(Holding(labels, sure == kSureForeground), FFocus);
      // What the hull encloses teaches neither side's colours: they are its
      // own.
      weight.setTo(-1.0f, enclosed);
    }
  }
  return labels;
}

namespace {

// Evidence of the subject. From focus, as far as it is trusted: defocus
// fully, sharpness fully only where it fills a neighbourhood (texture), as a
// lone sharp edge is as much the background's as the subject's. From
// contrast with the rim's colours as far as focus is not trusted. The rim
// itself leans to background.
cv::Mat SubjectPrior(const TFigureGround& fg, bool rimColoursCount = true) {
  const cv::Mat& focus = fg.Focus();
  const double trust = fg.FocusTrust();
  cv::Mat sharp = cv::max(focus, 0), soft = cv::min(focus, 0), texture;
  cv::erode(sharp, texture, cv::getStructuringElement(cv::MORPH_ELLIPSE, {5, 5}));
  cv::Mat prior = trust * (soft + texture + 0.3 * (sharp - texture));
  if (trust < 1) {
    // Lab distances: under 10 is the rim's own colour, from 26 on clearly not.
    cv::Mat contrast = (fg.RimContrast() - 10) / 8;
    cv::max(cv::min(contrast, 2.0), rimColoursCount ? -1.0 : 0.0, contrast);
    prior += (1 - trust) * 1.5 * contrast;
  }
  const cv::Mat rim = Rim(fg.Size());
  prior.setTo(-1.0f, rim & (focus <= 0));
  return prior;
}

// Which pixels teach the first colour models: the foreground learns from
// sharp pixels (or, where focus is not trusted, from colours unlike the
// rim's), the background from defocused ones and the rim; the rest (-1)
// from neither.
cv::Mat SubjectSeed(const TFigureGround& fg) {
  const cv::Mat& focus = fg.Focus();
  cv::Mat seed(focus.size(), CV_32F, cv::Scalar(-1));
  constexpr float t = 0.5f;
  const cv::Mat rim = Rim(fg.Size());
  if (fg.FocusTrust() >= 0.5) {
    seed.setTo(1.0f, focus > t);
    seed.setTo(0.0f, focus < -t);
    seed.setTo(0.0f, rim & (focus <= 0));
  } else {
    seed.setTo(1.0f, fg.RimContrast() > 20);
    seed.setTo(0.0f, rim);
  }
  return seed;
}

// The prior and seed of the subject; with faces, a portrait's subject is its
// people, whatever else is in focus.
void SubjectCues(const TFigureGround& fg, cv::Mat& prior, cv::Mat& seed) {
  prior = SubjectPrior(fg);
  seed = SubjectSeed(fg);
  if (fg.People().empty()) return;
  prior.setTo(2.0f, fg.People());
  prior.setTo(-2.0f, ~fg.PeopleReach());
  seed.setTo(1.0f, fg.People());
  seed.setTo(0.0f, ~fg.PeopleReach());
}

}  // namespace

cv::Mat Subject(const TFigureGround& fg, int rounds) {
  cv::Mat prior, seed;
  SubjectCues(fg, prior, seed);
  return fg.Cut(prior, cv::Mat(), seed, rounds);
}

cv::Mat BoxedObject(const TFigureGround& fg, const cv::Rect& box, int rounds) {
  const cv::Size size = fg.Size();
  cv::Mat fixed(size, CV_8U, cv::Scalar(kSureBackground));
  fixed(box).setTo(kFree);
  cv::Mat prior, seed;
  // A box around a face frames its person.
  const bool framesPerson = !fg.People().empty() && cv::countNonZero(fg.People()(box)) > 0;
  if (framesPerson) {
    SubjectCues(fg, prior, seed);
  } else {
    prior = SubjectPrior(fg);
    seed = SubjectSeed(fg);
  }
  cv::Mat inside = cv::Mat::zeros(size, CV_8U);
  inside(box).setTo(255);
  // Inside the box, what the cues cannot tell is likely the object.
  seed.setTo(0.8f, inside & (seed < 0));
  return fg.Cut(prior, fixed, seed, rounds, &box);
}

cv::Mat PointedObject(const TFigureGround& fg, const std::vector<cv::Point>& points, int rounds) {
  const cv::Size size = fg.Size();
  cv::Mat fixed = cv::Mat::zeros(size, CV_8U);
  const int radius = std::max(1, std::min(size.width, size.height) / 50);
  for (const cv::Point& p : points) cv::circle(fixed, p, radius, cv::Scalar(kSureForeground), cv::FILLED);
  cv::Mat prior, seed;
  const bool onPerson = !fg.People().empty() && std::all_of(points.begin(), points.end(), [&](const cv::Point& p) {
    return fg.PeopleReach().at<std::uint8_t>(p) != 0;
  });
  if (onPerson) {
    SubjectCues(fg, prior, seed);
  } else {
    // The pointed object may well reach the rim and share its colours: the
    // rim's colours are no evidence against it, and its own colours, around
    // the points, teach the foreground (colours unlike the rim's are another
    // object's as likely as its own).
    prior = SubjectPrior(fg, false);
    seed = SubjectSeed(fg);
    if (fg.FocusTrust() < 0.5) seed.setTo(-1.0f, seed > 0.5f);
    const int around = std::max(1, std::min(size.width, size.height) / 20);
    for (const cv::Point& p : points) cv::circle(seed, p, around, cv::Scalar(1.0), cv::FILLED);
  }
  return Holding(fg.Cut(prior, fixed, seed, rounds, nullptr, true), fixed == kSureForeground);
}

TFigureGround FigureOf(const cv::Mat& bgr, int workSide, const TFaceFinder& finder, double& factor) {
  cv::Mat work = Shrink(bgr, workSide, factor).clone();
  // The face finder needs faces of about 80 pixels: it looks at up to 640.
  double toFaces = 1.0;
  cv::Mat gray;
  cv::cvtColor(Shrink(bgr, 640, toFaces), gray, cv::COLOR_BGR2GRAY);
  std::vector<cv::Rect2f> faces;
  const double scale = factor / toFaces;
  for (const auto& found : finder.Find(gray)) {
    const cv::Rect2f& f = found.Box;
    faces.emplace_back(static_cast<float>(f.x * scale), static_cast<float>(f.y * scale),
                       static_cast<float>(f.width * scale), static_cast<float>(f.height * scale));
  }
  return TFigureGround(work, faces);
}

}  // namespace Corvina::Reference::Vision
