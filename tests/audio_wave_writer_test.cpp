#include "audio/wave_writer.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "framework/exceptions.h"
#include "tests/support/test_support.h"

using namespace Corvina::Testing;
using namespace Audio::Wave::Reader;
using System::String;
using System::Sysutils::Exception;

namespace {


Bytes FloatBytes(const std::vector<float>& samples) {
  return Bytes(reinterpret_cast<const char*>(samples.data()), samples.size() * sizeof(float));
}

}  // namespace

TEST(WaveWriter, WritesTheFloatHeaderAndSamplesBitForBit) {
  TempDir dir;
  const std::vector<float> samples = {1.5f, -0.0f, std::numeric_limits<float>::quiet_NaN()};
  TWaveWriter(44100, 1, 32).WriteFloatData(samples, dir.File("a.wav"));
  const Bytes expectedHeader("RIFF\x30\0\0\0WAVEfmt \x10\0\0\0\x03\0\x01\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x20\0data\x0C\0\0\0",
                             44);
  EXPECT_EQ(ReadFileBytes(dir.Path("a.wav")), expectedHeader + FloatBytes(samples));
}

TEST(WaveWriter, EmptyArrayWritesAHeaderOnly) {
  TempDir dir;
  TWaveWriter(8000, 2, 32).WriteFloatData({}, dir.File("a.wav"));
  const Bytes file = ReadFileBytes(dir.Path("a.wav"));
  ASSERT_EQ(file.size(), 44u);
  EXPECT_EQ(file.substr(4, 4), Bytes("\x24\0\0\0", 4));
  EXPECT_EQ(file.substr(40, 4), Bytes(4, '\0'));
}

TEST(WaveWriter, NarrowWidthsStoreRoundedClampedPcm) {
  TempDir dir;
  const std::vector<float> samples = {0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 2.0f, -3.0f, std::nanf("")};
  TWaveWriter(8000, 2, 16).WriteFloatData(samples, dir.File("s16.wav"));
  const Bytes s16 = ReadFileBytes(dir.Path("s16.wav"));
  // Format code 1, 2 channels, byte rate 32000, block align 4, 16 bits.
  EXPECT_EQ(s16.substr(20, 16), Bytes("\x01\0\x02\0\x40\x1F\0\0\x00\x7D\0\0\x04\0\x10\0", 16));
  EXPECT_EQ(s16.substr(40, 4), Bytes("\x10\0\0\0", 4));
  EXPECT_EQ(s16.substr(44), Bytes("\0\0\x00\x40\x00\xC0\xFF\x7F\x01\x80\xFF\x7F\x01\x80\0\0", 16));

  TWaveWriter(8000, 1, 8).WriteFloatData(samples, dir.File("u8.wav"));
  const Bytes u8 = ReadFileBytes(dir.Path("u8.wav"));
  EXPECT_EQ(u8.substr(32, 4), Bytes("\x01\0\x08\0", 4));
  EXPECT_EQ(u8.substr(44), Bytes("\x80\xC0\x40\xFF\x01\xFF\x01\x80", 8));

  TWaveWriter(8000, 1, 24).WriteFloatData({{1.0f, -1.0f, 0.25f}}, dir.File("s24.wav"));
  const Bytes s24 = ReadFileBytes(dir.Path("s24.wav"));
  EXPECT_EQ(s24.substr(32, 4), Bytes("\x03\0\x18\0", 4));
  EXPECT_EQ(s24.substr(44), Bytes("\xFF\xFF\x7F\x01\x00\x80\x00\x00\x20", 9));
}

TEST(WaveWriter, InvalidParametersTouchNoFile) {
  TempDir dir;
  const std::vector<float> samples = {0.1f, 0.2f};
  for (const TWaveWriter& writer : {TWaveWriter(0, 1, 32), TWaveWriter(-8000, 1, 32), TWaveWriter(8000, 0, 32),
                                    TWaveWriter(8000, 1, 0), TWaveWriter(8000, 1, 12), TWaveWriter(8000, 1, 64)}) {
    EXPECT_EQ(MessageOf([&] { writer.WriteFloatData(samples, dir.File("a.wav")); }), u"Invalid parameters");
  }
  EXPECT_EQ(MessageOf([&] { TWaveWriter(8000, 1, 32).WriteFloatData(samples, u""); }), u"Invalid parameters");
  // Header fields that cannot hold the numbers: block align past 16 bits,
  // byte rate past 32 bits.
  EXPECT_EQ(MessageOf([&] { TWaveWriter(8000, 20000, 32).WriteFloatData({}, dir.File("a.wav")); }),
            u"Invalid parameters");
  EXPECT_EQ(MessageOf([&] { TWaveWriter(0x7FFFFFFF, 2, 32).WriteFloatData({}, dir.File("a.wav")); }),
            u"Invalid parameters");
  EXPECT_TRUE(dir.Entries().empty());
}

