#include "package/corvina.h"

#include <cstddef>
#include <iterator>
#include <string_view>

#include "audio/wave_file_reader.h"
#include "face/face_fmx.h"
#include "framework/components.h"
#include "generation/sd_fmx.h"
#include "vision/anything_fmx.h"
#include "vision/ostrack.h"
#include "vision/remove_anything.h"
#include "vision/remove_bg.h"
#include "vision/sam.h"

using System::Classes::RegisterComponents;
using System::Classes::TComponentClass;

namespace Corvina {

namespace {

System::TUnitCounter counters[UnitCount];

// Each unit: no start-up work; the shut-down work below, once.
template <TUnit U>
void Start() {
  counters[U].Start();
}
template <TUnit U>
void Stop() {
  if (!counters[U].Stop()) return;
  if constexpr (U == uAudioWaveReader) Audio::Wave::Reader::Finalize();
  if constexpr (U == uAnyThingFmx) {
    Anything::Fmx::UnLoadAnyLibs();
    Anything::Fmx::ANY_DLL_PATH.clear();
  }
  if constexpr (U == uSdFmx) {
    Sd::Fmx::UnLoadSDLibs();
    Sd::Fmx::SD_DLL_PATH.clear();
  }
}

const System::PackageUnitEntry units[] = {
    {Start<uStableDiffusion>, Stop<uStableDiffusion>},
    {Start<uUtils>, Stop<uUtils>},
    {Start<uSdFmx>, Stop<uSdFmx>},
    {Start<uAnyThing>, Stop<uAnyThing>},
    {Start<uAnyThingFmx>, Stop<uAnyThingFmx>},
    {Start<uFaceFmx>, Stop<uFaceFmx>},
    {Start<uAudioWaveReader>, Stop<uAudioWaveReader>},
    {nullptr, nullptr},  // Corvina itself
};
static_assert(std::size(units) == UnitCount);

System::PackageInfoTable table{UnitCount, units};
System::TPackageContext context(table);
// Starts made through the exported Initialize. Finalize answers only these:
// a stop without a start must not take the library's own start, made when it
// was mapped, and unload what a program that links it still uses.
int exportedStarts = 0;

// The description is constant data: a program that links the library and
// reads it directly gets a copy made at load time, which must already hold it.
struct TUnitName {
  std::uint8_t Flags;
  std::string_view Name;
};
constexpr std::string_view kRequires[] = {"libCorvinaFramework.so.1"};  // its SONAME
// Resource order, which is not the start order.
constexpr TUnitName kContains[] = {
    {System::ufMainUnit | System::ufPackageUnit, "Corvina"},
    {0, "audio.wave.reader"}, {0, "SysInit"}, {0, "Face.FMX"}, {0, "AnyThing.FMX"}, {0, "utils"},
    {0, "AnyThing"},          {0, "StableDiffusion"},          {0, "SD.FMX"}};
constexpr std::string_view kPackageName = "Corvina";

template <class TOut>
constexpr std::size_t EncodeDescription(TOut put) {
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

constexpr std::size_t kDescriptionSize = EncodeDescription([](std::size_t, std::uint8_t) {});

}  // namespace

struct TDescriptionBytes {
  unsigned char Bytes[kDescriptionSize];
};

constexpr TDescriptionBytes Description() {
  TDescriptionBytes d{};
  EncodeDescription([&](std::size_t i, std::uint8_t b) { d.Bytes[i] = b; });
  return d;
}

std::int32_t UnitCounter(TUnit unit) { return counters[unit].Value(); }

void RegisterAll() {
  Sd::Fmx::Register();
  Anything::Fmx::Register();
  Face::Fmx::Register();
}

}  // namespace Corvina

namespace Sd::Fmx {
void Register() { RegisterComponents(u"AI Video", {TComponentClass::Of<TFMXStableDiffusion>()}); }
}  // namespace Sd::Fmx

namespace Anything::Fmx {
void Register() {
  RegisterComponents(u"AI Video", {TComponentClass::Of<TFMXSam>(), TComponentClass::Of<TFMXOSTrack>(),
                                   TComponentClass::Of<TFMXRemoveAnything>(), TComponentClass::Of<TFMXRemoveBg>()});
}
}  // namespace Anything::Fmx

namespace Face::Fmx {
void Register() {
  RegisterComponents(u"AI Video", {TComponentClass::Of<TFMXLivePortrait>(), TComponentClass::Of<TFMXFaceDetector>(),
                                   TComponentClass::Of<TFMXFaceEnhancer>(), TComponentClass::Of<TFMXFaceSwapper>(),
                                   TComponentClass::Of<TFMXVoiceExtractor>()});
}
}  // namespace Face::Fmx

extern "C" {

extern const Corvina::TDescriptionBytes PACKAGEINFO;
extern const std::uint32_t PACKAGEINFOSIZE;
const Corvina::TDescriptionBytes PACKAGEINFO = Corvina::Description();
const std::uint32_t PACKAGEINFOSIZE = sizeof PACKAGEINFO;

const Corvina::TVersionRecord CorvinaVersionInfo{"Corvina", "Corvina", "1.0.0.20", "1.0.0.0",
                                                  __DATE__ " " __TIME__, 0x0409, 1252};

void Initialize() {
  Corvina::context.Initialize();
  ++Corvina::exportedStarts;
}
void Finalize() {
  if (Corvina::exportedStarts == 0) return;
  --Corvina::exportedStarts;
  Corvina::context.Finalize();
}
System::PackageInfoTable* GetPackageInfoTable() { return &Corvina::table; }

void Register_SD_FMX() { Sd::Fmx::Register(); }
void Register_AnyThing_FMX() { Anything::Fmx::Register(); }
void Register_Face_FMX() { Face::Fmx::Register(); }
}

namespace {

// A program linked against the library starts and stops with it. This file
// is the library's last object (package/ is added last), so this object is
// built after every other global of the library and destroyed before them:
// the stop work still finds the folder settings alive.
// It calls the context, not the exported names, which a program may define too.
struct TLinkedStart {
  TLinkedStart() { Corvina::context.Initialize(); }
  ~TLinkedStart() { Corvina::context.Finalize(); }
} linkedStart;

}  // namespace
