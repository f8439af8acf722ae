// The "data" chunk: the sample data split into one raw buffer per channel,
// kept in the file's own encoding, plus positioned raw reads of the
// interleaved bytes from the still-open file.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "audio/wave_chunk.h"

namespace Audio::Wave::Reader {

class TDataChunk : public TChunk {
 public:
  TDataChunk(System::Classes::TBinaryReader& IOStream, std::int32_t BitsPerSample, std::int32_t ChannelCount);
  ~TDataChunk() override;

  // Loads the samples behind the header at the stream position. The data
  // size is the smaller of the declared size and the bytes the file still
  // holds; Size() reports it afterwards. Raises "Invalid channel count",
  // "Invalid SignificantBitPerSample!" or "Invalid data size" (more frames
  // than a 32-bit count holds) before allocating anything.
  bool Read() override;

  std::int32_t SampleCount() const { return FSampleCount; }
  std::int32_t NumberOfChannel() const { return FChannelCount; }
  // The width the chunk was built with; a later format chunk may differ.
  std::int32_t BitsPerSample() const { return FBitsPerSample; }
  std::int64_t Possition() { return GetPosition(); }
  void SetPossition(std::int64_t Value) { SetPosition(Value); }
  // Channel Index's buffer: SampleCount values of BitsPerSample / 8 bytes,
  // back to back. Null for an index outside 0 .. NumberOfChannel - 1.
  std::uint8_t* ChannelData(int Index) const { return GetChannelData(Index); }

  std::uint8_t* GetChannelData(int Index) const;
  // Stream position relative to the first sample byte.
  std::int64_t GetPosition();
  void SetPosition(std::int64_t Value);

  // Copy raw interleaved sample bytes from the current position, or from
  // byte Offset of the data, never past the end of the data (nor before its
  // start); 0 before Read has run. One call moves at most 2^31 - 1 bytes.
  std::int32_t ReadData(void* Buffer, std::int64_t Size);
  std::int32_t ReadData(void* Buffer, std::int64_t Offset, std::int64_t Size);
  bool Eof();

 private:
  friend class TWavlChunk;

  // Makes room for Frames more frames after those present and returns the
  // byte offset in each channel where they go.
  std::int64_t GrowChannels(std::int64_t Frames, std::int64_t MinBytesPerChannel);
  std::int64_t MaxBytesPerChannel();
  void ReadFrames(std::int64_t Frames, std::int64_t WriteOffset);
  void AppendSilence(std::int64_t Frames, std::int64_t ByteLimit);
  std::int32_t BytesPerSample() const { return FBitsPerSample / 8; }

  std::int32_t FBitsPerSample;
  std::int32_t FChannelCount;
  std::vector<std::unique_ptr<std::uint8_t[]>> FChannelsData;
  std::int64_t FDataOffset = 0;
  std::int32_t FSampleCount = 0;
  std::int64_t FChannelCapacity = 0;  // bytes allocated per channel
  // A wave list keeps its data within the list: no sample byte is read
  // past this stream offset.
  std::int64_t FEndLimit = std::numeric_limits<std::int64_t>::max();
};

}  // namespace Audio::Wave::Reader
