#include <dlfcn.h>

#include <string>

#include "utils/loader_platform.h"

namespace Utils::Platform {

using System::String;

// The Linux loader never looks in the current folder for a bare name, so a
// name without a folder is made a path into it.
String FirstAttemptName(const String& name) { return name.find(u'/') == String::npos ? u"./" + name : name; }

// dlerror starts with the path it tried, which the message already names.
String LoadFailureText(const String& path) {
  String text = System::LastLoaderErrorText();
  const String prefix = path + u": ";
  if (!path.empty() && text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
  return text;
}

void* LookUpByName(System::HMODULE handle, const char16_t* name) {
  return System::GetProcAddress(handle, System::UTF8Encode(name).c_str());
}

// Linux has no ordinals: such a lookup can only fail, with the number named.
void* LookUpByOrdinal(System::HMODULE, const char16_t*) { return nullptr; }

String FolderOfThisLibrary() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&FolderOfThisLibrary), &info) || !info.dli_fname) return {};
  const std::string file = info.dli_fname;
  const auto slash = file.rfind('/');
  return slash == std::string::npos ? String() : System::UTF8ToString(file.substr(0, slash + 1));
}

}  // namespace Utils::Platform
