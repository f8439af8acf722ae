// The package unit: what libCorvina.so says about itself to a package loader,
// the start and stop order of its units, and the registration of its ten
// components on the palette page "AI Video".
//
// Exported with C linkage: Initialize, Finalize, GetPackageInfoTable, the
// description PACKAGEINFO / PACKAGEINFOSIZE (read it with
// System::GetPackageDescription), the version record
// CorvinaVersionInfo, and Register_SD_FMX, Register_AnyThing_FMX,
// Register_Face_FMX (see framework/packages.h). A program that links
// libCorvina.so gets one start when the library loads and the matching stop
// when it unloads; LoadPackage and UnloadPackage add theirs, and each unit's
// run-once counter keeps its work to the first start and the last stop.
// Finalize stops only what Initialize started: without one it does nothing.
// The library defines no STB_GNU_UNIQUE symbols, so its last unload really
// unmaps it and a later load starts from the same state as the first.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>

#include "framework/packages.h"

namespace Corvina {

struct TVersionRecord {
  const char* FileDescription;
  const char* ProductName;
  const char* FileVersion;
  const char* ProductVersion;
  const char* LastCompiledTime;
  std::uint16_t Language;  // 0x0409: US English
  std::uint16_t CodePage;  // 1252
};

// The units in start order, as GetPackageInfoTable hands them out.
enum TUnit {
  uStableDiffusion,
  uUtils,
  uSdFmx,
  uAnyThing,
  uAnyThingFmx,
  uFaceFmx,
  uAudioWaveReader,
  uCorvina,
  UnitCount
};

// A unit's run-once counter: 0 at load, -1 while started.
std::int32_t UnitCounter(TUnit unit);

// Registers the ten components as the three units' Register procedures do,
// for a program that creates components by class name without loading the
// package through LoadPackage.
void RegisterAll();

}  // namespace Corvina

extern "C" {
void Initialize();
void Finalize();
System::PackageInfoTable* GetPackageInfoTable();
extern const Corvina::TVersionRecord CorvinaVersionInfo;
void Register_SD_FMX();
void Register_AnyThing_FMX();
void Register_Face_FMX();
}

namespace Sd::Fmx { void Register(); }
namespace Anything::Fmx { void Register(); }
namespace Face::Fmx { void Register(); }
