// TWaveReader: reads the chunk structure of a RIFF/WAVE file and loads its
// sample data per channel. The file stays open, for the data chunk's raw
// reads, until the reader is destroyed.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <memory>

#include "audio/wave_chunk.h"
#include "audio/wave_chunks.h"
#include "audio/wave_data_chunk.h"
#include "framework/binary_reader.h"
#include "framework/exceptions.h"
#include "framework/lists.h"
#include "framework/streams.h"

namespace Audio::Wave::Reader {

// A "data" chunk met before any "fmt " chunk.
class ENoFMTChunk : public System::Sysutils::Exception {
 public:
  ENoFMTChunk();
};

// The chunks of a file other than format and data, in file order.
class TChunkCollection : public System::Generics::Collections::TObjectList<TChunk> {};

class TWaveReader : public TChunkCollection {
 public:
  // Opens the file; open failures are the file stream's own. A pipe or
  // device is refused: the reader needs to seek.
  explicit TWaveReader(const System::String& FileName);
  // Reads a stream the reader then owns, memory included.
  explicit TWaveReader(std::unique_ptr<System::Classes::TStream> Stream);
  explicit TWaveReader(std::unique_ptr<System::Classes::TBinaryReader> IOStream);
  ~TWaveReader();

  // Null while the file had no such chunk.
  TFMTChunk* FMTChunk() const { return FFmtChunk.get(); }
  TDataChunk* DataChunk() const { return FDataChunk.get(); }
  // The points of the last cue chunk read; empty when there was none.
  const TCuePointList& CuePoints() const { return *FCuePoints; }

  // The current format chunk's values; 0 when the file had no format chunk.
  std::uint16_t BitsPerSample() const { return GetBitsPerSample(); }
  std::int32_t NumberOfChannel() const { return GetNumberOfChannel(); }
  std::uint32_t SampleRate() const { return GetSampleRate(); }
  std::uint32_t AverageSamplePerSecond() const { return GetAverageSamplePerSecond(); }
  std::uint16_t BlockAlign() const { return GetBlockAlign(); }

  std::uint16_t GetBitsPerSample() const;
  std::int32_t GetNumberOfChannel() const;
  std::uint32_t GetSampleRate() const;
  std::uint32_t GetAverageSamplePerSecond() const;
  std::uint16_t GetBlockAlign() const;

 private:
  void ReadHeader();
  void ReadChunks();
  // Reads a chunk that goes into the list (a false Read raises failure) and
  // appends it; the list owns it from then on.
  template <class C>
  C* ReadIntoList(std::unique_ptr<C> chunk, const char16_t* failure) {
    if (!chunk->Read()) throw System::Sysutils::Exception(failure);
    C* read = chunk.get();
    Add(std::move(chunk));
    return read;
  }
  std::int64_t NextChunkPosition(const THeaderChunk& chunk);
  bool HoldsPlausibleCode(std::int64_t position);

  std::unique_ptr<System::Classes::TBinaryReader> FIOStream;
  std::unique_ptr<TCuePointList> FOwnCuePoints;  // until a cue chunk is read
  TCuePointList* FCuePoints;
  std::unique_ptr<TDataChunk> FDataChunk;
  std::unique_ptr<TFMTChunk> FFmtChunk;
};

// The unit's stop work. Nothing is left to release: other chunks are
// skipped by seeking, so the unit holds no process-wide buffer. Safe to call
// any number of times, also while readers exist.
void Finalize() noexcept;

}  // namespace Audio::Wave::Reader
