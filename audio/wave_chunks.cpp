#include "audio/wave_chunks.h"

#include <algorithm>
#include <cstdio>

#include "audio/wave_messages.h"
#include "framework/exceptions.h"

namespace Audio::Wave::Reader {

using System::Classes::TBinaryReader;
using System::Classes::TSeekOrigin;
using System::Sysutils::Exception;

namespace {

// Payload bytes of a chunk that the file really holds.
std::int64_t PayloadPresent(const THeaderChunk& chunk) {
  const std::int64_t start = chunk.Offset() + 8;
  const std::int64_t left = std::max<std::int64_t>(chunk.IOStream().BaseStream().Size() - start, 0);
  return std::min(chunk.Size(), left);
}

// RIFF pads an odd payload with one byte so that every chunk starts on an
// even offset.
std::int64_t PaddedEnd(const THeaderChunk& chunk) {
  return chunk.Offset() + 8 + chunk.Size() + (chunk.Size() & 1);
}

}  // namespace

// -------------------------------------------------------------- TFMTChunk

TFMTChunk::TFMTChunk(TBinaryReader& IOStream) : TChunk(kFmtCode, IOStream) {}

TFMTChunk::~TFMTChunk() = default;

bool TFMTChunk::Read() {
  const bool result = TChunk::Read();
  TBinaryReader& in = *FIOStream;
  FCompressionCode = in.ReadUInt16();
  FNumberOfChannel = in.ReadUInt16();
  FSampleRate = in.ReadUInt32();
  FAverageSamplePerSecond = in.ReadUInt32();
  FBlockAlign = in.ReadUInt16();
  FBitsPerSample = in.ReadUInt16();
  if (FBitsPerSample != 8 && FBitsPerSample != 16 && FBitsPerSample != 24 && FBitsPerSample != 32) {
    throw Exception(Messages::kInvalidBitsPerSample);
  }
  if (FNumberOfChannel == 0) throw Exception(Messages::kInvalidChannelCount);
  if (FBlockAlign != std::uint32_t{FNumberOfChannel} * (FBitsPerSample / 8u)) {
    throw Exception(Messages::kInvalidBlockAlign);
  }
  auto& stream = in.BaseStream();
  if (FCompressionCode != 1) {
    FExtraBytes = in.ReadUInt16();
    stream.Seek(FExtraBytes, TSeekOrigin::soCurrent);
  }
  const std::int64_t end = FOffset + FSize + 8;
  if (stream.Position() != end) stream.SetPosition(end);
  return result;
}

// ------------------------------------------------------------- TFactChunk

TFactChunk::TFactChunk(TBinaryReader& IOStream) : TChunk(kFactCode, IOStream) {}

TFactChunk::~TFactChunk() = default;

bool TFactChunk::Read() {
  const bool result = TChunk::Read();
  FBytesInChunk = FIOStream->ReadBytes(PayloadPresent(*this));
  return result;
}

// ------------------------------------------------------------- TSlntChunk

TSlntChunk::TSlntChunk(TBinaryReader& IOStream) : TChunk(kSlntCode, IOStream) {}

TSlntChunk::~TSlntChunk() = default;

bool TSlntChunk::Read() {
  const bool result = TChunk::Read();
  FLength = static_cast<std::int32_t>(FIOStream->ReadUInt32());
  return result;
}

// -------------------------------------------------------------- TCuePoint

TCuePoint::TCuePoint(TBinaryReader& IOStream) : FIOStream(&IOStream) {}

TCuePoint::~TCuePoint() = default;

bool TCuePoint::Read() {
  FIdentifier = FIOStream->ReadUInt32();
  FPosition = FIOStream->ReadUInt32();
  FDataChunkID = FIOStream->ReadUInt32();
  FChunkStart = FIOStream->ReadUInt32();
  FBlockStart = FIOStream->ReadUInt32();
  FSampleOffset = FIOStream->ReadUInt32();
  return true;
}

// -------------------------------------------------------------- TCueChunk

TCueChunk::TCueChunk(TBinaryReader& IOStream)
    : TChunk(kCueCode, IOStream), FCuePointCollection(std::make_unique<TCuePointList>()) {}

TCueChunk::~TCueChunk() = default;

bool TCueChunk::Read() {
  constexpr std::int64_t kCuePointBytes = 24;
  const bool result = TChunk::Read();
  const std::int32_t declared = FIOStream->ReadInt32();
  const std::int64_t fit = std::max<std::int64_t>(PayloadPresent(*this) - 4, 0) / kCuePointBytes;
  const std::int64_t count = std::clamp<std::int64_t>(declared, 0, fit);
  for (std::int64_t i = 0; i < count; ++i) {
    auto point = std::make_unique<TCuePoint>(*FIOStream);
    point->Read();
    FCuePointCollection->Add(std::move(point));
  }
  return result;
}

// ----------------------------------------------------------- TOtherChunks

TOtherChunks::TOtherChunks(TBinaryReader& IOStream, TFourCC Identify) : TChunk(Identify, IOStream) {}

TOtherChunks::~TOtherChunks() = default;

bool TOtherChunks::Read() {
  const bool result = TChunk::Read();
  // Skipped by seeking: no memory is spent on a payload nobody keeps.
  FIOStream->BaseStream().SetPosition(FOffset + 8 + FSize);
  return result;
}

// ------------------------------------------------------------- TWavlChunk

TWavlChunk::TWavlChunk(TBinaryReader& IOStream, std::int32_t BitsPerSample, std::int32_t ChannelCount)
    : TChunk(kWavlCode, IOStream),
      BitsPerSample(BitsPerSample),
      ChannelCount(ChannelCount),
      DataChunk(std::make_unique<TDataChunk>(IOStream, BitsPerSample, ChannelCount)) {}

TWavlChunk::~TWavlChunk() = default;

bool TWavlChunk::Read() {
  const bool result = TChunk::Read();
  auto& stream = FIOStream->BaseStream();
  const std::int64_t fileSize = stream.Size();
  const std::int64_t end = FOffset + 8 + PayloadPresent(*this);
  std::int64_t position = FOffset + 8;
  // Each sub-chunk ends strictly after its own start, so the walk always
  // moves forward and stops at the end of the list.
  while (end - position >= 8) {
    stream.SetPosition(position);
    const TFourCC code(FIOStream->ReadUInt32());
    if (code == kDataCode) {
      DataChunk->FEndLimit = end;
      DataChunk->Read();
      position = PaddedEnd(*DataChunk);
    } else if (code == kSlntCode) {
      TSlntChunk silence(*FIOStream);
      silence.Read();
      std::puts(Messages::kWavlNotice);
      position = PaddedEnd(silence);
      // Samples still to come can only be the rest of the list: what the
      // file holds bounds samples and silence together.
      const std::int64_t rest = std::max<std::int64_t>(end - position, 0);
      DataChunk->AppendSilence(static_cast<std::uint32_t>(silence.Length()), fileSize - rest);
    } else {
      TOtherChunks other(*FIOStream, code);
      other.Read();
      position = PaddedEnd(other);
    }
  }
  return result;
}

}  // namespace Audio::Wave::Reader
