// The norms and quotients of many vectors at once, on every path this
// processor offers, against NumpyNorm and the division in double rounded to
// single, bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "face/face.h"
#include "face/face_norms.h"
#include "tests/support/test_support.h"
#include "tests/support/vector_state.h"

using namespace Face::Fmx;
using Batch::TNormPath;
using Corvina::Testing::MessageOf;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kDenormMin = std::numeric_limits<float>::denorm_min();

std::vector<TNormPath> Paths() {
  std::vector<TNormPath> paths;
  for (TNormPath p : {TNormPath::Portable, TNormPath::Avx2})
    if (Batch::NormPathAvailable(p)) paths.push_back(p);
  return paths;
}

const char* Name(TNormPath p) { return p == TNormPath::Portable ? "portable" : "avx2"; }

std::uint32_t Bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// The quotient as Detect's description gives it.
float DoubleQuotient(float a, float b) {
  return static_cast<float>(static_cast<double>(a) / static_cast<double>(b));
}

// Values whose squares and sums exercise each rounding: ordinary ones of
// every sign and scale, zeros, denormals, values whose squares overflow
// single precision, NaN, and mixtures that make each step round.
enum class TKind { Ordinary, Zeros, Denormals, Huge, WithNaN, Mixed };

std::vector<float> VectorOf(TKind kind, std::size_t length, std::mt19937& rng) {
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-60, 60);
  std::vector<float> v(length);
  for (std::size_t j = 0; j < length; ++j) {
    switch (kind) {
      case TKind::Ordinary: v[j] = unit(rng) * 3.0f; break;
      case TKind::Zeros: v[j] = (j % 3 == 0) ? -0.0f : 0.0f; break;
      case TKind::Denormals: v[j] = kDenormMin * static_cast<float>(rng() % 5000) * (j % 2 ? -1.0f : 1.0f); break;
      case TKind::Huge: v[j] = (j % 5 == 4) ? 3e19f : unit(rng) * 1e18f; break;  // (3e19)^2 > FLT_MAX
      case TKind::WithNaN: v[j] = (j == length / 2) ? kNaN : unit(rng); break;
      case TKind::Mixed: v[j] = std::ldexp(unit(rng), exponent(rng)); break;
    }
  }
  return v;
}

// ---------------------------------------------------------------- norms

TEST(NumpyNorms, EqualNumpyNormBitForBitForEveryLengthKindAndFaceCount) {
  const std::size_t lengths[] = {1, 2, 7, 8, 9, 15, 16, 17, 31, 33, 512, 513};
  const TKind kinds[] = {TKind::Ordinary, TKind::Zeros, TKind::Denormals, TKind::Huge, TKind::WithNaN, TKind::Mixed};
  for (TNormPath path : Paths()) {
    std::mt19937 rng(7);
    for (std::size_t count = 1; count <= 70; ++count) {
      // Every vector its own kind and, for most counts, one common length;
      // every third count mixes the lengths within the call.
      std::vector<std::vector<float>> data;
      for (std::size_t k = 0; k < count; ++k) {
        const std::size_t length = lengths[(count % 3 == 0 ? count + k : count) % std::size(lengths)];
        data.push_back(VectorOf(kinds[(count + k) % std::size(kinds)], length, rng));
      }
      std::vector<std::span<const float>> spans(data.begin(), data.end());
      std::vector<float> norms(count, -1.0f);
      Batch::NumpyNorms(spans, norms, path);
      for (std::size_t k = 0; k < count; ++k) {
        const float expected = NumpyNorm(data[k]);
        ASSERT_EQ(Bits(norms[k]), Bits(expected))
            << Name(path) << ": vector " << k << " of " << count << ", length " << data[k].size() << ": "
            << norms[k] << " instead of " << expected;
      }
    }
  }
}

