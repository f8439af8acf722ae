#include "reference/diffusion/resample.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

namespace Reference::Diffusion {
namespace {

float Sinc(float x) {
  if (std::fabs(x) < 1e-6f) return 1.0f;
  const float px = std::numbers::pi_v<float> * x;
  return std::sin(px) / px;
}

float Kernel(ResampleFilter filter, float x) {
  x = std::fabs(x);
  if (filter == ResampleFilter::Lanczos3) return x < 3.0f ? Sinc(x) * Sinc(x / 3.0f) : 0.0f;
  constexpr float a = -0.5f;
  if (x < 1.0f) return ((a + 2) * x - (a + 3)) * x * x + 1;
  if (x < 2.0f) return ((a * x - 5 * a) * x + 8 * a) * x - 4 * a;
  return 0.0f;
}

float Radius(ResampleFilter filter) { return filter == ResampleFilter::Lanczos3 ? 3.0f : 2.0f; }

// For each output position, the source indices (clamped into the source) and
// normalised weights of its taps.
struct Taps {
  int count = 0;
  std::vector<int> index;     // out x count
  std::vector<float> weight;  // out x count
};

Taps MakeTaps(int srcSize, int dstSize, ResampleFilter filter) {
  const float scale = float(srcSize) / float(dstSize);
  const float widen = std::max(1.0f, scale);
  const float support = Radius(filter) * widen;
  Taps taps;
  // Source pixels in (center - support, center + support]: never more than this.
  taps.count = std::max(1, int(std::ceil(2.0f * support)));
  taps.index.resize(size_t(dstSize) * size_t(taps.count));
  taps.weight.resize(taps.index.size());
  for (int o = 0; o < dstSize; ++o) {
    const float center = (float(o) + 0.5f) * scale - 0.5f;
    const int first = int(std::floor(center - support)) + 1;
    int* idx = &taps.index[size_t(o) * size_t(taps.count)];
    float* w = &taps.weight[size_t(o) * size_t(taps.count)];
    float sum = 0;
    for (int k = 0; k < taps.count; ++k) {
      w[k] = Kernel(filter, (float(first + k) - center) / widen);
      idx[k] = std::clamp(first + k, 0, srcSize - 1);
      sum += w[k];
    }
    for (int k = 0; k < taps.count; ++k) w[k] /= sum;
  }
  return taps;
}

template <int C>
void HorizontalRow(const uint8_t* s, float* d, int dstWidth, const Taps& across) {
  for (int x = 0; x < dstWidth; ++x) {
    const int* idx = &across.index[size_t(x) * size_t(across.count)];
    const float* w = &across.weight[size_t(x) * size_t(across.count)];
    float sum[C] = {};
    for (int k = 0; k < across.count; ++k) {
      const uint8_t* p = s + size_t(idx[k]) * C;
      for (int c = 0; c < C; ++c) sum[c] += w[k] * float(p[c]);
    }
    for (int c = 0; c < C; ++c) d[size_t(x) * C + size_t(c)] = sum[c];
  }
}

}  // namespace

struct Resampler::State {
  int channels, dstWidth;
  Taps down;
  std::vector<float> rows;  // source height x (dstWidth x channels)
};

Resampler::Resampler(const uint8_t* src, int srcWidth, int srcHeight, int channels, int dstWidth, int dstHeight,
                     ResampleFilter filter)
    : FState(std::make_unique<State>()) {
  State* state = FState.get();
  state->channels = channels;
  state->dstWidth = dstWidth;
  state->down = MakeTaps(srcHeight, dstHeight, filter);
  const Taps across = MakeTaps(srcWidth, dstWidth, filter);
  const size_t rowFloats = size_t(dstWidth) * size_t(channels);
  state->rows.resize(size_t(srcHeight) * rowFloats);
  for (int y = 0; y < srcHeight; ++y) {
    const uint8_t* s = src + size_t(y) * size_t(srcWidth) * size_t(channels);
    float* d = &state->rows[size_t(y) * rowFloats];
    switch (channels) {
      case 1: HorizontalRow<1>(s, d, dstWidth, across); break;
      case 2: HorizontalRow<2>(s, d, dstWidth, across); break;
      case 3: HorizontalRow<3>(s, d, dstWidth, across); break;
      default: HorizontalRow<4>(s, d, dstWidth, across); break;
    }
  }
}

Resampler::~Resampler() = default;

void Resampler::Rows(int firstRow, int endRow, uint8_t* dst) const {
  const State& s = *FState;
  const size_t rowFloats = size_t(s.dstWidth) * size_t(s.channels);
  std::vector<float> acc(rowFloats);
  for (int y = firstRow; y < endRow; ++y) {
    const int* idx = &s.down.index[size_t(y) * size_t(s.down.count)];
    const float* w = &s.down.weight[size_t(y) * size_t(s.down.count)];
    std::fill(acc.begin(), acc.end(), 0.0f);
    for (int k = 0; k < s.down.count; ++k) {
      const float* r = &s.rows[size_t(idx[k]) * rowFloats];
      const float wk = w[k];
      for (size_t i = 0; i < rowFloats; ++i) acc[i] += wk * r[i];
    }
    uint8_t* d = dst + size_t(y) * rowFloats;
    for (size_t i = 0; i < rowFloats; ++i) d[i] = uint8_t(std::clamp(acc[i], 0.0f, 255.0f) + 0.5f);
  }
}

void Resample(const uint8_t* src, int srcWidth, int srcHeight, int channels, uint8_t* dst, int dstWidth,
              int dstHeight, ResampleFilter filter) {
  Resampler(src, srcWidth, srcHeight, channels, dstWidth, dstHeight, filter).Rows(0, dstHeight, dst);
}

}  // namespace Reference::Diffusion
