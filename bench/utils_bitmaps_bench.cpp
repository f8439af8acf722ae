// Buffer conversions and stretching against OpenCV (and memcpy of the same
// output, the floor for any conversion), measured in the same run. The last
// argument picks the threads, for OpenCV and for us alike: 0 = one thread,
// 1 = the default (every core; ours splits only pictures above its size
// threshold).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "framework/pixel_pool.h"
#include "utils/bitmaps.h"

#define STB_IMAGE_RESIZE_STATIC
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#include <stb/stb_image_resize.h>
#pragma GCC diagnostic pop

using Fmx::Graphics::TBitmap;
using Fmx::Graphics::TBitmapMapping;
using Fmx::Graphics::TMapAccess;

namespace {

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

// Smooth colour gradients and shading, a fine texture, hard-edged shapes and
// a little noise: what a photograph asks of a resampler.
cv::Mat PhotoLike(int w, int h) {
  cv::Mat img(h, w, CV_8UC4);
  std::uint32_t s = 987654321;
  for (int y = 0; y < h; ++y) {
    auto* row = img.ptr<cv::Vec4b>(y);
    for (int x = 0; x < w; ++x) {
      const double u = double(x) / w, v = double(y) / h;
      s = s * 1664525u + 1013904223u;
      const double noise = double(s >> 24) / 255.0 * 12.0 - 6.0;
      const double texture = 18.0 * std::sin(x * 0.35) * std::cos(y * 0.27);
      const double b = 60 + 150 * u + texture + noise;
      const double g = 40 + 170 * v * (1 - 0.5 * u) + 0.5 * texture + noise;
      const double r = 200 - 120 * u * v + 25 * std::sin(7 * u + 4 * v) + noise;
      row[x] = cv::Vec4b(cv::saturate_cast<uchar>(b), cv::saturate_cast<uchar>(g), cv::saturate_cast<uchar>(r), 255);
    }
  }
  cv::circle(img, {w / 3, h / 2}, std::min(w, h) / 5, cv::Scalar(20, 30, 230, 255), cv::FILLED);
  cv::rectangle(img, {w / 2, h / 5}, {w * 4 / 5, h * 3 / 5}, cv::Scalar(240, 240, 240, 255), cv::FILLED);
  for (int i = 0; i < 12; ++i) {
    cv::line(img, {w * i / 12, 0}, {w - w * i / 12, h - 1}, cv::Scalar(10, 10, 10, 255), 2);
  }
  return img;
}

void CopyInto(const cv::Mat& src, TBitmap& bmp) {
  bmp.SetSize(src.cols, src.rows);
  TBitmapMapping map(bmp, TMapAccess::Write);
  for (int y = 0; y < src.rows; ++y) std::memcpy(map.WritableScanline(y), src.ptr(y), std::size_t(src.cols) * 4);
}

double Psnr(const TBitmap& ours, const cv::Mat& theirs) {
  TBitmapMapping map(ours);
  double sum = 0;
  std::size_t n = 0;
  for (int y = 0; y < theirs.rows; ++y) {
    const std::uint8_t* a = map.Scanline(y);
    const std::uint8_t* b = theirs.ptr(y);
    for (int x = 0; x < theirs.cols * 4; ++x) {
      if (x % 4 == 3) continue;  // alpha is 255 on both sides
      const double d = double(a[x]) - double(b[x]);
      sum += d * d;
      ++n;
    }
  }
  const double mse = sum / double(n);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

void SetBytes(benchmark::State& state, std::size_t outBytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * outBytes));
}

void UseCvThreads(benchmark::State& state) { cv::setNumThreads(state.range(2) ? -1 : 1); }
void UseOurThreads(benchmark::State& state, int arg) {
  Fmx::Graphics::Detail::LimitPixelThreads(state.range(arg) ? 0 : 1);
}

// ---- buffer conversions ----

void BM_GrayToBitmap(benchmark::State& state) {
  UseOurThreads(state, 2);
  const int w = int(state.range(0)), h = int(state.range(1));
  const auto gray = NoiseBytes(std::size_t(w) * h);
  TBitmap bmp(w, h);
  for (auto _ : state) {
    Utils::GrayToBitmap(gray.data(), bmp);
    benchmark::ClobberMemory();
  }
  SetBytes(state, std::size_t(w) * h * 4);
}

void BM_CvGray2Bgra(benchmark::State& state) {
  UseCvThreads(state);
  const int w = int(state.range(0)), h = int(state.range(1));
  auto bytes = NoiseBytes(std::size_t(w) * h);
  const cv::Mat gray(h, w, CV_8UC1, bytes.data());
  cv::Mat out(h, w, CV_8UC4);
  for (auto _ : state) {
    cv::cvtColor(gray, out, cv::COLOR_GRAY2BGRA);
    benchmark::ClobberMemory();
  }
  SetBytes(state, std::size_t(w) * h * 4);
}

void BM_MatToBitmap(benchmark::State& state) {
  UseOurThreads(state, 2);
  const int w = int(state.range(0)), h = int(state.range(1));
  const auto bgr = NoiseBytes(std::size_t(w) * h * 3);
  TBitmap bmp(w, h);
  for (auto _ : state) {
    Utils::MatToBitmap(bgr.data(), bmp);
    benchmark::ClobberMemory();
  }
  SetBytes(state, std::size_t(w) * h * 4);
}

