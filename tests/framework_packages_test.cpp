#include "framework/packages.h"

#include "framework/components.h"
#include "tests/support/native_library.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Corvina::Testing;
using namespace System;
using namespace System::Classes;

namespace {

String FakePackage(int variant) {
  return UTF8ToString(std::string(CORVINA_FAKE_DIR) + LibraryFile("corvina-fake-package-" + std::to_string(variant)));
}

std::string Journal(HMODULE module) {
  return reinterpret_cast<const char* (*)()>(GetProcAddress(module, "fake_package_journal"))();
}

bool Loaded(const String& file) {
  // RTLD_NOLOAD through the framework is not offered; a fresh load of a
  // library that is gone would start its units at 0 again.
  const HMODULE probe = LoadLibrary(file);
  const bool started = Journal(probe).find("Initialize") != std::string::npos;
  FreeLibrary(probe);
  return started;
}

TEST(PackageDescription, EncodesAndDecodesTheLayout) {
  TPackageDescription d;
  d.Flags = pfPackageModule;
  d.Requires = {{PackageNameHash("fmx"), "fmx"}, {PackageNameHash("rtl"), "rtl"}};
  d.Contains = {{ufMainUnit | ufPackageUnit, PackageNameHash("Corvina"), "Corvina"}, {0, 7, "SD.FMX"}};
  d.Package = {PackageNameHash("Corvina"), "Corvina"};
  const auto bytes = d.Encode();
  const std::vector<std::uint8_t> head{0x00, 0x00, 0x00, 0x40, 2, 0, 0, 0, PackageNameHash("fmx"), 'f', 'm', 'x', 0};
  ASSERT_GE(bytes.size(), head.size());
  EXPECT_EQ(std::vector(bytes.begin(), bytes.begin() + head.size()), head);
  // The tail: the package's own name.
  EXPECT_EQ(std::string(bytes.end() - 8, bytes.end()), std::string("Corvina\0", 8));

  const TPackageDescription back = TPackageDescription::Decode(bytes);
  EXPECT_EQ(back.Flags, d.Flags);
  ASSERT_EQ(back.Requires.size(), 2u);
  EXPECT_EQ(back.Requires[1].Name, "rtl");
  ASSERT_EQ(back.Contains.size(), 2u);
  EXPECT_EQ(back.Contains[0].Flags, 3);
  EXPECT_EQ(back.Contains[1].Hash, 7);
  EXPECT_EQ(back.Contains[1].Name, "SD.FMX");
  EXPECT_EQ(back.Package.Name, "Corvina");

  // Every shortened copy is refused, as is one with bytes after the name.
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_THROW(TPackageDescription::Decode(std::span(bytes.data(), n)), EPackageError);
  }
  auto longer = bytes;
  longer.push_back(0);
  EXPECT_EQ(MessageOf<EPackageError>([&] { TPackageDescription::Decode(longer); }),
            Str("Invalid package description at byte 50: 1 bytes follow the package name"));
  const std::vector<std::uint8_t> huge{0, 0, 0, 0x40, 0xFF, 0xFF, 0xFF, 0xFF, 1, 'a', 0};
  EXPECT_EQ(MessageOf<EPackageError>([&] { TPackageDescription::Decode(huge); }),
            Str("Invalid package description at byte 8: a count of 4294967295 entries does not fit"));
}

TEST(PackageNameHash, IgnoresCaseAndTellsNamesApart) {
  EXPECT_EQ(PackageNameHash("SD.FMX"), PackageNameHash("sd.fmx"));
  EXPECT_NE(PackageNameHash("SD.FMX"), PackageNameHash("Face.FMX"));
}

