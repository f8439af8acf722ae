#include "utils/bitmaps.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "framework/exceptions.h"
#include "framework/kernels.h"
#include "framework/pixel_pool.h"

// SSE2 is part of x86-64; SSSE3 is chosen at run time.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define CORVINA_X86_SIMD 1
#include <immintrin.h>
#else
#define CORVINA_X86_SIMD 0
#endif

namespace Utils {

namespace {

using Fmx::Graphics::TBitmap;
using Fmx::Graphics::TBitmapMapping;
using Fmx::Graphics::TMapAccess;
using System::Sysutils::Exception;
using System::Sysutils::Format;

constexpr std::uint32_t kOpaque = 0xFF000000u;

void GrayRowScalar(const std::uint8_t* in, std::uint32_t* out, std::size_t width, bool = false) {
  for (std::size_t x = 0; x < width; ++x) {
    const std::uint32_t v = in[x];
    out[x] = kOpaque | v << 16 | v << 8 | v;
  }
}

void BgrRowScalar(const std::uint8_t* in, std::uint32_t* out, std::size_t width, bool = false) {
  for (std::size_t x = 0; x < width; ++x) {
    const std::uint8_t* p = in + 3 * x;
    out[x] = kOpaque | std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
  }
}

#if CORVINA_X86_SIMD
// 16 gray bytes become 16 pixels by interleaving: (v, v) pairs next to
// (v, 255) pairs give v, v, v, 255.
void GrayRowSse2(const std::uint8_t* in, std::uint32_t* out, std::size_t width, bool = false) {
  const __m128i opaque = _mm_set1_epi8(char(0xFF));
  std::size_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
    const __m128i vvLo = _mm_unpacklo_epi8(v, v), vvHi = _mm_unpackhi_epi8(v, v);
    const __m128i vaLo = _mm_unpacklo_epi8(v, opaque), vaHi = _mm_unpackhi_epi8(v, opaque);
    auto* o = reinterpret_cast<__m128i*>(out + x);
    _mm_storeu_si128(o + 0, _mm_unpacklo_epi16(vvLo, vaLo));
    _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(vvLo, vaLo));
    _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(vvHi, vaHi));
    _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(vvHi, vaHi));
  }
  GrayRowScalar(in + x, out + x, width - x);
}

// The 16 bytes go to both halves of a register; one byte shuffle per
// 8 pixels repeats each gray byte three times.
template <bool Stream>
__attribute__((target("avx2"))) inline void Store(__m256i* p, __m256i v) {
  if constexpr (Stream) {
    _mm256_stream_si256(p, v);
  } else {
    _mm256_store_si256(p, v);
  }
}

template <bool Stream>
__attribute__((target("avx2"))) void GrayBlocksAvx2(const std::uint8_t* in, std::uint32_t* out, std::size_t& x,
                                                    std::size_t width) {
  const __m256i first8 = _mm256_setr_epi8(0, 0, 0, -1, 1, 1, 1, -1, 2, 2, 2, -1, 3, 3, 3, -1,  //
                                          4, 4, 4, -1, 5, 5, 5, -1, 6, 6, 6, -1, 7, 7, 7, -1);
  const __m256i second8 = _mm256_setr_epi8(8, 8, 8, -1, 9, 9, 9, -1, 10, 10, 10, -1, 11, 11, 11, -1,  //
                                           12, 12, 12, -1, 13, 13, 13, -1, 14, 14, 14, -1, 15, 15, 15, -1);
  const __m256i alphaSlots = _mm256_set1_epi32(int(kOpaque));
  for (; x + 32 <= width; x += 32) {
    const __m256i a = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x)));
    const __m256i b = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x + 16)));
    auto* o = reinterpret_cast<__m256i*>(out + x);
    Store<Stream>(o, _mm256_or_si256(_mm256_shuffle_epi8(a, first8), alphaSlots));
    Store<Stream>(o + 1, _mm256_or_si256(_mm256_shuffle_epi8(a, second8), alphaSlots));
    Store<Stream>(o + 2, _mm256_or_si256(_mm256_shuffle_epi8(b, first8), alphaSlots));
    Store<Stream>(o + 3, _mm256_or_si256(_mm256_shuffle_epi8(b, second8), alphaSlots));
  }
  Fmx::Graphics::Detail::LeaveAvx();
}

__attribute__((target("avx2"))) void GrayRowAvx2(const std::uint8_t* in, std::uint32_t* out, std::size_t width,
                                                 bool stream) {
  // Stores that straddle cache lines cost double: reach a 32-byte boundary first.
  std::size_t x = std::min(width, ((32 - reinterpret_cast<std::uintptr_t>(out) % 32) % 32) / 4);
  GrayRowScalar(in, out, x);
  if (stream) {
    GrayBlocksAvx2<true>(in, out, x, width);
    _mm_sfence();
  } else {
    GrayBlocksAvx2<false>(in, out, x, width);
  }
  GrayRowScalar(in + x, out + x, width - x);
}

