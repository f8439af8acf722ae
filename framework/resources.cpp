#include "framework/resources.h"

#ifdef _WIN32
#include <windows.h>

#include <string>
#endif

namespace System {

#ifdef _WIN32

std::optional<std::span<const std::uint8_t>> FindDataResource(HMODULE module, std::u16string_view name) {
  const auto instance = reinterpret_cast<::HMODULE>(module);
  const std::wstring wide(name.begin(), name.end());
  HRSRC found = ::FindResourceW(instance, wide.c_str(), MAKEINTRESOURCEW(10));  // RT_RCDATA
  if (found == nullptr) return std::nullopt;
  // A module's resources are mapped with it: nothing to free.
  HGLOBAL loaded = ::LoadResource(instance, found);
  const void* data = loaded != nullptr ? ::LockResource(loaded) : nullptr;
  if (data == nullptr) return std::nullopt;
  return std::span(static_cast<const std::uint8_t*>(data), ::SizeofResource(instance, found));
}

#else

std::optional<std::span<const std::uint8_t>> FindDataResource(HMODULE, std::u16string_view) { return std::nullopt; }

#endif

}  // namespace System
