// Pictures between bitmaps and the diffusion library, against OpenCV's
// cvtColor for the same channel work and memcpy of the same output, in the
// same run. Like our conversions, every peer makes a new output picture per
// call. The third argument of ours and OpenCV's picks the threads for both
// alike: 0 = one thread, 1 = the default (every core; ours splits only
// pictures above its size threshold). Wall-clock time: CPU time would count
// only the calling thread of a split.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "framework/pixel_pool.h"
#include "generation/sd_images.h"

namespace {

using Fmx::Graphics::TBitmap;
using Fmx::Graphics::TBitmapMapping;

const std::vector<std::pair<int, int>> kSizes = {{512, 512}, {1920, 1080}, {4096, 4096}};

std::vector<std::uint8_t> NoiseBytes(std::size_t n) {
  std::vector<std::uint8_t> out(n);
  std::uint32_t s = 12345;
  for (auto& b : out) {
    s = s * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(s >> 24);
  }
  return out;
}

TBitmap NoiseBitmap(int w, int h) {
  TBitmap bmp(w, h);
  const auto bytes = NoiseBytes(std::size_t(w) * h * 4);
  TBitmapMapping map(bmp, Fmx::Graphics::TMapAccess::Write);
  for (int y = 0; y < h; ++y) std::memcpy(map.WritableScanline(y), bytes.data() + std::size_t(y) * w * 4, std::size_t(w) * 4);
  return bmp;
}

void SetBytes(benchmark::State& state, std::size_t outBytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * outBytes));
}

void UseCvThreads(benchmark::State& state) { cv::setNumThreads(state.range(2) ? -1 : 1); }
void UseOurThreads(benchmark::State& state) { Fmx::Graphics::Detail::LimitPixelThreads(state.range(2) ? 0 : 1); }

// ---- ours ----

void BM_Bitmap2SDImage(benchmark::State& state) {
  UseOurThreads(state);
  const int w = int(state.range(0)), h = int(state.range(1));
  const TBitmap bmp = NoiseBitmap(w, h);
  for (auto _ : state) benchmark::DoNotOptimize(Sd::Fmx::Bitmap2SDImage(bmp).Data());
  SetBytes(state, std::size_t(w) * h * 3);
}

void BM_Bitmap2SDMask(benchmark::State& state) {
  UseOurThreads(state);
  const int w = int(state.range(0)), h = int(state.range(1));
  const TBitmap bmp = NoiseBitmap(w, h);
  for (auto _ : state) benchmark::DoNotOptimize(Sd::Fmx::Bitmap2SDMask(bmp).Data());
  SetBytes(state, std::size_t(w) * h);
}

void BM_SDImage2Bitmap(benchmark::State& state) {
  UseOurThreads(state);
  const int w = int(state.range(0)), h = int(state.range(1));
  auto rgb = NoiseBytes(std::size_t(w) * h * 3);
  const Sd::Fmx::sd_image_t image{std::uint32_t(w), std::uint32_t(h), 3, rgb.data()};
  for (auto _ : state) benchmark::DoNotOptimize(Sd::Fmx::SDImage2Bitmap(&image).get());
  SetBytes(state, std::size_t(w) * h * 4);
}

// ---- OpenCV doing the same channel work into a new picture ----

void CvConvert(benchmark::State& state, int inType, int code, std::size_t outChannels) {
  UseCvThreads(state);
  const int w = int(state.range(0)), h = int(state.range(1));
  auto bytes = NoiseBytes(std::size_t(w) * h * CV_MAT_CN(inType));
  const cv::Mat in(h, w, inType, bytes.data());
  for (auto _ : state) {
    cv::Mat out;
    cv::cvtColor(in, out, code);
    benchmark::DoNotOptimize(out.data);
  }
  SetBytes(state, std::size_t(w) * h * outChannels);
}

void BM_CvBgra2Rgb(benchmark::State& state) { CvConvert(state, CV_8UC4, cv::COLOR_BGRA2RGB, 3); }
// OpenCV has no plain mean; its weighted gray is the nearest equal work.
void BM_CvBgra2Gray(benchmark::State& state) { CvConvert(state, CV_8UC4, cv::COLOR_BGRA2GRAY, 1); }
void BM_CvRgb2Bgra(benchmark::State& state) { CvConvert(state, CV_8UC3, cv::COLOR_RGB2BGRA, 4); }

// ---- memcpy into a picture made for it ----

// Third argument: bytes per pixel (1 the mask, 3 the library's image, 4 a
// bitmap). The 4-byte copy is also the mask's input copied once: the mask
// reads four bytes for each one it writes, so that is its floor, not the
// copy of its one-byte output.

void BM_MemcpyOutput(benchmark::State& state) {
  const std::size_t n = std::size_t(state.range(0)) * state.range(1) * state.range(2);
  const auto src = NoiseBytes(n);
  for (auto _ : state) {
    std::unique_ptr<std::uint8_t, Sd::Fmx::TCFree> dst(static_cast<std::uint8_t*>(std::malloc(n)));
    std::memcpy(dst.get(), src.data(), n);
    benchmark::DoNotOptimize(dst.get());
  }
  SetBytes(state, n);
}

void Sizes(benchmark::internal::Benchmark* b, std::vector<int> third) {
  for (auto [w, h] : kSizes) {
    if (third.empty()) b->Args({w, h});
    for (int t : third) b->Args({w, h, t});
  }
  b->Unit(benchmark::kMicrosecond)->UseRealTime();
}

BENCHMARK(BM_Bitmap2SDImage)->Apply([](auto* b) { Sizes(b, {0, 1}); });
BENCHMARK(BM_CvBgra2Rgb)->Apply([](auto* b) { Sizes(b, {0, 1}); });
BENCHMARK(BM_Bitmap2SDMask)->Apply([](auto* b) { Sizes(b, {0, 1}); });
BENCHMARK(BM_CvBgra2Gray)->Apply([](auto* b) { Sizes(b, {0, 1}); });
BENCHMARK(BM_SDImage2Bitmap)->Apply([](auto* b) { Sizes(b, {0, 1}); });
BENCHMARK(BM_CvRgb2Bgra)->Apply([](auto* b) { Sizes(b, {0, 1}); });
BENCHMARK(BM_MemcpyOutput)->Apply([](auto* b) { Sizes(b, {1, 3, 4}); });

}  // namespace

BENCHMARK_MAIN();
