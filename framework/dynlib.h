// The system's dynamic loader behind one small interface: LoadLibrary,
// GetProcAddress and FreeLibrary as the framework names them, with the
// system's own text for the last failure on this thread: dlopen and dlerror
// on Linux, LoadLibraryW and FormatMessageW on Windows.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <utility>

#include "framework/strings.h"

namespace System {

using HMODULE = std::uintptr_t;  // 0 = no library

// dlopen(RTLD_NOW | RTLD_LOCAL), or LoadLibraryW. A bare name is searched
// the system's way; an empty name or one holding a NUL fails.
HMODULE LoadLibrary(std::u16string_view fileName);
void* GetProcAddress(HMODULE module, const char* name);
bool FreeLibrary(HMODULE module);
// Whether address lies in the code or data of the loaded library module.
bool ModuleContains(HMODULE module, const void* address);
// The loader's text for the last failed LoadLibrary or GetProcAddress on the
// calling thread (dlerror on Linux), empty when none failed.
String LastLoaderErrorText();

#if defined(_WIN32)
// GetLastError as it was when the last LoadLibrary, GetProcAddress or
// FreeLibrary of this thread failed.
unsigned long LastLoaderError();
// FormatMessageW's text for a system error code (from the message table of
// the module messages, when given), rendered into 256 UTF-16 units and cut
// at the first NUL; the line break the system ends it with stays. A text
// longer than 255 units is cut to them.
String SystemErrorText(unsigned long code, HMODULE messages = 0);
#endif

// Owns one loaded library and frees it once; move-only.
class TLibraryHandle {
 public:
  TLibraryHandle() = default;
  explicit TLibraryHandle(HMODULE module) noexcept : FModule(module) {}
  TLibraryHandle(TLibraryHandle&& other) noexcept : FModule(std::exchange(other.FModule, 0)) {}
  TLibraryHandle& operator=(TLibraryHandle&& other) noexcept {
    if (this != &other) {
      reset();
      FModule = std::exchange(other.FModule, 0);
    }
    return *this;
  }
  TLibraryHandle(const TLibraryHandle&) = delete;
  TLibraryHandle& operator=(const TLibraryHandle&) = delete;
  ~TLibraryHandle() { reset(); }

  HMODULE get() const noexcept { return FModule; }
  explicit operator bool() const noexcept { return FModule != 0; }
  HMODULE release() noexcept { return std::exchange(FModule, 0); }
  void reset() noexcept;

 private:
  HMODULE FModule = 0;
};

}  // namespace System
