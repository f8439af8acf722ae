#include "face/face_norms.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "framework/exceptions.h"

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define CORVINA_FACE_NORMS_X86 1
#include <immintrin.h>
#endif

namespace Face::Fmx::Batch {

namespace {

using TVectors = std::span<const std::span<const float>>;

// The faces of one pass: 7 groups of 8 lanes keep enough independent sums in
// flight to hide the latency of one step (convert, add, convert back).
constexpr std::size_t kGroup = 8;
constexpr std::size_t kMaxGroups = 7;
constexpr std::size_t kMaxLanes = kGroup * kMaxGroups;

// One step of NumpyNorm's sum. x*x is exact in double (two 24-bit factors),
// so a fused multiply-add rounds exactly where this does: the sum to double,
// then to single.
inline float Step(float sum, float x) {
  return static_cast<float>(static_cast<double>(sum) + static_cast<double>(x) * static_cast<double>(x));
}

// sums[k] after the first `length` elements of vector k, eight vectors
// interleaved so that their chains of dependent roundings overlap.
void PortableSums(const std::span<const float>* v, std::size_t lanes, std::size_t length, float* sums) {
  for (std::size_t first = 0; first < lanes; first += kGroup) {
    const std::size_t n = std::min(kGroup, lanes - first);
    const float* p[kGroup];
    float s[kGroup] = {};
    for (std::size_t k = 0; k < n; ++k) p[k] = v[first + k].data();
    for (std::size_t j = 0; j < length; ++j)
      for (std::size_t k = 0; k < n; ++k) s[k] = Step(s[k], p[k][j]);
    std::copy(s, s + n, sums + first);
  }
}

#ifdef CORVINA_FACE_NORMS_X86

// Elements j..j+7 of eight vectors turned into eight columns: c[e] holds
// element j+e of vectors 0..7, in that order. Two rounds of two-source
// permutes over 16 lanes, half the shuffles of the 8-lane way.
__attribute__((target("avx512f"), always_inline)) inline void Transpose8(const float* const* p, std::size_t j,
                                                                       __m256* c) {
  // Vector k's eight elements in the low half, vector k+4's in the high.
  __m512 z[4];
  for (std::size_t k = 0; k < 4; ++k)
    z[k] = _mm512_castpd_ps(_mm512_maskz_insertf64x4(0xFF, _mm512_castps_pd(_mm512_castps256_ps512(_mm256_loadu_ps(p[k] + j))),
                                                     _mm256_castps_pd(_mm256_loadu_ps(p[k + 4] + j)), 1));
  // Elements 0-3 (then 4-7) of vectors k, k+4, k+1, k+5, four each.
  const __m512i low = _mm512_setr_epi32(0, 1, 2, 3, 8, 9, 10, 11, 16, 17, 18, 19, 24, 25, 26, 27);
  const __m512i high = _mm512_setr_epi32(4, 5, 6, 7, 12, 13, 14, 15, 20, 21, 22, 23, 28, 29, 30, 31);
  const __m512 a[4] = {_mm512_permutex2var_ps(z[0], low, z[1]), _mm512_permutex2var_ps(z[0], high, z[1]),
                       _mm512_permutex2var_ps(z[2], low, z[3]), _mm512_permutex2var_ps(z[2], high, z[3])};
  // Two columns each: element e of vectors 0..7 from positions e, e+8,
  // e+16, e+24 (vectors 0-3) and e+4, e+12, e+20, e+28 (vectors 4-7).
  const __m512i first = _mm512_setr_epi32(0, 8, 16, 24, 4, 12, 20, 28, 1, 9, 17, 25, 5, 13, 21, 29);
  const __m512i second = _mm512_setr_epi32(2, 10, 18, 26, 6, 14, 22, 30, 3, 11, 19, 27, 7, 15, 23, 31);
  auto* out = reinterpret_cast<__m512*>(c);
  _mm512_storeu_ps(out + 0, _mm512_permutex2var_ps(a[0], first, a[2]));
  _mm512_storeu_ps(out + 1, _mm512_permutex2var_ps(a[0], second, a[2]));
  _mm512_storeu_ps(out + 2, _mm512_permutex2var_ps(a[1], first, a[3]));
  _mm512_storeu_ps(out + 3, _mm512_permutex2var_ps(a[1], second, a[3]));
}

// Step for eight lanes at once, in double with one rounding of the sum and
// one conversion back, exactly as Step does per lane.
__attribute__((target("avx512f,avx2,fma"), always_inline)) inline __m256 Step8(__m256 sum, __m256 x) {
  // The zero-masked forms with every lane selected are the plain
  // conversions; GCC 12 warns about the plain forms' undefined filler.
  constexpr __mmask8 kAll = 0xFF;
  const __m512d xd = _mm512_maskz_cvtps_pd(kAll, x);
  return _mm512_maskz_cvtpd_ps(kAll, _mm512_fmadd_pd(xd, xd, _mm512_maskz_cvtps_pd(kAll, sum)));
}

// PortableSums for `length` (a multiple of 8) elements of up to 8 * Groups
// vectors; lanes past `lanes` repeat vector 0 and are dropped.
template <std::size_t Groups>
__attribute__((target("avx512f,avx2,fma"))) void Avx512Sums(const std::span<const float>* v, std::size_t lanes,
                                                           std::size_t length, float* sums) {
  const float* p[Groups][kGroup];
  for (std::size_t g = 0; g < Groups; ++g)
    for (std::size_t k = 0; k < kGroup; ++k) p[g][k] = v[g * kGroup + k < lanes ? g * kGroup + k : 0].data();
  __m256 acc[Groups];
  for (std::size_t g = 0; g < Groups; ++g) acc[g] = _mm256_setzero_ps();
  alignas(64) __m256 c[Groups][kGroup];
  for (std::size_t j = 0; j < length; j += kGroup) {
    for (std::size_t g = 0; g < Groups; ++g) Transpose8(p[g], j, c[g]);
    // Step every group before the next element, so that the groups' chains
    // run side by side.
    for (std::size_t e = 0; e < kGroup; ++e)
      for (std::size_t g = 0; g < Groups; ++g) acc[g] = Step8(acc[g], c[g][e]);
  }
  for (std::size_t g = 0; g < Groups; ++g) {
    alignas(32) float s[kGroup];
    _mm256_store_ps(s, acc[g]);
    for (std::size_t k = 0; k < kGroup && g * kGroup + k < lanes; ++k) sums[g * kGroup + k] = s[k];
  }
}

void Avx512SumsOf(const std::span<const float>* v, std::size_t lanes, std::size_t length, float* sums) {
  switch ((lanes + kGroup - 1) / kGroup) {
    case 1: return Avx512Sums<1>(v, lanes, length, sums);
    case 2: return Avx512Sums<2>(v, lanes, length, sums);
    case 3: return Avx512Sums<3>(v, lanes, length, sums);
    case 4: return Avx512Sums<4>(v, lanes, length, sums);
    case 5: return Avx512Sums<5>(v, lanes, length, sums);
    case 6: return Avx512Sums<6>(v, lanes, length, sums);
    default: return Avx512Sums<kMaxGroups>(v, lanes, length, sums);
  }
}
static_assert(kMaxGroups == 7, "Avx512SumsOf dispatches one template per group count");

// Transpose8 with 256-bit shuffles: vector k's four elements in the low
// 128 bits, vector k+4's in the high, then a 4 x 4 transpose in each half.
__attribute__((target("avx2,fma"), always_inline)) inline void Transpose8Avx2(const float* const* p, std::size_t j,
                                                                            __m256* c) {
  for (std::size_t half = 0; half < 2; ++half) {
    const std::size_t at = j + 4 * half;
    __m256 r[4];
    for (std::size_t k = 0; k < 4; ++k)
      r[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p[k] + at)), _mm_loadu_ps(p[k + 4] + at), 1);
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
    const __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
    const __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
    c[4 * half + 0] = _mm256_shuffle_ps(t0, t2, 0x44);
    c[4 * half + 1] = _mm256_shuffle_ps(t0, t2, 0xEE);
    c[4 * half + 2] = _mm256_shuffle_ps(t1, t3, 0x44);
    c[4 * half + 3] = _mm256_shuffle_ps(t1, t3, 0xEE);
  }
}