// Sums that overflow become infinity and stay there; a NaN anywhere wins;
// a denormal's square vanishes; each step rounds to single (2^24 + 1 + 1
// stays 2^24 in single, but becomes 2^24 + 2 in a double sum).
TEST(NumpyNorms, SpecialValuesGiveNumpyNormsAnswerInEveryLane) {
  const std::vector<std::vector<float>> cases = {
      {3, 4},
      {0, 0, 0, 0, 0, 0, 0, 0, 0},
      {kDenormMin, kDenormMin},
      {2e19f, 1, 1, 1, 1, 1, 1, 1},
      {kInf, 1},
      {1, 2, kNaN, 3, 4, 5, 6, 7, 8},
      {4096, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
      {1e-20f, 1e-20f, 1e-20f, 1e-20f, 1e-20f, 1e-20f, 1e-20f, 1e-20f},
      // 4097^2 = 16785409 lies halfway between two floats: 2^-40 more is lost
      // in the double sum, which then rounds to even (16785408), where a
      // single fused rounding would give 16785410; the 3 keeps the
      // difference visible in the root.
      {0x1p-20f, 4097, 3},
      {0, 0, 0, 0, 0, 0, 0x1p-20f, 4097, 3, 0, 0, 0, 0, 0, 0, 0},
      {0, 0, 0, 0, 0, 0, 0, 0, 0x1p-20f, 4097, 1, 0, 0, 0, 0, 0},
  };
  for (TNormPath path : Paths()) {
    // Each case in every lane of a 9-vector call (one full group and one more).
    for (std::size_t c = 0; c < cases.size(); ++c) {
      std::vector<std::span<const float>> spans;
      for (std::size_t k = 0; k < 9; ++k) spans.emplace_back(k % 2 ? cases[c] : cases[(c + k) % cases.size()]);
      std::vector<float> norms(spans.size());
      Batch::NumpyNorms(spans, norms, path);
      for (std::size_t k = 0; k < spans.size(); ++k)
        EXPECT_EQ(Bits(norms[k]), Bits(NumpyNorm(std::vector<float>(spans[k].begin(), spans[k].end()))))
            << Name(path) << ": case " << c << ", lane " << k;
    }
  }
  EXPECT_EQ(NumpyNorm({3, 4}), 5.0f);
  EXPECT_EQ(NumpyNorm({2e19f, 1}), kInf);
  EXPECT_EQ(NumpyNorm({4096, 1, 1}), 4096.0f);  // 2^24 + 1 rounds to 2^24 at each step
  EXPECT_EQ(NumpyNorm({0x1p-20f, 4097, 1}), 4097.0f);  // fused roundings would give 4097.0005
}

TEST(NumpyNorms, RefusesEmptyVectorsShortOutputAndMissingPathsBeforeWriting) {
  const std::vector<float> one = {1};
  const std::vector<float> none;
  for (TNormPath path : Paths()) {
    std::vector<float> norms = {-1, -1};
    const std::vector<std::span<const float>> withEmpty = {one, none};
    EXPECT_EQ(MessageOf([&] { Batch::NumpyNorms(withEmpty, norms, path); }), u"Input array must not be empty");
    EXPECT_EQ(norms, (std::vector<float>{-1, -1})) << Name(path);
    std::vector<float> shortNorms(1);
    const std::vector<std::span<const float>> two = {one, one};
    EXPECT_THROW(Batch::NumpyNorms(two, shortNorms, path), std::invalid_argument) << Name(path);
    Batch::NumpyNorms({}, std::span<float>(), path);  // nothing to do is no error
  }
  if (!Batch::NormPathAvailable(TNormPath::Avx2)) {
    std::vector<float> norms(1);
    const std::vector<std::span<const float>> single = {one};
    EXPECT_THROW(Batch::NumpyNorms(single, norms, TNormPath::Avx2), std::invalid_argument);
  }
  EXPECT_TRUE(Batch::NormPathAvailable(Batch::BestNormPath()));
}

// ---------------------------------------------------------------- quotients

void ExpectQuotients(TNormPath path, const std::vector<float>& e, float norm, const std::string& what) {
  std::vector<float> out(e.size() + 1, 12345.0f);  // the float past the end must stay
  Batch::Normalise(e, norm, out.data(), path);
  for (std::size_t j = 0; j < e.size(); ++j) {
    const float expected = norm == 0 ? 0.0f : DoubleQuotient(e[j], norm);
    ASSERT_EQ(Bits(out[j]), Bits(expected)) << Name(path) << ": " << what << ", element " << j << ": " << e[j]
                                            << " / " << norm << " gave " << out[j] << " instead of " << expected;
  }
  ASSERT_EQ(out.back(), 12345.0f) << Name(path) << ": " << what << " wrote past the end";
}

TEST(Normalise, EqualsTheDoubleQuotientRoundedToSingleForEveryLengthAndScale) {
  for (TNormPath path : Paths()) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> unit(0.5f, 1.0f);
    std::uniform_int_distribution<int> exponent(-149, 127);
    for (std::size_t length = 1; length <= 70; ++length) {
      std::vector<float> e(length);
      for (float& x : e) x = std::ldexp(unit(rng), exponent(rng)) * (rng() % 2 ? 1.0f : -1.0f);
      const float norm = std::ldexp(unit(rng), exponent(rng));
      ExpectQuotients(path, e, norm, "length " + std::to_string(length));
    }
    // Many quotients near the bottom of the normal range and below it,
    // where halfway points between floats can be met exactly.
    for (int round = 0; round < 2000; ++round) {
      std::vector<float> e(64);
      const float norm = std::ldexp(unit(rng), exponent(rng) / 2 + 40);
      for (float& x : e) x = static_cast<float>(std::ldexp(static_cast<double>(unit(rng)) * norm, -(rng() % 30) - 120));
      ExpectQuotients(path, e, norm, "small quotients, round " + std::to_string(round));
    }
  }
}