TEST(WaveWriter, LengthMustBeAMultipleOfTheChannels) {
  TempDir dir;
  const std::vector<float> five(5, 0.0f);
  EXPECT_EQ(MessageOf([&] { TWaveWriter(8000, 2, 32).WriteFloatData(five, dir.File("a.wav")); }),
            u"Audio data length (5) must be a multiple of channels (2)");
  EXPECT_TRUE(dir.Entries().empty());
}

#if !defined(_WIN32)  // address space reserved with mmap
TEST(WaveWriter, DataThatDoesNotFitThe32BitFieldsRaisesBeforeWriting) {
  TempDir dir;
  // 2^31 samples of address space that costs no memory and is never read.
  const size_t count = size_t{1} << 31;
  void* memory = ::mmap(nullptr, count * sizeof(float), PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  const std::span<const float> huge(static_cast<const float*>(memory), count);
  EXPECT_EQ(MessageOf([&] { TWaveWriter(8000, 1, 16).WriteFloatData(huge, dir.File("a.wav")); }),
            u"Audio data too large for a WAV file: 4294967296 bytes of samples");
  // 8-bit bytes would fit, but not the frame count.
  EXPECT_EQ(MessageOf([&] { TWaveWriter(8000, 1, 8).WriteFloatData(huge, dir.File("a.wav")); }),
            u"Audio data too large for a WAV file: 2147483648 bytes of samples");
  ::munmap(memory, count * sizeof(float));
  EXPECT_TRUE(dir.Entries().empty());
}
#endif

TEST(WaveWriter, ReplacesAnExistingFileOnlyWhenComplete) {
  TempDir dir;
  WriteFileBytes(dir.Path("a.wav"), "old content");
  TWaveWriter(8000, 1, 32).WriteFloatData({{0.25f}}, dir.File("a.wav"));
  EXPECT_EQ(ReadFileBytes(dir.Path("a.wav")).size(), 48u);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.wav"});
}

#if !defined(_WIN32)  // permission bits and symbolic links as POSIX has them
TEST(WaveWriter, ReplacingAFileKeepsItsPermissionBits) {
  TempDir dir;
  for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0755}}) {
    WriteFileBytes(dir.Path("a.wav"), "old content");
    ASSERT_EQ(::chmod(dir.Path("a.wav").c_str(), mode), 0);
    TWaveWriter(8000, 1, 32).WriteFloatData({{0.25f}}, dir.File("a.wav"));
    struct stat st {};
    ASSERT_EQ(::stat(dir.Path("a.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_EQ(ReadFileBytes(dir.Path("a.wav")).size(), 48u);
  }
}

TEST(WaveWriter, WritesThroughSymbolicLinksToTheirTarget) {
  TempDir dir;
  std::filesystem::create_directory(dir.Path("real"));
  struct Case {
    const char* name;
    std::string linkText;  // what the link holds
  };
  const Case cases[] = {{"relative", "real/target.wav"}, {"absolute", dir.Path("real/target.wav").string()}};
  for (const Case& c : cases) {
    WriteFileBytes(dir.Path("real/target.wav"), "old content");
    std::filesystem::remove(dir.Path("link.wav"));
    std::filesystem::create_symlink(c.linkText, dir.Path("link.wav"));
    // A chain of two links ends at the same file.
    std::filesystem::remove(dir.Path("chain.wav"));
    std::filesystem::create_symlink("link.wav", dir.Path("chain.wav"));

    TWaveWriter(8000, 1, 32).WriteFloatData({{0.25f}}, dir.File("chain.wav"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("link.wav"))) << c.name;
    EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("chain.wav"))) << c.name;
    EXPECT_EQ(ReadFileBytes(dir.Path("real/target.wav")).size(), 48u) << c.name;
    std::vector<std::string> inReal;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path("real"))) inReal.push_back(e.path().filename());
    EXPECT_EQ(inReal, std::vector<std::string>{"target.wav"}) << c.name;  // no temporary left
  }
  // A loop of links is refused and left as it was.
  std::filesystem::create_symlink("loop-b.wav", dir.Path("loop-a.wav"));
  std::filesystem::create_symlink("loop-a.wav", dir.Path("loop-b.wav"));
  EXPECT_EQ(MessageOf([&] { TWaveWriter(8000, 1, 32).WriteFloatData({{0.25f}}, dir.File("loop-a.wav")); }),
            u"Cannot create file \"" + dir.File("loop-a.wav") + u"\". Too many levels of symbolic links");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("loop-a.wav")));
  // A dangling link gets its target created.
  std::filesystem::create_symlink("real/new.wav", dir.Path("dangling.wav"));
  TWaveWriter(8000, 1, 32).WriteFloatData({{0.25f}}, dir.File("dangling.wav"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("dangling.wav")));
  EXPECT_EQ(ReadFileBytes(dir.Path("real/new.wav")).size(), 48u);
}
#endif

