// Per-call times of the reference vision library (loaded with dlopen, as the
// package loads it) beside the OpenCV primitive each family is built on, on
// the same scene in the same run: a red disc on grey tiles at 640x480 and
// 1920x1080. Segmentation and background replacement work on a shrunk copy,
// so their peer is GrabCut on the full picture; tracking's peer is one CSRT
// update, removal's one Telea inpaint.
//
// Removal is also held against Telea on one core at 512x512, with a hole the
// size of the demo's spoon (a 40-pixel band and a disc) across the outline
// of a subject; the counter ours_over_telea is the ratio of the two. The
// same ratio is kept for holes that once cost the patch fill seconds.
//
// Segmentation and background replacement are also held against cv::grabCut
// from the subject's box on the same 512x512 picture, on one core: a sharp
// textured subject over a defocused backdrop, each call a whole request
// (load, prompt, mask). The counter ours_over_grabcut is the ratio of the
// two in the same run; the goal is each call within a second.
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>
#include <opencv2/tracking.hpp>

#include "binding/anything.h"

namespace {

struct Sam2 {
#define CORVINA_FIELD(name) Anything::name##_fn* name = nullptr;
  ANYTHING_ENTRY_POINTS(CORVINA_FIELD)
#undef CORVINA_FIELD
};

const Sam2& Lib() {
  static const Sam2 lib = [] {
    void* handle = ::dlopen(CORVINA_REFERENCE_VISION_LIB, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw std::runtime_error(::dlerror());
    Sam2 l;
#define CORVINA_RESOLVE(name) l.name = reinterpret_cast<Anything::name##_fn*>(::dlsym(handle, #name));
    ANYTHING_ENTRY_POINTS(CORVINA_RESOLVE)
#undef CORVINA_RESOLVE
    return l;
  }();
  return lib;
}

std::string Model(const char* name) { return std::string(CORVINA_REFERENCE_VISION_MODELS) + name; }

// Rounds of colour models and graph cuts that the shipped segmentation and
// replacement models ask for (sam2_decoder.cvm, rmbg.cvm): GrabCut, their
// peer, gets as many.
constexpr int kRounds = 3;

enum class Prompt { Point, Box };

// One segmentation request on a context: load the picture, one prompt, its mask.
void Segment(void* ctx, const cv::Mat& bgra, Prompt prompt, cv::Point point, const cv::Rect& box) {
  const Sam2& l = Lib();
  l.sam_load_image(ctx, bgra.data, bgra.cols, bgra.rows, static_cast<int>(bgra.step[0]));
  l.sam_clear(ctx);
  if (prompt == Prompt::Point) {
    l.sam_add_point(ctx, point.x, point.y);
    benchmark::DoNotOptimize(l.sam_get_point_mask(ctx));
  } else {
    l.sam_add_rect(ctx, box.x, box.y, box.width, box.height);
    benchmark::DoNotOptimize(l.sam_get_rect_mask(ctx));
  }
}

void* SamContext() {
  return Lib().sam_init(Model("sam2_encoder.cvm").c_str(), Model("sam2_decoder.cvm").c_str(), "cpu");
}

// The disc scene at one size, as BGR for OpenCV and BGRA for the library.
struct Scene {
  cv::Mat bgr, bgra, shifted, shiftedBgra, mask, maskBgra, background;
  cv::Point centre;
  int radius;
  cv::Rect box;

  Scene(int w, int h) : centre(w / 2, h / 2), radius(h / 5) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> tone(70, 170);
    cv::Mat tiles(h / 12 + 1, w / 12 + 1, CV_8UC3);
    for (int y = 0; y < tiles.rows; ++y)
      for (int x = 0; x < tiles.cols; ++x) {
        const int g = tone(rng);
        tiles.at<cv::Vec3b>(y, x) = cv::Vec3b(g + 10, g, g - 10);
      }
    cv::resize(tiles, bgr, cv::Size(tiles.cols * 12, tiles.rows * 12), 0, 0, cv::INTER_NEAREST);
    bgr = bgr(cv::Rect(0, 0, w, h)).clone();
    shifted = bgr.clone();
    cv::circle(bgr, centre, radius, cv::Scalar(40, 60, 220), cv::FILLED, cv::LINE_AA);
    cv::circle(shifted, centre + cv::Point(4, 3), radius, cv::Scalar(40, 60, 220), cv::FILLED, cv::LINE_AA);
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    cv::cvtColor(shifted, shiftedBgra, cv::COLOR_BGR2BGRA);
    mask = cv::Mat::zeros(h, w, CV_8U);
    cv::circle(mask, centre, radius + 3, cv::Scalar(255), cv::FILLED);
    cv::cvtColor(mask, maskBgra, cv::COLOR_GRAY2BGRA);
    background = cv::Mat(h, w, CV_8UC4, cv::Scalar(230, 120, 20, 255));
    const int m = radius / 4;
    box = cv::Rect(centre.x - radius - m, centre.y - radius - m, 2 * (radius + m), 2 * (radius + m));
  }
  int Pitch() const { return static_cast<int>(bgra.step[0]); }
};

const Scene& SceneOf(const benchmark::State& state) {
  static const Scene small(640, 480), large(1920, 1080);
  return state.range(0) == 640 ? small : large;
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMillisecond)->UseRealTime();
}

