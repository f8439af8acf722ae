// libCorvina.so as a host loads it: this program does not link the package,
// only the framework, and reaches it through the package loader alone. An
// unload must really unload, so that a second load starts as the first did.
#include "framework/components.h"
#include "framework/packages.h"
#include "tests/support/native_library.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <elf.h>

#include <cstring>
#include <string>
#include <vector>

using namespace Corvina::Testing;
using namespace System;

namespace {

const std::string kLibDir = CORVINA_FAKE_DIR;
const std::string kPackage = kLibDir + "libCorvina.so";
const std::string kDiffusion = kLibDir + "libstable-diffusion.so";  // the reference backend
const std::string kVisionDir = std::string(CORVINA_SAM2_FAKES_DIR) + "sam2/";
const std::string kVision = kVisionDir + "libsam2.so";

bool IsLoaded(const std::string& path) { return LoadedLibrary(path) != nullptr; }

// The names of the symbols the file defines with GCC's STB_GNU_UNIQUE
// binding: glibc keeps a library that has one loaded until the process ends.
std::vector<std::string> UniqueSymbols(const std::string& path) {
  const Bytes file = ReadFileBytes(path);
  const auto at = [&](std::size_t offset, std::size_t size) {
    if (offset > file.size() || size > file.size() - offset) throw std::runtime_error(path + ": cut short");
    return file.data() + offset;
  };
  Elf64_Ehdr header;
  std::memcpy(&header, at(0, sizeof header), sizeof header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64)
    throw std::runtime_error(path + ": not a 64-bit ELF file");
  std::vector<std::string> names;
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr section;
    std::memcpy(&section, at(header.e_shoff + i * header.e_shentsize, sizeof section), sizeof section);
    if (section.sh_type != SHT_DYNSYM) continue;
    Elf64_Shdr strings;
    std::memcpy(&strings, at(header.e_shoff + section.sh_link * header.e_shentsize, sizeof strings), sizeof strings);
    for (std::size_t k = 0; k < section.sh_size / sizeof(Elf64_Sym); ++k) {
      Elf64_Sym symbol;
      std::memcpy(&symbol, at(section.sh_offset + k * sizeof symbol, sizeof symbol), sizeof symbol);
      if (ELF64_ST_BIND(symbol.st_info) == STB_GNU_UNIQUE && symbol.st_shndx != SHN_UNDEF)
        names.emplace_back(at(strings.sh_offset + symbol.st_name, 1));
    }
  }
  return names;
}

// What the package keeps, reached by the names the compiler gives it; valid
// while the package is loaded.
struct TPackageState {
  explicit TPackageState(HMODULE module)
      : UnitCounter(reinterpret_cast<std::int32_t (*)(int)>(
            GetProcAddress(module, "_ZN7Corvina11UnitCounterENS_5TUnitE"))),
        SdPath(static_cast<String*>(GetProcAddress(module, "_ZN15Stablediffusion11SD_DLL_PATHB5cxx11E"))),
        AnyPath(static_cast<String*>(GetProcAddress(module, "_ZN8Anything3Fmx12ANY_DLL_PATHB5cxx11E"))) {
    if (!UnitCounter || !SdPath || !AnyPath) throw std::runtime_error("the package lacks a symbol the test reads");
  }
  // In start order, the package unit Corvina last.
  std::vector<std::int32_t> Counters() const {
    std::vector<std::int32_t> values;
    for (int unit = 0; unit < 8; ++unit) values.push_back(UnitCounter(unit));
    return values;
  }
  std::int32_t (*UnitCounter)(int);
  String* SdPath;
  String* AnyPath;
};

TEST(PackageUnload, ThePackageDefinesNoUniqueSymbolsThatWouldPinItInMemory) {
  EXPECT_EQ(UniqueSymbols(kPackage), std::vector<std::string>{});
}

TEST(PackageUnload, TheLastUnloadUnmapsThePackageWithItsLibrariesAndTheNextLoadStartsAfresh) {
  const String file = UTF8ToString(kPackage);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_FALSE(IsLoaded(kPackage));
    const HMODULE first = LoadPackage(file);
    const TPackageState state(first);
    // The package's own start when it is mapped, and the loader's.
    EXPECT_EQ(state.Counters(), (std::vector<std::int32_t>{-2, -2, -2, -2, -2, -2, -2, 0}));
    EXPECT_EQ(*state.SdPath, u"");
    EXPECT_EQ(*state.AnyPath, u"");
    *state.SdPath = UTF8ToString(kLibDir);
    *state.AnyPath = UTF8ToString(kVisionDir);
    // The first components load the inference libraries.
    Classes::FindClass(u"TFMXStableDiffusion").Create().reset();
    Classes::FindClass(u"TFMXSam").Create().reset();
    EXPECT_TRUE(IsLoaded(kDiffusion));
    EXPECT_TRUE(IsLoaded(kVision));

    UnloadPackage(LoadPackage(file));
    EXPECT_TRUE(IsLoaded(kPackage)) << "one unload of two";
    EXPECT_TRUE(IsLoaded(kDiffusion));
    EXPECT_EQ(*state.SdPath, UTF8ToString(kLibDir));

    UnloadPackage(first);
    EXPECT_FALSE(IsLoaded(kPackage));
    EXPECT_FALSE(IsLoaded(kDiffusion));
    EXPECT_FALSE(IsLoaded(kVision));
  }
}

}  // namespace