#if !defined(_WIN32)  // a file size limit (setrlimit) makes the write fail
TEST(WaveWriter, FailedWriteLeavesTheExistingFileIntact) {
  TempDir dir;
  WriteFileBytes(dir.Path("a.wav"), "old content");
  // A file size limit makes the data write fail half way with EFBIG.
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &previous);
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 1000;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const std::vector<float> samples(1000, 0.5f);
  const String message = MessageOf([&] { TWaveWriter(8000, 1, 32).WriteFloatData(samples, dir.File("a.wav")); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::sigaction(SIGXFSZ, &previous, nullptr);

  EXPECT_EQ(message, u"Stream write error in \"" + dir.File("a.wav") + u"\": File too large");
  EXPECT_EQ(ReadFileBytes(dir.Path("a.wav")), "old content");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a.wav"});  // no temporary file left behind
}
#endif

TEST(WaveWriter, TargetThatCannotBeReplacedRaisesAndLeavesNoTemporaryFile) {
  TempDir dir;
  std::filesystem::create_directory(dir.Path("folder.wav"));
  std::filesystem::create_directory(dir.Path("folder.wav/inside"));
  EXPECT_EQ(MessageOf([&] { TWaveWriter(8000, 1, 32).WriteFloatData({{0.0f}}, dir.File("folder.wav")); }),
            u"Cannot create file \"" + dir.File("folder.wav") + u"\". Is a directory");
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"folder.wav"});
  EXPECT_EQ(MessageOf([&] { TWaveWriter(8000, 1, 32).WriteFloatData({{0.0f}}, dir.File("missing/a.wav")); }),
            u"Cannot create file \"" + dir.File("missing/a.wav") + u"\". No such file or directory");
}

#if defined(_WIN32)  // what Windows guards: attributes, sharing, device names
TEST(WaveWriterOnWindows, TargetsTheSystemGuardsEndInAnErrorAndStayAsTheyWere) {
  TempDir dir;
  const std::vector<float> samples(1000, 0.25f);
  const auto attributes = [&](const char* name) { return ::GetFileAttributesW(dir.Path(name).wstring().c_str()); };
  WriteFileBytes(dir.Path("read-only.wav"), "old content");
  ASSERT_TRUE(::SetFileAttributesW(dir.Path("read-only.wav").wstring().c_str(), FILE_ATTRIBUTE_READONLY));
  WriteFileBytes(dir.Path("held.wav"), "old content");
  // Another program's handle that shares nothing.
  const HANDLE held = ::CreateFileW(dir.Path("held.wav").wstring().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  std::filesystem::create_directory(dir.Path("folder.wav"));
  struct Case {
    const char* name;
    const char* reason;
  };
  const Case cases[] = {
      {"read-only.wav", "Permission denied"},
      {"held.wav", "Permission denied"},
      {"folder.wav", "Is a directory"},
      // Devices, not files: nothing is written and nothing is left behind.
      {"NUL", "The name is a device of the system, not a file"},
      {"CON", "The name is a device of the system, not a file"},
      {"COM1", "The name is a device of the system, not a file"},
      {"COM1.wav", "The name is a device of the system, not a file"},
  };
  for (const Case& c : cases) {
    const String target = dir.File(c.name);
    const String message = MessageOf([&] { TWaveWriter(8000, 1, 16).WriteFloatData(samples, target); });
    const String prefix = u"Cannot create file \"" + target + u"\". ";
    EXPECT_EQ(message, prefix + System::UTF8ToString(c.reason)) << c.name;
  }
  ::CloseHandle(held);
  EXPECT_EQ(ReadFileBytes(dir.Path("read-only.wav")), "old content");
  EXPECT_TRUE(attributes("read-only.wav") & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(ReadFileBytes(dir.Path("held.wav")), "old content");
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"folder.wav", "held.wav", "read-only.wav"}));
  ::SetFileAttributesW(dir.Path("read-only.wav").wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
}
#endif