void BM_SamMask(benchmark::State& state, Prompt prompt) {
  const Scene& s = SceneOf(state);
  void* ctx = SamContext();
  for (auto _ : state) Segment(ctx, s.bgra, prompt, s.centre, s.box);
  Lib().sam_destroy(ctx);
}
BENCHMARK_CAPTURE(BM_SamMask, point, Prompt::Point)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_SamMask, box, Prompt::Box)->Apply(Sizes);

// Peer of segmentation: GrabCut from the same box on the full picture.
void BM_OpenCVGrabCutFullSize(benchmark::State& state) {
  const Scene& s = SceneOf(state);
  for (auto _ : state) {
    cv::Mat labels, bgd, fgd;
    cv::grabCut(s.bgr, labels, s.box, bgd, fgd, kRounds, cv::GC_INIT_WITH_RECT);
    benchmark::DoNotOptimize(labels.data);
  }
}
BENCHMARK(BM_OpenCVGrabCutFullSize)->Apply(Sizes);

void BM_OstrackTrack(benchmark::State& state) {
  const Scene& s = SceneOf(state);
  void* ctx = Lib().ostrack_init(Model("ostrack.cvm").c_str(), -1);
  Lib().ostrack_init_image(ctx, s.bgra.data, s.bgra.cols, s.bgra.rows, s.Pitch(), s.box.x, s.box.y, s.box.br().x,
                           s.box.br().y);
  bool odd = false;
  for (auto _ : state) {
    Anything::TDrOBB result{};
    const cv::Mat& frame = (odd = !odd) ? s.shiftedBgra : s.bgra;
    Lib().ostrack_track(ctx, frame.data, frame.cols, frame.rows, s.Pitch(), &result);
    benchmark::DoNotOptimize(result);
  }
  Lib().ostrack_destroy(ctx);
}
BENCHMARK(BM_OstrackTrack)->Apply(Sizes);

// Peer of tracking: TrackerCSRT::update with the shipped model's settings.
void BM_OpenCVTrackerCSRTUpdate(benchmark::State& state) {
  const Scene& s = SceneOf(state);
  cv::TrackerCSRT::Params p;
  p.padding = 3;
  p.template_size = 200;
  p.number_of_scales = 33;
  auto tracker = cv::TrackerCSRT::create(p);
  tracker->init(s.bgr, s.box);
  bool odd = false;
  for (auto _ : state) {
    cv::Rect box;
    benchmark::DoNotOptimize(tracker->update((odd = !odd) ? s.shifted : s.bgr, box));
  }
}
BENCHMARK(BM_OpenCVTrackerCSRTUpdate)->Apply(Sizes);

void BM_LamaExecute(benchmark::State& state) {
  const Scene& s = SceneOf(state);
  void* ctx = Lib().lama_init(Model("lama.cvm").c_str(), -1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        Lib().lama_execute(ctx, s.bgra.data, s.maskBgra.data, s.bgra.cols, s.bgra.rows, s.Pitch()));
  }
  Lib().lama_destroy(ctx);
}
BENCHMARK(BM_LamaExecute)->Apply(Sizes);

// Peer of removal: Telea inpainting of the same region with the same radius.
void BM_OpenCVInpaintTelea(benchmark::State& state) {
  const Scene& s = SceneOf(state);
  for (auto _ : state) {
    cv::Mat out;
    cv::inpaint(s.bgr, s.mask, out, 5, cv::INPAINT_TELEA);
    benchmark::DoNotOptimize(out.data);
  }
}
BENCHMARK(BM_OpenCVInpaintTelea)->Apply(Sizes);

void BM_RmbgExecute(benchmark::State& state) {
  const Scene& s = SceneOf(state);
  void* ctx = Lib().rmbg_init(Model("rmbg.cvm").c_str(), -1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        Lib().rmbg_execute(ctx, s.bgra.data, s.background.data, s.bgra.cols, s.bgra.rows, s.Pitch()));
  }
  Lib().rmbg_destroy(ctx);
}
BENCHMARK(BM_RmbgExecute)->Apply(Sizes);

