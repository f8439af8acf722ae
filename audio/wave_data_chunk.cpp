#include "audio/wave_data_chunk.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "audio/wave_messages.h"
#include "framework/exceptions.h"

namespace Audio::Wave::Reader {

using System::Classes::TBinaryReader;
using System::Sysutils::Exception;

namespace {

// About 256 KB of interleaved frames per stream read: few calls, and the
// block stays in the cache while it is split.
constexpr std::int64_t kBlockBytes = 256 * 1024;

// The format chunk stores the count in 16 bits.
constexpr std::int32_t kMaxChannels = 0xFFFF;

bool IsSampleWidth(std::int32_t bits) { return bits == 8 || bits == 16 || bits == 24 || bits == 32; }

// Copies frames of C interleaved samples, B bytes each, to C channel
// buffers. Known widths and channel counts become fixed-size copies the
// compiler turns into plain loads and stores.
template <int B, int C>
void SplitFixed(const std::uint8_t* in, std::int64_t frames, std::uint8_t* const* out, std::int64_t at) {
  std::uint8_t* dst[C];
  for (int c = 0; c < C; ++c) dst[c] = out[c] + at;
  for (std::int64_t k = 0; k < frames; ++k) {
    for (int c = 0; c < C; ++c) std::memcpy(dst[c] + k * B, in + (k * C + c) * B, B);
  }
}

template <int B>
void SplitAny(const std::uint8_t* in, std::int64_t frames, int channels, std::uint8_t* const* out, std::int64_t at) {
  const std::int64_t stride = std::int64_t{channels} * B;
  for (int c = 0; c < channels; ++c) {
    std::uint8_t* dst = out[c] + at;
    const std::uint8_t* src = in + c * B;
    for (std::int64_t k = 0; k < frames; ++k) std::memcpy(dst + k * B, src + k * stride, B);
  }
}

template <int B>
void Split(const std::uint8_t* in, std::int64_t frames, int channels, std::uint8_t* const* out, std::int64_t at) {
  switch (channels) {
    case 1: std::memcpy(out[0] + at, in, static_cast<size_t>(frames * B)); break;
    case 2: SplitFixed<B, 2>(in, frames, out, at); break;
    case 4: SplitFixed<B, 4>(in, frames, out, at); break;
    case 6: SplitFixed<B, 6>(in, frames, out, at); break;
    case 8: SplitFixed<B, 8>(in, frames, out, at); break;
    default: SplitAny<B>(in, frames, channels, out, at); break;
  }
}

void SplitFrames(int bytesPerSample, const std::uint8_t* in, std::int64_t frames, int channels,
                 std::uint8_t* const* out, std::int64_t at) {
  switch (bytesPerSample) {
    case 1: Split<1>(in, frames, channels, out, at); break;
    case 2: Split<2>(in, frames, channels, out, at); break;
    case 3: Split<3>(in, frames, channels, out, at); break;
    default: Split<4>(in, frames, channels, out, at); break;
  }
}

}  // namespace

TDataChunk::TDataChunk(TBinaryReader& IOStream, std::int32_t BitsPerSample, std::int32_t ChannelCount)
    : TChunk(nullptr, IOStream), FBitsPerSample(BitsPerSample), FChannelCount(ChannelCount) {
  FIdentify = kDataCode;
}

TDataChunk::~TDataChunk() = default;

bool TDataChunk::Read() {
  if (FChannelCount <= 0 || FChannelCount > kMaxChannels) throw Exception(Messages::kInvalidChannelCount);
  if (!IsSampleWidth(FBitsPerSample)) throw Exception(Messages::kInvalidBitsPerSample);
  TChunk::Read();
  auto& stream = FIOStream->BaseStream();
  FDataOffset = stream.Position();
  // A declared size is only a claim: what counts is what the file holds.
  const std::int64_t end = std::min(stream.Size(), FEndLimit);
  FSize = std::min(FSize, std::max<std::int64_t>(end - FDataOffset, 0));

  const std::int64_t frameBytes = std::int64_t{FChannelCount} * BytesPerSample();
  const std::int64_t frames = FSize / frameBytes;
  if (FSampleCount + frames > std::numeric_limits<std::int32_t>::max()) throw Exception(Messages::kInvalidDataSize);
  // A lone data chunk keeps buffers of Size div channels bytes; the bytes
  // past the last whole frame stay zero.
  const std::int64_t at = GrowChannels(frames, FSize / FChannelCount);
  ReadFrames(frames, at);
  FSampleCount += static_cast<std::int32_t>(frames);
  return true;
}

std::int64_t TDataChunk::GrowChannels(std::int64_t Frames, std::int64_t MinBytesPerChannel) {
  const std::int64_t used = std::int64_t{FSampleCount} * BytesPerSample();
  const std::int64_t written = used + Frames * BytesPerSample();
  const bool fresh = FChannelsData.empty();
  if (!fresh && written <= FChannelCapacity) return used;
  // A first load is sized exactly; appends grow geometrically, so a list of
  // many small pieces stays linear, but never past what the file could hold.
  const std::int64_t capacity = fresh ? std::max(written, MinBytesPerChannel)
                                      : std::max(written, std::min(FChannelCapacity * 2, MaxBytesPerChannel()));
  std::vector<std::unique_ptr<std::uint8_t[]>> grown(static_cast<size_t>(FChannelCount));
  for (int c = 0; c < FChannelCount; ++c) {
    grown[c] = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<size_t>(capacity));
    if (!fresh && used > 0) std::memcpy(grown[c].get(), FChannelsData[c].get(), static_cast<size_t>(used));
    std::memset(grown[c].get() + written, 0, static_cast<size_t>(capacity - written));
  }
  FChannelsData = std::move(grown);
  FChannelCapacity = capacity;
  return used;
}