// Step for four lanes, as Step8 does for eight.
__attribute__((target("avx2,fma"), always_inline)) inline __m128 Step4(__m128 sum, __m128 x) {
  const __m256d xd = _mm256_cvtps_pd(x);
  return _mm256_cvtpd_ps(_mm256_fmadd_pd(xd, xd, _mm256_cvtps_pd(sum)));
}

// Avx512Sums with four lanes to a register, two registers to a group.
template <std::size_t Groups>
__attribute__((target("avx2,fma"))) void Avx2Sums(const std::span<const float>* v, std::size_t lanes,
                                                 std::size_t length, float* sums) {
  const float* p[Groups][kGroup];
  for (std::size_t g = 0; g < Groups; ++g)
    for (std::size_t k = 0; k < kGroup; ++k) p[g][k] = v[g * kGroup + k < lanes ? g * kGroup + k : 0].data();
  __m128 acc[Groups][2];
  for (std::size_t g = 0; g < Groups; ++g) acc[g][0] = acc[g][1] = _mm_setzero_ps();
  alignas(32) __m256 c[Groups][kGroup];
  for (std::size_t j = 0; j < length; j += kGroup) {
    for (std::size_t g = 0; g < Groups; ++g) Transpose8Avx2(p[g], j, c[g]);
    // Each half read from memory: a conversion takes it from there as
    // cheaply as from a register, where the high half would cost a shuffle.
    const float* columns = reinterpret_cast<const float*>(c);
    for (std::size_t e = 0; e < kGroup; ++e)
      for (std::size_t g = 0; g < Groups; ++g) {
        const float* column = columns + (g * kGroup + e) * kGroup;
        acc[g][0] = Step4(acc[g][0], _mm_load_ps(column));
        acc[g][1] = Step4(acc[g][1], _mm_load_ps(column + 4));
      }
  }
  for (std::size_t g = 0; g < Groups; ++g) {
    alignas(16) float s[kGroup];
    _mm_store_ps(s, acc[g][0]);
    _mm_store_ps(s + 4, acc[g][1]);
    for (std::size_t k = 0; k < kGroup && g * kGroup + k < lanes; ++k) sums[g * kGroup + k] = s[k];
  }
}