// Peer of background replacement: GrabCut from the centre (all but a rim of
// 3 % of the shorter side) on the full picture.
void BM_OpenCVGrabCutCentreFullSize(benchmark::State& state) {
  const Scene& s = SceneOf(state);
  const int rim = std::min(s.bgr.cols, s.bgr.rows) * 3 / 100;
  const cv::Rect inner(rim, rim, s.bgr.cols - 2 * rim, s.bgr.rows - 2 * rim);
  for (auto _ : state) {
    cv::Mat labels, bgd, fgd;
    cv::grabCut(s.bgr, labels, inner, bgd, fgd, kRounds, cv::GC_INIT_WITH_RECT);
    benchmark::DoNotOptimize(labels.data);
  }
}
BENCHMARK(BM_OpenCVGrabCutCentreFullSize)->Apply(Sizes);

// ------------------------ whole requests at 512x512, against cv::grabCut and Telea

// A sharp subject (warm tiles, a star's outline) over a defocused backdrop
// (cool tiles blurred as by a lens): the portrait case.
struct Portrait {
  cv::Mat bgr, bgra, background;
  cv::Point point;
  cv::Rect box;

  Portrait() {
    constexpr int kSide = 512;
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> tone(60, 190);
    auto tiles = [&](cv::Vec3i tint) {
      cv::Mat small(kSide / 10 + 1, kSide / 10 + 1, CV_8UC3);
      for (int y = 0; y < small.rows; ++y)
        for (int x = 0; x < small.cols; ++x) {
          const int g = tone(rng);
          small.at<cv::Vec3b>(y, x) = cv::Vec3b(cv::saturate_cast<std::uint8_t>(g + tint[0]),
                                                cv::saturate_cast<std::uint8_t>(g + tint[1]),
                                                cv::saturate_cast<std::uint8_t>(g + tint[2]));
        }
      cv::Mat out;
      cv::resize(small, out, cv::Size(small.cols * 10, small.rows * 10), 0, 0, cv::INTER_NEAREST);
      return cv::Mat(out(cv::Rect(0, 0, kSide, kSide)).clone());
    };
    cv::Mat backdrop = tiles({40, 10, -30}), subject = tiles({-40, 0, 50});
    cv::GaussianBlur(backdrop, backdrop, cv::Size(), 4);
    cv::Mat mask = cv::Mat::zeros(kSide, kSide, CV_8U);
    std::vector<cv::Point> star;
    for (int i = 0; i < 360; ++i) {
      const double t = i * CV_PI / 180, r = 150 * (0.8 + 0.2 * std::sin(5 * t));
      star.emplace_back(static_cast<int>(256 + r * std::cos(t)), static_cast<int>(256 + r * std::sin(t)));
    }
    cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{star}, cv::Scalar(255), cv::LINE_AA);
    bgr = backdrop.clone();
    subject.copyTo(bgr, mask);
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    background = cv::Mat(kSide, kSide, CV_8UC4, cv::Scalar(20, 200, 20, 255));
    point = {256, 256};
    box = cv::boundingRect(mask);
  }
};

const Portrait& ThePortrait() {
  static const Portrait p;
  return p;
}

double Seconds(const std::function<void()>& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

enum class Request { Point, Box, Replace };

// Ours (the benchmark's own time) and the peer timed alternately on one
// core, as the goals are stated; the peer's mean and the ratio as counters.
void AgainstPeer(benchmark::State& state, const std::function<void()>& ours, const std::function<void()>& peer,
                 const std::string& peerName) {
  cv::setNumThreads(1);
  double oursTotal = 0, peerTotal = 0;
  for (auto _ : state) {
    const double t = Seconds(ours);
    state.SetIterationTime(t);
    oursTotal += t;
    peerTotal += Seconds(peer);
  }
  cv::setNumThreads(-1);
  state.counters[peerName + "_ms"] = 1000 * peerTotal / static_cast<double>(state.iterations());
  state.counters["ours_over_" + peerName] = oursTotal / peerTotal;
}

// Our request (the benchmark's own time) and the peer, cv::grabCut from the
// subject's box on the same picture, timed alternately on one core, as the
// goal is stated.
void BM_Request512VsGrabCut(benchmark::State& state, Request request) {
  const Portrait& p = ThePortrait();
  void* sam = SamContext();
  void* rmbg = Lib().rmbg_init(Model("rmbg.cvm").c_str(), -1);
  const auto ours = [&] {
    if (request == Request::Replace) {
      benchmark::DoNotOptimize(Lib().rmbg_execute(rmbg, p.bgra.data, p.background.data, p.bgra.cols, p.bgra.rows,
                                                  static_cast<int>(p.bgra.step[0])));
    } else {
      Segment(sam, p.bgra, request == Request::Point ? Prompt::Point : Prompt::Box, p.point, p.box);
    }
  };
  const auto peer = [&] {
    cv::Mat labels, bgd, fgd;
    cv::grabCut(p.bgr, labels, p.box, bgd, fgd, kRounds, cv::GC_INIT_WITH_RECT);
    benchmark::DoNotOptimize(labels.data);
  };
  AgainstPeer(state, ours, peer, "grabcut");
  Lib().rmbg_destroy(rmbg);
  Lib().sam_destroy(sam);
}
BENCHMARK_CAPTURE(BM_Request512VsGrabCut, point, Request::Point)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Request512VsGrabCut, box, Request::Box)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Request512VsGrabCut, replace, Request::Replace)->UseManualTime()->Unit(benchmark::kMillisecond);

