#include "generation/sd_images.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "binding/stablediffusion_library.h"
#include "framework/exceptions.h"
#include "framework/kernels.h"
#include "framework/pixel_pool.h"
#include "utils/bitmaps.h"

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define CORVINA_SD_SIMD 1
#include <immintrin.h>
#else
#define CORVINA_SD_SIMD 0
#endif

namespace Sd::Fmx {

namespace {

using ::Fmx::Graphics::TBitmapMapping;
using ::Fmx::Graphics::TMapAccess;
using System::String;
using System::Sysutils::Exception;
using System::Sysutils::Format;

constexpr std::uint32_t kOpaque = 0xFF000000u;

// The smallest picture the library's Canny survives, either way.
constexpr std::uint32_t kCannyMinSide = 64;

// ---- row kernels: a baseline and an SSSE3 version of each ----

// R, G, B (and an ignored fourth byte) into opaque B, G, R, A.
template <int Channels>
void RgbRowScalar(const std::uint8_t* in, std::uint32_t* out, std::size_t width) {
  for (std::size_t x = 0; x < width; ++x) {
    const std::uint8_t* p = in + Channels * x;
    out[x] = kOpaque | std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
  }
}

void ToRgbRowScalar(const std::uint32_t* in, std::uint8_t* out, std::size_t width) {
  for (std::size_t x = 0; x < width; ++x) {
    const std::uint32_t c = in[x];
    out[3 * x] = std::uint8_t(c >> 16);
    out[3 * x + 1] = std::uint8_t(c >> 8);
    out[3 * x + 2] = std::uint8_t(c);
  }
}

void ToMaskRowScalar(const std::uint32_t* in, std::uint8_t* out, std::size_t width) {
  for (std::size_t x = 0; x < width; ++x) {
    const std::uint32_t c = in[x];
    out[x] = std::uint8_t(((c >> 16 & 0xFF) + (c >> 8 & 0xFF) + (c & 0xFF)) / 3);
  }
}

using TFromRowFn = void (*)(const std::uint8_t*, std::uint32_t*, std::size_t);
using TToRowFn = void (*)(const std::uint32_t*, std::uint8_t*, std::size_t);

#if CORVINA_SD_SIMD
// 48 bytes are 16 pixels; each 12-byte group is spread to four B, G, R, A
// pixels by one byte shuffle that also swaps R and B.
__attribute__((target("ssse3"))) void RgbRowSsse3(const std::uint8_t* in, std::uint32_t* out, std::size_t width) {
  const __m128i spread = _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
  const __m128i alpha = _mm_set1_epi32(int(kOpaque));
  std::size_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const auto* p = reinterpret_cast<const __m128i*>(in + 3 * x);
    const __m128i a = _mm_loadu_si128(p), b = _mm_loadu_si128(p + 1), c = _mm_loadu_si128(p + 2);
    auto* o = reinterpret_cast<__m128i*>(out + x);
    _mm_storeu_si128(o + 0, _mm_or_si128(_mm_shuffle_epi8(a, spread), alpha));
    _mm_storeu_si128(o + 1, _mm_or_si128(_mm_shuffle_epi8(_mm_alignr_epi8(b, a, 12), spread), alpha));
    _mm_storeu_si128(o + 2, _mm_or_si128(_mm_shuffle_epi8(_mm_alignr_epi8(c, b, 8), spread), alpha));
    _mm_storeu_si128(o + 3, _mm_or_si128(_mm_shuffle_epi8(_mm_srli_si128(c, 4), spread), alpha));
  }
  RgbRowScalar<3>(in + 3 * x, out + x, width - x);
}

__attribute__((target("ssse3"))) void RgbaRowSsse3(const std::uint8_t* in, std::uint32_t* out, std::size_t width) {
  const __m128i swap = _mm_setr_epi8(2, 1, 0, -1, 6, 5, 4, -1, 10, 9, 8, -1, 14, 13, 12, -1);
  const __m128i alpha = _mm_set1_epi32(int(kOpaque));
  std::size_t x = 0;
  for (; x + 4 <= width; x += 4) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * x));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_or_si128(_mm_shuffle_epi8(a, swap), alpha));
  }
  RgbRowScalar<4>(in + 4 * x, out + x, width - x);
}

