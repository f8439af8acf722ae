#include "reference/diffusion/canny.h"

#include <algorithm>
#include <cmath>

namespace Reference::Diffusion {
namespace {

// sigma 1.4, the usual choice for Canny; the five taps sum to 1.
constexpr float kGauss[5] = {0.1201f, 0.2339f, 0.2920f, 0.2339f, 0.1201f};

std::vector<float> GrayOf(const uint8_t* pixels, int width, int height, int channels) {
  const size_t count = size_t(width) * size_t(height);
  std::vector<float> gray(count);
  if (channels < 3) {
    for (size_t i = 0; i < count; ++i) gray[i] = pixels[i * size_t(channels)] * (1.0f / 255.0f);
    return gray;
  }
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = pixels + i * size_t(channels);
    gray[i] = (0.299f * p[0] + 0.587f * p[1] + 0.114f * p[2]) * (1.0f / 255.0f);
  }
  return gray;
}

// Separable 5x5 blur with the edge pixels repeated.
std::vector<float> Blur(const std::vector<float>& src, int width, int height) {
  std::vector<float> rows(src.size());
  std::vector<float> out(src.size());
  const auto clamped = [&](const float* s, int x) {
    float sum = 0;
    for (int k = -2; k <= 2; ++k) sum += kGauss[k + 2] * s[std::clamp(x + k, 0, width - 1)];
    return sum;
  };
  for (int y = 0; y < height; ++y) {
    const float* s = &src[size_t(y) * size_t(width)];
    float* d = &rows[size_t(y) * size_t(width)];
    const int inner = std::max(2, width - 2);
    for (int x = 0; x < std::min(2, width); ++x) d[x] = clamped(s, x);
    for (int x = 2; x < inner; ++x)
      d[x] = kGauss[0] * (s[x - 2] + s[x + 2]) + kGauss[1] * (s[x - 1] + s[x + 1]) + kGauss[2] * s[x];
    for (int x = inner; x < width; ++x) d[x] = clamped(s, x);
  }
  for (int y = 0; y < height; ++y) {
    const float* taps[5];
    for (int k = -2; k <= 2; ++k) taps[k + 2] = &rows[size_t(std::clamp(y + k, 0, height - 1)) * size_t(width)];
    float* d = &out[size_t(y) * size_t(width)];
    for (int x = 0; x < width; ++x) {
      d[x] = kGauss[0] * taps[0][x] + kGauss[1] * taps[1][x] + kGauss[2] * taps[2][x] + kGauss[3] * taps[3][x] +
             kGauss[4] * taps[4][x];
    }
  }
  return out;
}

}  // namespace

