// What the library handle does the same on every system; the system's own
// calls are in dynlib_posix.cpp and dynlib_windows.cpp.
#include "framework/dynlib.h"

#include "framework/log.h"

namespace System {

void TLibraryHandle::reset() noexcept {
  if (FModule && !FreeLibrary(std::exchange(FModule, 0))) {
    try {
      Fmx::Types::Log::d(u"freeing a library failed: " + LastLoaderErrorText());
    } catch (...) {
    }
  }
}

}  // namespace System
