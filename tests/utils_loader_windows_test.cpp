// The loader on Windows: LoadLibraryW, the system's texts from FormatMessageW
// and GetProcAddress with ordinals and ANSI names, run under Wine.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "framework/dynlib.h"
#include "framework/exceptions.h"
#include "tests/support/test_support.h"
#include "utils/loader.h"

#include <windows.h>
// windows.h makes LoadLibrary a macro.
#undef LoadLibrary

using namespace Corvina::Testing;
using System::String;

namespace {

namespace fs = std::filesystem;

const String kFakeDir = NativeFolder(CORVINA_FAKE_DIR);
const String kProbe = u"corvina-probe.dll";
constexpr unsigned long kModNotFound = 126;  // ERROR_MOD_NOT_FOUND
constexpr unsigned long kBadExeFormat = 193;  // ERROR_BAD_EXE_FORMAT
constexpr unsigned long kDllInitFailed = 1114;  // ERROR_DLL_INIT_FAILED

int Answer(System::HMODULE library, const char16_t* name) {
  return reinterpret_cast<int (*)()>(Utils::SafeGetProcAddress(library, name))();
}

// Runs f with the current folder set to folder, and back.
template <class F>
void InFolder(const fs::path& folder, F&& f) {
  const fs::path saved = fs::current_path();
  fs::current_path(folder);
  try {
    f();
  } catch (...) {
    fs::current_path(saved);
    throw;
  }
  fs::current_path(saved);
}

}  // namespace

TEST(MySafeLoadLibraryOnWindows, FailuresNameThePathJoinedAsGivenAndTheSystemText) {
  TempDir dir;
  fs::create_directory(dir.Path("libs"));
  const String libs = FileName(dir.Path("libs"));
  fs::create_directory(dir.Path("other"));
  fs::copy_file(Utf8Path(CORVINA_FAKE_DIR "corvina-probe.dll"), dir.Path("other/corvina-probe.dll"));
  const String aFile = FileName(dir.Path("other/corvina-probe.dll"));
  struct Case {
    const char* name;
    String path, file;
    unsigned long code;  // whose text ends the message
  };
  const Case cases[] = {
      // No separator is put between folder and name: "...\libscorvina-probe.dll".
      {"folder without its backslash", libs, kProbe, kModNotFound},
      {"folder with its backslash", libs + u"\\", kProbe, kModNotFound},
      {"no folder, a name the system cannot find", u"", u"corvina-no-such-library.dll", kModNotFound},
      {"a file where the folder should be", aFile + u"\\", kProbe, kModNotFound},
      {"a library whose DllMain refuses to start", kFakeDir, u"corvina-refusing.dll", kDllInitFailed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MessageOf([&] { Utils::MySafeLoadLibrary(c.path, c.file); }),
              u"Can not load " + c.path + c.file + u" " + System::SystemErrorText(c.code))
        << c.name;
  }
}

TEST(MySafeLoadLibraryOnWindows, AWrongArchitectureFileInTheCurrentFolderFallsBackToThePath) {
  // The 32-bit probe sits in the current folder under the name asked for:
  // the first attempt finds the file but cannot load it.
  TempDir dir;
  fs::copy_file(Utf8Path(CORVINA_FAKE_DIR "x86/corvina-probe.dll"), dir.Path("corvina-probe.dll"));
  InFolder(dir.Root(), [&] {
    ASSERT_TRUE(System::Sysutils::FileExists(kProbe));
    // Alone, it fails with the system's word for a wrong file.
    EXPECT_EQ(System::LoadLibrary(kProbe), 0u);
    EXPECT_EQ(System::LastLoaderError(), kBadExeFormat);
    // Where the folder fails too, the message carries the last attempt's code.
    const String nowhere = FileName(dir.Path("nowhere")) + u"\\";
    EXPECT_EQ(MessageOf([&] { Utils::MySafeLoadLibrary(nowhere, kProbe); }),
              u"Can not load " + nowhere + kProbe + u" " + System::SystemErrorText(kModNotFound));
    // The folder is still tried, and its 64-bit copy loads.
    System::TLibraryHandle lib(Utils::MySafeLoadLibrary(kFakeDir, kProbe));
    EXPECT_EQ(Answer(lib.get(), u"corvina_probe_answer"), 42);
  });
}

