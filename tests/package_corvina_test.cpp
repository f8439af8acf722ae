#include "package/corvina.h"

#include "binding/stablediffusion_library.h"
#include "framework/components.h"
#include "tests/support/native_library.h"
#include "tests/support/test_support.h"
#include "vision/anything_fmx.h"

#include <gtest/gtest.h>


#include <string>
#include <vector>

using namespace Corvina;
using namespace System;
using namespace System::Classes;

namespace {

const String LibDir = UTF8ToString(CORVINA_FAKE_DIR);
const String PackageFile = UTF8ToString(CORVINA_PACKAGE_FILE);

std::vector<std::int32_t> Counters() {
  std::vector<std::int32_t> values;
  for (int u = 0; u < UnitCount; ++u) values.push_back(UnitCounter(TUnit(u)));
  return values;
}

std::vector<String> PaletteNames() {
  std::vector<String> names;
  for (const auto& cls : GetPaletteClasses(u"AI Video")) names.push_back(cls.ClassName());
  return names;
}

const std::vector<String> TenClasses{u"TFMXStableDiffusion", u"TFMXSam",           u"TFMXOSTrack",
                                     u"TFMXRemoveAnything",  u"TFMXRemoveBg",      u"TFMXLivePortrait",
                                     u"TFMXFaceDetector",    u"TFMXFaceEnhancer",  u"TFMXFaceSwapper",
                                     u"TFMXVoiceExtractor"};

// Loads both inference libraries (the reference backends beside the
// package) the way the first components would.
void LoadBoth() {
  Stablediffusion::SD_DLL_PATH = UTF8ToString(CORVINA_SD_BACKEND_DIR);
  Anything::Fmx::ANY_DLL_PATH = UTF8ToString(CORVINA_VISION_BACKEND_DIR);
  Stablediffusion::LoadSDLibs();
  Anything::Fmx::LoadAnyLibs();
}

bool SDLoaded() { return Stablediffusion::new_sd_ctx != nullptr; }

TEST(Package, ALinkedProgramStartsEveryUnitOnceAndNothingIsLoaded) {
  // Corvina itself has a counter but no routines: it stays at 0.
  EXPECT_EQ(Counters(), (std::vector<std::int32_t>{-1, -1, -1, -1, -1, -1, -1, 0}));
  EXPECT_FALSE(SDLoaded());
  EXPECT_FALSE(Anything::Fmx::AnyLibsLoaded());
  EXPECT_EQ(GetPackageInfoTable()->UnitCount, UnitCount);
}

TEST(Package, ExportedStopsAnswerOnlyExportedStartsAndNeverTheLibrarysOwn) {
  // The last stop, which unloads both libraries and clears the folders, is
  // the library's own, when it is unloaded (package_unload_test).
  const std::vector<std::int32_t> linked{-1, -1, -1, -1, -1, -1, -1, 0};
  LoadBoth();
  const struct {
    const char* Name;
    int Starts;
    int Stops;
  } cases[] = {
      {"a stop without a start", 0, 1},
      {"two stops after one start", 1, 2},
      {"three stops after two starts", 2, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    for (int i = 0; i < c.Starts; ++i) Initialize();
    EXPECT_EQ(Counters()[uSdFmx], -1 - c.Starts);
    for (int i = 0; i < c.Stops; ++i) Finalize();
    EXPECT_EQ(Counters(), linked);
    EXPECT_TRUE(SDLoaded());
    EXPECT_TRUE(Anything::Fmx::AnyLibsLoaded());
    EXPECT_EQ(Stablediffusion::SD_DLL_PATH, UTF8ToString(CORVINA_SD_BACKEND_DIR));
    EXPECT_EQ(Anything::Fmx::ANY_DLL_PATH, UTF8ToString(CORVINA_VISION_BACKEND_DIR));
  }
  Stablediffusion::UnLoadSDLibs();
  Anything::Fmx::UnLoadAnyLibs();
  Stablediffusion::SD_DLL_PATH.clear();
  Anything::Fmx::ANY_DLL_PATH.clear();
}

TEST(Package, RegistersTenComponentsOnAIVideoInOrder) {
  ClearClassRegistry();
  Register_SD_FMX();
  Register_AnyThing_FMX();
  Register_Face_FMX();
  EXPECT_EQ(GetPalettePages(), std::vector<String>{u"AI Video"});
  EXPECT_EQ(PaletteNames(), TenClasses);
  ClearClassRegistry();
}

TEST(Package, DescribesItselfAndItsUnitsInResourceOrder) {
  const TLibraryHandle package(LoadLibrary(PackageFile));
  const auto d = GetPackageDescription(package.get());
  EXPECT_EQ(d.Flags & pfModuleTypeMask, pfPackageModule);
  EXPECT_EQ(d.Flags & (pfDesignOnly | pfRunOnly), 0u);
  std::vector<std::string> names;
  for (const auto& u : d.Contains) names.push_back(u.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"Corvina", "audio.wave.reader", "SysInit", "Face.FMX", "AnyThing.FMX",
                                             "utils", "AnyThing", "StableDiffusion", "SD.FMX"}));
  EXPECT_EQ(d.Contains[0].Flags, 3);
  EXPECT_EQ(d.Contains[8].Flags, 0);
  EXPECT_EQ(d.Contains[3].Hash, PackageNameHash("Face.FMX"));
  EXPECT_EQ(d.Package.Name, "Corvina");
  ASSERT_EQ(d.Requires.size(), 1u);
  // The name the process knows the framework library by.
  EXPECT_NE(Corvina::Testing::LoadedLibrary(d.Requires[0].Name), nullptr) << d.Requires[0].Name;

  EXPECT_STREQ(CorvinaVersionInfo.FileVersion, "1.0.0.20");
  EXPECT_STREQ(CorvinaVersionInfo.ProductVersion, "1.0.0.0");
  EXPECT_STREQ(CorvinaVersionInfo.ProductName, "Corvina");
  EXPECT_EQ(CorvinaVersionInfo.CodePage, 1252);
}

TEST(Package, LoadsThroughThePackageLoaderTwiceAndUnloadsCleanly) {
  ClearClassRegistry();
  const String file = PackageFile;
  const HMODULE first = LoadPackage(file);
  const HMODULE second = LoadPackage(file);
  EXPECT_EQ(Counters()[uFaceFmx], -3);
  // The loader registers unit by unit in resource order: Face.FMX, AnyThing.FMX, SD.FMX.
  std::vector<String> expected(TenClasses.begin() + 5, TenClasses.end());
  expected.insert(expected.end(), TenClasses.begin() + 1, TenClasses.begin() + 5);
  expected.push_back(TenClasses[0]);
  EXPECT_EQ(PaletteNames(), expected) << "registering again adds nothing";
  EXPECT_EQ(FindClass(u"tfmxvoiceextractor").ClassName(), u"TFMXVoiceExtractor");

  UnloadPackage(second);
  EXPECT_EQ(PaletteNames(), expected);
  UnloadPackage(first);
  EXPECT_TRUE(GetPalettePages().empty());
  EXPECT_EQ(Counters()[uFaceFmx], -1) << "the linked start remains";
}

}  // namespace
