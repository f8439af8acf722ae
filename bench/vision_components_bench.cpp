// What the vision components add around a library call, measured against an
// instant library (the recording fake with recording off and its results
// scripted, so it returns at once) and compared with one memcpy of the image
// in the same run.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/fakes/sam2_fake.h"
#include "vision/anything_fmx.h"
#include "vision/remove_anything.h"
#include "vision/sam.h"

using Fmx::Graphics::TBitmap;

namespace {

const std::string kFakes = CORVINA_SAM2_FAKES_DIR;

// Loads the fake once, with a model file that exists.
struct TInstantLibrary {
  TInstantLibrary() {
    Anything::Fmx::ANY_DLL_PATH = System::UTF8ToString(kFakes + "sam2/");
    Anything::Fmx::LoadAnyLibs();
    Fake = std::make_unique<Corvina::Fake::TFakeSam2>(kFakes + "sam2/libsam2.so");
    Fake->Reset();
    Fake->SetRecording(false);
    std::ofstream(ModelPath()) << "model";
  }
  static std::string ModelPath() { return "/tmp/corvina-vision-bench.model"; }
  std::unique_ptr<Corvina::Fake::TFakeSam2> Fake;
};

TInstantLibrary& Library() {
  static TInstantLibrary library;
  return library;
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);
}

void SetBytes(benchmark::State& state, std::int64_t w, std::int64_t h) {
  state.SetBytesProcessed(state.iterations() * w * h * 4);
}

void BM_Memcpy(benchmark::State& state) {
  const auto w = state.range(0), h = state.range(1);
  std::vector<std::uint8_t> src(w * h * 4, 7), dst(w * h * 4);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  SetBytes(state, w, h);
}
BENCHMARK(BM_Memcpy)->Apply(Sizes);

void BM_LoadImageGetPointMask(benchmark::State& state) {
  const auto w = state.range(0), h = state.range(1);
  Library().Fake->SetBuffer("sam_get_point_mask", std::vector<std::uint8_t>(w * h, 200));
  Anything::Fmx::TFMXSam sam(nullptr);
  sam.SetEncoderModel(System::UTF8ToString(TInstantLibrary::ModelPath()));
  sam.SetDecoderModel(System::UTF8ToString(TInstantLibrary::ModelPath()));
  sam.SetActive(true);
  TBitmap image(static_cast<std::int32_t>(w), static_cast<std::int32_t>(h));
  for (auto _ : state) {
    sam.LoadImage(&image);
    benchmark::DoNotOptimize(sam.GetPointMask());
  }
  SetBytes(state, w, h);
}
BENCHMARK(BM_LoadImageGetPointMask)->Apply(Sizes);

void BM_RemoveAnything(benchmark::State& state) {
  const auto w = state.range(0), h = state.range(1);
  Library().Fake->SetBuffer("lama_execute", std::vector<std::uint8_t>(w * h * 3, 90));
  Anything::Fmx::TFMXRemoveAnything remover(nullptr);
  remover.SetModel(System::UTF8ToString(TInstantLibrary::ModelPath()));
  remover.SetActive(true);
  TBitmap image(static_cast<std::int32_t>(w), static_cast<std::int32_t>(h));
  TBitmap mask(static_cast<std::int32_t>(w), static_cast<std::int32_t>(h));
  for (auto _ : state) benchmark::DoNotOptimize(remover.RemoveAnything(&image, &mask));
  SetBytes(state, w, h);
}
BENCHMARK(BM_RemoveAnything)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