std::int64_t TDataChunk::MaxBytesPerChannel() {
  const std::int64_t frameBytes = std::int64_t{FChannelCount} * BytesPerSample();
  return FIOStream->BaseStream().Size() / frameBytes * BytesPerSample();
}

void TDataChunk::ReadFrames(std::int64_t Frames, std::int64_t WriteOffset) {
  if (Frames <= 0) return;
  const int b = BytesPerSample();
  const std::int64_t frameBytes = std::int64_t{FChannelCount} * b;
  const std::int64_t blockFrames = std::min(Frames, std::max<std::int64_t>(kBlockBytes / frameBytes, 1));
  auto block = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<size_t>(blockFrames * frameBytes));
  std::vector<std::uint8_t*> out(static_cast<size_t>(FChannelCount));
  for (int c = 0; c < FChannelCount; ++c) out[c] = FChannelsData[c].get();

  auto& stream = FIOStream->BaseStream();
  for (std::int64_t done = 0; done < Frames;) {
    const std::int64_t n = std::min(blockFrames, Frames - done);
    const std::int64_t bytes = n * frameBytes;
    const std::int64_t got = stream.Read(block.get(), bytes);
    // Only a file cut short while we read lands here; its missing frames
    // read as zeros, never as bytes of an earlier block.
    if (got < bytes) std::memset(block.get() + got, 0, static_cast<size_t>(bytes - got));
    SplitFrames(b, block.get(), n, FChannelCount, out.data(), WriteOffset + done * b);
    done += n;
  }
}

void TDataChunk::AppendSilence(std::int64_t Frames, std::int64_t ByteLimit) {
  if (FChannelCount <= 0 || FChannelCount > kMaxChannels) throw Exception(Messages::kInvalidChannelCount);
  if (!IsSampleWidth(FBitsPerSample)) throw Exception(Messages::kInvalidBitsPerSample);
  if (Frames <= 0) return;
  const std::int64_t total = FSampleCount + Frames;
  if (total > std::numeric_limits<std::int32_t>::max()) throw Exception(Messages::kInvalidDataSize);
  // Silence costs 12 bytes in the file but memory per frame: keep what a
  // list can expand to within what the file itself could have held.
  if (total * FChannelCount * BytesPerSample() > ByteLimit) throw Exception(Messages::kInvalidSilenceLength);
  const std::int64_t at = GrowChannels(Frames, 0);
  const int silence = BytesPerSample() == 1 ? 128 : 0;
  for (auto& channel : FChannelsData) {
    std::memset(channel.get() + at, silence, static_cast<size_t>(Frames * BytesPerSample()));
  }
  FSampleCount = static_cast<std::int32_t>(total);
}

std::uint8_t* TDataChunk::GetChannelData(int Index) const {
  if (Index < 0 || Index >= static_cast<int>(FChannelsData.size())) return nullptr;
  return FChannelsData[Index].get();
}

std::int64_t TDataChunk::GetPosition() { return FIOStream->BaseStream().Position() - FDataOffset; }

void TDataChunk::SetPosition(std::int64_t Value) { FIOStream->BaseStream().SetPosition(FDataOffset + Value); }

std::int32_t TDataChunk::ReadData(void* Buffer, std::int64_t Size) {
  if (FDataOffset == 0 || Buffer == nullptr || Size <= 0) return 0;
  auto& stream = FIOStream->BaseStream();
  const std::int64_t rel = stream.Position() - FDataOffset;
  if (rel < 0 || rel >= FSize) return 0;
  const std::int64_t count = std::min({Size, FSize - rel, std::int64_t{std::numeric_limits<std::int32_t>::max()}});
  return static_cast<std::int32_t>(stream.Read(Buffer, count));
}

std::int32_t TDataChunk::ReadData(void* Buffer, std::int64_t Offset, std::int64_t Size) {
  if (FDataOffset == 0 || Buffer == nullptr || Offset < 0) return 0;
  // Past the end the position still moves there, so Eof turns true.
  std::int64_t target = 0;
  if (__builtin_add_overflow(FDataOffset, Offset, &target)) target = std::numeric_limits<std::int64_t>::max();
  const std::int64_t count = std::min(
      {std::max<std::int64_t>(Size, 0), std::max<std::int64_t>(FSize - Offset, 0),
       std::int64_t{std::numeric_limits<std::int32_t>::max()}});
  auto& stream = FIOStream->BaseStream();
  stream.SetPosition(target);
  return count > 0 ? static_cast<std::int32_t>(stream.Read(Buffer, count)) : 0;
}

bool TDataChunk::Eof() { return FIOStream->BaseStream().Position() >= FDataOffset + FSize; }

}  // namespace Audio::Wave::Reader
