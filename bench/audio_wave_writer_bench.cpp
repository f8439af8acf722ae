// Writing 100 M float samples (400 MB) as a WAV file: TWaveWriter against a
// raw open/write/close of the same header and bytes. The target is removed
// before each round, outside the timing, so both write a new file.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/wave_reader.h"

namespace {

constexpr size_t kSamples = 100'000'000;

const std::vector<float>& Samples() {
  static const std::vector<float> samples = [] {
    std::vector<float> v(kSamples);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(static_cast<int>(i % 2001) - 1000) / 1000.0f;
    return v;
  }();
  return samples;
}

std::string TargetPath() { return "/tmp/corvina-bench-writer-" + std::to_string(::getpid()) + ".wav"; }

void BM_WaveWriter(benchmark::State& state, int bits) {
  const std::vector<float>& samples = Samples();
  const std::string path = TargetPath();
  const System::String name = System::UTF8ToString(path);
  const Audio::Wave::Reader::TWaveWriter writer(48000, 2, static_cast<std::uint16_t>(bits));
  for (auto _ : state) {
    state.PauseTiming();
    std::remove(path.c_str());
    state.ResumeTiming();
    writer.WriteFloatData(samples, name);
  }
  std::remove(path.c_str());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * samples.size() * sizeof(float)));
}

void BM_RawWrite(benchmark::State& state) {
  const std::vector<float>& samples = Samples();
  const std::string path = TargetPath();
  char header[44] = "RIFF";
  for (auto _ : state) {
    state.PauseTiming();
    std::remove(path.c_str());
    state.ResumeTiming();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    bool ok = ::write(fd, header, sizeof header) == sizeof header;
    const auto* bytes = reinterpret_cast<const char*>(samples.data());
    const size_t total = samples.size() * sizeof(float);
    for (size_t done = 0; ok && done < total;) {
      const ssize_t put = ::write(fd, bytes + done, total - done);
      ok = put > 0;
      done += ok ? static_cast<size_t>(put) : 0;
    }
    ::close(fd);
    if (!ok) state.SkipWithError("write failed");
  }
  std::remove(path.c_str());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * samples.size() * sizeof(float)));
}

BENCHMARK_CAPTURE(BM_WaveWriter, float32, 32)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_RawWrite)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
// The integer path converts every sample; shown for scale, no target.
BENCHMARK_CAPTURE(BM_WaveWriter, pcm16, 16)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
