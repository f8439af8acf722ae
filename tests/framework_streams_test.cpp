#include "framework/streams.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/binary_reader.h"
#include "framework/exceptions.h"
#include "tests/support/test_support.h"

using namespace Corvina::Testing;
using namespace System;
using namespace System::Classes;

namespace {

// Counts its own destruction so tests can see who freed it.
class TTrackedStream : public TMemoryStream {
 public:
  explicit TTrackedStream(bool& destroyed) : FDestroyed(destroyed) {}
  ~TTrackedStream() override { FDestroyed = true; }

 private:
  bool& FDestroyed;
};

}  // namespace

TEST(FileStream, WritesThenReadsBackAtAnyPosition) {
  TempDir dir;
  {
    TFileStream file(dir.File("a.bin"), fmCreate);
    file.WriteBuffer("hello world", 11);
    EXPECT_EQ(file.Size(), 11);
    EXPECT_EQ(file.Seek(-5, TSeekOrigin::soEnd), 6);
    char buffer[8] = {};
    EXPECT_EQ(file.Read(buffer, 8), 5);
    EXPECT_STREQ(buffer, "world");
  }
  TFileStream again(dir.File("a.bin"), fmOpenRead | fmShareDenyWrite);
  char buffer[6] = {};
  again.SetPosition(0);
  again.ReadBuffer(buffer, 5);
  EXPECT_STREQ(buffer, "hello");
  EXPECT_EQ(again.Position(), 5);
}

TEST(FileStream, OpenWriteKeepsContentAndCreateTruncates) {
  TempDir dir;
  { TFileStream(dir.File("a.bin"), fmCreate).WriteBuffer("abcdef", 6); }
  { TFileStream(dir.File("a.bin"), fmOpenWrite).WriteBuffer("XY", 2); }
  EXPECT_EQ(std::filesystem::file_size(dir.Path("a.bin")), 6u);
  { TFileStream file(dir.File("a.bin"), fmCreate); }
  EXPECT_EQ(std::filesystem::file_size(dir.Path("a.bin")), 0u);
}

TEST(FileStream, OpenAndCreateFailuresCarryTheNameAndSystemText) {
  TempDir dir;
  const String missing = dir.File("missing.wav");
  EXPECT_EQ(MessageOf<EFOpenError>([&] { TFileStream(missing, fmOpenRead); }),
            u"Cannot open file \"" + missing + u"\". No such file or directory");
  const String nowhere = dir.File("no/such/folder.wav");
  EXPECT_EQ(MessageOf<EFCreateError>([&] { TFileStream(nowhere, fmCreate); }),
            u"Cannot create file \"" + nowhere + u"\". No such file or directory");
  const String folder = UTF8ToString(dir.Path("").string());
  EXPECT_EQ(MessageOf<EFOpenError>([&] { TFileStream(folder, fmOpenRead); }),
            u"Cannot open file \"" + folder + u"\". Is a directory");
}

TEST(FileStream, ShortTransfersRaiseReadAndWriteErrors) {
  TempDir dir;
  { TFileStream(dir.File("a.bin"), fmCreate).WriteBuffer("abc", 3); }
  TFileStream file(dir.File("a.bin"), fmOpenRead);
  char buffer[8];
  const String where = u" in \"" + dir.File("a.bin") + u"\": ";
  EXPECT_EQ(MessageOf<EReadError>([&] { file.ReadBuffer(buffer, 4); }),
            u"Stream read error" + where + u"4 bytes wanted, the stream ended after 3");
  EXPECT_EQ(MessageOf<EWriteError>([&] { file.WriteBuffer("x", 1); }),
            u"Stream write error" + where + u"Bad file descriptor");
  EXPECT_THROW(file.Seek(-1, TSeekOrigin::soBeginning), EStreamError);
}

TEST(FileStream, PositionsBeyondFourGigabytesWork) {
  TempDir dir;
  TFileStream file(dir.File("sparse.bin"), fmCreate);
  const std::int64_t far = 5'000'000'000;
  file.SetSize(far + 4);  // sparse: no disk space is used
  file.SetPosition(far);
  file.WriteBuffer("tail", 4);
  EXPECT_EQ(file.Size(), far + 4);
  file.SetPosition(far + 1);
  char buffer[3];
  file.ReadBuffer(buffer, 3);
  EXPECT_EQ(std::string(buffer, 3), "ail");
}