void Avx2SumsOf(const std::span<const float>* v, std::size_t lanes, std::size_t length, float* sums) {
  switch ((lanes + kGroup - 1) / kGroup) {
    case 1: return Avx2Sums<1>(v, lanes, length, sums);
    case 2: return Avx2Sums<2>(v, lanes, length, sums);
    case 3: return Avx2Sums<3>(v, lanes, length, sums);
    case 4: return Avx2Sums<4>(v, lanes, length, sums);
    case 5: return Avx2Sums<5>(v, lanes, length, sums);
    case 6: return Avx2Sums<6>(v, lanes, length, sums);
    default: return Avx2Sums<kMaxGroups>(v, lanes, length, sums);
  }
}

__attribute__((target("avx2"))) void Avx2Normalise(const float* e, std::size_t n, float norm, float* out) {
  const __m256 d = _mm256_set1_ps(norm);
  std::size_t j = 0;
  for (; j + 8 <= n; j += 8) _mm256_storeu_ps(out + j, _mm256_div_ps(_mm256_loadu_ps(e + j), d));
  for (; j < n; ++j) out[j] = e[j] / norm;
}

// Eight quotients e[j] / b as a product with y, the reciprocal of b rounded
// to double. The product is within 2^-52 (relative) of the true quotient; a
// quotient of two floats in the normal range is never that close to a point
// halfway between two floats (it is at least 2^-49 away, or it would need
// more than 24 bits), so rounding the product to single gives the quotient's
// rounding. Below the normal range such points can be hit exactly, so there
// the division itself decides.
__attribute__((target("avx512f"), always_inline)) inline __m256 Quotients8(const float* e, __m512d y, __m512d b) {
  constexpr __mmask8 kAll = 0xFF;
  const __m512d a = _mm512_maskz_cvtps_pd(kAll, _mm256_loadu_ps(e));
  __m512d q = _mm512_mul_pd(a, y);
  const __mmask8 small = _mm512_cmp_pd_mask(_mm512_abs_pd(q), _mm512_set1_pd(0x1p-125), _CMP_LT_OQ);
  const __mmask8 tiny = _mm512_mask_cmp_pd_mask(small, q, _mm512_setzero_pd(), _CMP_NEQ_UQ);  // zeros are exact
  if (tiny) q = _mm512_mask_div_pd(q, tiny, a, b);
  return _mm512_maskz_cvtpd_ps(kAll, q);
}

