// What TFMXFaceDetector adds around the library: Detect on an instant fake
// that reports 50 faces with 512-float feature vectors, against the same
// library calls made directly with a bare copy of each record and vector,
// and against those calls plus a plain normalisation loop (what a caller
// producing the same vectors by hand would write, without the specified
// single-precision accumulation).
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "face/face_detector.h"
#include "face/face_norms.h"
#include "framework/graphics.h"
#include "tests/fakes/sam2_fake.h"
#include "vision/anything_fmx.h"

namespace {

using Anything::TBBox;
using Face::Fmx::TFMXFaceDetector;
using Fmx::Graphics::TBitmap;

constexpr int kFaces = 50;
constexpr int kFeature = 512;

// The fake, loaded once, scripted for 50 faces and not recording.
const Corvina::Fake::TFakeSam2& Fake() {
  static const auto fake = [] {
    Anything::Fmx::ANY_DLL_PATH = System::UTF8ToString(std::string(CORVINA_SAM2_FAKES_DIR) + "sam2/");
    Anything::Fmx::LoadAnyLibs();
    auto f = std::make_unique<Corvina::Fake::TFakeSam2>(std::string(CORVINA_SAM2_FAKES_DIR) + "sam2/libsam2.so");
    f->Reset();
    f->SetRecording(false);
    std::vector<TBBox> faces(kFaces);
    for (int i = 0; i < kFaces; ++i) faces[i] = TBBox{static_cast<float>(i), 1, 2, 3, 0.9f, {}, {}, {}, {}};
    f->SetFaces(faces);
    std::vector<float> feature(kFeature);
    for (int i = 0; i < kFeature; ++i) feature[i] = static_cast<float>(i % 7) - 3;
    f->SetFeature(feature);
    return f;
  }();
  return *fake;
}

const std::string& ModelFile() {
  static const std::string path = [] {
    const std::string p = "/tmp/corvina-face-bench.model";
    std::FILE* f = std::fopen(p.c_str(), "w");
    if (f) std::fclose(f);
    return p;
  }();
  return path;
}

void BM_Detect(benchmark::State& state) {
  Fake();
  TFMXFaceDetector detector(nullptr);
  const System::String model = System::UTF8ToString(ModelFile());
  detector.SetModel(model);
  detector.SetLandmarkModel(model);
  detector.SetFeatureModel(model);
  detector.SetActive(true);
  TBitmap image(64, 64);
  for (auto _ : state) benchmark::DoNotOptimize(detector.Detect(&image).Count());
  state.SetItemsProcessed(state.iterations() * kFaces);
}

// The peers: the same two entry points per face, each record and vector
// copied into plain storage, nothing else; and the same with a plain
// normalisation loop over each vector.
template <bool Normalise>
void DirectCalls(benchmark::State& state) {
  Fake();
  void* ctx = Anything::face_detector_init("", "", "", -1, 0.5f, 0.4f);
  TBitmap image(64, 64);
  struct TPlain {
    TBBox Box;
    std::vector<float> Feature;
    std::vector<float> Normed;
  };
  std::vector<TPlain> out;
  for (auto _ : state) {
    Fmx::Graphics::TBitmapMapping map(image);
    std::int32_t count = 0;
    TBBox* boxes = nullptr;
    const auto& d = map.Data();
    Anything::face_detector_execute(ctx, d.Data, d.Width, d.Height, d.Pitch, &count, &boxes);
    out.clear();
    for (int i = 0; i < count; ++i) {
      std::int32_t n = 0;
      float* feature = nullptr;
      Anything::face_detector_landmark_5(ctx, d.Data, d.Width, d.Height, d.Pitch, &boxes[i], &n, &feature);
      TPlain p{boxes[i], std::vector<float>(feature, feature + n), {}};
      if constexpr (Normalise) {
        p.Normed.resize(static_cast<std::size_t>(n));
        float sum = 0;
        for (int j = 0; j < n; ++j) sum += feature[j] * feature[j];
        const float inv = sum > 0 ? 1.0f / std::sqrt(sum) : 0.0f;
        for (int j = 0; j < n; ++j) p.Normed[j] = feature[j] * inv;
      }
      out.push_back(std::move(p));
    }
    benchmark::DoNotOptimize(out.data());
  }
  Anything::face_detector_destroy(ctx);
  state.SetItemsProcessed(state.iterations() * kFaces);
}

void BM_DirectLibraryCalls(benchmark::State& state) { DirectCalls<false>(state); }
void BM_DirectCallsWithPlainNormalisation(benchmark::State& state) { DirectCalls<true>(state); }

// The two steps of Detect's normalisation on their own, for 50 vectors of
// 512 floats: the norms against NumpyNorm called per vector, and the
// quotients against a plain single-precision division loop.
struct TVectors {
  std::vector<std::vector<float>> Data;
  std::vector<std::span<const float>> Spans;
  std::vector<float> Norms;
  std::vector<float> Out;
  TVectors() : Data(kFaces, std::vector<float>(kFeature)), Norms(kFaces), Out(kFeature) {
    for (int i = 0; i < kFaces; ++i) {
      for (int j = 0; j < kFeature; ++j) Data[i][j] = std::sin(static_cast<float>(i * kFeature + j));
      Spans.emplace_back(Data[i]);
    }
  }
};

void BM_NumpyNormPerVector(benchmark::State& state) {
  TVectors v;
  for (auto _ : state) {
    for (int i = 0; i < kFaces; ++i) v.Norms[i] = Face::Fmx::NumpyNorm(v.Data[i]);
    benchmark::DoNotOptimize(v.Norms.data());
  }
  state.SetItemsProcessed(state.iterations() * kFaces);
}

void BM_NumpyNorms(benchmark::State& state) {
  const auto path = static_cast<Face::Fmx::Batch::TNormPath>(state.range(0));
  if (!Face::Fmx::Batch::NormPathAvailable(path)) return state.SkipWithError("the processor lacks this path");
  TVectors v;
  for (auto _ : state) {
    Face::Fmx::Batch::NumpyNorms(v.Spans, v.Norms, path);
    benchmark::DoNotOptimize(v.Norms.data());
  }
  state.SetItemsProcessed(state.iterations() * kFaces);
}

void BM_PlainDivision(benchmark::State& state) {
  TVectors v;
  for (auto _ : state) {
    for (int i = 0; i < kFaces; ++i) {
      const float norm = 1.0f + static_cast<float>(i);
      for (int j = 0; j < kFeature; ++j) v.Out[j] = v.Data[i][j] / norm;
      benchmark::DoNotOptimize(v.Out.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * kFaces);
}

void BM_Normalise(benchmark::State& state) {
  const auto path = static_cast<Face::Fmx::Batch::TNormPath>(state.range(0));
  if (!Face::Fmx::Batch::NormPathAvailable(path)) return state.SkipWithError("the processor lacks this path");
  TVectors v;
  for (auto _ : state) {
    for (int i = 0; i < kFaces; ++i) {
      Face::Fmx::Batch::Normalise(v.Spans[i], 1.0f + static_cast<float>(i), v.Out.data(), path);
      benchmark::DoNotOptimize(v.Out.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * kFaces);
}

// Arguments: the paths, Portable (0) and Avx2 (1).
BENCHMARK(BM_NumpyNormPerVector);
BENCHMARK(BM_NumpyNorms)->Arg(0)->Arg(1);
BENCHMARK(BM_PlainDivision);
BENCHMARK(BM_Normalise)->Arg(0)->Arg(1);
BENCHMARK(BM_Detect);
BENCHMARK(BM_DirectLibraryCalls);
BENCHMARK(BM_DirectCallsWithPlainNormalisation);

}  // namespace

BENCHMARK_MAIN();
