// What the loader does differently on each system. Internal to unit utils.
#pragma once

#include "framework/dynlib.h"
#include "framework/strings.h"

namespace Utils::Platform {

// The name the first attempt loads once FileExists(name) has found the file.
System::String FirstAttemptName(const System::String& name);
// The system's text for the failed load of path, as the message shows it.
System::String LoadFailureText(const System::String& path);
// GetProcAddress for an export name that is not an ordinal.
void* LookUpByName(System::HMODULE handle, const char16_t* name);
// GetProcAddress for an ordinal (a name pointer below 65536), or null where
// the system has none.
void* LookUpByOrdinal(System::HMODULE handle, const char16_t* ordinal);
// The folder of the library this code is in, with a trailing separator;
// empty when the system cannot tell.
System::String FolderOfThisLibrary();

}  // namespace Utils::Platform
