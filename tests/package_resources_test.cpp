// Corvina.dll's Windows resources: the package description that package
// loaders read and the version record that Windows shows for the file.
#include <windows.h>
#undef LoadLibrary  // the framework's own, not the ANSI/wide macro

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "framework/dynlib.h"
#include "framework/packages.h"
#include "framework/resources.h"
#include "framework/strings.h"
#include "package/corvina.h"

namespace {

using System::GetPackageDescription;
using System::TLibraryHandle;

System::HMODULE CorvinaModule() { return reinterpret_cast<System::HMODULE>(::GetModuleHandleW(L"Corvina.dll")); }

std::vector<std::uint8_t> ExportedDescription(System::HMODULE module) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(System::GetProcAddress(module, "PACKAGEINFO"));
  const auto* size = reinterpret_cast<const std::uint32_t*>(System::GetProcAddress(module, "PACKAGEINFOSIZE"));
  if (bytes == nullptr || size == nullptr) return {};
  return {bytes, bytes + *size};
}

TEST(PackageResources, TheDescriptionResourceHoldsExactlyTheExportedBytes) {
  const auto module = CorvinaModule();
  ASSERT_NE(module, 0u);
  const auto resource = System::FindDataResource(module, u"PACKAGEINFO");
  ASSERT_TRUE(resource.has_value());
  const auto exported = ExportedDescription(module);
  ASSERT_FALSE(exported.empty());
  EXPECT_EQ(std::vector<std::uint8_t>(resource->begin(), resource->end()), exported);

  const auto d = GetPackageDescription(module);
  ASSERT_EQ(d.Requires.size(), 1u);
  // The name the process knows the framework library by.
  EXPECT_NE(::GetModuleHandleA(d.Requires[0].Name.c_str()), nullptr) << d.Requires[0].Name;
  EXPECT_EQ(d.Package.Name, "Corvina");
}

TEST(PackageResources, TheLoaderReadsADescriptionResourceBeforeTheExports) {
  struct Row {
    const char* what;
    std::u16string file;  // empty: Corvina.dll, loaded with this program
    std::string package;
  };
  const std::vector<Row> rows = {
      {"exports only", System::UTF8ToString(CORVINA_FAKE_PACKAGE), "Fake"},
      {"resource and other exports", System::UTF8ToString(CORVINA_RESOURCE_PACKAGE), "Resource"},
      {"resource and the same exports", u"", "Corvina"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TLibraryHandle loaded(row.file.empty() ? 0 : System::LoadLibrary(row.file));
    const auto module = row.file.empty() ? CorvinaModule() : loaded.get();
    ASSERT_NE(module, 0u);
    EXPECT_EQ(GetPackageDescription(module).Package.Name, row.package);
  }
}

// The version block as GetFileVersionInfoW hands it to Explorer and installers.
class VersionBlock {
 public:
  explicit VersionBlock(System::HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    path.resize(::GetModuleFileNameW(reinterpret_cast<::HMODULE>(module), path.data(), MAX_PATH));
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), nullptr);
    FBlock.resize(size);
    if (size == 0 || !::GetFileVersionInfoW(path.c_str(), 0, size, FBlock.data())) FBlock.clear();
  }
  bool Empty() const { return FBlock.empty(); }
  template <class T>
  const T* Value(const std::wstring& key) const {
    void* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(FBlock.data(), key.c_str(), &value, &length) || length == 0) return nullptr;
    return static_cast<const T*>(value);
  }
  std::string Text(const std::wstring& name) const {
    const auto* text = Value<char16_t>(L"\\StringFileInfo\\040904E4\\" + name);
    return text != nullptr ? System::UTF8Encode(text) : "<missing>";
  }

 private:
  std::vector<std::byte> FBlock;
};

TEST(PackageResources, TheVersionRecordNamesCorvinaItsVersionsAndItsBuildTime) {
  const VersionBlock block(CorvinaModule());
  ASSERT_FALSE(block.Empty());

  struct Field {
    const wchar_t* name;
    const char* expected;
    const char* exported;  // the same field of CorvinaVersionInfo
  };
  const Field fields[] = {
      {L"FileDescription", "Corvina", CorvinaVersionInfo.FileDescription},
      {L"ProductName", "Corvina", CorvinaVersionInfo.ProductName},
      {L"FileVersion", "1.0.0.20", CorvinaVersionInfo.FileVersion},
      {L"ProductVersion", "1.0.0.0", CorvinaVersionInfo.ProductVersion},
  };
  for (const auto& f : fields) {
    EXPECT_EQ(block.Text(f.name), f.expected);
    EXPECT_EQ(block.Text(f.name), f.exported);
  }
  EXPECT_TRUE(std::regex_match(block.Text(L"LastCompiledTime"),
                               std::regex(R"([A-Z][a-z]{2} [ 1-3][0-9] \d{4} \d\d:\d\d:\d\d)")))
      << block.Text(L"LastCompiledTime");

  struct Translation {
    WORD language, codePage;
  };
  const auto* translation = block.Value<Translation>(L"\\VarFileInfo\\Translation");
  ASSERT_NE(translation, nullptr);
  EXPECT_EQ(translation->language, 0x0409);
  EXPECT_EQ(translation->codePage, 1252);

  const auto* fixed = block.Value<VS_FIXEDFILEINFO>(L"\\");
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);  // 1.0
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000014u);  // .0.20
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
}

}  // namespace