TEST(FileStream, CloseReleasesTheFileAndLaterUseRaises) {
  TempDir dir;
  TFileStream file(dir.File("a.bin"), fmCreate);
  file.Close();
  file.Close();  // a second close does nothing
  char byte;
  EXPECT_THROW(file.Read(&byte, 1), EReadError);
}

TEST(MemoryStream, GrowsOnWriteAndZeroFillsGaps) {
  TMemoryStream stream;
  stream.WriteBuffer("ab", 2);
  stream.SetPosition(6);
  stream.WriteBuffer("z", 1);
  ASSERT_EQ(stream.Size(), 7);
  EXPECT_EQ(std::memcmp(stream.Memory(), "ab\0\0\0\0z", 7), 0);
  stream.SetSize(1);
  EXPECT_EQ(stream.Position(), 1);
  stream.SetSize(3);
  EXPECT_EQ(std::memcmp(stream.Memory(), "a\0\0", 3), 0);  // no stale byte comes back
  char byte;
  EXPECT_EQ(stream.Read(&byte, 1), 1);
  stream.SetPosition(100);
  EXPECT_EQ(stream.Read(&byte, 1), 0);
}

TEST(PointerStream, ReadsCallerMemoryAndRefusesChanges) {
  const char text[] = "RIFF";
  TPointerStream stream(text, 4);
  char buffer[8] = {};
  EXPECT_EQ(stream.Read(buffer, 8), 4);
  EXPECT_STREQ(buffer, "RIFF");
  EXPECT_EQ(stream.Write("x", 1), 0);
  EXPECT_EQ(MessageOf<EWriteError>([&] { stream.WriteBuffer("x", 1); }), u"Stream write error: 1 bytes to write, 0 taken");
  EXPECT_THROW(stream.SetSize(2), EStreamError);
  EXPECT_EQ(MessageOf<EStreamError>([&] { stream.Seek(-5, TSeekOrigin::soEnd); }),
            u"Invalid stream position -1: before the start of the stream");
  EXPECT_EQ(stream.Position(), 4);
}

TEST(BinaryReader, ReadsLittleEndianPrimitives) {
  const unsigned char bytes[] = {0x01, 0xFE, 0xFF, 0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x80, 0x3F,
                                 0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0xF8, 0xBF};
  TPointerStream stream(bytes, sizeof bytes);
  TBinaryReader reader(stream);
  EXPECT_EQ(reader.ReadByte(), 1);
  EXPECT_EQ(reader.ReadInt16(), -2);
  EXPECT_EQ(reader.ReadUInt32(), 0x12345678u);
  EXPECT_EQ(reader.ReadSingle(), 1.0f);
  EXPECT_EQ(reader.ReadInt64(), -16);
  EXPECT_EQ(reader.ReadDouble(), -1.5);
  EXPECT_EQ(reader.PeekChar(), -1);
}

TEST(BinaryReader, ReadPastTheEndRaisesAndKeepsThePosition) {
  const unsigned char bytes[] = {1, 2, 3};
  TPointerStream stream(bytes, sizeof bytes);
  TBinaryReader reader(stream);
  reader.ReadByte();
  EXPECT_EQ(MessageOf<EReadError>([&] { reader.ReadUInt32(); }),
            u"Read past end of stream: 4 bytes wanted at position 1, 2 there");
  EXPECT_EQ(stream.Position(), 1);
  EXPECT_EQ(reader.ReadUInt16(), 0x0302);
  EXPECT_THROW(reader.ReadByte(), EReadError);
}

TEST(BinaryReader, ReadBytesStopsAtTheEndWithoutOverAllocating) {
  const unsigned char bytes[] = {9, 8, 7, 6};
  TPointerStream stream(bytes, sizeof bytes);
  TBinaryReader reader(stream);
  EXPECT_EQ(reader.PeekChar(), 9);
  EXPECT_EQ(reader.ReadBytes(2), (std::vector<std::uint8_t>{9, 8}));
  // A hostile count never becomes an allocation: only what is left comes back.
  EXPECT_EQ(reader.ReadBytes(std::int64_t{1} << 60), (std::vector<std::uint8_t>{7, 6}));
  EXPECT_TRUE(reader.ReadBytes(-1).empty());
  char buffer[4];
  EXPECT_EQ(reader.Read(buffer, 4), 0);
}