// 16 pixels (64 bytes) become 48: each register's four pixels shrink to 12
// R, G, B bytes at its bottom, and the four pieces are joined by shifts.
__attribute__((target("ssse3"))) void ToRgbRowSsse3(const std::uint32_t* in, std::uint8_t* out, std::size_t width) {
  const __m128i pack = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  std::size_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const auto* p = reinterpret_cast<const __m128i*>(in + x);
    const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(p), pack);
    const __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(p + 1), pack);
    const __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(p + 2), pack);
    const __m128i d = _mm_shuffle_epi8(_mm_loadu_si128(p + 3), pack);
    auto* o = reinterpret_cast<__m128i*>(out + 3 * x);
    _mm_storeu_si128(o + 0, _mm_or_si128(a, _mm_slli_si128(b, 12)));
    _mm_storeu_si128(o + 1, _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
    _mm_storeu_si128(o + 2, _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(d, 4)));
  }
  ToRgbRowScalar(in + x, out + 3 * x, width - x);
}

// Sums of three bytes stay below 2^16, where x div 3 = (x * 43691) >> 17.
// maddubs adds B + G and R + 0 in 16-bit lanes, hadd joins the pairs: eight
// pixels' sums from two registers in two instructions.
__attribute__((target("ssse3"))) __m128i MaskOf8(__m128i lo, __m128i hi) {
  const __m128i ones = _mm_setr_epi8(1, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0, 1, 1, 1, 0);
  const __m128i sums = _mm_hadd_epi16(_mm_maddubs_epi16(lo, ones), _mm_maddubs_epi16(hi, ones));
  return _mm_srli_epi16(_mm_mulhi_epu16(sums, _mm_set1_epi16(short(43691))), 1);
}

__attribute__((target("ssse3"))) void ToMaskRowSsse3(const std::uint32_t* in, std::uint8_t* out, std::size_t width) {
  std::size_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const auto* p = reinterpret_cast<const __m128i*>(in + x);
    const __m128i first = MaskOf8(_mm_loadu_si128(p), _mm_loadu_si128(p + 1));
    const __m128i second = MaskOf8(_mm_loadu_si128(p + 2), _mm_loadu_si128(p + 3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(first, second));
  }
  ToMaskRowScalar(in + x, out + x, width - x);
}

// ---- AVX2: twice the pixels per instruction ----

// 16 pixels per step: each 32-byte load is permuted so that every 128-bit
// lane holds its own 12 source bytes, then spread as above. The second load
// ends 56 bytes after the first starts, so the loop stops 19 pixels before
// the end. Stores are aligned: the scalar start reaches a 32-byte boundary.
__attribute__((target("avx2"))) void RgbRowAvx2(const std::uint8_t* in, std::uint32_t* out, std::size_t width) {
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
  const __m256i spread = _mm256_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1,  //
                                          2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
  const __m256i alpha = _mm256_set1_epi32(int(kOpaque));
  std::size_t x = std::min(width, ((32 - reinterpret_cast<std::uintptr_t>(out) % 32) % 32) / 4);
  RgbRowScalar<3>(in, out, x);
  for (; x + 19 <= width; x += 16) {
    const std::uint8_t* p = in + 3 * x;
    const __m256i a = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), lanes);
    const __m256i b = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 24)), lanes);
    auto* o = reinterpret_cast<__m256i*>(out + x);
    _mm256_store_si256(o, _mm256_or_si256(_mm256_shuffle_epi8(a, spread), alpha));
    _mm256_store_si256(o + 1, _mm256_or_si256(_mm256_shuffle_epi8(b, spread), alpha));
  }
  ::Fmx::Graphics::Detail::LeaveAvx();
  RgbRowScalar<3>(in + 3 * x, out + x, width - x);
}

// 32 pixels per step, summed as in MaskOf8 but in both lanes at once. The
// in-lane hadd and pack leave groups of four pixels in the order 0, 2, 4,
// 6, 1, 3, 5, 7; one dword permute puts them back.
__attribute__((target("avx2"))) __m256i MaskOf16(__m256i lo, __m256i hi) {
  const __m256i ones = _mm256_set1_epi32(0x00010101);
  const __m256i sums = _mm256_hadd_epi16(_mm256_maddubs_epi16(lo, ones), _mm256_maddubs_epi16(hi, ones));
  return _mm256_srli_epi16(_mm256_mulhi_epu16(sums, _mm256_set1_epi16(short(43691))), 1);
}

__attribute__((target("avx2"))) void ToMaskRowAvx2(const std::uint32_t* in, std::uint8_t* out, std::size_t width) {
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  std::size_t x = 0;
  for (; x + 32 <= width; x += 32) {
    const auto* p = reinterpret_cast<const __m256i*>(in + x);
    const __m256i first = MaskOf16(_mm256_loadu_si256(p), _mm256_loadu_si256(p + 1));
    const __m256i second = MaskOf16(_mm256_loadu_si256(p + 2), _mm256_loadu_si256(p + 3));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x),
                        _mm256_permutevar8x32_epi32(_mm256_packus_epi16(first, second), order));
  }
  ::Fmx::Graphics::Detail::LeaveAvx();
  ToMaskRowSsse3(in + x, out + x, width - x);
}

