// The dynamic loader on Windows: LoadLibraryW with the UTF-16 name as it
// stands, and the system's text for the thread's last loader error.
#include <windows.h>
// windows.h makes LoadLibrary a macro for LoadLibraryA or LoadLibraryW.
#undef LoadLibrary

#include <algorithm>
#include <string_view>

#include "framework/dynlib.h"

namespace System {

namespace {

// The code of this thread's last failed call, taken at once: later calls
// (allocating the message, say) may overwrite GetLastError.
thread_local DWORD tLastError = ERROR_SUCCESS;

void RememberError() { tLastError = ::GetLastError(); }

}  // namespace

HMODULE LoadLibrary(std::u16string_view fileName) {
  // LoadLibraryW("") hands out no library a caller asked for, and a NUL would
  // end the name early.
  if (fileName.empty() || fileName.find(u'\0') != std::u16string_view::npos) {
    tLastError = ERROR_INVALID_NAME;
    return 0;
  }
  const std::wstring wide(fileName.begin(), fileName.end());
  ::HMODULE h = ::LoadLibraryW(wide.c_str());
  if (!h) RememberError();
  return reinterpret_cast<HMODULE>(h);
}

void* GetProcAddress(HMODULE module, const char* name) {
  if (!module) {
    tLastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  // A name below 65536 is an ordinal and goes to the system as it is.
  void* p = reinterpret_cast<void*>(::GetProcAddress(reinterpret_cast<::HMODULE>(module), name));
  if (!p) RememberError();
  return p;
}

bool FreeLibrary(HMODULE module) {
  if (!module) return false;
  if (!::FreeLibrary(reinterpret_cast<::HMODULE>(module))) {
    RememberError();
    return false;
  }
  return true;
}

bool ModuleContains(HMODULE module, const void* address) {
  if (!module) return false;
  ::HMODULE owner = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &owner)) {
    return false;
  }
  return reinterpret_cast<HMODULE>(owner) == module;
}

String SystemErrorText(unsigned long code, HMODULE messages) {
  constexpr DWORD kFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD flags = messages ? kFlags | FORMAT_MESSAGE_FROM_HMODULE : kFlags;
  wchar_t buffer[256] = {};
  if (::FormatMessageW(flags, reinterpret_cast<LPCVOID>(messages), code, 0, buffer, 256, nullptr) == 0 &&
      ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    buffer[0] = 0;
    // The system refuses a text longer than the buffer instead of cutting
    // it; cut it here, so the caller still learns what went wrong.
    wchar_t* whole = nullptr;
    if (::FormatMessageW(flags | FORMAT_MESSAGE_ALLOCATE_BUFFER, reinterpret_cast<LPCVOID>(messages), code, 0,
                         reinterpret_cast<LPWSTR>(&whole), 0, nullptr) != 0) {
      const std::wstring_view text(whole);
      std::copy_n(text.begin(), std::min<std::size_t>(text.size(), 255), buffer);
      ::LocalFree(whole);
    }
  }
  buffer[255] = 0;
  const std::wstring_view text(buffer);
  return String(text.begin(), text.end());
}

unsigned long LastLoaderError() { return tLastError; }

String LastLoaderErrorText() { return tLastError == ERROR_SUCCESS ? String() : SystemErrorText(tLastError); }

}  // namespace System
