#include "audio/wave_file_reader.h"

#include <algorithm>
#include <array>

#include "audio/wave_messages.h"
#include "framework/log.h"

namespace Audio::Wave::Reader {

using System::String;
using System::Classes::TBinaryReader;
using System::Classes::TStream;
using System::Sysutils::Exception;

namespace {

// The header words are compared as text that ends at the first zero byte,
// without regard to letter case.
bool IsHeaderWord(const std::vector<std::uint8_t>& bytes, std::u16string_view word) {
  String text;
  for (const std::uint8_t b : bytes) {
    if (b == 0) break;
    text.push_back(b);
  }
  return System::Sysutils::SameText(text, word);
}

// Codes that writers use are letters, digits, spaces and the odd '_' or
// '-' ("_PMX"); punctuation is far more likely the inside of a size field.
bool IsPlausibleCode(const std::array<std::uint8_t, 4>& code) {
  return std::all_of(code.begin(), code.end(), [](std::uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' || c == '_' ||
           c == '-';
  });
}

}  // namespace

ENoFMTChunk::ENoFMTChunk() : Exception(Messages::kNoFmtChunk) {}

TWaveReader::TWaveReader(const String& FileName) : TWaveReader(std::make_unique<TBinaryReader>(FileName)) {}

TWaveReader::TWaveReader(std::unique_ptr<TStream> Stream)
    : TWaveReader(std::make_unique<TBinaryReader>(std::move(Stream))) {}

TWaveReader::TWaveReader(std::unique_ptr<TBinaryReader> IOStream)
    : FIOStream(std::move(IOStream)), FOwnCuePoints(std::make_unique<TCuePointList>()), FCuePoints(FOwnCuePoints.get()) {
  if (!FIOStream) throw System::Sysutils::EArgumentException(u"TWaveReader: the reader is nil");
  // The chunk walk measures chunks against the file size and steps back over
  // codes: on a pipe it would see an empty file and report no data at all.
  if (!FIOStream->BaseStream().CanSeek()) throw Exception(Messages::kNotSeekable);
  ReadHeader();
  ReadChunks();
}

TWaveReader::~TWaveReader() = default;

void TWaveReader::ReadHeader() {
  TBinaryReader& in = *FIOStream;
  if (!IsHeaderWord(in.ReadBytes(4), u"RIFF")) throw Exception(Messages::kErrorReadRiffHeader);
  const std::uint32_t riffSize = in.ReadUInt32();
  if (riffSize != in.BaseStream().Size() - 8) Fmx::Types::Log::d(Messages::kInvalidSize);
  if (!IsHeaderWord(in.ReadBytes(4), u"WAVE")) throw Exception(Messages::kErrorReadWaveHeader);
}

void TWaveReader::ReadChunks() {
  TBinaryReader& in = *FIOStream;
  TStream& stream = in.BaseStream();
  const std::int64_t fileSize = stream.Size();
  // Fewer than 4 bytes cannot hold a chunk code: they are trailing bytes,
  // not a chunk. A header cut short after its code is damage and raises.
  while (fileSize - stream.Position() >= 4) {
    const TFourCC code(in.ReadUInt32());
    const THeaderChunk* chunk = nullptr;
    if (code == kFmtCode) {
      FFmtChunk.reset();
      FFmtChunk = std::make_unique<TFMTChunk>(in);
      if (!FFmtChunk->Read()) throw Exception(Messages::kErrorMessage);
      chunk = FFmtChunk.get();
    } else if (code == kDataCode) {
      if (!FFmtChunk) throw ENoFMTChunk();
      FDataChunk.reset();
      FDataChunk = std::make_unique<TDataChunk>(in, FFmtChunk->BitsPerSample(), FFmtChunk->NumberOfChannels());
      if (!FDataChunk->Read()) throw Exception(Messages::kErrorMessage);
      chunk = FDataChunk.get();
    } else if (code == kFactCode) {
      chunk = ReadIntoList(std::make_unique<TFactChunk>(in), Messages::kErrorMessage);
    } else if (code == kCueCode) {
      TCueChunk* cue = ReadIntoList(std::make_unique<TCueChunk>(in), Messages::kErrorReadCueChunk);
      FCuePoints = &cue->CuePointCollection();
      FOwnCuePoints.reset();
      chunk = cue;
    } else if (code == kWavlCode) {
      // A wave list is sample data too: it needs the format to split it.
      if (!FFmtChunk) throw ENoFMTChunk();
      chunk = ReadIntoList(
          std::make_unique<TWavlChunk>(in, FFmtChunk->BitsPerSample(), FFmtChunk->NumberOfChannels()),
          Messages::kErrorMessage);
    } else {
      chunk = ReadIntoList(std::make_unique<TOtherChunks>(in, code), Messages::kErrorMessage);
    }
    // Whatever a chunk consumed, the next one starts after its payload, so
    // a chunk that claims more or less than it reads cannot derail the walk.
    const std::int64_t next = NextChunkPosition(*chunk);
    if (next >= fileSize) break;
    stream.SetPosition(next);
  }
}

std::int64_t TWaveReader::NextChunkPosition(const THeaderChunk& chunk) {
  const std::int64_t unpadded = chunk.Offset() + 8 + chunk.Size();
  if ((chunk.Size() & 1) == 0) return unpadded;
  // Some writers omit the pad byte: trust the unpadded position only when
  // a chunk code starts there and none starts one byte later.
  if (!HoldsPlausibleCode(unpadded + 1) && HoldsPlausibleCode(unpadded)) return unpadded;
  return unpadded + 1;
}

// A chunk header starts there: a plausible code and a size that fits in
// the rest of the file.
bool TWaveReader::HoldsPlausibleCode(std::int64_t position) {
  TStream& stream = FIOStream->BaseStream();
  const std::int64_t fileSize = stream.Size();
  if (position + 8 > fileSize) return false;
  std::array<std::uint8_t, 8> header{};
  stream.SetPosition(position);
  if (stream.Read(header.data(), 8) != 8) return false;
  const std::uint32_t size = header[4] | header[5] << 8 | header[6] << 16 | std::uint32_t{header[7]} << 24;
  return IsPlausibleCode({header[0], header[1], header[2], header[3]}) && size <= fileSize - position - 8;
}

std::uint16_t TWaveReader::GetBitsPerSample() const { return FFmtChunk ? FFmtChunk->BitsPerSample() : 0; }
std::int32_t TWaveReader::GetNumberOfChannel() const { return FFmtChunk ? FFmtChunk->NumberOfChannels() : 0; }
std::uint32_t TWaveReader::GetSampleRate() const { return FFmtChunk ? FFmtChunk->SampleRate() : 0; }
std::uint32_t TWaveReader::GetAverageSamplePerSecond() const {
  return FFmtChunk ? FFmtChunk->AverageSamplePerSecond() : 0;
}
std::uint16_t TWaveReader::GetBlockAlign() const { return FFmtChunk ? FFmtChunk->BlockAlign() : 0; }

void Finalize() noexcept {}

}  // namespace Audio::Wave::Reader
