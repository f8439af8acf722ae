// The chunk classes of a WAV file other than "data": format, fact, cue
// points, silence, wave lists and every chunk without a class of its own.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <memory>
#include <vector>

#include "audio/wave_chunk.h"
#include "audio/wave_data_chunk.h"
#include "framework/lists.h"

namespace Audio::Wave::Reader {

// The "fmt " chunk. Read raises "Invalid SignificantBitPerSample!" for a
// width other than 8, 16, 24 or 32, then "Invalid channel count" for 0
// channels and "Invalid block align" when a frame is not channels x bytes
// per sample, so no later division or product can go wrong.
class TFMTChunk : public TChunk {
 public:
  explicit TFMTChunk(System::Classes::TBinaryReader& IOStream);
  ~TFMTChunk() override;

  bool Read() override;

  std::uint32_t SampleRate() const { return FSampleRate; }
  std::uint32_t AverageSamplePerSecond() const { return FAverageSamplePerSecond; }
  std::uint16_t NumberOfChannels() const { return FNumberOfChannel; }
  std::uint16_t BitsPerSample() const { return FBitsPerSample; }
  std::uint16_t BlockAlign() const { return FBlockAlign; }
  // 1 integer PCM, 3 IEEE float, 0xFFFE extensible: what the raw channel
  // bytes hold.
  std::uint16_t CompressionCode() const { return FCompressionCode; }

 private:
  std::uint16_t FCompressionCode = 0;
  std::uint16_t FNumberOfChannel = 0;
  std::uint32_t FSampleRate = 0;
  std::uint32_t FAverageSamplePerSecond = 0;
  std::uint16_t FBlockAlign = 0;
  std::uint16_t FBitsPerSample = 0;
  std::uint16_t FExtraBytes = 0;
};

// The "fact" chunk, kept whole (as much of it as the file holds).
class TFactChunk : public TChunk {
 public:
  explicit TFactChunk(System::Classes::TBinaryReader& IOStream);
  ~TFactChunk() override;

  bool Read() override;

  const std::vector<std::uint8_t>& BytesInChunk() const { return FBytesInChunk; }

 private:
  std::vector<std::uint8_t> FBytesInChunk;
};

// The "slnt" chunk of a wave list: a count of silent frames.
class TSlntChunk : public TChunk {
 public:
  explicit TSlntChunk(System::Classes::TBinaryReader& IOStream);
  ~TSlntChunk() override;

  bool Read() override;

  std::int32_t Length() const { return FLength; }

 private:
  std::int32_t FLength = 0;
};

class TCuePoint {
 public:
  explicit TCuePoint(System::Classes::TBinaryReader& IOStream);
  virtual ~TCuePoint();
  TCuePoint(const TCuePoint&) = delete;
  TCuePoint& operator=(const TCuePoint&) = delete;

  virtual bool Read();

  std::uint32_t Identifier() const { return FIdentifier; }
  std::uint32_t Position() const { return FPosition; }
  std::uint32_t DataChunkID() const { return FDataChunkID; }
  std::uint32_t ChunkStart() const { return FChunkStart; }
  std::uint32_t BlockStart() const { return FBlockStart; }
  std::uint32_t SampleOffset() const { return FSampleOffset; }

 private:
  System::Classes::TBinaryReader* FIOStream;
  std::uint32_t FIdentifier = 0;
  std::uint32_t FPosition = 0;
  std::uint32_t FDataChunkID = 0;
  std::uint32_t FChunkStart = 0;
  std::uint32_t FBlockStart = 0;
  std::uint32_t FSampleOffset = 0;
};

using TCuePointList = System::Generics::Collections::TObjectList<TCuePoint>;

// The "cue " chunk. Its count is a claim: only the points that fit in the
// payload the file holds are read, and a negative count reads none.
class TCueChunk : public TChunk {
 public:
  explicit TCueChunk(System::Classes::TBinaryReader& IOStream);
  ~TCueChunk() override;

  bool Read() override;

  TCuePointList& CuePointCollection() const { return *FCuePointCollection; }

 private:
  std::unique_ptr<TCuePointList> FCuePointCollection;
};

// Any chunk without a class of its own; its payload is skipped.
class TOtherChunks : public TChunk {
 public:
  TOtherChunks(System::Classes::TBinaryReader& IOStream, TFourCC Identify);
  ~TOtherChunks() override;

  bool Read() override;
};

// A wave list: "data" and "slnt" sub-chunks whose samples and silences
// follow one another in the owned DataChunk. Silence is the byte 128 for
// 8-bit samples and 0 for wider ones, in every channel; each silence prints
// one line to standard output. Sub-chunks of other kinds are skipped.
class TWavlChunk : public TChunk {
 public:
  TWavlChunk(System::Classes::TBinaryReader& IOStream, std::int32_t BitsPerSample, std::int32_t ChannelCount);
  ~TWavlChunk() override;

  bool Read() override;

  std::int32_t BitsPerSample;
  std::int32_t ChannelCount;
  std::unique_ptr<TDataChunk> DataChunk;
};

}  // namespace Audio::Wave::Reader