const bool kHasSsse3 = __builtin_cpu_supports("ssse3");
const bool kHasAvx2 = __builtin_cpu_supports("avx2");

// The best kernel this processor runs, unless tests ask for the baseline.
template <class Fn>
Fn Pick(Fn baseline, Fn ssse3, Fn avx2 = nullptr) {
  const Fn best = kHasAvx2 && avx2 ? avx2 : kHasSsse3 ? ssse3 : baseline;
  return ::Fmx::Graphics::Detail::PickKernel<Fn>(baseline, best);
}

TFromRowFn RgbRow() { return Pick<TFromRowFn>(RgbRowScalar<3>, RgbRowSsse3, RgbRowAvx2); }
TFromRowFn RgbaRow() { return Pick<TFromRowFn>(RgbRowScalar<4>, RgbaRowSsse3); }
TToRowFn ToRgbRow() { return Pick<TToRowFn>(ToRgbRowScalar, ToRgbRowSsse3); }
TToRowFn ToMaskRow() { return Pick<TToRowFn>(ToMaskRowScalar, ToMaskRowSsse3, ToMaskRowAvx2); }
#else
TFromRowFn RgbRow() { return RgbRowScalar<3>; }
TFromRowFn RgbaRow() { return RgbRowScalar<4>; }
TToRowFn ToRgbRow() { return ToRgbRowScalar; }
TToRowFn ToMaskRow() { return ToMaskRowScalar; }
#endif

// ---- whole pictures ----

void CheckConvertible(const sd_image_t* image) {
  if (!image) throw Exception(u"SDImage2Bitmap: the image is nil");
  if (image->width == 0 || image->height == 0)
    throw Exception(Format(u"SDImage2Bitmap: the image is empty (%u x %u)", image->width, image->height));
  if (!image->data) throw Exception(u"SDImage2Bitmap: the image has no pixel data");
  if (image->channel != 1 && image->channel != 3 && image->channel != 4)
    throw Exception(Format(u"SDImage2Bitmap: %u channels per pixel, expected 1, 3 or 4", image->channel));
  constexpr auto kMax = std::uint32_t(std::numeric_limits<std::int32_t>::max());
  if (image->width > kMax || image->height > kMax)
    throw Exception(Format(u"SDImage2Bitmap: the image is too large for a bitmap (%u x %u)", image->width,
                           image->height));
}

// Pictures from this many pixels are split across the cores, in bands of
// whole rows (below it a split costs more than it saves).
constexpr std::size_t kParallelPixels = std::size_t(1) << 17;

template <class Body>
void ForRows(std::int32_t width, std::int32_t height, Body&& body) {
  const std::size_t minRows = std::max<std::size_t>(1, kParallelPixels / std::size_t(std::max(width, 1)));
  ::Fmx::Graphics::Detail::ParallelFor(std::size_t(height), 1, minRows, [&](std::size_t begin, std::size_t end) {
    for (std::size_t y = begin; y < end; ++y) body(std::int32_t(y));
  });
}

void GrayRow(const std::uint8_t* in, std::uint32_t* out, std::size_t width) {
  for (std::size_t x = 0; x < width; ++x) out[x] = kOpaque | in[x] * 0x010101u;
}

// Rows of `stride` bytes; the bitmap has the picture's size already.
void PixelsToBitmap(const std::uint8_t* data, std::size_t stride, std::uint32_t channel, TBitmap& bitmap) {
  if (channel == 1 && stride == std::size_t(bitmap.Width())) return Utils::GrayToBitmap(data, bitmap);
  TBitmapMapping map(bitmap, TMapAccess::Write);
  const TFromRowFn row = channel == 1 ? GrayRow : channel == 4 ? RgbaRow() : RgbRow();
  std::uint8_t* const pixels = map.Data().WritableData();
  const std::size_t pitch = std::size_t(map.Data().Pitch);
  const std::size_t width = std::size_t(bitmap.Width());
  ForRows(bitmap.Width(), bitmap.Height(), [&](std::int32_t y) {
    row(data + std::size_t(y) * stride, reinterpret_cast<std::uint32_t*>(pixels + std::size_t(y) * pitch), width);
  });
}

template <class RowFn>
TSDImageBuffer FromBitmap(const TBitmap& bitmap, std::uint32_t channel, RowFn row) {
  TSDImageBuffer image(std::uint32_t(bitmap.Width()), std::uint32_t(bitmap.Height()), channel);
  if (image.Empty()) return image;
  TBitmapMapping map(bitmap);
  const std::uint8_t* const pixels = map.Data().Data;
  const std::size_t pitch = std::size_t(map.Data().Pitch);
  const std::size_t width = std::size_t(bitmap.Width());
  const std::size_t rowBytes = width * channel;
  ForRows(bitmap.Width(), bitmap.Height(), [&](std::int32_t y) {
    row(reinterpret_cast<const std::uint32_t*>(pixels + std::size_t(y) * pitch), image.Data() + std::size_t(y) * rowBytes,
        width);
  });
  return image;
}

