// Unit utils: library loading, bitmap conversions and view geometry.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include "utils/bitmaps.h"
#include "utils/geometry.h"
#include "utils/loader.h"
