#include "framework/resample.h"

#include "framework/kernels.h"
#include "framework/pixel_pool.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <immintrin.h>
#define CORVINA_RESAMPLE_SSE2 1
#endif

namespace Fmx::Graphics::Detail {

namespace {

using System::Types::TRectF;

// One pixel as four floats in memory order B, G, R, A: a single SSE register
// where there is one, so that every channel is handled by one instruction.
#ifdef CORVINA_RESAMPLE_SSE2
struct F4 {
  __m128 v;
  static F4 Zero() { return {_mm_setzero_ps()}; }
  static F4 FromPixel(std::uint32_t px) {
    const __m128i z = _mm_setzero_si128();
    __m128i p = _mm_cvtsi32_si128(static_cast<int>(px));
    p = _mm_unpacklo_epi16(_mm_unpacklo_epi8(p, z), z);
    return {_mm_cvtepi32_ps(p)};
  }
  // Colours times alpha (0..255 scale), alpha kept.
  F4 Premultiplied() const {
    const __m128 a = _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 3, 3, 3));
    const __m128 m = _mm_or_ps(_mm_and_ps(a, ColourMask()), OneInAlpha());
    return {_mm_mul_ps(v, m)};
  }
  F4 Straight() const {
    // A zero alpha means every colour term was zero too, so the floor on the
    // divisor cannot inflate anything.
    const __m128 a = _mm_max_ps(_mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 3, 3, 3)), _mm_set1_ps(1e-6f));
    const __m128 inv = _mm_div_ps(_mm_set1_ps(1.0f), a);
    const __m128 m = _mm_or_ps(_mm_and_ps(inv, ColourMask()), OneInAlpha());
    return {_mm_mul_ps(v, m)};
  }
  std::uint32_t ToPixel() const {
    const __m128 c = _mm_min_ps(_mm_max_ps(v, _mm_setzero_ps()), _mm_set1_ps(255.0f));
    __m128i i = _mm_cvtps_epi32(c);  // round half to even
    i = _mm_packs_epi32(i, i);
    i = _mm_packus_epi16(i, i);
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(i));
  }
  static F4 Splat(float w) { return {_mm_set1_ps(w)}; }
  static F4 Mul(F4 a, F4 b) { return {_mm_mul_ps(a.v, b.v)}; }
  void MulAdd(F4 p, F4 w) { v = _mm_add_ps(v, _mm_mul_ps(p.v, w.v)); }

 private:
  static __m128 ColourMask() { return _mm_castsi128_ps(_mm_set_epi32(0, -1, -1, -1)); }
  static __m128 OneInAlpha() { return _mm_set_ps(1.0f, 0.0f, 0.0f, 0.0f); }
};
#else
struct F4 {
  float c[4];
  static F4 Zero() { return {{0, 0, 0, 0}}; }
  static F4 FromPixel(std::uint32_t px) {
    return {{float(px & 0xFF), float((px >> 8) & 0xFF), float((px >> 16) & 0xFF), float(px >> 24)}};
  }
  F4 Premultiplied() const { return {{c[0] * c[3], c[1] * c[3], c[2] * c[3], c[3]}}; }
  F4 Straight() const {
    const float inv = 1.0f / std::max(c[3], 1e-6f);
    return {{c[0] * inv, c[1] * inv, c[2] * inv, c[3]}};
  }
  std::uint32_t ToPixel() const {
    std::uint32_t px = 0;
    for (int k = 0; k < 4; ++k) {
      const float v = std::clamp(c[k], 0.0f, 255.0f);
      px |= static_cast<std::uint32_t>(std::nearbyint(v)) << (8 * k);
    }
    return px;
  }
  static F4 Splat(float w) { return {{w, w, w, w}}; }
  static F4 Mul(F4 a, F4 b) { return {{a.c[0] * b.c[0], a.c[1] * b.c[1], a.c[2] * b.c[2], a.c[3] * b.c[3]}}; }
  void MulAdd(F4 p, F4 w) {
    for (int k = 0; k < 4; ++k) c[k] += p.c[k] * w.c[k];
  }
};
#endif

// Which target pixels of one axis are drawn and, for each, the run of
// consecutive source pixels it reads with their weights.
struct TAxis {
  std::int32_t First = 0;  // target pixels [First, First + Count)
  std::int32_t Count = 0;
  std::int32_t MaxTaps = 1;
  std::int32_t SrcLo = 0;  // source pixels read lie in [SrcLo, SrcHi]
  std::int32_t SrcHi = 0;
  std::vector<std::int32_t> Start;
  std::vector<std::int32_t> Taps;
  std::vector<float> Weights;  // MaxTaps per target pixel

  bool SingleTap() const { return MaxTaps == 1; }
  const float* WeightsOf(std::int32_t i) const { return Weights.data() + std::size_t(i) * MaxTaps; }
};

struct TSpan {
  double S0, S1;  // source interval
  double D0, D1;  // target interval it maps onto
};

// Cuts the source interval to the source and the target interval with it.
bool ClipSpan(TSpan& s, std::int32_t sourceSize) {
  if (!(s.S1 > s.S0) || !(s.D1 > s.D0)) return false;
  const double k = (s.D1 - s.D0) / (s.S1 - s.S0);
  if (s.S0 < 0) {
    s.D0 += -s.S0 * k;
    s.S0 = 0;
  }
  if (s.S1 > sourceSize) {
    s.D1 -= (s.S1 - sourceSize) * k;
    s.S1 = sourceSize;
  }
  return s.S1 > s.S0 && s.D1 > s.D0;
}