// The picture grown to at least kCannyMinSide either way, edges repeated.
TSDImageBuffer PadForCanny(const TSDImageBuffer& small) {
  const sd_image_t& s = small.Image();
  TSDImageBuffer padded(std::max(s.width, kCannyMinSide), std::max(s.height, kCannyMinSide), 3);
  const sd_image_t& p = padded.Image();
  for (std::uint32_t y = 0; y < p.height; ++y) {
    const std::uint8_t* in = s.data + std::size_t(std::min(y, s.height - 1)) * s.width * 3;
    std::uint8_t* out = p.data + std::size_t(y) * p.width * 3;
    std::memcpy(out, in, std::size_t(s.width) * 3);
    for (std::uint32_t x = s.width; x < p.width; ++x) std::memcpy(out + 3 * x, in + 3 * (s.width - 1), 3);
  }
  return padded;
}

}  // namespace

TSDImageBuffer::TSDImageBuffer(std::uint32_t Width, std::uint32_t Height, std::uint32_t Channel) {
  const std::size_t bytes = std::size_t(Width) * Height * Channel;
  if (bytes == 0) return;
  FPixels.reset(static_cast<std::uint8_t*>(std::malloc(bytes)));
  if (!FPixels) throw Exception(Format(u"Out of memory for a %u x %u picture", Width, Height));
  FImage = sd_image_t{Width, Height, Channel, FPixels.get()};
}

std::unique_ptr<TBitmap> SDImage2Bitmap(const sd_image_t* image) {
  CheckConvertible(image);
  auto bitmap = std::make_unique<TBitmap>();
  ::Fmx::Graphics::Detail::SetSizeForOverwrite(*bitmap, std::int32_t(image->width), std::int32_t(image->height));
  PixelsToBitmap(image->data, std::size_t(image->width) * image->channel, image->channel, *bitmap);
  return bitmap;
}

TSDImageBuffer Bitmap2SDImage(const TBitmap& bitmap) { return FromBitmap(bitmap, 3, ToRgbRow()); }

TSDImageBuffer Bitmap2SDMask(const TBitmap& bitmap) { return FromBitmap(bitmap, 1, ToMaskRow()); }

void FreeSDImages(sd_image_t* images, std::int32_t count) {
  if (!images) return;
  for (std::int32_t i = 0; i < count; ++i) {
    std::free(images[i].data);
    images[i].data = nullptr;
  }
}

void TSDImageArray::Release() noexcept {
  if (!FImages) return;
  FreeSDImages(FImages, FCount);
  std::free(FImages);
  FImages = nullptr;
  FCount = 0;
}

TBitmaps ConvertResults(TSDImageArray& results, const char16_t* what) {
  const std::int32_t count = results.Count();
  TBitmaps bitmaps;
  bitmaps.reserve(std::size_t(std::max(count, 0)));
  for (std::int32_t i = 0; i < count; ++i) {
    const sd_image_t& image = results.Images()[i];
    if (!image.data) {
      results.Release();
      throw Exception(Format(u"%s: result %d of %d has no pixel data", what, i + 1, count));
    }
    bitmaps.push_back(SDImage2Bitmap(&image));
  }
  results.Release();
  return bitmaps;
}

std::unique_ptr<TBitmap> GetCannyOfBitmap(const TBitmap& bitmap) {
  Stablediffusion::RequireSDLibs();
  if (bitmap.IsEmpty())
    throw Exception(Format(u"GetCannyOfBitmap: the bitmap is empty (%d x %d)", bitmap.Width(), bitmap.Height()));
  TSDImageBuffer image = Bitmap2SDImage(bitmap);
  const bool small = image.Image().width < kCannyMinSide || image.Image().height < kCannyMinSide;
  TSDImageBuffer padded = small ? PadForCanny(image) : TSDImageBuffer();
  const TSDImageBuffer& work = small ? padded : image;
  if (!Stablediffusion::preprocess_canny(work.Image(), 0.08f, 0.08f, 0.8f, 1.0f, false))
    throw Exception(u"Failed to generate canny image");
  auto result = std::make_unique<TBitmap>();
  ::Fmx::Graphics::Detail::SetSizeForOverwrite(*result, bitmap.Width(), bitmap.Height());
  PixelsToBitmap(work.Data(), std::size_t(work.Image().width) * 3, 3, *result);
  return result;
}

}  // namespace Sd::Fmx
