#include "framework/streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "framework/exceptions.h"
#include "framework/native_file.h"

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

// How a file name would be misread by the system, or empty when it is fine.
String NameProblem(const String& name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c == 0) return Sysutils::Format(u"The file name holds a NUL character at position %d", i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return Sysutils::Format(u"The file name holds a lone UTF-16 surrogate at position %d", i);
    }
  }
  return {};
}

// A NUL inside a name shown in a message would end the message's UTF-8 text.
String Printable(const String& name) {
  String out;
  for (const char16_t c : name) {
    if (c == 0) {
      out += u"\\0";
    } else {
      out.push_back(c);
    }
  }
  return out;
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
  if (count <= 0) return;
  const std::int64_t got = Read(buffer, count);
  if (got != count) {
    throw EReadError(Sysutils::Format(u"Stream read error%s: %d bytes wanted, the stream ended after %d", Where(),
                                      count, got));
  }
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
  if (count <= 0) return;
  const std::int64_t put = Write(buffer, count);
  if (put != count) {
    throw EWriteError(Sysutils::Format(u"Stream write error%s: %d bytes to write, %d taken", Where(), count, put));
  }
}

// ------------------------------------------------------------ TFileStream

TFileStream::TFileStream(const String& fileName, std::uint16_t mode) : FFileName(fileName) {
  const bool create = (mode & 0xFF00) == fmCreate;
  Native::TAccess access = Native::TAccess::Read;
  switch (mode & 0x0003) {
    case fmOpenWrite: access = Native::TAccess::Write; break;
    case fmOpenReadWrite: access = Native::TAccess::ReadWrite; break;
    default: break;
  }
  // Names are shown with any NUL spelt out: it would end the message's text.
  const auto refuse = [&](const String& problem) {
    const String shown = Printable(fileName);
    if (create) throw EFCreateError(Sysutils::Format(u"Cannot create file \"%s\". %s", shown, problem));
    throw EFOpenError(Sysutils::Format(u"Cannot open file \"%s\". %s", shown, problem));
  };
  const auto fail = [&](int error) { refuse(Sysutils::SysErrorMessage(error)); };
  // A serial port would be read until data came, and the null device takes
  // a whole file and keeps nothing.
  const String device = u"The name is a device of the system, not a file";
  if (const String problem = NameProblem(fileName); !problem.empty()) refuse(problem);
  const int handle = Native::OpenFile(fileName, access, create);
  if (handle < 0) {
    // A console name without a console fails with a text about descriptors.
    const int error = errno;
    if (error == EBADF && Native::IsConsoleName(fileName)) refuse(device);
    fail(error);
  }
  // open() hands out a descriptor for a folder in read-only mode; reading it
  // would fail later with a less helpful text.
  Native::TFileKind kind{};
  if (!Native::KindOf(handle, kind)) {
    const int error = errno;
    Native::CloseFile(handle);
    fail(error);
  }
  if (kind == Native::TFileKind::Directory) {
    Native::CloseFile(handle);
    fail(EISDIR);
  }
  if (kind == Native::TFileKind::Device) {
    Native::CloseFile(handle);
    refuse(device);
  }
  // lseek "works" on some devices (/dev/zero) without moving anything, so
  // the kind of file decides, not a trial seek.
  FSequential = kind == Native::TFileKind::Other;
  FHandle = handle;
}

String TFileStream::Where() const { return Sysutils::Format(u" in \"%s\"", Printable(FFileName)); }

TFileStream::~TFileStream() {
  if (FHandle >= 0) Native::CloseFile(FHandle);
}

void TFileStream::Close() {
  if (FHandle < 0) return;
  const int handle = std::exchange(FHandle, -1);
  if (Native::CloseFile(handle) != 0 && errno != EINTR) {
    throw EWriteError(Sysutils::Format(u"Stream write error%s: %s", Where(), Sysutils::SysErrorMessage(errno)));
  }
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
  if (FHandle < 0) throw EReadError(Sysutils::Format(u"Stream read error%s: the file is closed", Where()));
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::int64_t done = 0;
  // The kernel moves at most about 2 GB per call; loop until the count is
  // met or the file ends.
  while (done < count) {
    const auto chunk = static_cast<size_t>(std::min<std::int64_t>(count - done, 1 << 30));
    const std::int64_t got = Native::ReadFile(FHandle, out + done, chunk);
    if (got < 0) {
      throw EReadError(Sysutils::Format(u"Stream read error%s: %s", Where(), Sysutils::SysErrorMessage(errno)));
    }
    if (got == 0) break;
    done += got;
    // A pipe hands over what it holds; the rest may come later.
  }
  FPosition += done;
  return done;
}