bool BuildAxis(const TSpan& s, std::int32_t sourceSize, std::int32_t targetSize, TFilter filter, TAxis& axis) {
  // Pixels whose centre lies in [D0, D1).
  const double first = std::clamp(std::ceil(s.D0 - 0.5), 0.0, double(targetSize));
  const double last = std::clamp(std::ceil(s.D1 - 0.5), 0.0, double(targetSize));
  if (!(last > first)) return false;
  axis.First = static_cast<std::int32_t>(first);
  axis.Count = static_cast<std::int32_t>(last - first);
  axis.SrcLo = std::clamp(static_cast<std::int32_t>(std::floor(s.S0)), 0, sourceSize - 1);
  axis.SrcHi = std::clamp(static_cast<std::int32_t>(std::ceil(s.S1)) - 1, axis.SrcLo, sourceSize - 1);
  const double k = (s.S1 - s.S0) / (s.D1 - s.D0);  // source pixels per target pixel
  const bool area = filter == TFilter::Smooth && k > 1.0 + 1e-9;
  const bool linear = filter == TFilter::Smooth && !area;
  // A box never covers more than the source span, however thin the target.
  const std::int32_t span = axis.SrcHi - axis.SrcLo + 1;
  axis.MaxTaps = area ? static_cast<std::int32_t>(std::min(std::ceil(k) + 1, double(span))) : linear ? 2 : 1;
  axis.Start.assign(axis.Count, 0);
  axis.Taps.assign(axis.Count, 1);
  axis.Weights.assign(std::size_t(axis.Count) * axis.MaxTaps, 0.0f);
  std::int32_t widest = 1;

  for (std::int32_t i = 0; i < axis.Count; ++i) {
    const double centre = s.S0 + (axis.First + i + 0.5 - s.D0) * k;
    float* w = axis.Weights.data() + std::size_t(i) * axis.MaxTaps;
    if (area) {
      const double lo = std::max(centre - k / 2, s.S0);
      const double hi = std::min(centre + k / 2, s.S1);
      // Slivers below a millionth of a pixel come from rounding, not coverage.
      const auto j0 =
          static_cast<std::int32_t>(std::clamp(std::floor(lo + 1e-6), double(axis.SrcLo), double(axis.SrcHi)));
      const auto j1 = static_cast<std::int32_t>(std::clamp(std::ceil(hi - 1e-6) - 1, double(j0),
                                                           double(std::min(axis.SrcHi, j0 + axis.MaxTaps - 1))));
      double total = 0;
      for (std::int32_t j = j0; j <= j1; ++j) total += std::max(0.0, std::min(hi, j + 1.0) - std::max(lo, double(j)));
      axis.Start[i] = j0;
      axis.Taps[i] = j1 - j0 + 1;
      for (std::int32_t j = j0; j <= j1; ++j) {
        const double part = std::max(0.0, std::min(hi, j + 1.0) - std::max(lo, double(j)));
        w[j - j0] = total > 0 ? static_cast<float>(part / total) : 1.0f / float(j1 - j0 + 1);
      }
    } else if (linear) {
      // Clamped before the cast: a far-off centre must not overflow it.
      const double p = std::clamp(centre - 0.5, axis.SrcLo - 1.0, axis.SrcHi + 1.0);
      const double base = std::floor(p);
      const double f = p - base;
      const std::int32_t a = std::clamp(static_cast<std::int32_t>(base), axis.SrcLo, axis.SrcHi);
      const std::int32_t b = std::clamp(static_cast<std::int32_t>(base) + 1, axis.SrcLo, axis.SrcHi);
      axis.Start[i] = a;
      if (a == b || f < 1e-7) {
        w[0] = 1.0f;
      } else if (f > 1.0 - 1e-7) {
        axis.Start[i] = b;
        w[0] = 1.0f;
      } else {
        axis.Taps[i] = 2;
        w[0] = static_cast<float>(1.0 - f);
        w[1] = static_cast<float>(f);
      }
    } else {
      axis.Start[i] = static_cast<std::int32_t>(std::clamp(std::floor(centre), double(axis.SrcLo), double(axis.SrcHi)));
      w[0] = 1.0f;
    }
    widest = std::max(widest, axis.Taps[i]);
  }
  if (widest == 1 && axis.MaxTaps > 1) {
    // Every pixel reads one source pixel: an exact copy, which keeps even
    // the colour bits of fully transparent pixels.
    std::vector<float> ones(axis.Count, 1.0f);
    axis.Weights.swap(ones);
    axis.MaxTaps = 1;
  }
  return true;
}

std::uint8_t RoundByte(float v) { return static_cast<std::uint8_t>(std::clamp(v, 0.0f, 255.0f) + 0.5f); }

// Source-over with straight alpha; Sa already includes the opacity (0..1).
std::uint32_t BlendOver(std::uint32_t s, float sa, std::uint32_t d) {
  const float da = float(d >> 24) / 255.0f;
  const float oa = sa + da * (1.0f - sa);
  const float dw = da * (1.0f - sa);
  std::uint32_t out = std::uint32_t(RoundByte(oa * 255.0f)) << 24;
  for (int shift = 0; shift < 24; shift += 8) {
    const float sc = float((s >> shift) & 0xFF);
    const float dc = float((d >> shift) & 0xFF);
    out |= std::uint32_t(RoundByte((sc * sa + dc * dw) / oa)) << shift;
  }
  return out;
}

void ComposeRow(const std::uint32_t* src, std::uint32_t* dst, std::int32_t n, float opacity, TBlend blend) {
  if (blend == TBlend::Replace) {
    std::memcpy(dst, src, std::size_t(n) * 4);
    return;
  }
  if (opacity >= 1.0f) {
    for (std::int32_t i = 0; i < n; ++i) {
      const std::uint32_t s = src[i];
      const std::uint32_t sa = s >> 24;
      if (sa == 255 || (dst[i] >> 24) == 0) {
        dst[i] = s;
      } else if (sa != 0) {
        dst[i] = BlendOver(s, float(sa) / 255.0f, dst[i]);
      }
    }
    return;
  }
  for (std::int32_t i = 0; i < n; ++i) {
    const std::uint32_t s = src[i];
    const float sa = float(s >> 24) * opacity / 255.0f;
    if (sa <= 0) continue;
    if ((dst[i] >> 24) == 0) {
      dst[i] = (s & 0x00FFFFFFu) | std::uint32_t(RoundByte(sa * 255.0f)) << 24;
    } else {
      dst[i] = BlendOver(s, sa, dst[i]);
    }
  }
}

// Target rows are split across cores in bands once a draw has this many
// target pixels; below it one core is faster than two sharing the work.
constexpr std::size_t kParallelPixels = std::size_t(1) << 16;

