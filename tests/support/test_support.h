// Small helpers every suite needs: the message of what an action raised, a
// temporary folder that cleans up after itself, and whole-file byte I/O.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "framework/exceptions.h"

namespace Corvina::Testing {

using Bytes = std::string;

// The message of the exception of type E that f raised, or a marker that no
// such exception came, so that EXPECT_EQ shows both texts on a mismatch.
template <class E = System::Sysutils::Exception, class F>
System::String MessageOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.Message();
  }
  return u"<nothing raised>";
}

class TempDir {
 public:
  TempDir() {
    std::string name = (std::filesystem::temp_directory_path() / "corvina-test-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    FRoot = name;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(FRoot, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Root() const { return FRoot; }
  std::filesystem::path Path(std::string_view name) const { return FRoot / name; }
  // The same path as the framework's UTF-16 file name.
  System::String File(std::string_view name) const { return System::UTF8ToString(Path(name).string()); }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(FRoot)) names.push_back(e.path().filename().string());
    return names;
  }

 private:
  std::filesystem::path FRoot;
};

inline Bytes ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace Corvina::Testing
