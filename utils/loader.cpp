#include "utils/loader.h"

#include <cstdint>

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

}  // namespace Utils
