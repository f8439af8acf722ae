#include "framework/resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
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
  void MulAdd(F4 p, float w) { v = _mm_add_ps(v, _mm_mul_ps(p.v, _mm_set1_ps(w))); }

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
  void MulAdd(F4 p, float w) {
    for (int k = 0; k < 4; ++k) c[k] += p.c[k] * w;
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
  axis.MaxTaps = area ? static_cast<std::int32_t>(std::ceil(k)) + 1 : linear ? 2 : 1;
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
      std::int32_t j0 = static_cast<std::int32_t>(std::floor(lo + 1e-6));
      std::int32_t j1 = static_cast<std::int32_t>(std::ceil(hi - 1e-6)) - 1;
      j0 = std::clamp(j0, axis.SrcLo, axis.SrcHi);
      j1 = std::clamp(j1, j0, std::min(axis.SrcHi, j0 + axis.MaxTaps - 1));
      double total = 0;
      for (std::int32_t j = j0; j <= j1; ++j) total += std::max(0.0, std::min(hi, j + 1.0) - std::max(lo, double(j)));
      axis.Start[i] = j0;
      axis.Taps[i] = j1 - j0 + 1;
      for (std::int32_t j = j0; j <= j1; ++j) {
        const double part = std::max(0.0, std::min(hi, j + 1.0) - std::max(lo, double(j)));
        w[j - j0] = total > 0 ? static_cast<float>(part / total) : 1.0f / float(j1 - j0 + 1);
      }
    } else if (linear) {
      const double p = centre - 0.5;
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
      axis.Start[i] = std::clamp(static_cast<std::int32_t>(std::floor(centre)), axis.SrcLo, axis.SrcHi);
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

// Each target pixel reads one source pixel.
void DrawPicked(const TPixelSource& src, const TPixelTarget& dst, const TAxis& ax, const TAxis& ay, float opacity,
                TBlend blend) {
  std::vector<std::uint32_t> row(ax.Count);
  for (std::int32_t j = 0; j < ay.Count; ++j) {
    const std::uint32_t* in = src.Data + std::size_t(ay.Start[j]) * src.Width;
    for (std::int32_t i = 0; i < ax.Count; ++i) row[i] = in[ax.Start[i]];
    std::uint32_t* out = dst.Data + std::size_t(ay.First + j) * dst.Width + ax.First;
    ComposeRow(row.data(), out, ax.Count, opacity, blend);
  }
}

// Separable filtering in premultiplied floats: each source row is filtered
// horizontally once into a small ring, and each target row combines the ring
// rows it needs.
class TSmoothDraw {
 public:
  TSmoothDraw(const TPixelSource& src, const TAxis& ax, const TAxis& ay)
      : FSrc(src), FAx(ax), FAy(ay), FRing(std::size_t(ay.MaxTaps) * ax.Count), FRingRow(ay.MaxTaps, -1),
        FLine(std::size_t(ax.SrcHi - ax.SrcLo + 1)) {}

  void Run(const TPixelTarget& dst, float opacity, TBlend blend) {
    std::vector<std::uint32_t> row(FAx.Count);
    std::vector<const F4*> rows(FAy.MaxTaps);
    for (std::int32_t j = 0; j < FAy.Count; ++j) {
      const std::int32_t taps = FAy.Taps[j];
      for (std::int32_t t = 0; t < taps; ++t) rows[t] = Filtered(FAy.Start[j] + t);
      const float* w = FAy.WeightsOf(j);
      for (std::int32_t i = 0; i < FAx.Count; ++i) {
        F4 acc = F4::Zero();
        for (std::int32_t t = 0; t < taps; ++t) acc.MulAdd(rows[t][i], w[t]);
        row[i] = acc.Straight().ToPixel();
      }
      std::uint32_t* out = dst.Data + std::size_t(FAy.First + j) * dst.Width + FAx.First;
      ComposeRow(row.data(), out, FAx.Count, opacity, blend);
    }
  }

 private:
  // Rows are asked for in rising order, so a slot is reused only after its
  // row has left every later window.
  const F4* Filtered(std::int32_t y) {
    const std::size_t slot = std::size_t(y) % FRingRow.size();
    F4* out = FRing.data() + slot * FAx.Count;
    if (FRingRow[slot] == y) return out;
    FRingRow[slot] = y;
    const std::uint32_t* in = FSrc.Data + std::size_t(y) * FSrc.Width + FAx.SrcLo;
    for (std::size_t x = 0; x < FLine.size(); ++x) FLine[x] = F4::FromPixel(in[x]).Premultiplied();
    const F4* line = FLine.data() - FAx.SrcLo;
    for (std::int32_t i = 0; i < FAx.Count; ++i) {
      const F4* p = line + FAx.Start[i];
      const float* w = FAx.WeightsOf(i);
      F4 acc = F4::Zero();
      for (std::int32_t t = 0; t < FAx.Taps[i]; ++t) acc.MulAdd(p[t], w[t]);
      out[i] = acc;
    }
    return out;
  }

  const TPixelSource& FSrc;
  const TAxis& FAx;
  const TAxis& FAy;
  std::vector<F4> FRing;
  std::vector<std::int32_t> FRingRow;
  std::vector<F4> FLine;
};

}  // namespace

void DrawScaled(const TPixelSource& Source, const TRectF& SrcRect, const TPixelTarget& Target, const TRectF& DstRect,
                float Opacity, TFilter Filter, TBlend Blend) {
  if (Source.Width <= 0 || Source.Height <= 0 || Target.Width <= 0 || Target.Height <= 0) return;
  if (!(Opacity > 0)) return;  // also NaN
  Opacity = std::min(Opacity, 1.0f);
  TSpan sx{SrcRect.Left, SrcRect.Right, DstRect.Left, DstRect.Right};
  TSpan sy{SrcRect.Top, SrcRect.Bottom, DstRect.Top, DstRect.Bottom};
  if (!ClipSpan(sx, Source.Width) || !ClipSpan(sy, Source.Height)) return;
  TAxis ax, ay;
  if (!BuildAxis(sx, Source.Width, Target.Width, Filter, ax)) return;
  if (!BuildAxis(sy, Source.Height, Target.Height, Filter, ay)) return;
  if (ax.SingleTap() && ay.SingleTap()) {
    DrawPicked(Source, Target, ax, ay, Opacity, Blend);
  } else {
    TSmoothDraw(Source, ax, ay).Run(Target, Opacity, Blend);
  }
}

}  // namespace Fmx::Graphics::Detail
