// Byte streams as the framework has them: a file, a growing memory block, and
// a read-only view of memory the caller keeps. Positions and counts are 64-bit
// so that files past 4 GB work, and one Read may move any number of bytes.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <memory>

#include "framework/strings.h"

namespace System::Classes {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// Open modes; the share flags are accepted for source compatibility and have
// no effect on Linux.
constexpr std::uint16_t fmCreate = 0xFF00;
constexpr std::uint16_t fmOpenRead = 0x0000;
constexpr std::uint16_t fmOpenWrite = 0x0001;
constexpr std::uint16_t fmOpenReadWrite = 0x0002;
constexpr std::uint16_t fmShareCompat = 0x0000;
constexpr std::uint16_t fmShareExclusive = 0x0010;
constexpr std::uint16_t fmShareDenyWrite = 0x0020;
constexpr std::uint16_t fmShareDenyRead = 0x0030;
constexpr std::uint16_t fmShareDenyNone = 0x0040;

class TStream {
 public:
  virtual ~TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Moves up to count bytes and returns how many moved; fewer than asked
  // only at the end of the stream (reads) or when the medium is full.
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  // Returns the new position. A target before the start raises EStreamError;
  // a target past the end is allowed, and reads there return 0.
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

  std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
  virtual std::int64_t Size();
  virtual void SetSize(std::int64_t size) = 0;
  // False for a pipe or device, which moves only forward: Position counts
  // the bytes moved, and any seek that would change it raises EStreamError.
  virtual bool CanSeek() const { return true; }

  // The whole count or EReadError "Stream read error: ..." / EWriteError
  // "Stream write error: ..." saying how much moved (and in which file).
  void ReadBuffer(void* buffer, std::int64_t count);
  void WriteBuffer(const void* buffer, std::int64_t count);

 protected:
  TStream() = default;
  // " in \"<file name>\"" for streams with a name, so that messages say
  // which file failed; empty for memory.
  virtual String Where() const { return {}; }
};

// A file opened by name; the descriptor is closed when the stream dies.
class TFileStream : public TStream {
 public:
  // Open failures raise EFOpenError `Cannot open file "%s". %s`, creation
  // failures EFCreateError `Cannot create file "%s". %s`, with the system's
  // text last. A folder is refused for every mode, and so is a name that the
  // system would read differently: one holding a NUL character (it would end
  // there) or a lone UTF-16 surrogate (it has no UTF-8 spelling).
  // Pipes and devices open for sequential use (CanSeek() is false).
  TFileStream(const String& fileName, std::uint16_t mode);
  ~TFileStream() override;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  // For a pipe or device: what the system reports, usually 0.
  std::int64_t Size() override;
  void SetSize(std::int64_t size) override;
  bool CanSeek() const override { return !FSequential; }

  const String& FileName() const { return FFileName; }
  int Handle() const { return FHandle; }
  // Closes now and reports a failure the destructor would have to swallow
  // (EWriteError "Stream write error in "<name>": <system text>"). Further
  // use raises.
  void Close();

 protected:
  String Where() const override;

 private:
  String FFileName;
  int FHandle = -1;
  bool FSequential = false;
  std::int64_t FPosition = 0;  // bytes moved, for sequential files only
};

// A memory block the stream owns and grows as it is written.
class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  ~TMemoryStream() override = default;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return FSize; }
  void SetSize(std::int64_t size) override;

  std::uint8_t* Memory() { return FMemory.get(); }
  const std::uint8_t* Memory() const { return FMemory.get(); }
  void Clear() { SetSize(0); }

  // A size beyond the machine's physical memory raises (EWriteError from
  // Write, EStreamError from SetSize) before anything is allocated.

 private:
  void Reserve(std::int64_t capacity);

  std::unique_ptr<std::uint8_t[]> FMemory;
  std::int64_t FSize = 0;
  std::int64_t FCapacity = 0;
  std::int64_t FPosition = 0;
};

// A read-only view of memory that stays the caller's; the caller keeps it
// alive and unchanged while the stream is used. Writes move nothing.
class TPointerStream : public TStream {
 public:
  TPointerStream(const void* memory, std::int64_t size);
  ~TPointerStream() override = default;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return FSize; }
  void SetSize(std::int64_t size) override;

  const std::uint8_t* Memory() const { return FMemory; }

 private:
  const std::uint8_t* FMemory;
  std::int64_t FSize;
  std::int64_t FPosition = 0;
};

}  // namespace System::Classes
