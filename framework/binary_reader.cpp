#include "framework/binary_reader.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "framework/exceptions.h"

namespace System::Classes {

static_assert(std::endian::native == std::endian::little, "the reader copies little-endian values as they are");

TBinaryReader::TBinaryReader(const String& fileName)
    : FOwnedStream(std::make_unique<TFileStream>(fileName, fmOpenRead | fmShareDenyWrite)), FStream(FOwnedStream.get()) {}

TBinaryReader::TBinaryReader(std::unique_ptr<TStream> stream) : FOwnedStream(std::move(stream)), FStream(FOwnedStream.get()) {
  if (!FStream) throw Sysutils::EArgumentException(u"TBinaryReader: the stream is nil");
}

TBinaryReader::TBinaryReader(TStream& stream) : FStream(&stream) {}

TBinaryReader::~TBinaryReader() = default;

TStream& TBinaryReader::BaseStream() {
  if (!FStream) throw EStreamError(u"TBinaryReader: the reader is closed");
  return *FStream;
}

void TBinaryReader::Close() {
  FStream = nullptr;
  FOwnedStream.reset();
}

void TBinaryReader::ReadExactly(void* buffer, std::int64_t count) {
  TStream& stream = BaseStream();
  const std::int64_t got = stream.Read(buffer, count);
  if (got != count) {
    const std::int64_t start = stream.Position() - got;
    // Leave the position where the value started, so a caller that catches
    // the error sees the stream unchanged; a pipe cannot give bytes back.
    if (stream.CanSeek()) stream.SetPosition(start);
    throw EReadError(Sysutils::Format(u"Read past end of stream: %d bytes wanted at position %d, %d there",
                                      count, start, got));
  }
}

template <class T>
T TBinaryReader::ReadValue() {
  T value;
  ReadExactly(&value, sizeof value);
  return value;
}

std::uint8_t TBinaryReader::ReadByte() { return ReadValue<std::uint8_t>(); }
std::int8_t TBinaryReader::ReadShortInt() { return ReadValue<std::int8_t>(); }
bool TBinaryReader::ReadBoolean() { return ReadValue<std::uint8_t>() != 0; }
std::int16_t TBinaryReader::ReadInt16() { return ReadValue<std::int16_t>(); }
std::uint16_t TBinaryReader::ReadUInt16() { return ReadValue<std::uint16_t>(); }
std::int32_t TBinaryReader::ReadInt32() { return ReadValue<std::int32_t>(); }
std::uint32_t TBinaryReader::ReadUInt32() { return ReadValue<std::uint32_t>(); }
std::int64_t TBinaryReader::ReadInt64() { return ReadValue<std::int64_t>(); }
std::uint64_t TBinaryReader::ReadUInt64() { return ReadValue<std::uint64_t>(); }
float TBinaryReader::ReadSingle() { return ReadValue<float>(); }
double TBinaryReader::ReadDouble() { return ReadValue<double>(); }

std::vector<std::uint8_t> TBinaryReader::ReadBytes(std::int64_t count) {
  TStream& stream = BaseStream();
  if (count <= 0) return {};
  // What the stream says is left sizes the first read; a pipe or device
  // knows no size, so the buffer grows with what actually arrives and a
  // hostile count never becomes an allocation.
  constexpr std::int64_t kFirstChunk = 64 * 1024;
  const std::int64_t left = stream.CanSeek() ? std::max<std::int64_t>(stream.Size() - stream.Position(), 0) : 0;
  std::vector<std::uint8_t> bytes;
  std::int64_t chunk = std::min(count, std::max(left, kFirstChunk));
  while (chunk > 0) {
    const std::size_t had = bytes.size();
    bytes.resize(had + static_cast<std::size_t>(chunk));
    const std::int64_t got = stream.Read(bytes.data() + had, chunk);
    bytes.resize(had + static_cast<std::size_t>(got));
    if (got < chunk) break;
    chunk = std::min(count - static_cast<std::int64_t>(bytes.size()), static_cast<std::int64_t>(bytes.size()));
  }
  return bytes;
}

std::int64_t TBinaryReader::Read(void* buffer, std::int64_t count) {
  TStream& stream = BaseStream();
  return count > 0 ? stream.Read(buffer, count) : 0;
}

int TBinaryReader::PeekChar() {
  TStream& stream = BaseStream();
  if (!stream.CanSeek()) {
    throw EStreamError(
        u"TBinaryReader.PeekChar: the stream is a pipe or device and cannot give a byte back; use ReadByte");
  }
  std::uint8_t byte = 0;
  if (stream.Read(&byte, 1) != 1) return -1;
  stream.Seek(-1, TSeekOrigin::soCurrent);
  return byte;
}

}  // namespace System::Classes
