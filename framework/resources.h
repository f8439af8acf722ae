// A loaded module's own data resources. Windows keeps them inside the module
// file (RCDATA); ELF has no resources, so there every lookup finds nothing.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "framework/dynlib.h"

namespace System {

// The bytes of the RCDATA resource called name in module, valid while the
// module stays loaded; nullopt when it has none.
std::optional<std::span<const std::uint8_t>> FindDataResource(HMODULE module, std::u16string_view name);

}  // namespace System