// 48 bytes are 16 pixels; each group of 12 bytes is spread to 16 by one
// byte shuffle, and alpha is or-ed in.
template <bool Stream>
__attribute__((target("ssse3"))) void BgrBlocksSsse3(const std::uint8_t* in, std::uint32_t* out, std::size_t& x,
                                                     std::size_t width) {
  const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m128i alpha = _mm_set1_epi32(int(kOpaque));
  auto store = [](__m128i* p, __m128i v) {
    if constexpr (Stream) {
      _mm_stream_si128(p, v);
    } else {
      _mm_store_si128(p, v);
    }
  };
  for (; x + 16 <= width; x += 16) {
    const auto* p = reinterpret_cast<const __m128i*>(in + 3 * x);
    const __m128i a = _mm_loadu_si128(p), b = _mm_loadu_si128(p + 1), c = _mm_loadu_si128(p + 2);
    auto* o = reinterpret_cast<__m128i*>(out + x);
    store(o + 0, _mm_or_si128(_mm_shuffle_epi8(a, spread), alpha));
    store(o + 1, _mm_or_si128(_mm_shuffle_epi8(_mm_alignr_epi8(b, a, 12), spread), alpha));
    store(o + 2, _mm_or_si128(_mm_shuffle_epi8(_mm_alignr_epi8(c, b, 8), spread), alpha));
    store(o + 3, _mm_or_si128(_mm_shuffle_epi8(_mm_srli_si128(c, 4), spread), alpha));
  }
}

__attribute__((target("ssse3"))) void BgrRowSsse3(const std::uint8_t* in, std::uint32_t* out, std::size_t width,
                                                  bool stream) {
  std::size_t x = std::min(width, ((16 - reinterpret_cast<std::uintptr_t>(out) % 16) % 16) / 4);
  BgrRowScalar(in, out, x);
  if (stream) {
    BgrBlocksSsse3<true>(in, out, x, width);
    _mm_sfence();
  } else {
    BgrBlocksSsse3<false>(in, out, x, width);
  }
  BgrRowScalar(in + 3 * x, out + x, width - x);
}

// 8 pixels per register: a dword permute gives each 128-bit lane its own
// 12 source bytes, then the same in-lane shuffle as above. Each load reads
// 32 bytes of which 24 are used, so the loop stops 11 pixels before the end.
template <bool Stream>
__attribute__((target("avx2"))) void BgrBlocksAvx2(const std::uint8_t* in, std::uint32_t* out, std::size_t& x,
                                                   std::size_t width) {
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
  const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                          0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m256i alpha = _mm256_set1_epi32(int(kOpaque));
  for (; x + 16 + 11 <= width; x += 16) {
    const std::uint8_t* p = in + 3 * x;
    const __m256i a = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), lanes);
    const __m256i b =
        _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 24)), lanes);
    auto* o = reinterpret_cast<__m256i*>(out + x);
    Store<Stream>(o, _mm256_or_si256(_mm256_shuffle_epi8(a, spread), alpha));
    Store<Stream>(o + 1, _mm256_or_si256(_mm256_shuffle_epi8(b, spread), alpha));
  }
  Fmx::Graphics::Detail::LeaveAvx();
}

__attribute__((target("avx2"))) void BgrRowAvx2(const std::uint8_t* in, std::uint32_t* out, std::size_t width,
                                                bool stream) {
  std::size_t x = std::min(width, ((32 - reinterpret_cast<std::uintptr_t>(out) % 32) % 32) / 4);
  BgrRowScalar(in, out, x);
  if (stream) {
    BgrBlocksAvx2<true>(in, out, x, width);
    _mm_sfence();
  } else {
    BgrBlocksAvx2<false>(in, out, x, width);
  }
  BgrRowScalar(in + 3 * x, out + x, width - x);
}

// Stream: the whole picture is far larger than the caches, so stores may
// bypass them.
using TRowFn = void (*)(const std::uint8_t*, std::uint32_t*, std::size_t, bool);

TRowFn PickGrayRow() { return __builtin_cpu_supports("avx2") ? GrayRowAvx2 : GrayRowSse2; }
TRowFn PickBgrRow() {
  if (__builtin_cpu_supports("avx2")) return BgrRowAvx2;
  return __builtin_cpu_supports("ssse3") ? BgrRowSsse3 : BgrRowScalar;
}

void GrayRow(const std::uint8_t* in, std::uint32_t* out, std::size_t width, bool stream) {
  static const TRowFn best = PickGrayRow();
  Fmx::Graphics::Detail::PickKernel<TRowFn>(GrayRowSse2, best)(in, out, width, stream);
}

