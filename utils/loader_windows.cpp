#include <windows.h>

#include <string>
#include <vector>

#include "utils/loader_platform.h"

namespace Utils::Platform {

using System::String;

// The bare name goes to LoadLibraryW as it is: the system's own search order
// decides which file is loaded.
String FirstAttemptName(const String& name) { return name; }

String LoadFailureText(const String&) { return System::LastLoaderErrorText(); }

// Export names are 8-bit text in the system's ANSI code page.
void* LookUpByName(System::HMODULE handle, const char16_t* name) {
  const std::wstring wide(name, name + std::char_traits<char16_t>::length(name));
  const int bytes = ::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return nullptr;
  std::vector<char> ansi(static_cast<std::size_t>(bytes));
  ::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, ansi.data(), bytes, nullptr, nullptr);
  return System::GetProcAddress(handle, ansi.data());
}

void* LookUpByOrdinal(System::HMODULE handle, const char16_t* ordinal) {
  return System::GetProcAddress(handle, reinterpret_cast<const char*>(ordinal));
}

String FolderOfThisLibrary() {
  HMODULE self = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&FolderOfThisLibrary), &self)) {
    return {};
  }
  std::wstring file(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(self, file.data(), static_cast<DWORD>(file.size()));
    if (n == 0) return {};
    if (n < file.size()) {
      file.resize(n);
      break;
    }
    file.resize(file.size() * 2);
  }
  const auto slash = file.find_last_of(L"\\/");
  return slash == std::wstring::npos ? String() : String(file.begin(), file.begin() + slash + 1);
}

}  // namespace Utils::Platform