std::size_t MinBandRows(std::int32_t width) {
  return std::max<std::size_t>(1, kParallelPixels / std::size_t(std::max(width, 1)));
}

// Each target pixel reads one source pixel.
void DrawPicked(const TPixelSource& src, const TPixelTarget& dst, const TAxis& ax, const TAxis& ay, float opacity,
                TBlend blend) {
  ParallelFor(std::size_t(ay.Count), 1, MinBandRows(ax.Count), [&](std::size_t j0, std::size_t j1) {
    std::vector<std::uint32_t> row(ax.Count);
    for (std::size_t j = j0; j < j1; ++j) {
      const std::uint32_t* in = src.Data + std::size_t(ay.Start[j]) * src.Width;
      for (std::int32_t i = 0; i < ax.Count; ++i) row[i] = in[ax.Start[i]];
      std::uint32_t* out = dst.Data + (std::size_t(ay.First) + j) * dst.Width + ax.First;
      ComposeRow(row.data(), out, ax.Count, opacity, blend);
    }
  });
}

// True when every pixel of the block has alpha 255: then filtering needs no
// alpha weighting and the result is opaque too.
bool Opaque(const TPixelSource& src, const TAxis& ax, const TAxis& ay) {
  std::atomic<bool> opaque{true};
  const std::size_t n = std::size_t(ax.SrcHi - ax.SrcLo + 1);
  const std::size_t rows = std::size_t(ay.SrcHi - ay.SrcLo + 1);
  ParallelFor(rows, 1, MinBandRows(ax.SrcHi - ax.SrcLo + 1), [&](std::size_t r0, std::size_t r1) {
    std::uint32_t all = 0xFFFFFFFFu;
    for (std::size_t r = r0; r < r1 && opaque.load(std::memory_order_relaxed); ++r) {
      const std::uint32_t* row = src.Data + (std::size_t(ay.SrcLo) + r) * src.Width + ax.SrcLo;
      for (std::size_t x = 0; x < n; ++x) all &= row[x];
      if ((all >> 24) != 0xFF) opaque.store(false, std::memory_order_relaxed);
    }
  });
  return opaque.load(std::memory_order_relaxed);
}

// out[j] = sum of w[t] * rows[t][j], rounded half to even to bytes. The
// weights are convex, so sums stay in 0..255 and the saturating packs clamp
// nothing but rounding noise.
std::uint8_t SumToByte(const float* const* rows, const float* w, std::int32_t taps, std::size_t j) {
  float v = 0;
  for (std::int32_t t = 0; t < taps; ++t) v += rows[t][j] * w[t];
  return static_cast<std::uint8_t>(std::nearbyint(std::clamp(v, 0.0f, 255.0f)));
}

using TCombineFn = void (*)(const float* const*, const float*, std::int32_t, std::size_t, std::uint8_t*);

#ifdef CORVINA_RESAMPLE_SSE2
std::size_t CombineSse2Blocks(const float* const* rows, const float* w, std::int32_t taps, std::size_t j,
                              std::size_t n, std::uint8_t* out) {
  for (; j + 16 <= n; j += 16) {
    __m128 acc[4];
    const __m128 w0 = _mm_set1_ps(w[0]);
    for (int k = 0; k < 4; ++k) acc[k] = _mm_mul_ps(_mm_loadu_ps(rows[0] + j + 4 * k), w0);
    for (std::int32_t t = 1; t < taps; ++t) {
      const __m128 wt = _mm_set1_ps(w[t]);
      for (int k = 0; k < 4; ++k) acc[k] = _mm_add_ps(acc[k], _mm_mul_ps(_mm_loadu_ps(rows[t] + j + 4 * k), wt));
    }
    const __m128i lo = _mm_packs_epi32(_mm_cvtps_epi32(acc[0]), _mm_cvtps_epi32(acc[1]));
    const __m128i hi = _mm_packs_epi32(_mm_cvtps_epi32(acc[2]), _mm_cvtps_epi32(acc[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm_packus_epi16(lo, hi));
  }
  return j;
}

void CombineToBytesBase(const float* const* rows, const float* w, std::int32_t taps, std::size_t n,
                        std::uint8_t* out) {
  std::size_t j = CombineSse2Blocks(rows, w, taps, 0, n, out);
  for (; j < n; ++j) out[j] = SumToByte(rows, w, taps, j);
}

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
__attribute__((target("avx2,fma"))) void CombineToBytesAvx2(const float* const* rows, const float* w,
                                                            std::int32_t taps, std::size_t n, std::uint8_t* out) {
  // Packing works within 128-bit lanes; one cross-lane permute restores order.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  std::size_t j = 0;
  for (; j + 32 <= n; j += 32) {
    __m256 acc[4];
    const __m256 w0 = _mm256_set1_ps(w[0]);
    for (int k = 0; k < 4; ++k) acc[k] = _mm256_mul_ps(_mm256_loadu_ps(rows[0] + j + 8 * k), w0);
    for (std::int32_t t = 1; t < taps; ++t) {
      const __m256 wt = _mm256_set1_ps(w[t]);
      for (int k = 0; k < 4; ++k) acc[k] = _mm256_fmadd_ps(_mm256_loadu_ps(rows[t] + j + 8 * k), wt, acc[k]);
    }
    const __m256i lo = _mm256_packs_epi32(_mm256_cvtps_epi32(acc[0]), _mm256_cvtps_epi32(acc[1]));
    const __m256i hi = _mm256_packs_epi32(_mm256_cvtps_epi32(acc[2]), _mm256_cvtps_epi32(acc[3]));
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(lo, hi), order);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), bytes);
  }
  LeaveAvx();
  j = CombineSse2Blocks(rows, w, taps, j, n, out);
  for (; j < n; ++j) out[j] = SumToByte(rows, w, taps, j);
}
TCombineFn PickCombine() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? CombineToBytesAvx2 : CombineToBytesBase;
}
#else
TCombineFn PickCombine() { return CombineToBytesBase; }
#endif
#else
void CombineToBytesBase(const float* const* rows, const float* w, std::int32_t taps, std::size_t n,
                        std::uint8_t* out) {
  for (std::size_t j = 0; j < n; ++j) out[j] = SumToByte(rows, w, taps, j);
}
TCombineFn PickCombine() { return CombineToBytesBase; }
#endif

