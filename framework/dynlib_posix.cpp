#include "framework/dynlib.h"

#include <dlfcn.h>

namespace System {

namespace {

thread_local std::string tLastError;

void RememberError() {
  const char* text = ::dlerror();
  tLastError = text ? text : "";
}

}  // namespace

HMODULE LoadLibrary(std::u16string_view fileName) {
  // dlopen of an empty name hands out the main program, which is never the
  // library a caller asked for.
  if (fileName.empty()) {
    tLastError = "the file name is empty";
    return 0;
  }
  const std::string native = UTF8Encode(fileName);
  if (native.find('\0') != std::string::npos) {
    tLastError = "file name contains a NUL character";
    return 0;
  }
  void* h = ::dlopen(native.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) RememberError();
  return reinterpret_cast<HMODULE>(h);
}

void* GetProcAddress(HMODULE module, const char* name) {
  if (!module || !name) {
    tLastError = "invalid handle or name";
    return nullptr;
  }
  ::dlerror();
  void* p = ::dlsym(reinterpret_cast<void*>(module), name);
  if (!p) RememberError();
  return p;
}

bool FreeLibrary(HMODULE module) {
  if (!module) return false;
  if (::dlclose(reinterpret_cast<void*>(module)) != 0) {
    RememberError();
    return false;
  }
  return true;
}

bool ModuleContains(HMODULE module, const void* address) {
  if (!module) return false;
  Dl_info info;
  void* owner = nullptr;
  if (!::dladdr1(address, &info, &owner, RTLD_DL_LINKMAP) || !owner) return false;
  void* map = nullptr;
  if (::dlinfo(reinterpret_cast<void*>(module), RTLD_DI_LINKMAP, &map) != 0) return false;
  return owner == map;
}

String LastLoaderErrorText() { return UTF8ToString(std::string_view(tLastError)); }

}  // namespace System