// One removal request against cv::inpaint (Telea, radius 5) on the same hole.
void RemovalAgainstTelea(benchmark::State& state, const cv::Mat& bgr, const cv::Mat& bgra, const cv::Mat& hole) {
  cv::Mat holeBgra;
  cv::cvtColor(hole, holeBgra, cv::COLOR_GRAY2BGRA);
  void* lama = Lib().lama_init(Model("lama.cvm").c_str(), -1);
  const auto ours = [&] {
    benchmark::DoNotOptimize(
        Lib().lama_execute(lama, bgra.data, holeBgra.data, bgra.cols, bgra.rows, static_cast<int>(bgra.step[0])));
  };
  const auto peer = [&] {
    cv::Mat out;
    cv::inpaint(bgr, hole, out, 5, cv::INPAINT_TELEA);
    benchmark::DoNotOptimize(out.data);
  };
  AgainstPeer(state, ours, peer, "telea");
  Lib().lama_destroy(lama);
}

void BM_Removal512VsTelea(benchmark::State& state) {
  const Portrait& p = ThePortrait();
  cv::Mat hole = cv::Mat::zeros(p.bgr.size(), CV_8U);
  cv::line(hole, {330, 120}, {420, 330}, cv::Scalar(255), 40);
  cv::circle(hole, {420, 330}, 46, cv::Scalar(255), cv::FILLED);
  RemovalAgainstTelea(state, p.bgr, p.bgra, hole);
}
BENCHMARK(BM_Removal512VsTelea)->UseManualTime()->Unit(benchmark::kMillisecond);

// Holes that once made the patch fill slow where Telea is quick: one-pixel
// lines across the picture every 20 rows, and a small hole in a large picture;
// and one where both were slow: all but a thin frame, which only diffusion fills.
enum class CostlyHole { Lines, SmallInLarge, ThinFrame };

void BM_RemovalCostlyHoleVsTelea(benchmark::State& state, CostlyHole kind) {
  const cv::Size size = kind == CostlyHole::SmallInLarge ? cv::Size(6000, 4000) : cv::Size(2048, 2048);
  cv::Mat tiles(size.height / 12 + 1, size.width / 12 + 1, CV_8UC3), bgr, bgra;
  cv::randu(tiles, 60, 190);
  cv::resize(tiles, bgr, cv::Size(tiles.cols * 12, tiles.rows * 12), 0, 0, cv::INTER_NEAREST);
  bgr = bgr(cv::Rect({0, 0}, size)).clone();
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  cv::Mat hole = cv::Mat::zeros(size, CV_8U);
  if (kind == CostlyHole::Lines) {
    for (int y = 10; y < size.height; y += 20) hole.row(y).setTo(255);
  } else if (kind == CostlyHole::SmallInLarge) {
    hole(cv::Rect(size.width / 2, size.height / 2, 32, 32)).setTo(255);
  } else {
    hole(cv::Rect(12, 12, size.width - 24, size.height - 24)).setTo(255);
  }
  RemovalAgainstTelea(state, bgr, bgra, hole);
}
BENCHMARK_CAPTURE(BM_RemovalCostlyHoleVsTelea, lines_2048, CostlyHole::Lines)
    ->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RemovalCostlyHoleVsTelea, small_hole_6000x4000, CostlyHole::SmallInLarge)
    ->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RemovalCostlyHoleVsTelea, thin_frame_2048, CostlyHole::ThinFrame)
    ->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