std::int64_t TFileStream::Write(const void* buffer, std::int64_t count) {
  if (FHandle < 0) throw EWriteError(Sysutils::Format(u"Stream write error%s: the file is closed", Where()));
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  std::int64_t done = 0;
  while (done < count) {
    const auto chunk = static_cast<size_t>(std::min<std::int64_t>(count - done, 1 << 30));
    const std::int64_t put = Native::WriteFile(FHandle, in + done, chunk);
    if (put < 0) {
      throw EWriteError(Sysutils::Format(u"Stream write error%s: %s", Where(), Sysutils::SysErrorMessage(errno)));
    }
    if (put == 0) break;
    done += put;
  }
  FPosition += done;
  return done;
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
  if (FHandle < 0) throw EStreamError(Sysutils::Format(u"Stream seek error%s: the file is closed", Where()));
  if (FSequential) {
    // Asking where we are, or to stay there, is all a pipe can answer.
    if (offset == 0 && origin == TSeekOrigin::soCurrent) return FPosition;
    if (origin == TSeekOrigin::soBeginning && offset == FPosition) return FPosition;
    throw EStreamError(Sysutils::Format(
        u"Stream seek error%s: the file is a pipe or device, read and written only in order (position %d)", Where(),
        FPosition));
  }
  const auto current = [&] {
    const std::int64_t at = Native::FilePosition(FHandle);
    if (at < 0) {
      throw EStreamError(Sysutils::Format(u"Stream seek error%s: %s", Where(), Sysutils::SysErrorMessage(errno)));
    }
    return at;
  };
  if (origin == TSeekOrigin::soCurrent && offset == 0) return current();
  const std::int64_t position = origin == TSeekOrigin::soCurrent ? current() : 0;
  const std::int64_t size = origin == TSeekOrigin::soEnd ? Size() : 0;
  const std::int64_t target = SeekTarget(offset, origin, position, size);
  const std::int64_t result = Native::SeekFile(FHandle, target);
  if (result < 0) {
    throw EStreamError(Sysutils::Format(u"Stream seek error%s: %s", Where(), Sysutils::SysErrorMessage(errno)));
  }
  return result;
}

std::int64_t TFileStream::Size() {
  if (FHandle < 0) throw EStreamError(Sysutils::Format(u"Stream seek error%s: the file is closed", Where()));
  const std::int64_t size = Native::FileSize(FHandle);
  if (size < 0) {
    throw EStreamError(Sysutils::Format(u"Stream seek error%s: %s", Where(), Sysutils::SysErrorMessage(errno)));
  }
  return size;
}

void TFileStream::SetSize(std::int64_t size) {
  if (size < 0) RaiseBeforeStart(size);
  if (FHandle < 0 || !Native::TruncateFile(FHandle, size)) {
    throw EWriteError(Sysutils::Format(u"Stream write error%s: %s", Where(),
                                       Sysutils::SysErrorMessage(FHandle < 0 ? EBADF : errno)));
  }
  if (Position() > size) SetPosition(size);
}

// ----------------------------------------------------------- TMemoryStream

void TMemoryStream::Reserve(std::int64_t capacity) {
  if (capacity <= FCapacity) return;
  // Checked before allocating: a request the machine cannot hold would end
  // in std::bad_alloc at best and an abort under a sanitizer at worst.
  static const std::int64_t limit = Native::PhysicalMemory();
  if (capacity > limit) {
    throw EStreamError(Sysutils::Format(u"TMemoryStream: %d bytes are more than the machine's memory (%d bytes)",
                                        capacity, limit));
  }
  // Geometric growth keeps a run of small writes linear.
  std::int64_t grown = std::max<std::int64_t>(capacity, FCapacity + FCapacity / 2);
  grown = std::clamp<std::int64_t>(grown, 256, std::max(limit, capacity));
  std::unique_ptr<std::uint8_t[]> memory;
  try {
    memory = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<size_t>(grown));
  } catch (const std::bad_alloc&) {
    throw EStreamError(Sysutils::Format(u"TMemoryStream: out of memory growing to %d bytes", grown));
  }
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
  if (__builtin_add_overflow(FPosition, count, &end)) {
    throw EWriteError(Sysutils::Format(u"Stream write error: position %d + %d bytes overflows", FPosition, count));
  }
  if (end > FSize) {
    try {
      SetSize(end);
    } catch (const EStreamError& e) {
      throw EWriteError(u"Stream write error: " + e.Message());
    }
  }
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