void CombineToBytes(const float* const* rows, const float* w, std::int32_t taps, std::size_t n, std::uint8_t* out) {
  static const TCombineFn best = PickCombine();
  PickKernel<TCombineFn>(CombineToBytesBase, best)(rows, w, taps, n, out);
}

// Bytes to floats, four per pixel: the one pass over every source pixel.
using TConvertFn = void (*)(const std::uint32_t*, std::size_t, float*);

void ConvertLineBase(const std::uint32_t* in, std::size_t n, float* out) {
  std::size_t x = 0;
#ifdef CORVINA_RESAMPLE_SSE2
  const __m128i z = _mm_setzero_si128();
  for (; x + 4 <= n; x += 4) {
    const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
    const __m128i lo = _mm_unpacklo_epi8(px, z), hi = _mm_unpackhi_epi8(px, z);
    float* o = out + 4 * x;
    _mm_storeu_ps(o, _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, z)));
    _mm_storeu_ps(o + 4, _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, z)));
    _mm_storeu_ps(o + 8, _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, z)));
    _mm_storeu_ps(o + 12, _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, z)));
  }
#endif
  for (; x < n; ++x) {
    for (int k = 0; k < 4; ++k) out[4 * x + k] = float((in[x] >> (8 * k)) & 0xFF);
  }
}

#if defined(CORVINA_RESAMPLE_SSE2) && (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
__attribute__((target("avx2"))) void ConvertLineAvx2(const std::uint32_t* in, std::size_t n, float* out) {
  std::size_t x = 0;
  for (; x + 4 <= n; x += 4) {
    const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
    float* o = out + 4 * x;
    _mm256_storeu_ps(o, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(px)));
    _mm256_storeu_ps(o + 8, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(px, 8))));
  }
  LeaveAvx();
  ConvertLineBase(in + x, n - x, out + 4 * x);
}
TConvertFn PickConvert() { return __builtin_cpu_supports("avx2") ? ConvertLineAvx2 : ConvertLineBase; }
#else
TConvertFn PickConvert() { return ConvertLineBase; }
#endif

void ConvertLine(const std::uint32_t* in, std::size_t n, float* out) {
  static const TConvertFn best = PickConvert();
  PickKernel<TConvertFn>(ConvertLineBase, best)(in, n, out);
}

// Every target pixel reads Taps source pixels from its start (weights past
// its own run are zero, and the line is padded), so the tap loop has a fixed
// length and the compiler unrolls it for the common counts.
template <int Taps>
void FilterLine(const F4* line, const std::int32_t* start, const F4* w, std::int32_t count, F4* out) {
  for (std::int32_t i = 0; i < count; ++i, w += Taps) {
    const F4* p = line + start[i];
    F4 acc = F4::Mul(p[0], w[0]);
    for (int t = 1; t < Taps; ++t) acc.MulAdd(p[t], w[t]);
    out[i] = acc;
  }
}

void FilterLineAnyTaps(const F4* line, const std::int32_t* start, const F4* w, std::int32_t taps, std::int32_t count,
                       F4* out) {
  for (std::int32_t i = 0; i < count; ++i, w += taps) {
    const F4* p = line + start[i];
    F4 acc = F4::Mul(p[0], w[0]);
    for (std::int32_t t = 1; t < taps; ++t) acc.MulAdd(p[t], w[t]);
    out[i] = acc;
  }
}

// Two taps are two neighbouring pixels: eight floats, one AVX load, and
// the two halves of the product summed give the pixel.
using TFilter2Fn = void (*)(const F4*, const std::int32_t*, const F4*, std::int32_t, F4*);

#if defined(CORVINA_RESAMPLE_SSE2) && (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
__attribute__((target("avx2"))) void FilterLine2Avx2(const F4* line, const std::int32_t* start, const F4* w,
                                                     std::int32_t count, F4* out) {
  const float* l = reinterpret_cast<const float*>(line);
  const float* wf = reinterpret_cast<const float*>(w);
  float* o = reinterpret_cast<float*>(out);
  std::int32_t i = 0;
  for (; i + 2 <= count; i += 2) {
    const __m256 a = _mm256_mul_ps(_mm256_loadu_ps(l + 4 * std::ptrdiff_t(start[i])), _mm256_loadu_ps(wf + 8 * i));
    const __m256 b =
        _mm256_mul_ps(_mm256_loadu_ps(l + 4 * std::ptrdiff_t(start[i + 1])), _mm256_loadu_ps(wf + 8 * i + 8));
    const __m256 firsts = _mm256_permute2f128_ps(a, b, 0x20);
    const __m256 seconds = _mm256_permute2f128_ps(a, b, 0x31);
    _mm256_storeu_ps(o + 4 * i, _mm256_add_ps(firsts, seconds));
  }
  LeaveAvx();
  FilterLine<2>(line, start + i, w + 2 * i, count - i, out + i);
}
TFilter2Fn PickFilter2() { return __builtin_cpu_supports("avx2") ? FilterLine2Avx2 : FilterLine<2>; }
#else
TFilter2Fn PickFilter2() { return FilterLine<2>; }
#endif

void FilterLine2(const F4* line, const std::int32_t* start, const F4* w, std::int32_t count, F4* out) {
  static const TFilter2Fn best = PickFilter2();
  PickKernel<TFilter2Fn>(FilterLine<2>, best)(line, start, w, count, out);
}

void CombineAddFloats(const float* const* rows, const float* w, std::int32_t taps, std::size_t n, float* acc) {
  for (std::int32_t t = 0; t < taps; ++t) {
    const float* r = rows[t];
    const float wt = w[t];
    for (std::size_t j = 0; j < n; ++j) acc[j] += r[j] * wt;
  }
}

void FilterLineTaps(const F4* line, const std::int32_t* start, const F4* w, std::int32_t taps, std::int32_t count,
                    F4* out) {
  switch (taps) {
    case 1: FilterLine<1>(line, start, w, count, out); break;
    case 2: FilterLine2(line, start, w, count, out); break;
    case 3: FilterLine<3>(line, start, w, count, out); break;
    case 4: FilterLine<4>(line, start, w, count, out); break;
    case 5: FilterLine<5>(line, start, w, count, out); break;
    default: FilterLineAnyTaps(line, start, w, taps, count, out); break;
  }
}