TEST(BinaryReader, OwnsOnlyTheStreamsItWasGiven) {
  bool lentDestroyed = false;
  TTrackedStream lent(lentDestroyed);
  { TBinaryReader reader(lent); }
  EXPECT_FALSE(lentDestroyed);

  bool ownedDestroyed = false;
  TBinaryReader reader(std::make_unique<TTrackedStream>(ownedDestroyed));
  reader.Close();
  EXPECT_TRUE(ownedDestroyed);
  EXPECT_THROW(reader.ReadByte(), EStreamError);
}

TEST(BinaryReader, OpensFilesByNameAndReportsMissingOnes) {
  TempDir dir;
  { TFileStream(dir.File("a.bin"), fmCreate).WriteBuffer("\x2A\x00", 2); }
  TBinaryReader reader(dir.File("a.bin"));
  EXPECT_EQ(reader.ReadUInt16(), 42);
  EXPECT_THROW(TBinaryReader(dir.File("none.bin")), EFOpenError);
}

TEST(FileStream, NamesTheSystemWouldMisreadAreRefused) {
  TempDir dir;
  const String withNul = dir.File("a") + String(1, u'\0') + u"b.png";
  const String shownNul = dir.File("a") + u"\\0b.png";
  const std::size_t nulAt = dir.File("a").size();
  const String lone = dir.File("a") + String(1, char16_t(0xD800)) + u".png";
  struct Case {
    const char* name;
    String file;
    std::uint16_t mode;
    String message;
  };
  const Case cases[] = {
      {"NUL, create", withNul, fmCreate,
       Sysutils::Format(u"Cannot create file \"%s\". The file name holds a NUL character at position %d", shownNul,
                        nulAt)},
      {"NUL, open", withNul, fmOpenRead,
       Sysutils::Format(u"Cannot open file \"%s\". The file name holds a NUL character at position %d", shownNul,
                        nulAt)},
      {"lone surrogate, create", lone, fmCreate,
       Sysutils::Format(u"Cannot create file \"%s\". The file name holds a lone UTF-16 surrogate at position %d", lone,
                        nulAt)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MessageOf<EStreamError>([&] { TFileStream(c.file, c.mode); }), c.message) << c.name;
  }
  EXPECT_TRUE(dir.Entries().empty());  // neither "a" nor a U+FFFD name was created
  // A proper pair of surrogates is a real character and works.
  const String pair = dir.File("a") + u"\U0001F600.bin";
  EXPECT_NO_THROW(TFileStream(pair, fmCreate));
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"a\U0001F600.bin"});
}

#if defined(_WIN32)  // names Windows hands to a device, and its read-only attribute
TEST(FileStream, DeviceNamesAndReadOnlyFilesAreRefusedOnWindows) {
  TempDir dir;
  WriteFileBytes(dir.Path("read-only.bin"), "old content");
  namespace fs = std::filesystem;
  // The C run-time's chmod without write permission sets the read-only attribute.
  fs::permissions(dir.Path("read-only.bin"), fs::perms::owner_write, fs::perm_options::remove);
  const String device = u". The name is a device of the system, not a file";
  struct Case {
    const char* name;
    std::uint16_t mode;
    String reason;
  };
  const Case cases[] = {
      // A serial port would be read until data came: forever.
      {"COM1.png", fmOpenRead, device},
      {"COM1.png", fmCreate, device},
      {"COM1", fmOpenRead, device},
      // The null device takes anything: a file "written" there is lost.
      {"NUL", fmCreate, device},
      {"NUL.wav", fmCreate, device},
      {"NUL.wav", fmOpenRead, device},
      // The console, which a program without one cannot even open.
      {"CON", fmCreate, device},
      {"conout$", fmOpenWrite, device},
      {"CONIN$", fmOpenRead, device},
      {"con.wav", fmCreate, device},
      {"read-only.bin", fmCreate, u". Permission denied"},
      {"read-only.bin", fmOpenWrite, u". Permission denied"},
      {"read-only.bin", fmOpenReadWrite, u". Permission denied"},
  };
  for (const Case& c : cases) {
    const String name = dir.File(c.name);
    const String verb = c.mode == fmCreate ? u"Cannot create file \"" : u"Cannot open file \"";
    EXPECT_EQ(MessageOf([&] { TFileStream(name, c.mode); }), verb + name + u"\"" + c.reason) << c.name << " " << c.mode;
  }
  // Read-only is for reading.
  EXPECT_EQ(TFileStream(dir.File("read-only.bin"), fmOpenRead).Size(), 11);
  EXPECT_EQ(ReadFileBytes(dir.Path("read-only.bin")), "old content");
  fs::permissions(dir.Path("read-only.bin"), fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"read-only.bin"});
}
#endif

