// The reference diffusion backend's real algorithms against OpenCV in the
// same run, at 512x512: preprocess_canny against the same pipeline built
// from OpenCV (gray, 5x5 Gaussian, Canny with the L2 gradient, gray back to
// RGB), and upscale (x2 Lanczos-3 model) against cv::resize with Lanczos-4
// and bicubic. OpenCV runs single-threaded (".../cv1") and with its default
// pool (".../cvN"); ours is single-threaded. Ours goes through the exported
// entry points, result allocation and progress reports included.
#include <benchmark/benchmark.h>

#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "tests/support/reference_diffusion_support.h"

namespace {

using namespace Corvina::Testing;

constexpr int kSide = 512;

ReferenceDiffusion& Lib() {
  static ReferenceDiffusion lib;
  return lib;
}

// Shapes, gradients, texture and a little noise, as RGB.
cv::Mat Scene(int side) {
  cv::Mat img(side, side, CV_8UC3);
  uint32_t s = 12345;
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      s = s * 1664525u + 1013904223u;
      const double noise = double(s >> 24) / 255.0 * 10.0 - 5.0;
      const bool disc = std::hypot(x - side * 0.4, y - side * 0.5) < side * 0.25;
      const bool box = x > side * 0.6 && x < side * 0.9 && y > side * 0.2 && y < side * 0.7;
      const double base = disc ? 200 : box ? 60 : 120 + 40 * std::sin(x * 0.05) * std::cos(y * 0.04);
      img.at<cv::Vec3b>(y, x) = cv::Vec3b(cv::saturate_cast<uchar>(base + noise),
                                          cv::saturate_cast<uchar>(base * 0.8 + noise),
                                          cv::saturate_cast<uchar>(255 - base + noise));
    }
  }
  return img;
}

void Threads(benchmark::State& state) {
  cv::setNumThreads(state.range(0) == 1 ? 1 : -1);
  state.SetLabel(state.range(0) == 1 ? "cv1" : "cvN");
}

void BM_Canny_Reference(benchmark::State& state) {
  const cv::Mat scene = Scene(kSide);
  cv::Mat work = scene.clone();
  for (auto _ : state) {
    scene.copyTo(work);
    const bool ok = Lib().preprocess_canny(sd_image_t{uint32_t(kSide), uint32_t(kSide), 3, work.data}, 0.08f, 0.08f,
                                           0.8f, 1.0f, false);
    benchmark::DoNotOptimize(ok);
  }
}
BENCHMARK(BM_Canny_Reference)->Unit(benchmark::kMicrosecond);

void BM_Canny_OpenCV(benchmark::State& state) {
  Threads(state);
  const cv::Mat scene = Scene(kSide);
  cv::Mat work = scene.clone(), gray, blurred, edges;
  for (auto _ : state) {
    scene.copyTo(work);
    cv::cvtColor(work, gray, cv::COLOR_RGB2GRAY);
    cv::GaussianBlur(gray, blurred, cv::Size(5, 5), 1.4);
    cv::Canny(blurred, edges, 20, 20, 3, true);
    cv::cvtColor(edges, work, cv::COLOR_GRAY2RGB);
    benchmark::DoNotOptimize(work.data);
  }
  cv::setNumThreads(-1);
}
BENCHMARK(BM_Canny_OpenCV)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

void BM_Upscale_Reference(benchmark::State& state) {
  const cv::Mat scene = Scene(kSide);
  const std::string model = ModelPath("corvina-upscaler-x2.cvm");
  void* up = Lib().new_upscaler_ctx(model.c_str(), false, false, 1, 128);
  if (up == nullptr) {
    state.SkipWithError("cannot load the x2 upscaler model");
    return;
  }
  for (auto _ : state) {
    Picture out = TakeImage(Lib().upscale(up, sd_image_t{uint32_t(kSide), uint32_t(kSide), 3, scene.data}, 2));
    benchmark::DoNotOptimize(out.pixels.data());
  }
  Lib().free_upscaler_ctx(up);
}
BENCHMARK(BM_Upscale_Reference)->Unit(benchmark::kMicrosecond);

void BM_Upscale_OpenCV(benchmark::State& state, int interpolation) {
  Threads(state);
  const cv::Mat scene = Scene(kSide);
  cv::Mat out;
  for (auto _ : state) {
    cv::resize(scene, out, cv::Size(kSide * 2, kSide * 2), 0, 0, interpolation);
    benchmark::DoNotOptimize(out.data);
  }
  cv::setNumThreads(-1);
}
BENCHMARK_CAPTURE(BM_Upscale_OpenCV, Lanczos4, cv::INTER_LANCZOS4)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Upscale_OpenCV, Cubic, cv::INTER_CUBIC)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
