#include "vision/anything_fmx.h"


#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "framework/dynlib.h"
#include "framework/exceptions.h"
#include "framework/immortal.h"
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

// Holds are released on workers, so these two are shared across threads.
struct THolds {
  std::mutex Mutex;
  int Count = 0;
  std::vector<System::HMODULE> Unloaded;  // freed, in order, when Count drops to 0
};
// Never destroyed: a worker may release its hold at exit.
System::TImmortal<THolds> gHoldsStorage;
THolds& gHolds = gHoldsStorage.Value;

void Free(std::vector<System::HMODULE>& modules) {
  for (System::HMODULE module : modules) TLibraryHandle(module).reset();
  modules.clear();
}

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
  for (const String& name : ANY_DLL_COMPANIONS) attempt.Loaded.emplace_back(Utils::LoadLibraryOrBesidePackage(path, name));
  const System::HMODULE vision = attempt.Loaded.emplace_back(Utils::LoadLibraryOrBesidePackage(path, ANY_DLL_NAME)).get();
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
  ResetEntryPoints();
  std::vector<System::HMODULE> modules{std::exchange(gLoaded.Vision, 0)};
  modules.insert(modules.end(), gLoaded.Companions.rbegin(), gLoaded.Companions.rend());
  gLoaded.Companions.clear();
  {
    std::lock_guard lock(gHolds.Mutex);
    if (gHolds.Count > 0) {
      gHolds.Unloaded.insert(gHolds.Unloaded.end(), modules.begin(), modules.end());
      return;
    }
  }
  Free(modules);
}

TAnyLibsHold::TAnyLibsHold() : FHeld(true) {
  std::lock_guard lock(gHolds.Mutex);
  ++gHolds.Count;
}

TAnyLibsHold::~TAnyLibsHold() {
  if (!FHeld) return;
  std::vector<System::HMODULE> unloaded;
  {
    std::lock_guard lock(gHolds.Mutex);
    if (--gHolds.Count == 0) unloaded.swap(gHolds.Unloaded);
  }
  Free(unloaded);
}

bool AnyLibsLoaded() { return gLoaded.Vision != 0; }

std::uint64_t AnyLibsGeneration() { return gLoaded.Generation; }

}  // namespace Anything::Fmx
