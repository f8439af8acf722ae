#include "utils/loader.h"

#include <cstdint>
#include <exception>
#include <string>

#include <dlfcn.h>

#include "framework/exceptions.h"

namespace Utils {

using System::String;
using System::Sysutils::Exception;
using System::Sysutils::Format;

namespace {

// The system text is rendered into a buffer of 256 UTF-16 units.
constexpr size_t kSystemTextMax = 255;

String ExportName(const char16_t* name) {
  const auto value = reinterpret_cast<std::uintptr_t>(name);
  if (value < 65536) return u"#" + System::Sysutils::IntToStr(static_cast<std::int64_t>(value));
  return String(name);
}

// The first attempt is meant for a file that exists where the name points;
// the Linux loader never looks in the current folder for a bare name, so a
// name without a folder is made a path into it.
String AsPath(const String& name) { return name.find(u'/') == String::npos ? u"./" + name : name; }

// dlerror starts with the path it tried, which the message already names.
String WithoutLeadingPath(String text, const String& path) {
  const String prefix = path + u": ";
  if (!path.empty() && text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
  return text;
}

}  // namespace

System::HMODULE MySafeLoadLibrary(String Path, String Name) {
  System::HMODULE handle = 0;
  if (System::Sysutils::FileExists(Name)) handle = System::LoadLibrary(AsPath(Name));
  const String joined = Path + Name;
  if (!handle) handle = System::LoadLibrary(joined);
  if (!handle) {
    String text = WithoutLeadingPath(System::LastLoaderErrorText(), joined);
    if (text.size() > kSystemTextMax) text.resize(kSystemTextMax);
    throw Exception(Format(u"Can not load %s %s", joined, text));
  }
  return handle;
}

void* SafeGetProcAddress(System::HMODULE Handle, const char16_t* Name) {
  void* address = nullptr;
  // Linux has no ordinals: such a lookup can only fail, with the number named.
  if (reinterpret_cast<std::uintptr_t>(Name) >= 65536)
    address = System::GetProcAddress(Handle, System::UTF8Encode(Name).c_str());
  if (!address) throw Exception(Format(u"Load %s failed!", ExportName(Name)));
  return address;
}

namespace {

// The folder of the library this code is in (libCorvina.so), with a
// trailing separator; empty when the system cannot tell.
System::String FolderOfThisLibrary() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&FolderOfThisLibrary), &info) || !info.dli_fname) return {};
  const std::string file = info.dli_fname;
  const auto slash = file.rfind('/');
  return slash == std::string::npos ? System::String() : System::UTF8ToString(file.substr(0, slash + 1));
}

}  // namespace

System::HMODULE LoadLibraryOrBesidePackage(const System::String& Path, const System::String& Name) {
  try {
    return MySafeLoadLibrary(Path, Name);
  } catch (const System::Sysutils::Exception&) {
    const System::String beside = Path.empty() ? FolderOfThisLibrary() : System::String();
    if (beside.empty()) throw;
    const std::exception_ptr first = std::current_exception();
    try {
      return MySafeLoadLibrary(beside, Name);
    } catch (const System::Sysutils::Exception&) {
      std::rethrow_exception(first);
    }
  }
}

}  // namespace Utils
