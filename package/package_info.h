// The package description (PACKAGEINFO), encoded at compile time: the
// exported data on every platform and, on Windows, the RCDATA resource of
// the same name hold exactly these bytes.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "framework/packages.h"

namespace Corvina {

namespace PackageInfo {

struct TUnitName {
  std::uint8_t Flags;
  std::string_view Name;
};

// The framework library as the system's loader knows it.
#ifdef _WIN32
constexpr std::string_view kRequires[] = {"CorvinaFramework.dll"};
#else
constexpr std::string_view kRequires[] = {"libCorvinaFramework.so.1"};  // its SONAME
#endif
// Resource order, which is not the start order.
constexpr TUnitName kContains[] = {
    {System::ufMainUnit | System::ufPackageUnit, "Corvina"},
    {0, "audio.wave.reader"}, {0, "SysInit"}, {0, "Face.FMX"}, {0, "AnyThing.FMX"}, {0, "utils"},
    {0, "AnyThing"},          {0, "StableDiffusion"},          {0, "SD.FMX"}};
constexpr std::string_view kPackageName = "Corvina";

template <class TOut>
constexpr std::size_t Encode(TOut put) {
  std::size_t n = 0;
  auto byte = [&](std::uint8_t b) { put(n++, b); };
  auto u32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) byte(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  auto name = [&](std::string_view text) {
    for (char c : text) byte(static_cast<std::uint8_t>(c));
    byte(0);
  };
  u32(System::pfPackageModule);
  u32(std::size(kRequires));
  for (auto r : kRequires) {
    byte(System::PackageNameHash(r));
    name(r);
  }
  u32(std::size(kContains));
  for (auto u : kContains) {
    byte(u.Flags);
    byte(System::PackageNameHash(u.Name));
    name(u.Name);
  }
  byte(System::PackageNameHash(kPackageName));
  name(kPackageName);
  return n;
}

constexpr std::size_t kSize = Encode([](std::size_t, std::uint8_t) {});

}  // namespace PackageInfo

struct TDescriptionBytes {
  unsigned char Bytes[PackageInfo::kSize];
};

constexpr TDescriptionBytes Description() {
  TDescriptionBytes d{};
  PackageInfo::Encode([&](std::size_t i, std::uint8_t b) { d.Bytes[i] = b; });
  return d;
}

}  // namespace Corvina