#if !defined(_WIN32)  // FIFOs and /dev devices are files on POSIX systems only
TEST(FileStream, PipesAndDevicesReadInOrderWithoutNegativePositions) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.Path("fifo").c_str(), 0600), 0);
  std::thread writer([&] { WriteFileBytes(dir.Path("fifo"), "0123456789"); });
  {
    TFileStream fifo(dir.File("fifo"), fmOpenRead);
    EXPECT_FALSE(fifo.CanSeek());
    EXPECT_EQ(fifo.Position(), 0);
    TBinaryReader reader(fifo);
    EXPECT_EQ(MessageOf<EStreamError>([&] { reader.PeekChar(); }),
              u"TBinaryReader.PeekChar: the stream is a pipe or device and cannot give a byte back; use ReadByte");
    EXPECT_EQ(reader.ReadByte(), '0');
    EXPECT_EQ(reader.ReadBytes(4), (std::vector<std::uint8_t>{'1', '2', '3', '4'}));
    EXPECT_EQ(fifo.Position(), 5);
    fifo.SetPosition(5);  // staying put is allowed
    EXPECT_EQ(MessageOf<EStreamError>([&] { fifo.Seek(1, TSeekOrigin::soCurrent); }),
              u"Stream seek error in \"" + dir.File("fifo") +
                  u"\": the file is a pipe or device, read and written only in order (position 5)");
    EXPECT_EQ(reader.ReadBytes(100), (std::vector<std::uint8_t>{'5', '6', '7', '8', '9'}));
    writer.join();
    // A short read is a read error, and the position never goes negative.
    EXPECT_EQ(MessageOf<EReadError>([&] { reader.ReadInt64(); }),
              u"Read past end of stream: 8 bytes wanted at position 10, 0 there");
    EXPECT_EQ(fifo.Position(), 10);
  }

  // Devices report no size; reads still deliver what was asked.
  TBinaryReader zero(u"/dev/zero");
  EXPECT_EQ(zero.ReadBytes(100000), std::vector<std::uint8_t>(100000, 0));
  EXPECT_EQ(zero.BaseStream().Position(), 100000);
  TBinaryReader random(u"/dev/urandom");
  EXPECT_EQ(random.ReadBytes(8).size(), 8u);
  random.ReadUInt32();
  EXPECT_EQ(random.BaseStream().Position(), 12);
}
#endif

TEST(MemoryStream, SizesBeyondTheMachineRaiseStreamErrorsNotBadAlloc) {
  TMemoryStream stream;
  stream.SetPosition(std::int64_t{1} << 62);
  const String write = MessageOf<EWriteError>([&] { stream.WriteBuffer("x", 1); });
  EXPECT_EQ(write.rfind(u"Stream write error: TMemoryStream: 4611686018427387905 bytes are more than the machine's memory", 0),
            0u) << UTF8Encode(write);
  EXPECT_EQ(stream.Size(), 0);
  const String resize = MessageOf<EStreamError>([&] { stream.SetSize(std::int64_t{1} << 62); });
  EXPECT_EQ(resize.rfind(u"TMemoryStream: 4611686018427387904 bytes are more than the machine's memory", 0), 0u)
      << UTF8Encode(resize);
  stream.SetPosition(std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(MessageOf<EWriteError>([&] { stream.WriteBuffer("x", 1); }),
            u"Stream write error: position 9223372036854775807 + 1 bytes overflows");
}
