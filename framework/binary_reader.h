// Little-endian primitive values read from a stream, as the framework's
// TBinaryReader gives them. A value that the stream cannot supply in full
// raises EReadError instead of returning a half-read number.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <memory>
#include <vector>

#include "framework/streams.h"
#include "framework/strings.h"

namespace System::Classes {

class TBinaryReader {
 public:
  // Opens the file for reading; the reader owns the stream.
  explicit TBinaryReader(const String& fileName);
  explicit TBinaryReader(std::unique_ptr<TStream> stream);
  // The stream stays the caller's and must outlive the reader.
  explicit TBinaryReader(TStream& stream);
  ~TBinaryReader();
  TBinaryReader(const TBinaryReader&) = delete;
  TBinaryReader& operator=(const TBinaryReader&) = delete;

  TStream& BaseStream();
  // Frees an owned stream (a stream lent by the caller is only let go); any
  // later read raises EStreamError.
  void Close();

  std::uint8_t ReadByte();
  std::int8_t ReadShortInt();
  bool ReadBoolean();
  std::int16_t ReadInt16();
  std::uint16_t ReadUInt16();
  std::int32_t ReadInt32();
  std::uint32_t ReadUInt32();
  std::int64_t ReadInt64();
  std::uint64_t ReadUInt64();
  float ReadSingle();
  double ReadDouble();

  // Up to count bytes: fewer at the end of the stream, none for count <= 0.
  // Never allocates much more than the stream delivers, also for a pipe.
  std::vector<std::uint8_t> ReadBytes(std::int64_t count);
  // Up to count bytes into buffer; returns how many were read.
  std::int64_t Read(void* buffer, std::int64_t count);
  // The next byte without consuming it, or -1 at the end of the stream.
  // Raises EStreamError for a stream that cannot seek (nothing is consumed).
  int PeekChar();

 private:
  template <class T>
  T ReadValue();
  void ReadExactly(void* buffer, std::int64_t count);

  std::unique_ptr<TStream> FOwnedStream;
  TStream* FStream;
};

}  // namespace System::Classes