TEST(PackageContext, StartsInOrderStopsInReverseAndOnlyWhatStarted) {
  static std::vector<std::string> log;
  static TUnitCounter a, b;
  log.clear();
  a = b = TUnitCounter();
  static const PackageUnitEntry units[] = {
      {[] { log.push_back(a.Start() ? "a+" : "a."); }, [] { log.push_back(a.Stop() ? "a-" : "a,"); }},
      {nullptr, nullptr},
      {[] { log.push_back(b.Start() ? "b+" : "b."); }, [] { log.push_back(b.Stop() ? "b-" : "b,"); }},
  };
  const PackageInfoTable table{3, units};
  TPackageContext context(table);

  context.Finalize();  // nothing started: nothing stops, counters stay at 0
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(a.Value(), 0);

  context.Initialize();
  context.Initialize();
  EXPECT_EQ(log, (std::vector<std::string>{"a+", "b+", "a.", "b."}));
  EXPECT_EQ(a.Value(), -2);
  log.clear();
  context.Finalize();
  EXPECT_EQ(log, (std::vector<std::string>{"b,", "a,"}));
  log.clear();
  context.Finalize();
  EXPECT_EQ(log, (std::vector<std::string>{"b-", "a-"}));
  EXPECT_EQ(a.Value(), 0);
  EXPECT_EQ(b.Value(), 0);
  log.clear();
  context.Finalize();
  EXPECT_TRUE(log.empty());
}

TEST(LoadPackage, StartsRegistersAndStopsOnceAcrossTwoLoads) {
  ClearClassRegistry();
  const HMODULE first = LoadPackage(FakePackage(0));
  EXPECT_EQ(Journal(first), "Initialize alpha+ beta+ Register_Alpha_Units Register_Beta ");
  EXPECT_EQ(GetPackageDescription(first).Package.Name, "Fake");
  ASSERT_EQ(GetPaletteClasses(u"Fake Page").size(), 1u);
  EXPECT_EQ(FindClass(u"TFakeGadget").ClassName(), u"TFakeGadget");

  const HMODULE second = LoadPackage(FakePackage(0));
  EXPECT_EQ(Journal(second),
            "Initialize alpha+ beta+ Register_Alpha_Units Register_Beta "
            "Initialize alpha. beta. Register_Alpha_Units Register_Beta ");
  UnloadPackage(second);
  EXPECT_EQ(Journal(first).substr(Journal(first).rfind("Finalize")), "Finalize beta, alpha, ");
  EXPECT_TRUE(GetClass(u"TFakeGadget").has_value()) << "the first load still holds the class";

  auto* counter = reinterpret_cast<std::int32_t (*)(int)>(GetProcAddress(first, "fake_package_counter"));
  EXPECT_EQ(counter(0), -1);
  const std::string before = Journal(first);
  EXPECT_EQ(before.substr(before.rfind("Finalize")), "Finalize beta, alpha, ");
  UnloadPackage(first);
  // The class's code went with the library, and so did its registration.
  EXPECT_FALSE(GetClass(u"TFakeGadget").has_value());
  EXPECT_TRUE(GetPalettePages().empty());
  EXPECT_FALSE(Loaded(FakePackage(0)));
}

TEST(LoadPackage, FailuresNameTheFileAndLeaveNothingBehind) {
  ClearClassRegistry();
#if defined(_WIN32)
  const String missing = u"Z:\\nonexistent\\nothing.dll";
  EXPECT_EQ(MessageOf<EPackageError>([&] { LoadPackage(missing); }),
            u"Can't load package " + missing + u".\n" + SystemErrorText(126));  // ERROR_MOD_NOT_FOUND
#else
  const String missing = u"/nonexistent/libnothing.so";
  EXPECT_EQ(MessageOf<EPackageError>([&] { LoadPackage(missing); }).substr(0, 52),
            u"Can't load package /nonexistent/libnothing.so.\n/none");
#endif
  const String probe = UTF8ToString(std::string(CORVINA_FAKE_DIR) + LibraryFile("corvina-probe"));
  EXPECT_EQ(MessageOf<EPackageError>([&] { LoadPackage(probe); }),
            probe + u" is not a package: it exports no Initialize and Finalize");
  EXPECT_EQ(MessageOf<EPackageError>([&] { LoadPackage(FakePackage(2)); }),
            FakePackage(2) + u": Invalid package description at byte 52: a name has no terminating zero");
  EXPECT_EQ(MessageOf<EPackageError>([&] { LoadPackage(FakePackage(1)); }),
            u"Can't load package " + FakePackage(1) + u".\npalette is full");
  EXPECT_TRUE(GetPalettePages().empty());
  EXPECT_FALSE(Loaded(FakePackage(1))) << "a package whose registration failed is stopped and closed";
}

