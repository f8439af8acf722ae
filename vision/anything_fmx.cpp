#include "vision/anything_fmx.h"

#include <dlfcn.h>

#include <exception>
#include <string>
#include <utility>

#include "framework/dynlib.h"
#include "framework/exceptions.h"
#include "utils/loader.h"

namespace Anything::Fmx {

using System::String;
using System::TLibraryHandle;

String ANY_DLL_PATH;

#ifdef _WIN32
std::vector<String> ANY_DLL_COMPANIONS = {u"onnxruntime.dll", u"opencv_world4100.dll"};
const String ANY_DLL_NAME = u"sam2.dll";
#else
std::vector<String> ANY_DLL_COMPANIONS;
const String ANY_DLL_NAME = u"libsam2.so";
#endif

namespace {

// Plain handles on purpose: unloading is the unit's finalisation
// (UnLoadAnyLibs), never a static destructor racing components that may
// outlive it at process exit.
struct TLoadedLibraries {
  System::HMODULE Vision = 0;
  std::uint64_t Generation = 0;  // of the current load, 0 when none
  std::uint64_t LastGeneration = 0;
  std::vector<System::HMODULE> Companions;
};
TLoadedLibraries gLoaded;

void ResetEntryPoints() {
#define ANYTHING_RESET(name) Anything::name = nullptr;
  ANYTHING_ENTRY_POINTS(ANYTHING_RESET)
#undef ANYTHING_RESET
}

void ResolveEntryPoints(System::HMODULE vision) {
#define ANYTHING_RESOLVE(name)                                    \
  Anything::name = reinterpret_cast<Anything::name##_fn*>(        \
      Utils::SafeGetProcAddress(vision, System::Str(#name).c_str()));
  ANYTHING_ENTRY_POINTS(ANYTHING_RESOLVE)
#undef ANYTHING_RESOLVE
}

// The folder of the library this code is in (libCorvina.so), with a
// trailing separator; empty when the system cannot tell.
String FolderOfThisLibrary() {
#ifdef _WIN32
  return {};
#else
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&FolderOfThisLibrary), &info) || !info.dli_fname) return {};
  const std::string file = info.dli_fname;
  const auto slash = file.rfind('/');
  return slash == std::string::npos ? String() : System::UTF8ToString(file.substr(0, slash + 1));
#endif
}

// path + name; with no folder set, the bare name and then the file beside
// libCorvina.so, so that the reference backend is found also where the
// system's search does not look there (a sanitizer's dlopen, a program
// without our run path). A failure reports the first attempt.
System::HMODULE LoadFromFolder(const String& path, const String& name) {
  try {
    return Utils::MySafeLoadLibrary(path, name);
  } catch (const System::Sysutils::Exception&) {
    const String beside = path.empty() ? FolderOfThisLibrary() : String();
    if (beside.empty()) throw;
    const std::exception_ptr first = std::current_exception();
    try {
      return Utils::MySafeLoadLibrary(beside, name);
    } catch (const System::Sysutils::Exception&) {
      std::rethrow_exception(first);
    }
  }
}

}  // namespace

void LoadAnyLibs() {
  if (gLoaded.Vision) return;
  const String path = ANY_DLL_PATH;
  // Until the last entry point resolves, this attempt owns what it loaded
  // and a failure frees it, the last loaded first.
  struct TAttempt {
    std::vector<TLibraryHandle> Loaded;
    ~TAttempt() {
      while (!Loaded.empty()) Loaded.pop_back();
    }
  } attempt;
  attempt.Loaded.reserve(ANY_DLL_COMPANIONS.size() + 1);
  for (const String& name : ANY_DLL_COMPANIONS) attempt.Loaded.emplace_back(LoadFromFolder(path, name));
  const System::HMODULE vision = attempt.Loaded.emplace_back(LoadFromFolder(path, ANY_DLL_NAME)).get();
  try {
    ResolveEntryPoints(vision);
  } catch (...) {
    ResetEntryPoints();
    throw;
  }
  gLoaded.Vision = attempt.Loaded.back().release();
  gLoaded.Generation = ++gLoaded.LastGeneration;
  attempt.Loaded.pop_back();
  for (TLibraryHandle& companion : attempt.Loaded) gLoaded.Companions.push_back(companion.release());
}

void UnLoadAnyLibs() {
  if (!gLoaded.Vision) return;
  gLoaded.Generation = 0;
  TLibraryHandle(std::exchange(gLoaded.Vision, 0)).reset();
  ResetEntryPoints();
  while (!gLoaded.Companions.empty()) {
    TLibraryHandle(gLoaded.Companions.back()).reset();
    gLoaded.Companions.pop_back();
  }
}

bool AnyLibsLoaded() { return gLoaded.Vision != 0; }

std::uint64_t AnyLibsGeneration() { return gLoaded.Generation; }

}  // namespace Anything::Fmx