// The ring holds this many horizontally filtered rows: every target row of
// ordinary scaling finds all its rows there. An extreme shrink (thousands of
// source rows per target row) sums its rows in groups of this many instead,
// so memory stays a few target rows whatever the scale.
constexpr std::int32_t kMaxRingRows = 16;

// What every band of one draw shares, read-only while the bands run.
struct TSmoothPlan {
  TSmoothPlan(const TPixelSource& src, const TAxis& ax, const TAxis& ay, bool opaque)
      : Src(src), Ax(ax), Ay(ay), IsOpaque(opaque), Weights(ax.Weights.size()) {
    for (std::size_t k = 0; k < Weights.size(); ++k) Weights[k] = F4::Splat(ax.Weights[k]);
  }

  // One source row as floats (premultiplied when there is transparency),
  // from its first used pixel on.
  void ConvertRow(std::int32_t y, F4* line) const {
    const std::uint32_t* in = Src.Data + std::size_t(y) * Src.Width + Ax.SrcLo;
    const std::size_t n = std::size_t(Ax.SrcHi - Ax.SrcLo + 1);
    if (IsOpaque) {
      ConvertLine(in, n, reinterpret_cast<float*>(line));
    } else {
      for (std::size_t x = 0; x < n; ++x) line[x] = F4::FromPixel(in[x]).Premultiplied();
    }
  }

  // Filtered sums of one target row into pixels.
  void ToPixels(const F4* sums, std::uint32_t* px) const {
    if (IsOpaque) {
      static const float one = 1.0f;
      const float* rows[1] = {reinterpret_cast<const float*>(sums)};
      CombineToBytes(rows, &one, 1, std::size_t(Ax.Count) * 4, reinterpret_cast<std::uint8_t*>(px));
    } else {
      for (std::int32_t i = 0; i < Ax.Count; ++i) px[i] = sums[i].Straight().ToPixel();
    }
  }

  std::size_t LineLength() const { return std::size_t(Ax.SrcHi - Ax.SrcLo + 1) + Ax.MaxTaps; }

  const TPixelSource& Src;
  const TAxis& Ax;
  const TAxis& Ay;
  const bool IsOpaque;
  std::vector<F4> Weights;  // horizontal weights, each spread over four lanes
};

// Target rows [j0, j1) of a draw that filters each source row horizontally
// once into a small ring, then combines the ring rows each target row needs.
class THorizontalFirstBand {
 public:
  explicit THorizontalFirstBand(const TSmoothPlan& plan)
      : P(plan), FRows(std::min(plan.Ay.MaxTaps, kMaxRingRows)), FRing(std::size_t(FRows) * plan.Ax.Count),
        FRingRow(FRows, -1), FLine(plan.LineLength(), F4::Zero()) {}

  void Run(const TPixelTarget& dst, float opacity, TBlend blend, std::size_t j0, std::size_t j1) {
    const TAxis& ax = P.Ax;
    const TAxis& ay = P.Ay;
    // An opaque result drawn at full opacity covers what is there.
    const bool direct = blend == TBlend::Replace || (P.IsOpaque && opacity >= 1.0f);
    std::vector<std::uint32_t> row(direct ? 0 : ax.Count);
    std::vector<F4> sums;
    std::vector<const float*> rows(FRows);
    const std::size_t floats = std::size_t(ax.Count) * 4;
    for (std::size_t j = j0; j < j1; ++j) {
      const std::int32_t taps = ay.Taps[j];
      const float* w = ay.WeightsOf(std::int32_t(j));
      std::uint32_t* out = dst.Data + (std::size_t(ay.First) + j) * dst.Width + ax.First;
      std::uint32_t* px = direct ? out : row.data();
      if (taps <= FRows && P.IsOpaque) {
        for (std::int32_t t = 0; t < taps; ++t) rows[t] = reinterpret_cast<const float*>(Filtered(ay.Start[j] + t));
        CombineToBytes(rows.data(), w, taps, floats, reinterpret_cast<std::uint8_t*>(px));
      } else {
        sums.assign(ax.Count, F4::Zero());
        for (std::int32_t t0 = 0; t0 < taps; t0 += FRows) {
          const std::int32_t n = std::min(FRows, taps - t0);
          for (std::int32_t t = 0; t < n; ++t) rows[t] = reinterpret_cast<const float*>(Filtered(ay.Start[j] + t0 + t));
          CombineAddFloats(rows.data(), w + t0, n, floats, reinterpret_cast<float*>(sums.data()));
        }
        P.ToPixels(sums.data(), px);
      }
      if (!direct) ComposeRow(row.data(), out, ax.Count, opacity, blend);
    }
  }

 private:
  // Rows are asked for in rising order, at most FRows at a time, so a slot
  // is reused only after its row has left every later window.
  const F4* Filtered(std::int32_t y) {
    const std::size_t slot = std::size_t(y) % FRingRow.size();
    F4* out = FRing.data() + slot * P.Ax.Count;
    if (FRingRow[slot] == y) return out;
    FRingRow[slot] = y;
    P.ConvertRow(y, FLine.data());
    FilterLineTaps(FLine.data() - P.Ax.SrcLo, P.Ax.Start.data(), P.Weights.data(), P.Ax.MaxTaps, P.Ax.Count, out);
    return out;
  }

  const TSmoothPlan& P;
  const std::int32_t FRows;
  std::vector<F4> FRing;
  std::vector<std::int32_t> FRingRow;
  std::vector<F4> FLine;  // one source row as floats, zero-padded by MaxTaps
};

// Target rows [j0, j1) of a draw that first sums the source rows of each
// target row at the source's width and then filters that one row
// horizontally. Picked when many source rows shrink into few target rows
// that are much wider than the source: filtering every source row to the
// target's width first would cost source rows x target width.
class TVerticalFirstBand {
 public:
  explicit TVerticalFirstBand(const TSmoothPlan& plan)
      : P(plan), FLine(plan.LineLength(), F4::Zero()), FSum(plan.LineLength(), F4::Zero()), FOut(plan.Ax.Count) {}

