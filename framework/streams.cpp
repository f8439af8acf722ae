#include "framework/streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "framework/exceptions.h"

namespace System::Classes {

namespace {

[[noreturn]] void RaiseBeforeStart(std::int64_t position) {
  throw EStreamError(Sysutils::Format(u"Invalid stream position %d: before the start of the stream", position));
}

// The target of a seek in a stream whose size and position are known; the
// sum is checked so that a hostile offset cannot overflow.
std::int64_t SeekTarget(std::int64_t offset, TSeekOrigin origin, std::int64_t position, std::int64_t size) {
  std::int64_t base = 0;
  switch (origin) {
    case TSeekOrigin::soBeginning: base = 0; break;
    case TSeekOrigin::soCurrent: base = position; break;
    case TSeekOrigin::soEnd: base = size; break;
  }
  std::int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target)) {
    throw EStreamError(Sysutils::Format(u"Invalid stream position: %d + %d overflows", base, offset));
  }
  if (target < 0) RaiseBeforeStart(target);
  return target;
}

}  // namespace

// ---------------------------------------------------------------- TStream

std::int64_t TStream::Size() {
  const std::int64_t position = Seek(0, TSeekOrigin::soCurrent);
  const std::int64_t size = Seek(0, TSeekOrigin::soEnd);
  Seek(position, TSeekOrigin::soBeginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
  if (count > 0 && Read(buffer, count) != count) throw EReadError(u"Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
  if (count > 0 && Write(buffer, count) != count) throw EWriteError(u"Stream write error");
}

// ------------------------------------------------------------ TFileStream

TFileStream::TFileStream(const String& fileName, std::uint16_t mode) : FFileName(fileName) {
  const std::string path = UTF8Encode(fileName);
  const bool create = (mode & 0xFF00) == fmCreate;
  int flags = O_CLOEXEC;
  if (create) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
  } else {
    switch (mode & 0x0003) {
      case fmOpenWrite: flags |= O_WRONLY; break;
      case fmOpenReadWrite: flags |= O_RDWR; break;
      default: flags |= O_RDONLY; break;
    }
  }
  const auto fail = [&](int error) {
    if (create) {
      throw EFCreateError(Sysutils::Format(u"Cannot create file \"%s\". %s", fileName, Sysutils::SysErrorMessage(error)));
    }
    throw EFOpenError(Sysutils::Format(u"Cannot open file \"%s\". %s", fileName, Sysutils::SysErrorMessage(error)));
  };
  int handle;
  do {
    handle = ::open(path.c_str(), flags, 0666);
  } while (handle < 0 && errno == EINTR);
  if (handle < 0) fail(errno);
  // open() hands out a descriptor for a folder in read-only mode; reading it
  // would fail later with a less helpful text.
  struct stat st {};
  if (::fstat(handle, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(handle);
    fail(EISDIR);
  }
  FHandle = handle;
}

TFileStream::~TFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

void TFileStream::Close() {
  if (FHandle < 0) return;
  const int handle = std::exchange(FHandle, -1);
  if (::close(handle) != 0 && errno != EINTR) {
    throw EWriteError(Sysutils::Format(u"Stream write error: %s", Sysutils::SysErrorMessage(errno)));
  }
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
  if (FHandle < 0) throw EReadError(u"Stream read error: the file is closed");
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::int64_t done = 0;
  // The kernel moves at most about 2 GB per call; loop until the count is
  // met or the file ends.
  while (done < count) {
    const auto chunk = static_cast<size_t>(std::min<std::int64_t>(count - done, 1 << 30));
    const ssize_t got = ::read(FHandle, out + done, chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw EReadError(Sysutils::Format(u"Stream read error: %s", Sysutils::SysErrorMessage(errno)));
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
  if (FHandle < 0) throw EWriteError(u"Stream write error: the file is closed");
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const auto chunk = static_cast<size_t>(std::min<std::int64_t>(count - done, 1 << 30));
    const ssize_t put = ::write(FHandle, in + done, chunk);
    if (put < 0) {
      if (errno == EINTR) continue;
      throw EWriteError(Sysutils::Format(u"Stream write error: %s", Sysutils::SysErrorMessage(errno)));
    }
    if (put == 0) break;
    done += put;
  }
  return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  if (FHandle < 0) throw EStreamError(u"Stream seek error: the file is closed");
  if (origin == TSeekOrigin::soCurrent && offset == 0) return ::lseek(FHandle, 0, SEEK_CUR);
  const std::int64_t position = origin == TSeekOrigin::soCurrent ? ::lseek(FHandle, 0, SEEK_CUR) : 0;
  const std::int64_t size = origin == TSeekOrigin::soEnd ? Size() : 0;
  const std::int64_t target = SeekTarget(offset, origin, position, size);
  const off_t result = ::lseek(FHandle, static_cast<off_t>(target), SEEK_SET);
  if (result < 0) throw EStreamError(Sysutils::Format(u"Stream seek error: %s", Sysutils::SysErrorMessage(errno)));
  return result;
}

std::int64_t TFileStream::Size() {
  if (FHandle < 0) throw EStreamError(u"Stream seek error: the file is closed");
  struct stat st {};
  if (::fstat(FHandle, &st) != 0) {
    throw EStreamError(Sysutils::Format(u"Stream seek error: %s", Sysutils::SysErrorMessage(errno)));
  }
  return st.st_size;
}

void TFileStream::SetSize(std::int64_t size) {
  if (size < 0) RaiseBeforeStart(size);
  if (FHandle < 0 || ::ftruncate(FHandle, static_cast<off_t>(size)) != 0) {
    throw EWriteError(Sysutils::Format(u"Stream write error: %s", Sysutils::SysErrorMessage(FHandle < 0 ? EBADF : errno)));
  }
  if (Position() > size) SetPosition(size);
}

// ----------------------------------------------------------- TMemoryStream

void TMemoryStream::Reserve(std::int64_t capacity) {
  if (capacity <= FCapacity) return;
  // Geometric growth keeps a run of small writes linear.
  std::int64_t grown = std::max<std::int64_t>(capacity, FCapacity + FCapacity / 2);
  grown = std::max<std::int64_t>(grown, 256);
  auto memory = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<size_t>(grown));
  if (FSize > 0) std::memcpy(memory.get(), FMemory.get(), static_cast<size_t>(FSize));
  FMemory = std::move(memory);
  FCapacity = grown;
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
  if (count <= 0 || FPosition >= FSize) return 0;
  const std::int64_t n = std::min(count, FSize - FPosition);
  std::memcpy(buffer, FMemory.get() + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  std::int64_t end = 0;
  if (__builtin_add_overflow(FPosition, count, &end)) throw EWriteError(u"Stream write error");
  if (end > FSize) SetSize(end);
  std::memcpy(FMemory.get() + FPosition, buffer, static_cast<size_t>(count));
  FPosition = end;
  return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  FPosition = SeekTarget(offset, origin, FPosition, FSize);
  return FPosition;
}

void TMemoryStream::SetSize(std::int64_t size) {
  if (size < 0) RaiseBeforeStart(size);
  Reserve(size);
  // Bytes that a seek past the end and a later write leave behind read as 0.
  if (size > FSize) std::memset(FMemory.get() + FSize, 0, static_cast<size_t>(size - FSize));
  FSize = size;
  if (FPosition > FSize) FPosition = FSize;
}

// ---------------------------------------------------------- TPointerStream

TPointerStream::TPointerStream(const void* memory, std::int64_t size)
    : FMemory(static_cast<const std::uint8_t*>(memory)), FSize(memory ? std::max<std::int64_t>(size, 0) : 0) {}

std::int64_t TPointerStream::Read(void* buffer, std::int64_t count) {
  if (count <= 0 || FPosition >= FSize) return 0;
  const std::int64_t n = std::min(count, FSize - FPosition);
  std::memcpy(buffer, FMemory + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

std::int64_t TPointerStream::Write(const void*, std::int64_t) { return 0; }

std::int64_t TPointerStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  FPosition = SeekTarget(offset, origin, FPosition, FSize);
  return FPosition;
}

void TPointerStream::SetSize(std::int64_t) { throw EStreamError(u"Cannot resize a read-only stream"); }

}  // namespace System::Classes
