// Files by descriptor, the same calls on each system: POSIX open/read/write
// on Linux, the C run-time's wide-name _wopen family on Windows (binary,
// never inherited). Failures return -1 (false) and leave the reason in errno.
// Internal to the framework layer and the units of the package.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstddef>
#include <cstdint>

#include "framework/strings.h"

namespace System::Native {

enum class TAccess { Read, Write, ReadWrite };

// create: make the file or empty it, opened for reading and writing.
int OpenFile(const String& name, TAccess access, bool create);
int CloseFile(int handle);
std::int64_t ReadFile(int handle, void* buffer, std::size_t count);
std::int64_t WriteFile(int handle, const void* buffer, std::size_t count);
std::int64_t SeekFile(int handle, std::int64_t offset);  // from the start
std::int64_t FilePosition(int handle);
std::int64_t FileSize(int handle);
bool TruncateFile(int handle, std::int64_t size);

// BlockDevice: a disk, which seeks as a file does; Other: pipes, terminals;
// Device (Windows only): a device that a file name reaches (NUL, CON, COM1,
// COM1.png), which holds no file.
enum class TFileKind { Regular, Directory, BlockDevice, Other, Device };
bool KindOf(int handle, TFileKind& kind);

// The kind of what a name points at, links followed; false when nothing is there.
bool KindOf(const String& name, TFileKind& kind);
// Whether the name's last part is one of the console's (CON, CONIN$,
// CONOUT$, in any folder, CON.wav too); always false elsewhere. Without a
// console these cannot be opened at all (EBADF), so their kind is never seen.
bool IsConsoleName(const String& name);
// The C library's text for an errno value.
String ErrnoText(int error);

// The permission bits of an existing regular file, -1 without one (always
// -1 on Windows, whose files carry no such bits); and giving them to a file.
int PermissionsOf(const String& name);
bool SetPermissions(int handle, int permissions);

// Renames from over to, replacing a file there; removes a file.
bool RenameOver(const String& from, const String& to);
void RemoveFile(const String& name);

std::int64_t ProcessId();
void Sleep(std::int32_t milliseconds);
// The machine's memory in bytes, the largest int64 when the system cannot say.
std::int64_t PhysicalMemory();

}  // namespace System::Native
