// Run-time packages: shared libraries that carry units with start and stop
// routines and components for the palette.
//
// A package exports, with C linkage:
//   void Initialize();                      starts its units in table order
//   void Finalize();                        stops them in reverse order
//   PackageInfoTable* GetPackageInfoTable();
//   unsigned char PACKAGEINFO[];            its description (layout below)
//   std::uint32_t PACKAGEINFOSIZE;          and the description's size
//   void Register_<Unit>();                 per unit that registers components;
//                                           dots in the unit name become '_'
// ELF has no resources, so the description is exported data; Windows
// packages carry it as their RCDATA resource PACKAGEINFO as well.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/dynlib.h"
#include "framework/exceptions.h"
#include "framework/strings.h"

namespace System {

class EPackageError : public Sysutils::Exception { public: using Exception::Exception; };

// One unit's routines; either may be null (a unit without start-up or
// shut-down work). A unit guards its own work with a run-once counter.
struct PackageUnitEntry {
  void (*Init)();
  void (*FInit)();
};

struct PackageInfoTable {
  std::int32_t UnitCount;
  const PackageUnitEntry* UnitInfo;
};

// A unit's run-once counter, 0 at load: Start is true on the step from 0 to
// -1 and Stop on the step back to 0, so a unit reached by several loads
// starts and stops once. A Stop with nothing started leaves it at 0.
class TUnitCounter {
 public:
  bool Start() { return --FCount == -1; }
  bool Stop() { return FCount < 0 && ++FCount == 0; }
  std::int32_t Value() const { return FCount; }

 private:
  std::int32_t FCount = 0;
};

// Runs the units' start routines in table order, and their stop routines in
// reverse order: a stop without a start does nothing, and a start that fails
// stops the units it reached before it raises, so it owes no stop.
class TPackageContext {
 public:
  explicit TPackageContext(const PackageInfoTable& table) : FTable(table) {}
  void Initialize();
  void Finalize();
  int Started() const { return FStarted; }

 private:
  const PackageInfoTable& FTable;
  int FStarted = 0;
  int FStarts = 0;
};

// The description's flags word.
enum : std::uint32_t {
  pfNeverBuild = 0x1,
  pfDesignOnly = 0x2,
  pfRunOnly = 0x4,
  pfIgnoreDupUnits = 0x8,
  pfModuleTypeMask = 0xC0000000,
  pfExeModule = 0x00000000,
  pfPackageModule = 0x40000000,
  pfLibraryModule = 0x80000000,
};
// A contained unit's flag byte.
enum : std::uint8_t { ufMainUnit = 0x01, ufPackageUnit = 0x02, ufWeakUnit = 0x04, ufOrgWeakUnit = 0x08 };

struct TPackageName {
  std::uint8_t Hash = 0;
  std::string Name;
};
struct TPackageUnit {
  std::uint8_t Flags = 0;
  std::uint8_t Hash = 0;
  std::string Name;
};

// Layout: a 32-bit flags word; a 32-bit count of required packages, each one
// hash byte and a zero-terminated name; a 32-bit count of contained units,
// each one flag byte, one hash byte and a zero-terminated name; the package's
// own name as one hash byte and a zero-terminated name. Little-endian.
struct TPackageDescription {
  std::uint32_t Flags = 0;
  std::vector<TPackageName> Requires;
  std::vector<TPackageUnit> Contains;
  TPackageName Package;

  std::vector<std::uint8_t> Encode() const;
  // Raises EPackageError for a description that is cut short or runs on.
  static TPackageDescription Decode(std::span<const std::uint8_t> bytes);
};

// The hash byte stored beside each name: ASCII letters taken as upper case,
// so that names differing only in case hash alike.
constexpr std::uint8_t PackageNameHash(std::string_view name) {
  std::uint32_t h = 0;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    h = (h << 5 | h >> 27) ^ u;  // rotate and mix, as simple name hashes do
  }
  return static_cast<std::uint8_t>(h ^ h >> 8 ^ h >> 16 ^ h >> 24);
}

// Opens the package, runs its Initialize, then the Register procedure of each
// contained unit that has one, in description order. Raises EPackageError
// naming the file; nothing stays loaded or started after a failure.
HMODULE LoadPackage(const String& fileName);
// Runs the package's Finalize and closes it; null does nothing. Raises
// EPackageError for a handle LoadPackage did not hand out (or that is
// unloaded already), and, leaving everything as it was, for the last unload
// while components whose class code lies in the package are alive.
void UnloadPackage(HMODULE module);
// The description of a loaded package: its RCDATA resource PACKAGEINFO where
// it has one, else its exported PACKAGEINFO.
TPackageDescription GetPackageDescription(HMODULE module);

}  // namespace System