TEST(MySafeLoadLibraryOnWindows, LibraryFoldersWithAnyCharacterOrLengthLoad) {
  TempDir dir;
  fs::path deep = dir.Root();
  while (deep.wstring().size() <= 260) deep /= "a-folder-name-of-forty-characters-012345";
  for (const fs::path& folder : {dir.Path("Modèles 模型"), deep}) {
    SCOPED_TRACE(folder.string());
    fs::create_directories(folder);
    fs::copy_file(Utf8Path(CORVINA_FAKE_DIR "corvina-probe.dll"), folder / "corvina-probe.dll");
    const String path = FileName(folder) + u"\\";
    System::TLibraryHandle lib(Utils::MySafeLoadLibrary(path, kProbe));
    EXPECT_EQ(Answer(lib.get(), u"corvina_probe_answer"), 42);
    EXPECT_TRUE(System::ModuleContains(lib.get(), Utils::SafeGetProcAddress(lib.get(), u"corvina_probe_answer")));
    EXPECT_FALSE(System::ModuleContains(lib.get(), reinterpret_cast<const void*>(&Answer))) << "this program's code";
  }
}

TEST(MySafeLoadLibraryOnWindows, LoadingAndFreeingAHundredTimesLeavesNothingLoaded) {
  const auto loaded = [] { return ::GetModuleHandleW(L"corvina-probe.dll") != nullptr; };
  ASSERT_FALSE(loaded());
  for (int i = 0; i < 100; ++i) {
    System::TLibraryHandle lib(Utils::MySafeLoadLibrary(kFakeDir, kProbe));
    ASSERT_EQ(Answer(lib.get(), u"corvina_probe_answer"), 42) << "load " << i;
  }
  EXPECT_FALSE(loaded());
}

TEST(SystemErrorText, IsRenderedInto256UnitsWithItsLineBreakAndCutWhenLonger) {
  // The loader's own code path, with a message table that has a text longer
  // than the buffer (the system's own texts are all shorter under Wine).
  System::TLibraryHandle messages(Utils::MySafeLoadLibrary(kFakeDir, u"corvina-long-message.dll"));
  const String cut = System::SystemErrorText(1, messages.get());
  EXPECT_EQ(cut.size(), 255u);
  EXPECT_EQ(cut.rfind(u"The first 255 units of this text are what a caller gets: 0123456789", 0), 0u);
  EXPECT_EQ(cut.find(u"never this tail"), String::npos);
  // A system text keeps the line break it ends with.
  const String text = System::SystemErrorText(kModNotFound);
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), u"\r\n");
}

TEST(SafeGetProcAddressOnWindows, OrdinalsGoToTheSystemUnchangedAndNamesThroughTheAnsiCodePage) {
  System::TLibraryHandle lib(Utils::MySafeLoadLibrary(kFakeDir, kProbe));
  const auto ordinal = [](std::uintptr_t n) { return reinterpret_cast<const char16_t*>(n); };
  struct Case {
    const char* label;
    const char16_t* name;
    String message;  // empty: resolves to the probe's one export
  };
  const Case cases[] = {
      {"ordinal 7", ordinal(7), u""},  // probe.def gives corvina_probe_answer ordinal 7
      {"name", u"corvina_probe_answer", u""},
      {"ordinal 17", ordinal(17), u"Load #17 failed!"},
      {"ordinal 65535", ordinal(65535), u"Load #65535 failed!"},
      {"missing name", u"sd_set_log_callback", u"Load sd_set_log_callback failed!"},
      {"name outside ASCII", u"corvina_probe_answer_é", u"Load corvina_probe_answer_é failed!"},
  };
  for (const Case& c : cases) {
    if (c.message.empty()) {
      EXPECT_EQ(Answer(lib.get(), c.name), 42) << c.label;
    } else {
      EXPECT_EQ(MessageOf([&] { Utils::SafeGetProcAddress(lib.get(), c.name); }), c.message) << c.label;
    }
  }
}
