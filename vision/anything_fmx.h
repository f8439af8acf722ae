// Unit AnyThing.FMX: where the vision library is loaded from, its loading
// and unloading, and (in the files beside this one) the components that
// drive it: TFMXSam, TFMXOSTrack, TFMXRemoveAnything, TFMXRemoveBg.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <utility>
#include <vector>

#include "binding/anything.h"
#include "framework/strings.h"

namespace Anything::Fmx {

// Folder of the vision library and its companions, ending with a path
// separator, or empty for the system's search and then the folder of
// libCorvina.so (where a build tree has the reference backend). Read only by
// LoadAnyLibs.
extern System::String ANY_DLL_PATH;

// Libraries loaded from ANY_DLL_PATH, in order, before the vision library.
// Empty on Linux, where the dynamic linker finds a library's own
// dependencies; onnxruntime.dll and opencv_world4100.dll on Windows.
extern std::vector<System::String> ANY_DLL_COMPANIONS;

// The vision library's file name on this platform.
extern const System::String ANY_DLL_NAME;

// Loads the companions, then the vision library, then resolves every entry
// point in the binding's order. Does nothing when already loaded. On a
// failure nothing stays loaded from this attempt, every entry-point variable
// is null again, the loader's exception propagates, and the next call
// retries from the start.
void LoadAnyLibs();

// Frees the vision library (then the companions) and nulls every entry-point
// variable; a later LoadAnyLibs loads again. While a TAnyLibsHold is out the
// libraries stay in memory until the last one goes. Never raises.
void UnLoadAnyLibs();

// Keeps the loaded libraries in memory for a worker that still calls into
// them with entry points it took beforehand: an UnLoadAnyLibs meanwhile
// nulls the entry points at once and frees the libraries when the last hold
// goes. Taken where the libraries are loaded; released on any thread.
class TAnyLibsHold {
 public:
  TAnyLibsHold();
  ~TAnyLibsHold();
  TAnyLibsHold(TAnyLibsHold&& other) noexcept : FHeld(std::exchange(other.FHeld, false)) {}
  TAnyLibsHold& operator=(TAnyLibsHold&&) = delete;
  TAnyLibsHold(const TAnyLibsHold&) = delete;
  TAnyLibsHold& operator=(const TAnyLibsHold&) = delete;

 private:
  bool FHeld;
};

// True once LoadAnyLibs has succeeded and until UnLoadAnyLibs.
bool AnyLibsLoaded();

// Which load the entry points come from: a new number for every successful
// LoadAnyLibs, 0 while nothing is loaded. A context belongs to the load that
// created it and means nothing to a library loaded later.
std::uint64_t AnyLibsGeneration();

}  // namespace Anything::Fmx
