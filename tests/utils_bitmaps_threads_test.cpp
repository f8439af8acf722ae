// Conversions and scaling large enough to be split across cores give the
// same pixels as one core, also while other threads convert at the same time.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "framework/graphics.h"
#include "framework/kernels.h"
#include "framework/pixel_pool.h"
#include "utils/bitmaps.h"

using Fmx::Graphics::TBitmap;
using Fmx::Graphics::Detail::LimitPixelThreads;
using System::Uitypes::TAlphaColor;

namespace {

std::vector<std::uint8_t> Noise(std::size_t n, std::uint32_t seed) {
  std::vector<std::uint8_t> out(n);
  for (auto& b : out) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(seed >> 24);
  }
  return out;
}

// The whole picture at once: per-pixel reads would make the suite slow
// under ThreadSanitizer.
std::vector<TAlphaColor> Raw(const TBitmap& bmp) {
  std::vector<TAlphaColor> out(std::size_t(bmp.Width()) * bmp.Height());
  Fmx::Graphics::TBitmapMapping map(bmp);
  if (!out.empty()) std::memcpy(out.data(), map.Data().Data, out.size() * sizeof(TAlphaColor));
  return out;
}

struct TPicture {
  int w, h;
};

// Each operation once on one core and once split, from the same input.
template <class Op>
void ExpectSameSplitAsAlone(const char* name, Op op) {
  LimitPixelThreads(1);
  const std::vector<TAlphaColor> alone = op();
  LimitPixelThreads(0);
  const std::vector<TAlphaColor> split = op();
  EXPECT_EQ(alone.size(), split.size()) << name;
  EXPECT_TRUE(alone == split) << name;
}

}  // namespace

TEST(ParallelPixels, SplitConversionsAndScalingMatchOneCore) {
  if (Fmx::Graphics::Detail::PixelThreadCount() < 2) GTEST_SKIP() << "one core: nothing is split";
  // Odd sizes so that ranges end mid-row and mid-vector.
  for (const TPicture p : {TPicture{601, 301}, TPicture{3001, 47}, TPicture{17, 9001}}) {
    const auto gray = Noise(std::size_t(p.w) * p.h, 7);
    const auto bgr = Noise(std::size_t(p.w) * p.h * 3, 11);
    ExpectSameSplitAsAlone("GrayToBitmap", [&] {
      TBitmap bmp(p.w, p.h);
      Utils::GrayToBitmap(gray.data(), bmp);
      return Raw(bmp);
    });
    ExpectSameSplitAsAlone("MatToBitmap", [&] {
      TBitmap bmp(p.w, p.h);
      Utils::MatToBitmap(bgr.data(), bmp);
      return Raw(bmp);
    });
    // Enlarging takes its own filter, with a kernel per processor kind.
    for (const bool baseline : {false, true}) {
      Fmx::Graphics::Detail::UseBaselineKernels(baseline);
      for (const TPicture to : {TPicture{p.w / 3, p.h / 2}, TPicture{p.w * 2 - 1, p.h + 5}, TPicture{5, p.h * 3}}) {
        ExpectSameSplitAsAlone(baseline ? "StretchBitmap, baseline kernels" : "StretchBitmap", [&] {
          TBitmap bmp(p.w, p.h);
          Utils::MatToBitmap(bgr.data(), bmp);
          Utils::StretchBitmap(bmp, to.w, to.h);
          return Raw(bmp);
        });
      }
    }
    Fmx::Graphics::Detail::UseBaselineKernels(false);
    // With transparency the filter takes its premultiplied path.
    ExpectSameSplitAsAlone("Resize with alpha", [&] {
      TBitmap bmp(p.w, p.h);
      Utils::MatToBitmap(bgr.data(), bmp);
      {
        Fmx::Graphics::TBitmapMapping map(bmp, Fmx::Graphics::TMapAccess::Write);
        map.Data().SetPixel(p.w / 2, p.h / 2, 0x40FF0000u);
      }
      bmp.Resize(p.w / 2 + 1, p.h * 2);
      return Raw(bmp);
    });
  }
}

TEST(ParallelPixels, ThreadsConvertingAtOnceEachGetTheirOwnPicture) {
  constexpr int kW = 600, kH = 300;
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const std::uint8_t level = static_cast<std::uint8_t>(40 * t + 10);
      const std::vector<std::uint8_t> gray(std::size_t(kW) * kH, level);
      const TAlphaColor expected = 0xFF000000u | level << 16 | level << 8 | level;
      for (int round = 0; round < 4; ++round) {
        TBitmap bmp(kW, kH);
        Utils::GrayToBitmap(gray.data(), bmp);
        Utils::StretchBitmap(bmp, kW / 2, kH / 2);
        for (const TAlphaColor px : Raw(bmp)) wrong[t] += px != expected;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}