  void Run(const TPixelTarget& dst, float opacity, TBlend blend, std::size_t j0, std::size_t j1) {
    const TAxis& ax = P.Ax;
    const TAxis& ay = P.Ay;
    const bool direct = blend == TBlend::Replace || (P.IsOpaque && opacity >= 1.0f);
    std::vector<std::uint32_t> row(direct ? 0 : ax.Count);
    const std::size_t floats = std::size_t(ax.SrcHi - ax.SrcLo + 1) * 4;
    for (std::size_t j = j0; j < j1; ++j) {
      const float* w = ay.WeightsOf(std::int32_t(j));
      std::fill(FSum.begin(), FSum.end(), F4::Zero());
      for (std::int32_t t = 0; t < ay.Taps[j]; ++t) {
        P.ConvertRow(ay.Start[j] + t, FLine.data());
        const float* line = reinterpret_cast<const float*>(FLine.data());
        CombineAddFloats(&line, w + t, 1, floats, reinterpret_cast<float*>(FSum.data()));
      }
      FilterLineTaps(FSum.data() - ax.SrcLo, ax.Start.data(), P.Weights.data(), ax.MaxTaps, ax.Count, FOut.data());
      std::uint32_t* out = dst.Data + (std::size_t(ay.First) + j) * dst.Width + ax.First;
      P.ToPixels(FOut.data(), direct ? out : row.data());
      if (!direct) ComposeRow(row.data(), out, ax.Count, opacity, blend);
    }
  }

 private:
  const TSmoothPlan& P;
  std::vector<F4> FLine;
  std::vector<F4> FSum;  // zero-padded by MaxTaps, like a line
  std::vector<F4> FOut;
};

// Opaque pictures whose every target pixel reads at most two source pixels
// per axis (enlarging) go through 16-bit fixed point instead of floats:
// twice the channels per instruction and half the memory per filtered row.
// Rows filtered horizontally hold value * 2^7 with weights summing to 2^14;
// the vertical weight of the second row is a 15-bit fraction. The error
// before the last rounding stays below 0.02 of a step, and that rounding
// sends ties to even as the float path does, so factors whose weights are
// exact in binary (2, 4, 8) give the same bytes as floats.
constexpr int kFixedWeightBits = 14;
constexpr int kFixedRowBits = 7;
constexpr int kFixedRowWeightBits = 15;

struct TFixedColumns {
  const std::int32_t* Start = nullptr;  // first source column of each target pixel
  const std::uint32_t* Pair = nullptr;  // its two weights, w0 | w1 << 16
  std::int32_t Count = 0;
  // Pixels [0, Blocks * 4) may read both columns of their pair whatever
  // the weights; each block of four is stored in the order 0, 2, 1, 3, which
  // is the order the vector kernel's 128-bit halves put them back in, with
  // every pair repeated for the four channels.
  std::int32_t Blocks = 0;
  const std::int32_t* BlockStart = nullptr;
  const std::uint32_t* BlockPair = nullptr;
};

std::int16_t RoundFixedPixel(std::int32_t sum) {
  return static_cast<std::int16_t>((sum + (1 << (kFixedWeightBits - kFixedRowBits - 1))) >>
                                   (kFixedWeightBits - kFixedRowBits));
}

void FixedColumnsScalar(const std::uint32_t* row, const TFixedColumns& c, std::int32_t from, std::int16_t* out) {
  for (std::int32_t i = from; i < c.Count; ++i) {
    const std::uint32_t p0 = row[c.Start[i]];
    const std::int32_t w0 = std::int32_t(c.Pair[i] & 0xFFFF), w1 = std::int32_t(c.Pair[i] >> 16);
    // A lone tap may sit on the row's last pixel: its neighbour is not read.
    const std::uint32_t p1 = w1 != 0 ? row[c.Start[i] + 1] : 0;
    for (int k = 0; k < 4; ++k) {
      const std::int32_t b0 = std::int32_t((p0 >> (8 * k)) & 0xFF), b1 = std::int32_t((p1 >> (8 * k)) & 0xFF);
      out[4 * std::size_t(i) + k] = RoundFixedPixel(b0 * w0 + b1 * w1);
    }
  }
}

void FixedColumnsBase(const std::uint32_t* row, const TFixedColumns& c, std::int16_t* out) {
  FixedColumnsScalar(row, c, 0, out);
}

// The rounding of a filtered value (times 2^7) to a byte, ties to even.
std::uint8_t FixedToByte(std::int32_t v) {
  return static_cast<std::uint8_t>((v + (1 << (kFixedRowBits - 1)) - 1 + ((v >> kFixedRowBits) & 1)) >> kFixedRowBits);
}

// out = a + (b - a) * u / 2^15, rounded; u < 2^15, so the result lies
// between a and b.
void FixedRowsBase(const std::int16_t* a, const std::int16_t* b, std::int16_t u, std::size_t n, std::uint8_t* out) {
  for (std::size_t j = 0; j < n; ++j) {
    const std::int32_t d = std::int32_t(b[j]) - a[j];
    const std::int32_t v = a[j] + ((d * u + (1 << (kFixedRowWeightBits - 1))) >> kFixedRowWeightBits);
    out[j] = FixedToByte(v);
  }
}

using TFixedColumnsFn = void (*)(const std::uint32_t*, const TFixedColumns&, std::int16_t*);
using TFixedRowsFn = void (*)(const std::int16_t*, const std::int16_t*, std::int16_t, std::size_t, std::uint8_t*);

