// Feeds arbitrary bytes to TWaveReader through a memory stream and touches
// everything a reader exposes, so that AddressSanitizer sees every buffer
// end. Raised exceptions are the reader's answer to damaged input; a crash,
// a leak or a broken invariant is a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "audio/wave_reader.h"
#include "framework/exceptions.h"
#include "framework/log.h"
#include "framework/streams.h"

using namespace Audio::Wave::Reader;

namespace {

volatile std::uint64_t gSink;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void TouchData(TDataChunk* data, size_t inputSize) {
  if (!data) return;
  const std::int64_t width = data->BitsPerSample() / 8;
  const std::int64_t bytes = std::int64_t{data->SampleCount()} * width;
  // Nothing may hold more than the input did.
  Check(bytes * data->NumberOfChannel() <= static_cast<std::int64_t>(inputSize));
  std::uint64_t sum = 0;
  for (int c = 0; c < data->NumberOfChannel(); ++c) {
    const std::uint8_t* channel = data->ChannelData(c);
    Check(channel != nullptr || bytes == 0);  // a list without samples has no buffers
    for (std::int64_t i = 0; i < bytes; ++i) sum += channel[i];
  }
  Check(data->ChannelData(data->NumberOfChannel()) == nullptr);

  std::uint8_t buffer[64];
  data->SetPossition(0);
  const std::int32_t first = data->ReadData(buffer, sizeof buffer);
  Check(first >= 0 && first <= static_cast<std::int32_t>(sizeof buffer));
  const std::int32_t tail = data->ReadData(buffer, std::max<std::int64_t>(data->Size() - 10, 0), sizeof buffer);
  Check(tail >= 0 && tail <= 10);
  Check(data->Eof() || data->Size() > 10);
  Check(data->ReadData(buffer, data->Size() + 1, sizeof buffer) == 0);
  gSink = sum + data->Possition();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Fmx::Types::Log::SetSink([](const System::String&) {});
  // Wave lists print a line per silence; keep the fuzzer's output readable.
  if (!std::freopen("/dev/null", "w", stdout)) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  try {
    TWaveReader reader(std::make_unique<System::Classes::TPointerStream>(data, static_cast<std::int64_t>(size)));
    std::uint64_t sum = reader.BitsPerSample() + reader.NumberOfChannel() + reader.SampleRate() +
                        reader.AverageSamplePerSecond() + reader.BlockAlign();
    for (const TCuePoint* point : reader.CuePoints()) sum += point->Identifier() + point->SampleOffset();
    Check(static_cast<size_t>(reader.CuePoints().Count()) * 24 <= size);
    TouchData(reader.DataChunk(), size);
    for (TChunk* chunk : reader) {
      if (auto* wavl = dynamic_cast<TWavlChunk*>(chunk)) TouchData(wavl->DataChunk.get(), size);
      if (auto* fact = dynamic_cast<TFactChunk*>(chunk)) Check(fact->BytesInChunk().size() <= size);
      sum += chunk->Identify().Int32;
    }
    gSink = sum;
  } catch (const System::Sysutils::Exception&) {
  }
  return 0;
}
