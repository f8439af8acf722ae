// TFMXVoiceExtractor's own work: the BackgroundMusic subtraction over 10
// million samples against a plain vectorised float loop, and an extraction
// whose library reports progress 1000 times against the specified 10 ms
// sleep per report alone.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "face/voice_extractor.h"
#include "framework/threads.h"
#include "tests/fakes/sam2_fake.h"
#include "vision/anything_fmx.h"

namespace {

using Face::Fmx::TFMXVoiceExtractor;

constexpr size_t kSamples = 10'000'000;

struct TTracks {
  std::vector<float> Mix, Voice, Out;
  TTracks() : Mix(kSamples), Voice(kSamples), Out(kSamples) {
    for (size_t i = 0; i < kSamples; ++i) {
      Mix[i] = static_cast<float>(i % 1000) * 1e-3f - 0.5f;
      Voice[i] = static_cast<float>(i % 333) * 1e-3f - 0.16f;
    }
  }
};

TTracks& Tracks() {
  static TTracks tracks;
  return tracks;
}

void BM_SubtractVoice(benchmark::State& state) {
  auto& t = Tracks();
  for (auto _ : state) {
    Face::Fmx::SubtractVoice(t.Mix.data(), t.Voice.data(), t.Out.data(), kSamples);
    benchmark::DoNotOptimize(t.Out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSamples));
}

void BM_PlainFloatSubtraction(benchmark::State& state) {
  auto& t = Tracks();
  for (auto _ : state) {
    const float* a = t.Mix.data();
    const float* b = t.Voice.data();
    float* out = t.Out.data();
    for (size_t i = 0; i < kSamples; ++i) out[i] = a[i] - b[i];
    benchmark::DoNotOptimize(t.Out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSamples));
}

constexpr int kReports = 1000;

const Corvina::Fake::TFakeSam2& Fake() {
  static const auto fake = [] {
    Anything::Fmx::ANY_DLL_PATH = System::UTF8ToString(std::string(CORVINA_SAM2_FAKES_DIR) + "sam2/");
    Anything::Fmx::LoadAnyLibs();
    auto f = std::make_unique<Corvina::Fake::TFakeSam2>(std::string(CORVINA_SAM2_FAKES_DIR) + "sam2/libsam2.so");
    f->Reset();
    f->SetRecording(false);
    std::vector<std::int32_t> progress(kReports);
    for (int i = 0; i < kReports; ++i) progress[i] = i / 10;
    f->SetProgress(progress, true);
    return f;
  }();
  return *fake;
}

// One extraction with 1000 progress reports from a library thread, each
// delivered to a handler on this (main) thread.
void BM_ExtractWith1000Reports(benchmark::State& state) {
  Fake();
  const std::string model = "/tmp/corvina-voice-bench.model";
  if (std::FILE* f = std::fopen(model.c_str(), "w")) std::fclose(f);
  TFMXVoiceExtractor extractor(nullptr);
  extractor.SetModel(System::UTF8ToString(model));
  int delivered = 0;
  bool done = false;
  extractor.SetOnProgress([&](System::Classes::TComponent*, std::int32_t, bool d) {
    ++delivered;
    done = d;
  });
  extractor.SetActive(true);
  const std::vector<float> audio(4096, 0.25f);
  for (auto _ : state) {
    done = false;
    extractor.Extract(audio);
    while (!done) System::Classes::TThread::CheckSynchronize(100);
  }
  state.counters["events"] = static_cast<double>(delivered) / static_cast<double>(state.iterations());
}

// The peer: the 10 ms sleep the component makes after each report, alone.
void BM_SpecifiedSleepOnly(benchmark::State& state) {
  for (auto _ : state)
    for (int i = 0; i < kReports; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

BENCHMARK(BM_SubtractVoice)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainFloatSubtraction)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExtractWith1000Reports)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_SpecifiedSleepOnly)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