#if defined(CORVINA_RESAMPLE_SSE2) && (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
__attribute__((target("avx2"))) void FixedColumnsAvx2(const std::uint32_t* row, const TFixedColumns& c,
                                                      std::int16_t* out) {
  // Each 64-bit lane: the two source pixels of one target pixel, regrouped
  // to B0 B1 G0 G1 R0 R1 A0 A1 so that one multiply-add per channel pair
  // weighs them.
  const __m256i regroup = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,  //
                                           0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
  const __m256i half = _mm256_set1_epi32(1 << (kFixedWeightBits - kFixedRowBits - 1));
  // Four plain loads: with a gather instruction instead, this loop took
  // three times as long on the development machine.
  auto pair = [row](std::int32_t start) {
    long long v;
    std::memcpy(&v, row + start, sizeof v);
    return v;
  };
  for (std::int32_t blk = 0; blk < c.Blocks; ++blk) {
    const std::int32_t* s = c.BlockStart + 4 * blk;
    const __m256i px = _mm256_shuffle_epi8(_mm256_set_epi64x(pair(s[3]), pair(s[2]), pair(s[1]), pair(s[0])), regroup);
    const __m256i* w = reinterpret_cast<const __m256i*>(c.BlockPair + 16 * std::size_t(blk));
    // Halves hold target pixels (0, 2) and (1, 3); the pack below puts
    // them back in order within each 128-bit lane.
    __m256i s02 = _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm256_castsi256_si128(px)), _mm256_loadu_si256(w));
    __m256i s13 = _mm256_madd_epi16(_mm256_cvtepu8_epi16(_mm256_extracti128_si256(px, 1)), _mm256_loadu_si256(w + 1));
    s02 = _mm256_srai_epi32(_mm256_add_epi32(s02, half), kFixedWeightBits - kFixedRowBits);
    s13 = _mm256_srai_epi32(_mm256_add_epi32(s13, half), kFixedWeightBits - kFixedRowBits);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16 * std::size_t(blk)), _mm256_packs_epi32(s02, s13));
  }
  LeaveAvx();
  FixedColumnsScalar(row, c, 4 * c.Blocks, out);
}

// a + (b - a) * u / 2^15 rounded to bytes, sixteen channels:
// _mm256_mulhrs_epi16 rounds the product exactly as the baseline does.
__attribute__((target("avx2"))) inline __m256i FixedRows16(const std::int16_t* a, const std::int16_t* b,
                                                           __m256i weight) {
  const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a));
  const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b));
  const __m256i v = _mm256_add_epi16(va, _mm256_mulhrs_epi16(_mm256_sub_epi16(vb, va), weight));
  const __m256i odd = _mm256_and_si256(_mm256_srli_epi16(v, kFixedRowBits), _mm256_set1_epi16(1));
  const __m256i below = _mm256_set1_epi16((1 << (kFixedRowBits - 1)) - 1);
  return _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(v, below), odd), kFixedRowBits);
}

__attribute__((target("avx2"))) void FixedRowsAvx2(const std::int16_t* a, const std::int16_t* b, std::int16_t u,
                                                   std::size_t n, std::uint8_t* out) {
  const __m256i weight = _mm256_set1_epi16(u);
  std::size_t j = 0;
  for (; j + 32 <= n; j += 32) {
    const __m256i bytes =
        _mm256_packus_epi16(FixedRows16(a + j, b + j, weight), FixedRows16(a + j + 16, b + j + 16, weight));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), _mm256_permute4x64_epi64(bytes, 0xD8));
  }
  LeaveAvx();
  FixedRowsBase(a + j, b + j, u, n - j, out + j);
}

TFixedColumnsFn PickFixedColumns() { return __builtin_cpu_supports("avx2") ? FixedColumnsAvx2 : FixedColumnsBase; }
TFixedRowsFn PickFixedRows() { return __builtin_cpu_supports("avx2") ? FixedRowsAvx2 : FixedRowsBase; }
#else
TFixedColumnsFn PickFixedColumns() { return FixedColumnsBase; }
TFixedRowsFn PickFixedRows() { return FixedRowsBase; }
#endif

void FixedColumns(const std::uint32_t* row, const TFixedColumns& c, std::int16_t* out) {
  static const TFixedColumnsFn best = PickFixedColumns();
  PickKernel<TFixedColumnsFn>(FixedColumnsBase, best)(row, c, out);
}

void FixedRows(const std::int16_t* a, const std::int16_t* b, std::int16_t u, std::size_t n, std::uint8_t* out) {
  static const TFixedRowsFn best = PickFixedRows();
  PickKernel<TFixedRowsFn>(FixedRowsBase, best)(a, b, u, n, out);
}

bool FitsFixedPoint(const TAxis& ax, const TAxis& ay) { return ax.MaxTaps <= 2 && ay.MaxTaps <= 2; }

// What every band of a fixed-point draw shares, read-only while they run.
struct TFixedPlan {
  TFixedPlan(const TPixelSource& src, const TAxis& ax, const TAxis& ay) : Src(src), Ax(ax), Ay(ay) {
    const std::size_t n = std::size_t(ax.Count);
    Pair.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const float* w = ax.WeightsOf(std::int32_t(i));
      const std::int32_t w1 =
          ax.Taps[i] == 2 ? std::int32_t(std::lround(double(w[1]) * (1 << kFixedWeightBits))) : 0;
      Pair[i] = std::uint32_t((1 << kFixedWeightBits) - w1) | std::uint32_t(w1) << 16;
    }
    // The vector kernel reads both columns of every pair, so it stops
    // before the first pixel that starts on the row's last column.
    std::int32_t safe = 0;
    while (safe < ax.Count && ax.Start[safe] + 1 < src.Width) ++safe;
    Columns.Start = ax.Start.data();
    Columns.Pair = Pair.data();
    Columns.Count = ax.Count;
    Columns.Blocks = safe / 4;
    BlockStart.resize(std::size_t(Columns.Blocks) * 4);
    BlockPair.resize(std::size_t(Columns.Blocks) * 16);
    for (std::int32_t blk = 0; blk < Columns.Blocks; ++blk) {
      for (std::int32_t k = 0; k < 4; ++k) {
        static constexpr std::int32_t kOrder[4] = {0, 2, 1, 3};
        const std::size_t i = std::size_t(4 * blk + kOrder[k]);
        BlockStart[4 * std::size_t(blk) + k] = ax.Start[i];
        for (std::size_t c = 0; c < 4; ++c) BlockPair[16 * std::size_t(blk) + 4 * k + c] = Pair[i];
      }
    }
    Columns.BlockStart = BlockStart.data();
    Columns.BlockPair = BlockPair.data();
  }

  const TPixelSource& Src;
  const TAxis& Ax;
  const TAxis& Ay;
  TFixedColumns Columns;
  std::vector<std::uint32_t> Pair;
  std::vector<std::int32_t> BlockStart;
  std::vector<std::uint32_t> BlockPair;
};

