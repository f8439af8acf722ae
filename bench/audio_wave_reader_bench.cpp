// Reading 200 MB WAV files into per-channel buffers: TWaveReader against
// libsndfile (sf_read_raw plus a plain deinterleave, once into one buffer
// and once block by block) and against a raw read() of the same bytes.
// Every contender delivers into freshly allocated memory, as a caller would
// get it. Counters: peak_over_data_MB is the peak resident memory a read
// adds beyond the sample data itself.
#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "audio/wave_reader.h"

namespace {

struct TLayout {
  const char* name;
  int channels;
  int width;  // bytes per sample
};

constexpr TLayout kLayouts[] = {{"s16_stereo", 2, 2}, {"s24_6ch", 6, 3}};
constexpr std::int64_t kDataBytes = 200'000'000;

// One generated file per layout, removed when the program ends.
class TBenchFile {
 public:
  explicit TBenchFile(const TLayout& layout) : Layout(layout) {
    Path = "/tmp/corvina-bench-" + std::to_string(::getpid()) + "-" + layout.name + ".wav";
    const std::int64_t frameBytes = std::int64_t{layout.channels} * layout.width;
    DataBytes = kDataBytes / frameBytes * frameBytes;
    std::ofstream out(Path, std::ios::binary);
    const auto put = [&out](std::uint32_t v, int bytes) {
      for (int i = 0; i < bytes; ++i) out.put(static_cast<char>(v >> (8 * i)));
    };
    out.write("RIFF", 4);
    put(static_cast<std::uint32_t>(DataBytes + 36), 4);
    out.write("WAVEfmt ", 8);
    put(16, 4);
    put(1, 2);
    put(static_cast<std::uint32_t>(layout.channels), 2);
    put(48000, 4);
    put(static_cast<std::uint32_t>(48000 * frameBytes), 4);
    put(static_cast<std::uint32_t>(frameBytes), 2);
    put(static_cast<std::uint32_t>(layout.width * 8), 2);
    out.write("data", 4);
    put(static_cast<std::uint32_t>(DataBytes), 4);
    std::vector<char> block(1 << 20);
    std::uint32_t state = 12345;
    for (std::int64_t done = 0; done < DataBytes; done += static_cast<std::int64_t>(block.size())) {
      for (char& c : block) c = static_cast<char>((state = state * 1664525u + 1013904223u) >> 24);
      out.write(block.data(), static_cast<std::streamsize>(std::min<std::int64_t>(block.size(), DataBytes - done)));
    }
  }
  ~TBenchFile() { std::remove(Path.c_str()); }

  const TLayout& Layout;
  std::string Path;
  std::int64_t DataBytes = 0;
};

TBenchFile& FileFor(int index) {
  static std::unique_ptr<TBenchFile> files[std::size(kLayouts)];
  if (!files[index]) files[index] = std::make_unique<TBenchFile>(kLayouts[index]);
  return *files[index];
}

// Peak resident memory since the last reset, against the resident memory at
// that reset (Linux: writing 5 to clear_refs restarts the high-water mark).
class TPeakMemory {
 public:
  TPeakMemory() {
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
      std::fputs("5", f);
      std::fclose(f);
    }
    FBase = Status("VmRSS:");
  }
  std::int64_t PeakAboveStart() const { return Status("VmHWM:") - FBase; }

 private:
  static std::int64_t Status(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string word;
    while (in >> word) {
      if (word == key) {
        std::int64_t kb = 0;
        in >> kb;
        return kb * 1024;
      }
    }
    return 0;
  }
  std::int64_t FBase;
};

using TChannels = std::vector<std::unique_ptr<std::uint8_t[]>>;

TChannels AllocateChannels(const TLayout& layout, std::int64_t frames) {
  TChannels channels(layout.channels);
  for (auto& c : channels) c = std::make_unique_for_overwrite<std::uint8_t[]>(frames * layout.width);
  return channels;
}

// The plain loop a caller writes: one memcpy of the sample width per sample.
void Deinterleave(const std::uint8_t* in, std::int64_t frames, const TLayout& layout, TChannels& out,
                  std::int64_t firstFrame) {
  for (std::int64_t k = 0; k < frames; ++k) {
    for (int c = 0; c < layout.channels; ++c) {
      std::memcpy(out[c].get() + (firstFrame + k) * layout.width, in + (k * layout.channels + c) * layout.width,
                  layout.width);
    }
  }
}

