#include "package/corvina.h"

#include <iterator>

#include "audio/wave_file_reader.h"
#include "face/face_fmx.h"
#include "framework/components.h"
#include "generation/sd_fmx.h"
#include "package/package_info.h"
#include "package/version.h"
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

}  // namespace

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

// Constant data: a program that links the library and reads it directly gets
// a copy made at load time, which must already hold it.
extern const Corvina::TDescriptionBytes PACKAGEINFO;
extern const std::uint32_t PACKAGEINFOSIZE;
const Corvina::TDescriptionBytes PACKAGEINFO = Corvina::Description();
const std::uint32_t PACKAGEINFOSIZE = sizeof PACKAGEINFO;

const Corvina::TVersionRecord CorvinaVersionInfo{CORVINA_VERSION_NAME,      CORVINA_VERSION_NAME,
                                                  CORVINA_FILE_VERSION,      CORVINA_PRODUCT_VERSION,
                                                  __DATE__ " " __TIME__,     CORVINA_VERSION_LANGUAGE,
                                                  CORVINA_VERSION_CODE_PAGE};

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
