// Opening a library and finding its exports from a test, beside the
// package's own loader: dlopen and dlsym on Linux, LoadLibraryW and
// GetProcAddress on Windows. Paths are UTF-8.
#pragma once

#include <string>

namespace Corvina::Testing {

void* OpenLibrary(const std::string& path);
// The library at path if the process has it loaded, else null; the handle
// takes no reference.
void* LoadedLibrary(const std::string& path);
void* LibrarySymbol(void* library, const char* name);
void CloseLibrary(void* library);
// What the system said about the last failure.
std::string LibraryError();

// A library's file name on this system: libNAME.so or NAME.dll.
inline std::string LibraryFile(const std::string& name) {
#if defined(_WIN32)
  return name + ".dll";
#else
  return "lib" + name + ".so";
#endif
}

}  // namespace Corvina::Testing
