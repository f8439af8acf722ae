#include "tests/support/native_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace Corvina::Testing {

#if defined(_WIN32)

namespace {

std::wstring WidePath(const std::string& utf8) {
  const int units = ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring out(units > 0 ? static_cast<std::size_t>(units - 1) : 0, L'\0');
  if (units > 1) ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), units);
  for (wchar_t& c : out)
    if (c == L'/') c = L'\\';
  return out;
}

}  // namespace

void* OpenLibrary(const std::string& path) { return ::LoadLibraryW(WidePath(path).c_str()); }
void* LoadedLibrary(const std::string& path) { return ::GetModuleHandleW(WidePath(path).c_str()); }
void* LibrarySymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}
void CloseLibrary(void* library) { ::FreeLibrary(static_cast<HMODULE>(library)); }
std::string LibraryError() { return "Windows error " + std::to_string(::GetLastError()); }

#else

void* OpenLibrary(const std::string& path) { return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void* LoadedLibrary(const std::string& path) {
  void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h) ::dlclose(h);  // the process still holds it
  return h;
}
void* LibrarySymbol(void* library, const char* name) { return ::dlsym(library, name); }
void CloseLibrary(void* library) { ::dlclose(library); }
std::string LibraryError() {
  const char* text = ::dlerror();
  return text ? text : "";
}

#endif

}  // namespace Corvina::Testing