TEST(LoadPackage, AFailedStartOrRegistrationUndoesWhatItDid) {
  struct Case {
    int variant;
    const char* why;
    const char* journal;
  };
  const Case cases[] = {
      // The first unit's class was registered before the second unit failed.
      {3, "beta is broken", "Initialize alpha+ beta+ Register_Alpha_Units Register_Beta Finalize beta- alpha- "},
      // The units that had started stop again, newest first.
      {4, "beta cannot start", "Initialize alpha+ alpha- "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variant);
    ClearClassRegistry();
    // The test's own reference keeps the library, and its journal, in memory.
    const TLibraryHandle held(LoadLibrary(FakePackage(c.variant)));
    EXPECT_EQ(MessageOf<EPackageError>([&] { LoadPackage(FakePackage(c.variant)); }),
              u"Can't load package " + FakePackage(c.variant) + u".\n" + Str(c.why));
    EXPECT_EQ(Journal(held.get()), c.journal);
    EXPECT_FALSE(GetClass(u"TFakeGadget").has_value()) << "the registry would point into a closed library";
    EXPECT_TRUE(GetPalettePages().empty());
    EXPECT_THROW(UnloadPackage(held.get()), EPackageError) << "a failed load hands out nothing to unload";
  }
}

TEST(UnloadPackage, RefusesHandlesItDidNotHandOutAndLeavesThemAlone) {
  ClearClassRegistry();
  EXPECT_NO_THROW(UnloadPackage(0));
  const HMODULE package = LoadPackage(FakePackage(0));
  UnloadPackage(package);
  const String notLoaded = u"The module is not a package loaded by LoadPackage";
  EXPECT_EQ(MessageOf<EPackageError>([&] { UnloadPackage(package); }), notLoaded) << "unloaded twice";
  EXPECT_EQ(MessageOf<EPackageError>([&] { UnloadPackage(HMODULE(0x1234)); }), notLoaded) << "made up";

  // A package opened as a plain library: not stopped, not closed under its owner.
  const TLibraryHandle plain(LoadLibrary(FakePackage(0)));
  EXPECT_EQ(MessageOf<EPackageError>([&] { UnloadPackage(plain.get()); }), notLoaded);
  EXPECT_EQ(Journal(plain.get()), "");
}

TEST(UnloadPackage, RefusesWhileComponentsOfItsClassesLive) {
  ClearClassRegistry();
  const HMODULE package = LoadPackage(FakePackage(0));
  auto unowned = FindClass(u"TFakeGadget").Create();
  TComponent host(nullptr);
  TComponent& owned = FindClass(u"TFakeGadget").Create(host);
  const String refused = u"Can't unload package " + FakePackage(0) + u": %d of its components are still alive";
  EXPECT_EQ(MessageOf<EPackageError>([&] { UnloadPackage(package); }), Sysutils::Format(refused, 2));
  EXPECT_EQ(Journal(package).find("Finalize"), std::string::npos) << "nothing was stopped";
  EXPECT_TRUE(GetClass(u"TFakeGadget").has_value());

  unowned.reset();
  EXPECT_EQ(MessageOf<EPackageError>([&] { UnloadPackage(package); }), Sysutils::Format(refused, 1));
  delete &owned;
  UnloadPackage(package);
  EXPECT_FALSE(GetClass(u"TFakeGadget").has_value());
  EXPECT_FALSE(Loaded(FakePackage(0)));
}

}  // namespace