std::vector<uint8_t> CannyEdges(const uint8_t* pixels, int width, int height, int channels,
                                const CannySettings& settings) {
  const size_t count = size_t(width) * size_t(height);
  const std::vector<float> smooth = Blur(GrayOf(pixels, width, height, channels), width, height);

  // Sobel with repeated edges. Squared magnitudes keep the order that
  // suppression and thresholds need without a square root per pixel; the
  // direction is kept as one of four bins so that suppression needs no
  // trigonometry.
  std::vector<float> magnitude(count);
  std::vector<uint8_t> direction(count);
  constexpr float kTan22 = 0.41421356f;  // tan(22.5 degrees)
  constexpr float kTan67 = 2.41421356f;  // tan(67.5 degrees)
  float peak = 0;
  for (int y = 0; y < height; ++y) {
    const float* up = &smooth[size_t(std::max(y - 1, 0)) * size_t(width)];
    const float* mid = &smooth[size_t(y) * size_t(width)];
    const float* down = &smooth[size_t(std::min(y + 1, height - 1)) * size_t(width)];
    float* __restrict m = &magnitude[size_t(y) * size_t(width)];
    uint8_t* __restrict dir = &direction[size_t(y) * size_t(width)];
    const auto gradient = [&](int x, int l, int r) {
      const float gx = (up[r] + 2 * mid[r] + down[r]) - (up[l] + 2 * mid[l] + down[l]);
      const float gy = (down[l] + 2 * down[x] + down[r]) - (up[l] + 2 * up[x] + up[r]);
      m[x] = gx * gx + gy * gy;
      const float ax = std::fabs(gx), ay = std::fabs(gy);
      // 0: across columns, 1: across rows, 2: down-right diagonal, 3: down-left diagonal.
      const int across = ay <= ax * kTan22, steep = ay >= ax * kTan67, sameSign = (gx > 0) == (gy > 0);
      const int diagonal = 3 - sameSign;
      dir[x] = uint8_t(across ? 0 : (steep ? 1 : diagonal));
    };
    gradient(0, 0, std::min(1, width - 1));
    for (int x = 1; x + 1 < width; ++x) {
      const float gx = (up[x + 1] + 2 * mid[x + 1] + down[x + 1]) - (up[x - 1] + 2 * mid[x - 1] + down[x - 1]);
      const float gy = (down[x - 1] + 2 * down[x] + down[x + 1]) - (up[x - 1] + 2 * up[x] + up[x + 1]);
      m[x] = gx * gx + gy * gy;
      const float ax = std::fabs(gx), ay = std::fabs(gy);
      // The bins of `gradient` as arithmetic, so this loop has no branches.
      const int across = ay <= ax * kTan22, steep = ay >= ax * kTan67;
      const int diagonal = 3 - int((gx > 0) == (gy > 0));
      dir[x] = uint8_t((1 - across) * (steep + (1 - steep) * diagonal));
    }
    if (width > 1) gradient(width - 1, width - 2, width - 1);
    // Eight running maxima, so the compiler need not keep one order.
    float rowPeak[8] = {};
    int x = 0;
    for (; x + 8 <= width; x += 8)
      for (int k = 0; k < 8; ++k) rowPeak[k] = m[x + k] > rowPeak[k] ? m[x + k] : rowPeak[k];
    for (; x < width; ++x) rowPeak[0] = m[x] > rowPeak[0] ? m[x] : rowPeak[0];
    for (const float p : rowPeak) peak = p > peak ? p : peak;
  }

  const auto at = [&](int x, int y) -> float {
    if (x < 0 || y < 0 || x >= width || y >= height) return 0.0f;
    return magnitude[size_t(y) * size_t(width) + size_t(x)];
  };
  const auto level = [](float v) { return uint8_t(std::clamp(v, 0.0f, 1.0f) * 255.0f + 0.5f); };
  const uint8_t strong = level(settings.strong), weak = level(settings.weak);

  std::vector<uint8_t> edges(count, 0);
  if (peak > 0) {
    static constexpr int kStep[4][2] = {{1, 0}, {0, 1}, {1, 1}, {-1, 1}};
    // Thresholds on the magnitude scaled so that the peak is 1, squared like
    // the magnitudes; a threshold of 0 or below passes every pixel.
    const auto squared = [&](float t) { return t > 0 ? t * t * peak : -1.0f; };
    const float high = squared(settings.high), low = squared(settings.low);
    const size_t offset[4] = {1, size_t(width), size_t(width) + 1, size_t(width) - 1};
    for (int y = 0; y < height; ++y) {
      const bool innerRow = y > 0 && y + 1 < height;
      for (int x = 0; x < width; ++x) {
        const size_t i = size_t(y) * size_t(width) + size_t(x);
        const float m = magnitude[i];
        if (m < low && m < high) continue;
        float before, after;
        if (innerRow && x > 0 && x + 1 < width) {
          before = magnitude[i - offset[direction[i]]];
          after = magnitude[i + offset[direction[i]]];
        } else {
          const int dx = kStep[direction[i]][0], dy = kStep[direction[i]][1];
          before = at(x - dx, y - dy);
          after = at(x + dx, y + dy);
        }
        // Strict on one side only, so a two-pixel plateau keeps one pixel.
        if (!(m > before && m >= after)) continue;
        if (m >= high) {
          edges[i] = strong;
        } else if (m >= low) {
          edges[i] = weak;
        }
      }
    }
  }
  if (settings.inverse) {
    for (auto& e : edges) e = uint8_t(255 - e);
  }
  return edges;
}

}  // namespace Reference::Diffusion
