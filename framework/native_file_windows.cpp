#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "framework/native_file.h"

namespace System::Native {

namespace {

std::wstring Wide(const String& name) { return std::wstring(name.begin(), name.end()); }

// The errno a failed file-system call of the system itself stands for.
void SetErrnoFrom(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: errno = EACCES; break;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: errno = EEXIST; break;
    case ERROR_DISK_FULL: errno = ENOSPC; break;
    default: errno = EIO; break;
  }
}

bool IsDirectory(const std::wstring& name) {
  const DWORD attributes = ::GetFileAttributesW(name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// GetFileType's answer for an open file, with a disk file's attributes
// telling a folder from a file.
bool KindOfHandle(HANDLE file, TFileKind& kind) {
  if (const DWORD type = ::GetFileType(file); type != FILE_TYPE_DISK) {
    kind = type == FILE_TYPE_CHAR ? TFileKind::Device : TFileKind::Other;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file, &info)) {
    SetErrnoFrom(::GetLastError());
    return false;
  }
  kind = info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? TFileKind::Directory : TFileKind::Regular;
  return true;
}

}  // namespace

int OpenFile(const String& name, TAccess access, bool create) {
  int flags = _O_BINARY | _O_NOINHERIT;
  if (create) {
    flags |= _O_RDWR | _O_CREAT | _O_TRUNC;
  } else {
    flags |= access == TAccess::Write ? _O_WRONLY : access == TAccess::ReadWrite ? _O_RDWR : _O_RDONLY;
  }
  const std::wstring wide = Wide(name);
  // Windows refuses to write a read-only file; Wine run by root would not.
  if (create || access != TAccess::Read) {
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      errno = EACCES;
      return -1;
    }
  }
  const int handle = ::_wopen(wide.c_str(), flags, _S_IREAD | _S_IWRITE);
  // The C run-time says only "Permission denied" for a folder.
  if (handle < 0 && errno == EACCES && IsDirectory(wide)) errno = EISDIR;
  return handle;
}

int CloseFile(int handle) { return ::_close(handle); }

std::int64_t ReadFile(int handle, void* buffer, std::size_t count) {
  return ::_read(handle, buffer, static_cast<unsigned>(count));
}

std::int64_t WriteFile(int handle, const void* buffer, std::size_t count) {
  return ::_write(handle, buffer, static_cast<unsigned>(count));
}

std::int64_t SeekFile(int handle, std::int64_t offset) { return ::_lseeki64(handle, offset, SEEK_SET); }
std::int64_t FilePosition(int handle) { return ::_lseeki64(handle, 0, SEEK_CUR); }

std::int64_t FileSize(int handle) {
  struct _stat64 st {};
  return ::_fstat64(handle, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

bool TruncateFile(int handle, std::int64_t size) {
  const errno_t error = ::_chsize_s(handle, size);
  if (error != 0) errno = error;
  return error == 0;
}

bool KindOf(int handle, TFileKind& kind) {
  const auto file = reinterpret_cast<HANDLE>(::_get_osfhandle(handle));
  return file != INVALID_HANDLE_VALUE && KindOfHandle(file, kind);
}

bool KindOf(const String& name, TFileKind& kind) {
  // Opening with backup semantics reaches folders too, and follows links.
  const HANDLE file = ::CreateFileW(Wide(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = KindOfHandle(file, kind);
  ::CloseHandle(file);
  return known;
}

bool IsConsoleName(const String& name) {
  const std::size_t slash = name.find_last_of(u"\\/:");
  String base = name.substr(slash == String::npos ? 0 : slash + 1);
  // Before Windows 11 (and in Wine) CON.wav is the console too.
  base = base.substr(0, base.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  using Sysutils::SameText;
  return SameText(base, u"CON") || SameText(base, u"CONIN$") || SameText(base, u"CONOUT$");
}

String ErrnoText(int error) {
  char buffer[256] = {};
  if (::strerror_s(buffer, sizeof buffer, error) != 0) return u"Unknown error";
  return UTF8ToString(buffer);
}

int PermissionsOf(const String&) { return -1; }
bool SetPermissions(int, int) { return true; }

bool RenameOver(const String& from, const String& to) {
  const std::wstring target = Wide(to);
  // Windows refuses to replace a read-only file, but Wine replaces it and
  // drops the attribute.
  if (const DWORD attributes = ::GetFileAttributesW(target.c_str());
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    errno = EACCES;
    return false;
  }
  if (::MoveFileExW(Wide(from).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) return true;
  SetErrnoFrom(::GetLastError());
  if (IsDirectory(target)) errno = EISDIR;
  return false;
}

void RemoveFile(const String& name) { ::DeleteFileW(Wide(name).c_str()); }

std::int64_t ProcessId() { return ::_getpid(); }

void Sleep(std::int32_t milliseconds) { ::Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0); }

std::int64_t PhysicalMemory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!::GlobalMemoryStatusEx(&status)) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(status.ullTotalPhys);
}

}  // namespace System::Native
