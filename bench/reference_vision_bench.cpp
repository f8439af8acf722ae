// Per-call times of the reference vision library (loaded with dlopen, as the
// package loads it) beside the OpenCV primitive each family is built on, on
// the same scene in the same run: a red disc on grey tiles at 640x480 and
// 1920x1080. Segmentation and background replacement work on a shrunk copy,
// so their peer is GrabCut on the full picture; tracking's peer is one CSRT
// update, removal's one Telea inpaint.
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
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

void BM_SamPointMask(benchmark::State& state) {
  const Scene& s = SceneOf(state);
  void* ctx = Lib().sam_init(Model("sam2_encoder.cvm").c_str(), Model("sam2_decoder.cvm").c_str(), "cpu");
  for (auto _ : state) {
    Lib().sam_load_image(ctx, s.bgra.data, s.bgra.cols, s.bgra.rows, s.Pitch());
    Lib().sam_clear(ctx);
    Lib().sam_add_point(ctx, s.centre.x, s.centre.y);
    benchmark::DoNotOptimize(Lib().sam_get_point_mask(ctx));
  }
  Lib().sam_destroy(ctx);
}
BENCHMARK(BM_SamPointMask)->Apply(Sizes);

void BM_SamRectMask(benchmark::State& state) {
  const Scene& s = SceneOf(state);
  void* ctx = Lib().sam_init(Model("sam2_encoder.cvm").c_str(), Model("sam2_decoder.cvm").c_str(), "cpu");
  for (auto _ : state) {
    Lib().sam_load_image(ctx, s.bgra.data, s.bgra.cols, s.bgra.rows, s.Pitch());
    Lib().sam_clear(ctx);
    Lib().sam_add_rect(ctx, s.box.x, s.box.y, s.box.width, s.box.height);
    benchmark::DoNotOptimize(Lib().sam_get_rect_mask(ctx));
  }
  Lib().sam_destroy(ctx);
}
BENCHMARK(BM_SamRectMask)->Apply(Sizes);

// Peer of segmentation: GrabCut from the same box on the full picture, as
// many rounds as the shipped decoder model asks for.
void BM_OpenCVGrabCutFullSize(benchmark::State& state) {
  const Scene& s = SceneOf(state);
  for (auto _ : state) {
    cv::Mat labels, bgd, fgd;
    cv::grabCut(s.bgr, labels, s.box, bgd, fgd, 5, cv::GC_INIT_WITH_RECT);
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

// Peer of background replacement: GrabCut from the centre on the full
// picture, as many rounds as the shipped model asks for.
void BM_OpenCVGrabCutCentreFullSize(benchmark::State& state) {
  const Scene& s = SceneOf(state);
  const int rim = std::min(s.bgr.cols, s.bgr.rows) * 3 / 100;
  const cv::Rect inner(rim, rim, s.bgr.cols - 2 * rim, s.bgr.rows - 2 * rim);
  for (auto _ : state) {
    cv::Mat labels, bgd, fgd;
    cv::grabCut(s.bgr, labels, inner, bgd, fgd, 4, cv::GC_INIT_WITH_RECT);
    benchmark::DoNotOptimize(labels.data);
  }
}
BENCHMARK(BM_OpenCVGrabCutCentreFullSize)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