// Half of each 32 floats goes to the divider and half to the product with
// the reciprocal, which runs on other units at the same time.
__attribute__((target("avx512f"))) void Avx512Normalise(const float* e, std::size_t n, float norm, float* out) {
  const __m512 d = _mm512_set1_ps(norm);
  const __m512d b = _mm512_set1_pd(norm);
  const __m512d y = _mm512_set1_pd(1.0 / static_cast<double>(norm));
  std::size_t j = 0;
  for (; j + 32 <= n; j += 32) {
    _mm512_storeu_ps(out + j, _mm512_div_ps(_mm512_loadu_ps(e + j), d));
    _mm256_storeu_ps(out + j + 16, Quotients8(e + j + 16, y, b));
    _mm256_storeu_ps(out + j + 24, Quotients8(e + j + 24, y, b));
  }
  for (; j + 16 <= n; j += 16) _mm512_storeu_ps(out + j, _mm512_div_ps(_mm512_loadu_ps(e + j), d));
  if (j < n) {
    const __mmask16 rest = static_cast<__mmask16>((1u << (n - j)) - 1);
    _mm512_mask_storeu_ps(out + j, rest, _mm512_div_ps(_mm512_maskz_loadu_ps(rest, e + j), d));
  }
}

#endif  // CORVINA_FACE_NORMS_X86

}  // namespace

bool NormPathAvailable(TNormPath path) {
  switch (path) {
    case TNormPath::Portable:
      return true;
    case TNormPath::Avx2:
#ifdef CORVINA_FACE_NORMS_X86
      // The compiler's checks include the operating system's saving of the
      // wide registers.
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
      return false;
#endif
    case TNormPath::Avx512:
#ifdef CORVINA_FACE_NORMS_X86
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
      return false;
#endif
  }
  return false;
}

// AVX2 before AVX-512: the 512-bit path is faster on its own, but its heavy
// instructions lower the core's clock for the library calls around it, and
// Detect as a whole came out slower with it.
TNormPath BestNormPath() {
  static const TNormPath best = NormPathAvailable(TNormPath::Avx2)     ? TNormPath::Avx2
                                : NormPathAvailable(TNormPath::Avx512) ? TNormPath::Avx512
                                                                        : TNormPath::Portable;
  return best;
}

void NumpyNorms(TVectors vectors, std::span<float> norms, TNormPath path) {
  if (norms.size() < vectors.size()) throw std::invalid_argument("NumpyNorms: fewer norms than vectors");
  if (!NormPathAvailable(path)) throw std::invalid_argument("NumpyNorms: the processor lacks this path");
  for (const auto& v : vectors)
    if (v.empty()) throw System::Sysutils::Exception(u"Input array must not be empty");
  // Passes of at most kMaxLanes vectors, split evenly so that no pass is
  // left with a handful of latency-bound lanes.
  const std::size_t passes = (vectors.size() + kMaxLanes - 1) / kMaxLanes;
  for (std::size_t first = 0, pass = 0; first < vectors.size(); ++pass) {
    const std::size_t lanes = (vectors.size() - first + (passes - pass) - 1) / (passes - pass);
    const std::span<const float>* v = vectors.data() + first;
    std::size_t common = v[0].size();
    for (std::size_t k = 1; k < lanes; ++k) common = std::min(common, v[k].size());
    float sums[kMaxLanes] = {};
    std::size_t done = 0;
#ifdef CORVINA_FACE_NORMS_X86
    if (path == TNormPath::Avx512 || path == TNormPath::Avx2) {
      done = common - common % kGroup;
      (path == TNormPath::Avx512 ? Avx512SumsOf : Avx2SumsOf)(v, lanes, done, sums);
    }
#endif
    if (path == TNormPath::Portable) {
      done = common;
      PortableSums(v, lanes, done, sums);
    }
    for (std::size_t k = 0; k < lanes; ++k) {
      float sum = sums[k];
      for (std::size_t j = done; j < v[k].size(); ++j) sum = Step(sum, v[k][j]);
      norms[first + k] = static_cast<float>(std::sqrt(static_cast<double>(sum)));
    }
    first += lanes;
  }
}

// The division runs in single precision: for floats a and b, the double
// quotient rounded to single is the single quotient. A quotient of two
// 24-bit numbers that is not exactly halfway between two floats lies further
// from every such point than double's rounding error (2^-53 relative) can
// carry it, and one that is exactly halfway is a double already.
void Normalise(std::span<const float> e, float norm, float* out, TNormPath path) {
  if (!NormPathAvailable(path)) throw std::invalid_argument("Normalise: the processor lacks this path");
  if (norm == 0) {
    std::fill(out, out + e.size(), 0.0f);
    return;
  }
#ifdef CORVINA_FACE_NORMS_X86
  if (path == TNormPath::Avx512) return Avx512Normalise(e.data(), e.size(), norm, out);
  if (path == TNormPath::Avx2) return Avx2Normalise(e.data(), e.size(), norm, out);
#endif
  for (std::size_t j = 0; j < e.size(); ++j) out[j] = e[j] / norm;
}

}  // namespace Face::Fmx::Batch
