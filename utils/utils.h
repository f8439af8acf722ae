// Unit utils: library loading, bitmap conversions and view geometry.
#pragma once

#include "utils/bitmaps.h"
#include "utils/geometry.h"
#include "utils/loader.h"
