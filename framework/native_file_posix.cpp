#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstring>
#include <limits>

#include "framework/native_file.h"

namespace System::Native {

int OpenFile(const String& name, TAccess access, bool create) {
  const std::string path = UTF8Encode(name);
  int flags = O_CLOEXEC;
  if (create) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
  } else {
    flags |= access == TAccess::Write ? O_WRONLY : access == TAccess::ReadWrite ? O_RDWR : O_RDONLY;
  }
  int handle;
  do {
    handle = ::open(path.c_str(), flags, 0666);
  } while (handle < 0 && errno == EINTR);
  return handle;
}

int CloseFile(int handle) { return ::close(handle); }

std::int64_t ReadFile(int handle, void* buffer, std::size_t count) {
  ssize_t got;
  do {
    got = ::read(handle, buffer, count);
  } while (got < 0 && errno == EINTR);
  return got;
}

std::int64_t WriteFile(int handle, const void* buffer, std::size_t count) {
  ssize_t put;
  do {
    put = ::write(handle, buffer, count);
  } while (put < 0 && errno == EINTR);
  return put;
}

std::int64_t SeekFile(int handle, std::int64_t offset) { return ::lseek(handle, static_cast<off_t>(offset), SEEK_SET); }
std::int64_t FilePosition(int handle) { return ::lseek(handle, 0, SEEK_CUR); }

std::int64_t FileSize(int handle) {
  struct stat st {};
  return ::fstat(handle, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

bool TruncateFile(int handle, std::int64_t size) { return ::ftruncate(handle, static_cast<off_t>(size)) == 0; }

namespace {

TFileKind KindOfMode(mode_t mode) {
  return S_ISREG(mode) ? TFileKind::Regular
         : S_ISDIR(mode) ? TFileKind::Directory
         : S_ISBLK(mode) ? TFileKind::BlockDevice
                         : TFileKind::Other;
}

}  // namespace

bool KindOf(int handle, TFileKind& kind) {
  struct stat st {};
  if (::fstat(handle, &st) != 0) return false;
  kind = KindOfMode(st.st_mode);
  return true;
}

bool KindOf(const String& name, TFileKind& kind) {
  const std::string native = UTF8Encode(name);
  struct stat st {};
  if (::stat(native.c_str(), &st) != 0) return false;
  kind = KindOfMode(st.st_mode);
  return true;
}

bool IsConsoleName(const String&) { return false; }

String ErrnoText(int error) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling buffer.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return UTF8ToString(text);
}

int PermissionsOf(const String& name) {
  struct stat st {};
  const std::string native = UTF8Encode(name);
  if (::stat(native.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

bool SetPermissions(int handle, int permissions) { return ::fchmod(handle, static_cast<mode_t>(permissions)) == 0; }

bool RenameOver(const String& from, const String& to) {
  const std::string a = UTF8Encode(from), b = UTF8Encode(to);
  return std::rename(a.c_str(), b.c_str()) == 0;
}

void RemoveFile(const String& name) {
  const std::string native = UTF8Encode(name);
  std::remove(native.c_str());
}

std::int64_t ProcessId() { return ::getpid(); }

void Sleep(std::int32_t milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::int64_t PhysicalMemory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(pages) * pageSize;
}

}  // namespace System::Native
