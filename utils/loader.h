// The one way the package loads an inference library and resolves an entry
// point: every failure becomes an Exception with a fixed message, so callers
// never test a null handle or pointer themselves.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include "framework/dynlib.h"
#include "framework/strings.h"

namespace Utils {

// Tries Name first when a file of that name exists (a name without a folder
// is loaded from the current folder, where FileExists found it), then
// Path + Name joined exactly as given. Raises "Can not load <Path+Name>
// <system text>", the text without the path the system repeats; an empty
// name is refused. Never returns 0.
System::HMODULE MySafeLoadLibrary(System::String Path, System::String Name);

// MySafeLoadLibrary(Path, Name); with an empty Path and the system's search
// failing, then the file beside libCorvina.so, where the reference backends
// sit, since a sanitizer's dlopen or a program without our run path does not
// look there. A failure reports the first attempt.
System::HMODULE LoadLibraryOrBesidePackage(const System::String& Path, const System::String& Name);

// Name is a NUL-terminated export name; a pointer value below 65536 is an
// ordinal. Raises "Load <name> failed!". Never returns null.
void* SafeGetProcAddress(System::HMODULE Handle, const char16_t* Name);

}  // namespace Utils
