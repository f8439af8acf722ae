// The 35 exports of libsam2.so, declared from the binding's own function
// types so that a definition whose signature drifts does not compile.
#pragma once

#include "binding/anything.h"

using Anything::TBBox;
using Anything::TDrOBB;
using Anything::TVoiceExtractorProgressCallback;

extern "C" {
#define CORVINA_SAM2_DECLARE(name) __attribute__((visibility("default"))) Anything::name##_fn name;
ANYTHING_ENTRY_POINTS(CORVINA_SAM2_DECLARE)
#undef CORVINA_SAM2_DECLARE
}