// Target rows [j0, j1): each source row filtered horizontally once into a
// ring of two, then each target row blended from the one or two it needs.
class TFixedBand {
 public:
  explicit TFixedBand(const TFixedPlan& plan) : P(plan), FRing(2 * std::size_t(plan.Ax.Count) * 4) {}

  void Run(const TPixelTarget& dst, float opacity, TBlend blend, std::size_t j0, std::size_t j1) {
    const TAxis& ax = P.Ax;
    const TAxis& ay = P.Ay;
    const bool direct = blend == TBlend::Replace || opacity >= 1.0f;
    std::vector<std::uint32_t> row(direct ? 0 : ax.Count);
    const std::size_t channels = std::size_t(ax.Count) * 4;
    for (std::size_t j = j0; j < j1; ++j) {
      std::int32_t first = ay.Start[j];
      const double second = ay.Taps[j] == 2 ? double(ay.WeightsOf(std::int32_t(j))[1]) : 0.0;
      std::int32_t u = std::int32_t(std::lround(second * (1 << kFixedRowWeightBits)));
      if (u >= (1 << kFixedRowWeightBits)) {  // so close to the second row that it is that row
        ++first;
        u = 0;
      }
      const std::int16_t* a = Filtered(first);
      const std::int16_t* b = u != 0 ? Filtered(first + 1) : a;
      std::uint32_t* out = dst.Data + (std::size_t(ay.First) + j) * dst.Width + ax.First;
      std::uint32_t* px = direct ? out : row.data();
      FixedRows(a, b, static_cast<std::int16_t>(u), channels, reinterpret_cast<std::uint8_t*>(px));
      if (!direct) ComposeRow(row.data(), out, ax.Count, opacity, blend);
    }
  }

 private:
  const std::int16_t* Filtered(std::int32_t y) {
    const std::size_t slot = std::size_t(y) % 2;
    std::int16_t* out = FRing.data() + slot * std::size_t(P.Ax.Count) * 4;
    if (FRingRow[slot] == y) return out;
    FRingRow[slot] = y;
    FixedColumns(P.Src.Data + std::size_t(y) * P.Src.Width, P.Columns, out);
    return out;
  }

  const TFixedPlan& P;
  std::vector<std::int16_t> FRing;
  std::int32_t FRingRow[2] = {-1, -1};
};

bool VerticalFirstIsCheaper(const TAxis& ax, const TAxis& ay) {
  const double sourceRows = double(ay.SrcHi - ay.SrcLo + 1);
  const double sourceWidth = double(ax.SrcHi - ax.SrcLo + 1);
  const double horizontalFirst = sourceRows * ax.Count * ax.MaxTaps + double(ay.Count) * ax.Count * ay.MaxTaps;
  const double verticalFirst = double(ay.Count) * ay.MaxTaps * sourceWidth + double(ay.Count) * ax.Count * ax.MaxTaps;
  return verticalFirst * 2 < horizontalFirst;
}

// Separable filtering in floats, in bands of target rows spread over the
// cores. Sources with transparency are filtered premultiplied.
void DrawSmooth(const TPixelSource& src, const TPixelTarget& dst, const TAxis& ax, const TAxis& ay, float opacity,
                TBlend blend) {
  const bool opaque = Opaque(src, ax, ay);
  if (opaque && FitsFixedPoint(ax, ay)) {
    const TFixedPlan plan(src, ax, ay);
    ParallelFor(std::size_t(ay.Count), 1, MinBandRows(ax.Count), [&](std::size_t j0, std::size_t j1) {
      TFixedBand(plan).Run(dst, opacity, blend, j0, j1);
    });
    return;
  }
  const TSmoothPlan plan(src, ax, ay, opaque);
  const bool verticalFirst = VerticalFirstIsCheaper(ax, ay);
  ParallelFor(std::size_t(ay.Count), 1, MinBandRows(ax.Count), [&](std::size_t j0, std::size_t j1) {
    if (verticalFirst) {
      TVerticalFirstBand(plan).Run(dst, opacity, blend, j0, j1);
    } else {
      THorizontalFirstBand(plan).Run(dst, opacity, blend, j0, j1);
    }
  });
}

}  // namespace

System::Types::TRect DrawScaled(const TPixelSource& Source, const TRectF& SrcRect, const TPixelTarget& Target,
                                const TRectF& DstRect, float Opacity, TFilter Filter, TBlend Blend) {
  if (Source.Width <= 0 || Source.Height <= 0 || Target.Width <= 0 || Target.Height <= 0) return {};
  if (!(Opacity > 0)) return {};  // also NaN
  for (float v : {SrcRect.Left, SrcRect.Top, SrcRect.Right, SrcRect.Bottom, DstRect.Left, DstRect.Top, DstRect.Right,
                  DstRect.Bottom}) {
    if (!std::isfinite(v)) return {};
  }
  Opacity = std::min(Opacity, 1.0f);
  TSpan sx{SrcRect.Left, SrcRect.Right, DstRect.Left, DstRect.Right};
  TSpan sy{SrcRect.Top, SrcRect.Bottom, DstRect.Top, DstRect.Bottom};
  if (!ClipSpan(sx, Source.Width) || !ClipSpan(sy, Source.Height)) return {};
  TAxis ax, ay;
  if (!BuildAxis(sx, Source.Width, Target.Width, Filter, ax)) return {};
  if (!BuildAxis(sy, Source.Height, Target.Height, Filter, ay)) return {};
  if (ax.SingleTap() && ay.SingleTap()) {
    DrawPicked(Source, Target, ax, ay, Opacity, Blend);
  } else {
    DrawSmooth(Source, Target, ax, ay, Opacity, Blend);
  }
  return System::Types::Rect(ax.First, ay.First, ax.First + ax.Count, ay.First + ay.Count);
}

}  // namespace Fmx::Graphics::Detail
