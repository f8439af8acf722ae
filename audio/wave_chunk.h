// The RIFF chunk header every chunk of a WAV file starts with, and the base
// of the chunk classes. Chunks read themselves from the reader's shared
// TBinaryReader, which they never own.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <array>
#include <cstdint>

#include "framework/binary_reader.h"

namespace Audio::Wave::Reader {

// A chunk code, compared as the little-endian value of its four characters
// in file order ("fmt " is 0x20746D66). 0 marks a code not read yet.
struct TFourCC {
  std::uint32_t Int32 = 0;

  constexpr TFourCC() = default;
  constexpr explicit TFourCC(std::uint32_t value) : Int32(value) {}
  static constexpr TFourCC FromChars(const char (&code)[5]) {
    return TFourCC(std::uint32_t(std::uint8_t(code[0])) | std::uint32_t(std::uint8_t(code[1])) << 8 |
                   std::uint32_t(std::uint8_t(code[2])) << 16 | std::uint32_t(std::uint8_t(code[3])) << 24);
  }
  constexpr std::array<std::uint8_t, 4> ArrByte() const {
    return {std::uint8_t(Int32), std::uint8_t(Int32 >> 8), std::uint8_t(Int32 >> 16), std::uint8_t(Int32 >> 24)};
  }
  constexpr std::array<char, 4> ArrChar() const {
    const auto b = ArrByte();
    return {char(b[0]), char(b[1]), char(b[2]), char(b[3])};
  }
  friend constexpr bool operator==(TFourCC, TFourCC) = default;
};

inline constexpr TFourCC kFmtCode = TFourCC::FromChars("fmt ");
inline constexpr TFourCC kDataCode = TFourCC::FromChars("data");
inline constexpr TFourCC kFactCode = TFourCC::FromChars("fact");
inline constexpr TFourCC kCueCode = TFourCC::FromChars("cue ");
inline constexpr TFourCC kWavlCode = TFourCC::FromChars("wavl");
inline constexpr TFourCC kSlntCode = TFourCC::FromChars("slnt");

class THeaderChunk {
 public:
  explicit THeaderChunk(System::Classes::TBinaryReader& IOStream);
  virtual ~THeaderChunk();
  THeaderChunk(const THeaderChunk&) = delete;
  THeaderChunk& operator=(const THeaderChunk&) = delete;

  // Reads the 8-byte header at the stream position. When the code is
  // already known, the caller has consumed it: the read steps back over it
  // and raises "Error Message" if the file holds another code there.
  virtual bool Read();

  std::int64_t Offset() const { return FOffset; }
  std::int64_t Size() const { return GetSize(); }
  void SetSize(std::int64_t Value) { FSize = Value; }
  std::int64_t GetSize() const { return FSize; }
  TFourCC Identify() const { return FIdentify; }
  System::Classes::TBinaryReader& IOStream() const { return *FIOStream; }

 protected:
  System::Classes::TBinaryReader* FIOStream;
  std::int64_t FOffset = 0;  // file offset of the chunk's code
  TFourCC FIdentify;
  std::int64_t FSize = 0;    // payload bytes after the 8-byte header
};

class TChunk : public THeaderChunk {
 public:
  TChunk(TChunk* Owner, System::Classes::TBinaryReader& IOStream);
  TChunk(TFourCC Identify, System::Classes::TBinaryReader& IOStream);
  ~TChunk() override;

  bool Read() override;

  TChunk* Owner() const { return FOwner; }
  void SetOwner(TChunk* Value) { FOwner = Value; }

 protected:
  TChunk* FOwner = nullptr;  // not owned
};

}  // namespace Audio::Wave::Reader
