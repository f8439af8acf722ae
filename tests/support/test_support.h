// Small helpers every suite needs: the message of what an action raised, a
// temporary folder that cleans up after itself, and whole-file byte I/O.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
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

// How a program may end with a component still alive: leaked with its
// worker idle, or in a static that exit destroys, its worker idle or busy.
// (A leaked one with a busy worker is not covered: its library call would
// run on while exit tears down the library's own statics.)
struct AliveAtExit {
  const char* name;
  bool leaked;
  bool busy;
};
inline constexpr AliveAtExit kAliveAtExit[] = {
    {"leaked, idle worker", true, false}, {"static, idle worker", false, false}, {"static, busy worker", false, true}};
// Windows ends the other threads wherever they stand before it destroys the
// DLLs' statics, and such exits once hung one run in six: there each case
// runs several times.
#if defined(_WIN32)
inline constexpr int kExitRounds = 8;
#else
inline constexpr int kExitRounds = 1;
#endif

// A UTF-8 name as a path on every system (a plain std::string would be read
// in the ANSI code page on Windows).
inline std::filesystem::path Utf8Path(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// A path as the framework's UTF-16 file name.
inline System::String FileName(const std::filesystem::path& path) {
  const std::u16string name = path.u16string();
  return System::String(name.begin(), name.end());
}

// A folder named at build time (UTF-8, with '/') as the system writes it.
inline System::String NativeFolder(const char* utf8) {
  System::String folder = System::UTF8ToString(utf8);
#if defined(_WIN32)
  for (char16_t& c : folder)
    if (c == u'/') c = u'\\';
#endif
  return folder;
}

class TempDir {
 public:
  TempDir() {
    // Made by create_directory, which fails on an existing name, so two
    // suites never share one.
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    for (int attempt = 0;; ++attempt) {
      const std::string name = "corvina-test-" + std::to_string(random()) + "-" + std::to_string(counter++);
      std::error_code error;
      FRoot = std::filesystem::temp_directory_path() / name;
      if (std::filesystem::create_directory(FRoot, error)) break;
      if (attempt == 100) throw std::system_error(error, "creating a temporary folder");
    }
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(FRoot, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Root() const { return FRoot; }
  std::filesystem::path Path(std::string_view name) const { return FRoot / Utf8Path(name); }
  // The same path as the framework's UTF-16 file name.
  System::String File(std::string_view name) const { return FileName(Path(name)); }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(FRoot)) {
      const std::u8string name = e.path().filename().u8string();
      names.emplace_back(name.begin(), name.end());
    }
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
