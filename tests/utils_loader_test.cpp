#include "utils/loader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "framework/exceptions.h"
#include "tests/support/test_support.h"

using namespace Corvina::Testing;
using System::String;
using System::Sysutils::Exception;

namespace {

const String kFakeDir = System::UTF8ToString(CORVINA_FAKE_DIR);
const String kProbe = u"libcorvina-probe.so";

}  // namespace

TEST(MySafeLoadLibrary, LoadsFromTheFolderAndResolvesAnExport) {
  System::TLibraryHandle lib(Utils::MySafeLoadLibrary(kFakeDir, kProbe));
  ASSERT_TRUE(lib);
  auto answer = reinterpret_cast<int (*)()>(Utils::SafeGetProcAddress(lib.get(), u"corvina_probe_answer"));
  EXPECT_EQ(answer(), 42);
}

TEST(MySafeLoadLibrary, MissingFileNamesTheJoinedPathAndTheSystemText) {
  // A folder without its separator is joined as it stands.
  const String folder = kFakeDir.substr(0, kFakeDir.size() - 1);
  const String msg = MessageOf([&] { Utils::MySafeLoadLibrary(folder, kProbe); });
  const String joined = folder + kProbe;
  EXPECT_EQ(msg.rfind(u"Can not load " + joined + u" ", 0), 0u) << System::UTF8Encode(msg);
  // The system text follows: dlerror names the file and the reason.
  EXPECT_NE(msg.find(u"No such file or directory"), String::npos) << System::UTF8Encode(msg);
}

TEST(MySafeLoadLibrary, AFileThatIsNotALibraryFailsBothAttempts) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("corvina_loader_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "libnot-a-library.so") << "this is text, not ELF";
  const auto cwd = fs::current_path();
  fs::current_path(dir);  // the bare name exists here, so step one is tried too
  const String folder = System::UTF8ToString(dir.string() + "/");
  const String msg = MessageOf([&] { Utils::MySafeLoadLibrary(folder, u"libnot-a-library.so"); });
  fs::current_path(cwd);
  fs::remove_all(dir);
  const String expectedStart = u"Can not load " + folder + u"libnot-a-library.so ";
  EXPECT_EQ(msg.rfind(expectedStart, 0), 0u) << System::UTF8Encode(msg);
  // The text is the last attempt's, without the path the system repeats.
  EXPECT_EQ(msg.find(folder + u"libnot-a-library.so", expectedStart.size()), String::npos) << System::UTF8Encode(msg);
  EXPECT_GT(msg.size(), expectedStart.size());
  EXPECT_LE(msg.size() - expectedStart.size(), 255u);
}

TEST(MySafeLoadLibrary, ALibraryPresentOnlyInTheCurrentFolderLoadsByItsPath) {
  namespace fs = std::filesystem;
  TempDir dir;
  fs::copy_file(System::UTF8Encode(kFakeDir + kProbe), dir.Path("libcorvina-probe-here.so"));
  const auto cwd = fs::current_path();
  fs::current_path(dir.Root());
  System::HMODULE handle = 0;
  const String msg = MessageOf([&] { handle = Utils::MySafeLoadLibrary(u"/no/such/folder/", u"libcorvina-probe-here.so"); });
  fs::current_path(cwd);
  EXPECT_EQ(msg, u"<nothing raised>");
  System::TLibraryHandle lib(handle);
  ASSERT_TRUE(lib);
  auto answer = reinterpret_cast<int (*)()>(Utils::SafeGetProcAddress(lib.get(), u"corvina_probe_answer"));
  EXPECT_EQ(answer(), 42);
}

TEST(MySafeLoadLibrary, NamesThatCannotBeALibraryAreRefused) {
  struct Case {
    String path, name, message;
  };
  const Case cases[] = {
      {u"", u"", u"Can not load  the file name is empty"},
      {u"/tmp/", String(u"lib\0x.so", 8), String(u"Can not load /tmp/lib\0x.so file name contains a NUL character", 61)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MessageOf([&] { Utils::MySafeLoadLibrary(c.path, c.name); }), c.message) << System::UTF8Encode(c.name);
  }
}

TEST(SafeGetProcAddress, MissingExportNamesIt) {
  System::TLibraryHandle lib(Utils::MySafeLoadLibrary(kFakeDir, kProbe));
  EXPECT_EQ(MessageOf([&] { Utils::SafeGetProcAddress(lib.get(), u"sd_set_log_callback"); }),
            u"Load sd_set_log_callback failed!");
}

TEST(SafeGetProcAddress, OrdinalsCannotResolveAndAreNamedByNumber) {
  System::TLibraryHandle lib(Utils::MySafeLoadLibrary(kFakeDir, kProbe));
  const auto* ordinal = reinterpret_cast<const char16_t*>(std::uintptr_t{17});
  EXPECT_EQ(MessageOf([&] { Utils::SafeGetProcAddress(lib.get(), ordinal); }), u"Load #17 failed!");
}
