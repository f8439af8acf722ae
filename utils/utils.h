// Unit utils: library loading, bitmap conversions and view geometry.
#pragma once

#include "utils/loader.h"