TEST(Normalise, SpecialDividendsAndDivisors) {
  const struct {
    const char* name;
    std::vector<float> e;
    float norm;
  } cases[] = {
      {"3-4 by 5", {3, 4}, 5},
      {"norm 0 gives zeros, not NaN", {0, 0, 0}, 0},
      {"norm 0 of signed zeros", {-0.0f, 0.0f}, 0},
      {"halfway below the normal range: 15*2^-100 / (5*2^50) = 3*2^-150",
       std::vector<float>(33, std::ldexp(15.0f, -100)), std::ldexp(5.0f, 50)},
      // (49 * 131071) / 49 and (103 * 65535) / 103 scaled to odd multiples of
      // 2^-150: exactly halfway, where a product with the reciprocal of 49 or
      // 103 in double would land just beside.
      {"halfway below the normal range, 49", std::vector<float>(64, std::ldexp(49.0f * 131071, -100)),
       std::ldexp(49.0f, 50)},
      {"halfway below the normal range, 103", std::vector<float>(64, std::ldexp(103.0f * 65535, -100)),
       std::ldexp(103.0f, 50)},
      {"denormal dividends", std::vector<float>(40, kDenormMin * 3), 0.75f},
      {"denormal divisor", {1e-40f, 1e-42f, kDenormMin, 1, -1}, kDenormMin * 7},
      {"quotients overflow", std::vector<float>(20, 3e38f), 0.5f},
      {"infinite divisor", {1, -1, kInf, 0}, kInf},
      {"infinite and NaN dividends", {kInf, -kInf, kNaN, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}, 3},
      {"NaN divisor", std::vector<float>(17, 2), kNaN},
      {"signed zeros", {-0.0f, 0.0f, -0.0f}, 2},
  };
  for (TNormPath path : Paths())
    for (const auto& c : cases) ExpectQuotients(path, c.e, c.norm, c.name);
}

// The single-precision division equals the double one rounded to single:
// every dividend of one binade for a few divisors, both signs of exponent.
TEST(Normalise, EveryDividendOfABinade) {
  std::vector<float> e;
  for (std::uint32_t m = 0; m < (1u << 23); ++m) e.push_back(std::bit_cast<float>(0x3F800000u | m));  // [1, 2)
  for (TNormPath path : Paths())
    for (const float norm : {3.0f, 0.1f, 1.9999999f, 1e30f})
      ExpectQuotients(path, e, norm, "divisor " + std::to_string(norm));
}

}  // namespace

// Wide-register state left behind slows every legacy SSE instruction after
// it, in the caller's code too.
TEST(NumpyNorms, TheAvx2PathLeavesTheUpperVectorHalvesClear) {
  using namespace Corvina::Testing;
  if (!UpperVectorHalvesInUse().has_value()) GTEST_SKIP() << "the processor cannot tell";
  if (!Batch::NormPathAvailable(TNormPath::Avx2)) GTEST_SKIP() << "no AVX2";
  for (const std::size_t faces : {std::size_t(1), std::size_t(9), std::size_t(70)}) {
    std::vector<std::vector<float>> vectors(faces, std::vector<float>(517, 0.25f));
    std::vector<std::span<const float>> spans(vectors.begin(), vectors.end());
    std::vector<float> norms(faces), out(517);
    ClearUpperVectorHalves();
    Batch::NumpyNorms(spans, norms, TNormPath::Avx2);
    EXPECT_EQ(UpperVectorHalvesInUse(), std::optional<bool>(false)) << "norms of " << faces;
    ClearUpperVectorHalves();
    Batch::Normalise(vectors[0], norms[0], out.data(), TNormPath::Avx2);
    EXPECT_EQ(UpperVectorHalvesInUse(), std::optional<bool>(false)) << "normalising";
  }
}