void Finish(benchmark::State& state, const TBenchFile& file, std::int64_t peak) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * file.DataBytes);
  state.counters["peak_over_data_MB"] = static_cast<double>(peak - file.DataBytes) / (1 << 20);
}

void BM_WaveReader(benchmark::State& state, int layoutIndex) {
  const TBenchFile& file = FileFor(layoutIndex);
  const System::String path = System::UTF8ToString(file.Path);
  std::int64_t peak = 0;
  for (auto _ : state) {
    TPeakMemory memory;
    Audio::Wave::Reader::TWaveReader reader(path);
    benchmark::DoNotOptimize(reader.DataChunk()->ChannelData(0));
    peak = std::max(peak, memory.PeakAboveStart());
  }
  Finish(state, file, peak);
}

void BM_SndfileWholeDeinterleave(benchmark::State& state, int layoutIndex) {
  const TBenchFile& file = FileFor(layoutIndex);
  const TLayout& layout = file.Layout;
  std::int64_t peak = 0;
  for (auto _ : state) {
    TPeakMemory memory;
    SF_INFO info{};
    SNDFILE* sf = sf_open(file.Path.c_str(), SFM_READ, &info);
    const std::int64_t bytes = info.frames * layout.channels * layout.width;
    auto raw = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
    sf_read_raw(sf, raw.get(), bytes);
    sf_close(sf);
    TChannels channels = AllocateChannels(layout, info.frames);
    Deinterleave(raw.get(), info.frames, layout, channels, 0);
    benchmark::DoNotOptimize(channels[0].get());
    peak = std::max(peak, memory.PeakAboveStart());
  }
  Finish(state, file, peak);
}

void BM_SndfileBlockDeinterleave(benchmark::State& state, int layoutIndex) {
  const TBenchFile& file = FileFor(layoutIndex);
  const TLayout& layout = file.Layout;
  const std::int64_t frameBytes = std::int64_t{layout.channels} * layout.width;
  const std::int64_t blockFrames = (256 * 1024) / frameBytes;
  std::int64_t peak = 0;
  for (auto _ : state) {
    TPeakMemory memory;
    SF_INFO info{};
    SNDFILE* sf = sf_open(file.Path.c_str(), SFM_READ, &info);
    TChannels channels = AllocateChannels(layout, info.frames);
    auto block = std::make_unique_for_overwrite<std::uint8_t[]>(blockFrames * frameBytes);
    for (std::int64_t done = 0; done < info.frames; done += blockFrames) {
      const std::int64_t n = std::min(blockFrames, info.frames - done);
      sf_read_raw(sf, block.get(), n * frameBytes);
      Deinterleave(block.get(), n, layout, channels, done);
    }
    sf_close(sf);
    benchmark::DoNotOptimize(channels[0].get());
    peak = std::max(peak, memory.PeakAboveStart());
  }
  Finish(state, file, peak);
}

void BM_RawRead(benchmark::State& state, int layoutIndex) {
  const TBenchFile& file = FileFor(layoutIndex);
  std::int64_t peak = 0;
  for (auto _ : state) {
    TPeakMemory memory;
    const int fd = ::open(file.Path.c_str(), O_RDONLY | O_CLOEXEC);
    auto raw = std::make_unique_for_overwrite<std::uint8_t[]>(file.DataBytes);
    ::lseek(fd, 44, SEEK_SET);
    for (std::int64_t done = 0; done < file.DataBytes;) {
      const ssize_t got = ::read(fd, raw.get() + done, file.DataBytes - done);
      if (got <= 0) break;
      done += got;
    }
    ::close(fd);
    benchmark::DoNotOptimize(raw.get());
    peak = std::max(peak, memory.PeakAboveStart());
  }
  Finish(state, file, peak);
}

// Each layout's file is generated on first use.
#define CORVINA_LAYOUTS(fn)                                                                            \
  BENCHMARK_CAPTURE(fn, s16_stereo, 0)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime(); \
  BENCHMARK_CAPTURE(fn, s24_6ch, 1)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime()

CORVINA_LAYOUTS(BM_WaveReader);
CORVINA_LAYOUTS(BM_SndfileWholeDeinterleave);
CORVINA_LAYOUTS(BM_SndfileBlockDeinterleave);
CORVINA_LAYOUTS(BM_RawRead);

}  // namespace

BENCHMARK_MAIN();