void BgrRow(const std::uint8_t* in, std::uint32_t* out, std::size_t width, bool stream) {
  static const TRowFn best = PickBgrRow();
  Fmx::Graphics::Detail::PickKernel<TRowFn>(BgrRowScalar, best)(in, out, width, stream);
}
#else
void GrayRow(const std::uint8_t* in, std::uint32_t* out, std::size_t width, bool) { GrayRowScalar(in, out, width); }
void BgrRow(const std::uint8_t* in, std::uint32_t* out, std::size_t width, bool) { BgrRowScalar(in, out, width); }
#endif

// Outputs far larger than the caches bypass them: nobody reads them back
// soon, and skipping the read-for-ownership saves a third of the traffic.
constexpr std::size_t kStreamPixels = std::size_t(8) << 20;

// Below this many pixels one core converts faster than two can share the
// work; the split is in blocks of whole cache lines of output.
constexpr std::size_t kParallelPixels = std::size_t(1) << 17;
constexpr std::size_t kBlockPixels = 16;

template <class RowFn>
void FillFromBuffer(const char16_t* operation, const std::uint8_t* source, int bytesPerPixel, TBitmap& bitmap,
                    RowFn row) {
  const std::int32_t w = bitmap.Width();
  const std::int32_t h = bitmap.Height();
  if (source == nullptr && w > 0 && h > 0) {
    throw Exception(Format(u"%s: the source buffer is nil for a %d x %d bitmap", operation, w, h));
  }
  if (bitmap.IsMapped()) throw Exception(Format(u"%s: the bitmap is mapped; unmap it first", operation));
  TBitmapMapping map(bitmap, TMapAccess::Write);
  if (w == 0 || h == 0) return;
  const std::size_t total = std::size_t(w) * std::size_t(h);
  const bool stream = total >= kStreamPixels;
  std::uint8_t* const pixels = map.Data().WritableData();
  if (map.Data().Pitch == w * 4) {
    // Both sides are gapless: the picture is one long row, cut into blocks.
    auto* out = reinterpret_cast<std::uint32_t*>(pixels);
    Fmx::Graphics::Detail::ParallelFor(total, kBlockPixels, kParallelPixels, [&](std::size_t begin, std::size_t end) {
      row(source + begin * bytesPerPixel, out + begin, end - begin, stream);
    });
    return;
  }
  const std::size_t sourcePitch = std::size_t(w) * bytesPerPixel;
  const std::size_t minRows = std::max<std::size_t>(1, kParallelPixels / std::size_t(w));
  Fmx::Graphics::Detail::ParallelFor(std::size_t(h), 1, minRows, [&](std::size_t begin, std::size_t end) {
    for (std::size_t y = begin; y < end; ++y) {
      row(source + y * sourcePitch, reinterpret_cast<std::uint32_t*>(pixels + y * std::size_t(map.Data().Pitch)),
          std::size_t(w), stream);
    }
  });
}

}  // namespace

void GrayToBitmap(const std::uint8_t* Source, TBitmap& Bitmap) {
  FillFromBuffer(u"GrayToBitmap", Source, 1, Bitmap, GrayRow);
}

void MatToBitmap(const std::uint8_t* Source, TBitmap& Bitmap) {
  FillFromBuffer(u"MatToBitmap", Source, 3, Bitmap, BgrRow);
}

void StretchBitmap(TBitmap& Bitmap, std::int32_t NewWidth, std::int32_t NewHeight) {
  // Checked here so that the message names this call, not the bitmap
  // operations it is made of.
  if (NewWidth < 0 || NewHeight < 0) {
    throw Exception(
        Format(u"StretchBitmap: NewWidth and NewHeight must be 0 or more, got %d x %d", NewWidth, NewHeight));
  }
  constexpr std::int32_t kMaxWidth = INT32_MAX / 4;  // a row's bytes must fit the 32-bit pitch
  if (NewWidth > kMaxWidth) {
    throw Exception(Format(u"StretchBitmap: NewWidth must be at most %d, got %d", kMaxWidth, NewWidth));
  }
  if (Bitmap.IsMapped()) throw Exception(u"StretchBitmap: the bitmap is mapped; unmap it first");
  // A smooth draw at full opacity onto a new, fully transparent bitmap
  // gives every pixel the scaled source as it is: what Resize makes, without
  // zeroing the new pixels first only to cover them.
  Bitmap.Resize(NewWidth, NewHeight);
}

std::int32_t RoundUpTo8(std::int32_t Value) {
  constexpr std::int32_t kLargest = 2147483640;  // the last multiple of 8 in 32 bits
  if (Value < 0 || Value > kLargest) {
    throw Exception(Format(u"RoundUpTo8: value %d is outside 0..%d", Value, kLargest));
  }
  return (Value + 7) & ~7;
}

}  // namespace Utils
