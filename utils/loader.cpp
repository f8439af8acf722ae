#include "utils/loader.h"

#include <cstdint>
#include <exception>
#include <string>

#include "framework/exceptions.h"
#include "utils/loader_platform.h"

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

}  // namespace

System::HMODULE MySafeLoadLibrary(String Path, String Name) {
  System::HMODULE handle = 0;
  if (System::Sysutils::FileExists(Name)) handle = System::LoadLibrary(Platform::FirstAttemptName(Name));
  const String joined = Path + Name;
  if (!handle) handle = System::LoadLibrary(joined);
  if (!handle) {
    String text = Platform::LoadFailureText(joined);
    if (text.size() > kSystemTextMax) text.resize(kSystemTextMax);
    throw Exception(Format(u"Can not load %s %s", joined, text));
  }
  return handle;
}

void* SafeGetProcAddress(System::HMODULE Handle, const char16_t* Name) {
  void* address = reinterpret_cast<std::uintptr_t>(Name) < 65536 ? Platform::LookUpByOrdinal(Handle, Name)
                                                                   : Platform::LookUpByName(Handle, Name);
  if (!address) throw Exception(Format(u"Load %s failed!", ExportName(Name)));
  return address;
}

System::HMODULE LoadLibraryOrBesidePackage(const System::String& Path, const System::String& Name) {
  try {
    return MySafeLoadLibrary(Path, Name);
  } catch (const System::Sysutils::Exception&) {
    const System::String beside = Path.empty() ? Platform::FolderOfThisLibrary() : System::String();
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