void BM_CvBgr2Bgra(benchmark::State& state) {
  UseCvThreads(state);
  const int w = int(state.range(0)), h = int(state.range(1));
  auto bytes = NoiseBytes(std::size_t(w) * h * 3);
  const cv::Mat bgr(h, w, CV_8UC3, bytes.data());
  cv::Mat out(h, w, CV_8UC4);
  for (auto _ : state) {
    cv::cvtColor(bgr, out, cv::COLOR_BGR2BGRA);
    benchmark::ClobberMemory();
  }
  SetBytes(state, std::size_t(w) * h * 4);
}

// The same output written by memcpy: no conversion can beat it.
void BM_MemcpyOutput(benchmark::State& state) {
  const std::size_t n = std::size_t(state.range(0)) * state.range(1) * 4;
  const auto src = NoiseBytes(n);
  std::vector<std::uint8_t> dst(n);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), n);
    benchmark::ClobberMemory();
  }
  SetBytes(state, n);
}

void ConversionSizes(benchmark::internal::Benchmark* b, bool withCvThreads) {
  for (auto [w, h] : kSizes) {
    if (withCvThreads) {
      b->Args({w, h, 0})->Args({w, h, 1});
    } else {
      b->Args({w, h});
    }
  }
  // Wall-clock time: CPU time would count only the calling thread of a split.
  b->Unit(benchmark::kMicrosecond)->UseRealTime();
}

BENCHMARK(BM_GrayToBitmap)->Apply([](auto* b) { ConversionSizes(b, true); });
BENCHMARK(BM_CvGray2Bgra)->Apply([](auto* b) { ConversionSizes(b, true); });
BENCHMARK(BM_MatToBitmap)->Apply([](auto* b) { ConversionSizes(b, true); });
BENCHMARK(BM_CvBgr2Bgra)->Apply([](auto* b) { ConversionSizes(b, true); });
BENCHMARK(BM_MemcpyOutput)->Apply([](auto* b) { ConversionSizes(b, false); });

// ---- stretching: args are source w, h, target w, h (and OpenCV threads) ----

void BM_StretchBitmap(benchmark::State& state) {
  UseOurThreads(state, 4);
  const int sw = int(state.range(0)), sh = int(state.range(1)), dw = int(state.range(2)), dh = int(state.range(3));
  const cv::Mat src = PhotoLike(sw, sh);
  TBitmap original;
  CopyInto(src, original);
  TBitmap bmp;
  for (auto _ : state) {
    state.PauseTiming();
    bmp.Assign(original);
    state.ResumeTiming();
    Utils::StretchBitmap(bmp, dw, dh);
  }
  // Quality against OpenCV's own filter for the direction.
  cv::setNumThreads(1);
  cv::Mat reference;
  cv::resize(src, reference, {dw, dh}, 0, 0, dw < sw ? cv::INTER_AREA : cv::INTER_LINEAR);
  state.counters["PSNR_dB"] = Psnr(bmp, reference);
}

void BM_CvResize(benchmark::State& state) {
  cv::setNumThreads(state.range(4) ? -1 : 1);
  const int sw = int(state.range(0)), sh = int(state.range(1)), dw = int(state.range(2)), dh = int(state.range(3));
  const cv::Mat src = PhotoLike(sw, sh);
  cv::Mat out(dh, dw, CV_8UC4);
  const int interpolation = dw < sw ? cv::INTER_AREA : cv::INTER_LINEAR;
  for (auto _ : state) {
    cv::resize(src, out, {dw, dh}, 0, 0, interpolation);
    benchmark::ClobberMemory();
  }
}

// Debian's stb_image_resize (v1), the library alternative to our resampler.
void BM_StbResize(benchmark::State& state) {
  const int sw = int(state.range(0)), sh = int(state.range(1)), dw = int(state.range(2)), dh = int(state.range(3));
  const cv::Mat src = PhotoLike(sw, sh);
  cv::Mat out(dh, dw, CV_8UC4);
  for (auto _ : state) {
    stbir_resize_uint8(src.ptr(), sw, sh, 0, out.ptr(), dw, dh, 0, 4);
    benchmark::ClobberMemory();
  }
  cv::setNumThreads(1);
  cv::Mat reference;
  cv::resize(src, reference, {dw, dh}, 0, 0, dw < sw ? cv::INTER_AREA : cv::INTER_LINEAR);
  TBitmap got;
  CopyInto(out, got);
  state.counters["PSNR_dB"] = Psnr(got, reference);
}

void StretchCases(benchmark::internal::Benchmark* b, bool withCvThreads) {
  for (const std::vector<std::int64_t>& c : {std::vector<std::int64_t>{1920, 1080, 512, 512},
                                            std::vector<std::int64_t>{512, 512, 1024, 1024}}) {
    if (withCvThreads) {
      auto one = c, many = c;
      one.push_back(0);
      many.push_back(1);
      b->Args(one)->Args(many);
    } else {
      b->Args(c);
    }
  }
  // Each side first runs a while untimed: OpenCV builds its thread arena
  // anew after every change of its thread count, and both sides' first
  // calls fault in their working memory; neither belongs in the figure.
  b->Unit(benchmark::kMicrosecond)->UseRealTime()->MinWarmUpTime(0.2);
}

BENCHMARK(BM_StretchBitmap)->Apply([](auto* b) { StretchCases(b, true); });
BENCHMARK(BM_CvResize)->Apply([](auto* b) { StretchCases(b, true); });
BENCHMARK(BM_StbResize)->Apply([](auto* b) { StretchCases(b, false); });

}  // namespace

BENCHMARK_MAIN();
