// Per-call times of the reference vision library (loaded with dlopen, as the
// package loads it) beside the OpenCV primitive each family is built on, on
// the same scene in the same run: a red disc on grey tiles at 640x480 and
// 1920x1080. Segmentation and background replacement work on a shrunk copy,
// so their peer is GrabCut on the full picture; tracking's peer is one CSRT
// update, removal's one Telea inpaint.
//
// Segmentation and background replacement are also held against their own
// methods of eba12f8 (bench/reference_vision_eba12f8), at 512x512 on one
// core: a sharp textured subject over a defocused backdrop, each call a whole
// request (load, prompt, mask). The counter today_over_eba12f8 is the ratio
// of the two in the same run; the goal is each call within a second.
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

Sam2 Open(const char* path) {
  void* handle = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw std::runtime_error(::dlerror());
  Sam2 l;
#define CORVINA_RESOLVE(name) l.name = reinterpret_cast<Anything::name##_fn*>(::dlsym(handle, #name));
  ANYTHING_ENTRY_POINTS(CORVINA_RESOLVE)
#undef CORVINA_RESOLVE
  return l;
}

const Sam2& Lib() {
  static const Sam2 lib = Open(CORVINA_REFERENCE_VISION_LIB);
  return lib;
}

// The peer of eba12f8 exports only the segmentation and replacement entries.
const Sam2& Eba12f8() {
  static const Sam2 lib = Open(CORVINA_REFERENCE_VISION_EBA12F8_LIB);
  return lib;
}

std::string Model(const char* name) { return std::string(CORVINA_REFERENCE_VISION_MODELS) + name; }
std::string Eba12f8Model(const char* name) { return std::string(CORVINA_REFERENCE_VISION_EBA12F8_MODELS) + name; }

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

// ------------------------------------------- today against eba12f8, 512x512

// A sharp subject (warm tiles, a star's outline) over a defocused backdrop
// (cool tiles blurred as by a lens): the portrait case.
struct Portrait {
  cv::Mat bgra, background;
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
    cv::Mat backdrop = tiles({40, 10, -30}), subject = tiles({-40, 0, 50}), bgr;
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
  int Pitch() const { return static_cast<int>(bgra.step[0]); }
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

// Times today's call (the benchmark's own time) and eba12f8's alternately.
void Against(benchmark::State& state, const std::function<void()>& today, const std::function<void()>& then) {
  cv::setNumThreads(1);  // one core, as the goal is stated
  double todayTotal = 0, thenTotal = 0;
  for (auto _ : state) {
    const double t = Seconds(today);
    state.SetIterationTime(t);
    todayTotal += t;
    thenTotal += Seconds(then);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["eba12f8_ms"] = 1000 * thenTotal / n;
  state.counters["today_over_eba12f8"] = todayTotal / thenTotal;
  cv::setNumThreads(-1);
}

// One segmentation request on a library: load, one prompt, the mask.
struct Segmenter {
  const Sam2& lib;
  void* ctx;
  Segmenter(const Sam2& l, const std::string& encoder, const std::string& decoder)
      : lib(l), ctx(l.sam_init(encoder.c_str(), decoder.c_str(), "cpu")) {}
  ~Segmenter() { lib.sam_destroy(ctx); }
  Segmenter(const Segmenter&) = delete;
  Segmenter& operator=(const Segmenter&) = delete;
  void Point(const Portrait& p) const {
    lib.sam_load_image(ctx, p.bgra.data, p.bgra.cols, p.bgra.rows, p.Pitch());
    lib.sam_clear(ctx);
    lib.sam_add_point(ctx, p.point.x, p.point.y);
    benchmark::DoNotOptimize(lib.sam_get_point_mask(ctx));
  }
  void Box(const Portrait& p) const {
    lib.sam_load_image(ctx, p.bgra.data, p.bgra.cols, p.bgra.rows, p.Pitch());
    lib.sam_clear(ctx);
    lib.sam_add_rect(ctx, p.box.x, p.box.y, p.box.width, p.box.height);
    benchmark::DoNotOptimize(lib.sam_get_rect_mask(ctx));
  }
};

struct Replacer {
  const Sam2& lib;
  void* ctx;
  Replacer(const Sam2& l, const std::string& model) : lib(l), ctx(l.rmbg_init(model.c_str(), -1)) {}
  ~Replacer() { lib.rmbg_destroy(ctx); }
  Replacer(const Replacer&) = delete;
  Replacer& operator=(const Replacer&) = delete;
  void Replace(const Portrait& p) const {
    benchmark::DoNotOptimize(
        lib.rmbg_execute(ctx, p.bgra.data, p.background.data, p.bgra.cols, p.bgra.rows, p.Pitch()));
  }
};

void BM_SegmentByPoint512VsEba12f8(benchmark::State& state) {
  const Portrait& p = ThePortrait();
  const Segmenter today(Lib(), Model("sam2_encoder.cvm"), Model("sam2_decoder.cvm"));
  const Segmenter then(Eba12f8(), Eba12f8Model("sam2_encoder.cvm"), Eba12f8Model("sam2_decoder.cvm"));
  Against(state, [&] { today.Point(p); }, [&] { then.Point(p); });
}
BENCHMARK(BM_SegmentByPoint512VsEba12f8)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_SegmentByBox512VsEba12f8(benchmark::State& state) {
  const Portrait& p = ThePortrait();
  const Segmenter today(Lib(), Model("sam2_encoder.cvm"), Model("sam2_decoder.cvm"));
  const Segmenter then(Eba12f8(), Eba12f8Model("sam2_encoder.cvm"), Eba12f8Model("sam2_decoder.cvm"));
  Against(state, [&] { today.Box(p); }, [&] { then.Box(p); });
}
BENCHMARK(BM_SegmentByBox512VsEba12f8)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ReplaceBackground512VsEba12f8(benchmark::State& state) {
  const Portrait& p = ThePortrait();
  const Replacer today(Lib(), Model("rmbg.cvm"));
  const Replacer then(Eba12f8(), Eba12f8Model("rmbg.cvm"));
  Against(state, [&] { today.Replace(p); }, [&] { then.Replace(p); });
}
BENCHMARK(BM_ReplaceBackground512VsEba12f8)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
