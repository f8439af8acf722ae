// The package's version record, shared by the exported CorvinaVersionInfo and
// the Windows version resource: plain macros, which windres reads too.
#pragma once

// windres preprocesses this file as C, where the C++20 check cannot hold.
#ifndef RC_INVOKED
#include "framework/cxx20.h"  // first: says so when C++20 is missing
#endif

#define CORVINA_VERSION_NAME "Corvina"
#define CORVINA_FILE_VERSION "1.0.0.20"
#define CORVINA_FILE_VERSION_NUMBERS 1, 0, 0, 20
#define CORVINA_PRODUCT_VERSION "1.0.0.0"
#define CORVINA_PRODUCT_VERSION_NUMBERS 1, 0, 0, 0
#define CORVINA_VERSION_LANGUAGE 0x0409  // US English
#define CORVINA_VERSION_CODE_PAGE 1252
