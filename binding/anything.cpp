#include "binding/anything.h"

namespace Anything {

#define ANYTHING_DEFINE_VARIABLE(name) name##_fn* name = nullptr;
ANYTHING_ENTRY_POINTS(ANYTHING_DEFINE_VARIABLE)
#undef ANYTHING_DEFINE_VARIABLE

#define ANYTHING_COUNT_ONE(name) +1
static_assert(0 ANYTHING_ENTRY_POINTS(ANYTHING_COUNT_ONE) == kEntryPointCount);
#undef ANYTHING_COUNT_ONE

}  // namespace Anything
