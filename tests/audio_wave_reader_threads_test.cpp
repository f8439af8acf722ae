// Readers and writers share no process-wide state: two of each may work on
// different threads at once. Run under ThreadSanitizer (label "threads").
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/wave_reader.h"
#include "framework/streams.h"

using namespace Audio::Wave::Reader;
using Bytes = std::string;

namespace {

Bytes U32(std::uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }

Bytes Chunk(const char* code, const Bytes& payload) {
  return Bytes(code, 4) + U32(static_cast<std::uint32_t>(payload.size())) + payload + Bytes(payload.size() % 2, '\0');
}

// Many skipped chunks of growing size: the path that once went through a
// shared scratch buffer.
Bytes FileWithManyOtherChunks(char fill) {
  Bytes chunks = Chunk("fmt ", Bytes("\x01\0\x01\0\x40\x1F\0\0\x40\x1F\0\0\x01\0\x08\0", 16));
  for (int i = 1; i <= 200; ++i) chunks += Chunk("LIST", Bytes(static_cast<size_t>(i) * 37, fill));
  chunks += Chunk("data", Bytes(5000, fill));
  return "RIFF" + U32(static_cast<std::uint32_t>(chunks.size() + 4)) + "WAVE" + chunks;
}

}  // namespace

TEST(WaveReaderThreads, TwoReadersBuiltAtOnceOnDifferentThreadsAgree) {
  const Bytes first = FileWithManyOtherChunks('a');
  const Bytes second = FileWithManyOtherChunks('b');
  std::atomic<int> good{0};
  const auto work = [&good](const Bytes& bytes, char fill) {
    for (int round = 0; round < 20; ++round) {
      TWaveReader reader(std::make_unique<System::Classes::TPointerStream>(bytes.data(), bytes.size()));
      const TDataChunk* data = reader.DataChunk();
      if (reader.Count() == 200 && data->SampleCount() == 5000 &&
          Bytes(reinterpret_cast<const char*>(data->ChannelData(0)), 5000) == Bytes(5000, fill)) {
        ++good;
      }
    }
  };
  std::thread a(work, std::cref(first), 'a');
  std::thread b(work, std::cref(second), 'b');
  a.join();
  b.join();
  EXPECT_EQ(good.load(), 40);
}

TEST(WaveReaderThreads, TwoWritersWriteDifferentFilesAtOnce) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path();
  const std::string stem = "corvina-threads-" + std::to_string(::getpid());
  const std::vector<float> samples(20000, 0.25f);
  const auto work = [&](int index) {
    const std::string name = (dir / (stem + "-" + std::to_string(index) + ".wav")).string();
    for (int round = 0; round < 10; ++round) {
      TWaveWriter(8000, 2, index == 0 ? 32 : 16).WriteFloatData(samples, System::UTF8ToString(name));
    }
  };
  std::thread a(work, 0);
  std::thread b(work, 1);
  a.join();
  b.join();
  for (int index = 0; index < 2; ++index) {
    const std::filesystem::path name = dir / (stem + "-" + std::to_string(index) + ".wav");
    {
      TWaveReader reader(System::UTF8ToString(name.string()));
      EXPECT_EQ(reader.DataChunk()->SampleCount(), 10000);
    }
    std::filesystem::remove(name);  // closed first: Windows removes no open file
  }
}
