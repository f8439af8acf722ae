#include "audio/wave_reader.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "framework/exceptions.h"
#include "framework/log.h"
#include "framework/streams.h"

using namespace Audio::Wave::Reader;
using System::String;
using System::Classes::TPointerStream;
using System::Sysutils::Exception;

namespace {

using Bytes = std::string;

Bytes U16(std::uint16_t v) { return {char(v & 0xFF), char(v >> 8)}; }
Bytes U32(std::uint32_t v) { return U16(v & 0xFFFF) + U16(v >> 16); }

Bytes Chunk(const char* code, const Bytes& payload, bool pad = true) {
  Bytes out = Bytes(code, 4) + U32(static_cast<std::uint32_t>(payload.size())) + payload;
  if (pad && payload.size() % 2) out.push_back('\0');
  return out;
}

Bytes Riff(const Bytes& chunks) { return "RIFF" + U32(static_cast<std::uint32_t>(chunks.size() + 4)) + "WAVE" + chunks; }

Bytes FmtPayload(std::uint16_t code, std::uint16_t channels, std::uint16_t bits, std::uint16_t blockAlign) {
  return U16(code) + U16(channels) + U32(8000) + U32(8000u * blockAlign) + U16(blockAlign) + U16(bits);
}

Bytes Fmt(std::uint16_t code, std::uint16_t channels, std::uint16_t bits) {
  return Chunk("fmt ", FmtPayload(code, channels, bits, static_cast<std::uint16_t>(channels * bits / 8)));
}

// Interleaves per-channel sample bytes of the given width into frames.
Bytes Interleave(const std::vector<Bytes>& channels, int width) {
  Bytes out;
  const size_t frames = channels[0].size() / width;
  for (size_t k = 0; k < frames; ++k) {
    for (const Bytes& channel : channels) out += channel.substr(k * width, width);
  }
  return out;
}

// A channel of distinct sample values, so swapped or shifted channels show.
Bytes Ramp(size_t frames, int width, int seed) {
  Bytes out;
  for (size_t k = 0; k < frames; ++k) {
    const std::uint32_t v = static_cast<std::uint32_t>(k * 2654435761u + seed * 40503u);
    out += U32(v).substr(0, width);
  }
  return out;
}

Bytes ChannelBytes(const TDataChunk& data, int channel) {
  const auto* p = reinterpret_cast<const char*>(data.ChannelData(channel));
  return Bytes(p, p + static_cast<size_t>(data.SampleCount()) * data.BitsPerSample() / 8);
}

// The reader gets its own copy, so raw reads stay valid after the bytes go.
std::unique_ptr<TWaveReader> Open(const Bytes& bytes) {
  auto stream = std::make_unique<System::Classes::TMemoryStream>();
  stream->WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  stream->SetPosition(0);
  return std::make_unique<TWaveReader>(std::move(stream));
}

template <class E = Exception>
String MessageOf(const Bytes& bytes) {
  try {
    Open(bytes);
  } catch (const E& e) {
    return e.Message();
  }
  return u"<nothing raised>";
}

class LogCapture {
 public:
  LogCapture() : FPrevious(Fmx::Types::Log::SetSink([this](const String& s) { Lines.push_back(s); })) {}
  ~LogCapture() { Fmx::Types::Log::SetSink(FPrevious); }
  std::vector<String> Lines;

 private:
  Fmx::Types::Log::TSink FPrevious;
};

// A stream of a given size whose bytes past a short prefix are zeros, so a
// file of gigabytes costs no memory.
class TZeroTailStream : public System::Classes::TStream {
 public:
  TZeroTailStream(Bytes prefix, std::int64_t size, std::int64_t& bytesRead)
      : FPrefix(std::move(prefix)), FSize(size), FBytesRead(bytesRead) {}
  std::int64_t Read(void* buffer, std::int64_t count) override {
    const std::int64_t n = std::max<std::int64_t>(std::min(count, FSize - FPosition), 0);
    for (std::int64_t i = 0; i < n; ++i) {
      const std::int64_t at = FPosition + i;
      static_cast<char*>(buffer)[i] = at < static_cast<std::int64_t>(FPrefix.size()) ? FPrefix[at] : 0;
    }
    FPosition += n;
    FBytesRead += n;
    return n;
  }
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  std::int64_t Seek(std::int64_t offset, System::Classes::TSeekOrigin origin) override {
    FPosition = (origin == System::Classes::TSeekOrigin::soBeginning ? 0
                 : origin == System::Classes::TSeekOrigin::soCurrent ? FPosition
                                                                     : FSize) + offset;
    return FPosition;
  }
  std::int64_t Size() override { return FSize; }
  void SetSize(std::int64_t) override {}

 private:
  Bytes FPrefix;
  std::int64_t FSize;
  std::int64_t FPosition = 0;
  std::int64_t& FBytesRead;
};

}  // namespace

// ------------------------------------------------------------------ header

TEST(WaveReaderHeader, AcceptsHeaderWordsInAnyLetterCase) {
  Bytes file = Riff(Fmt(1, 1, 8) + Chunk("data", "\x01\x02"));
  file.replace(0, 4, "riff");
  file.replace(8, 4, "wAvE");
  auto reader = Open(file);
  EXPECT_EQ(reader->DataChunk()->SampleCount(), 2);
}

TEST(WaveReaderHeader, RefusesFilesThatAreNotRiffWave) {
  EXPECT_EQ(MessageOf(Riff("").replace(0, 4, "RIFX")), u"Error read RIFF header");
  EXPECT_EQ(MessageOf(Bytes("RI")), u"Error read RIFF header");
  EXPECT_EQ(MessageOf(Riff("").replace(8, 4, "AVI ")), u"Error read WAVE header");
  // The words are text: a zero byte ends them early.
  EXPECT_EQ(MessageOf(Riff("").replace(8, 4, Bytes("WA\0E", 4))), u"Error read WAVE header");
}

TEST(WaveReaderHeader, WrongRiffSizeIsLoggedAndEveryChunkStillRead) {
  LogCapture log;
  Bytes file = Riff(Fmt(1, 1, 8) + Chunk("LIST", "abcd") + Chunk("data", "\x10\x20\x30"));
  file.replace(4, 4, U32(0));
  auto reader = Open(file);
  EXPECT_EQ(log.Lines, std::vector<String>{u"Invalid Size"});
  EXPECT_EQ(reader->Count(), 1);
  EXPECT_EQ(reader->DataChunk()->SampleCount(), 3);

  LogCapture quiet;
  Open(Riff(Fmt(1, 1, 8)));
  EXPECT_TRUE(quiet.Lines.empty());
}

TEST(WaveReaderHeader, FileEndingAfterWaveGivesAnEmptyReader) {
  auto reader = Open(Riff(""));
  EXPECT_EQ(reader->FMTChunk(), nullptr);
  EXPECT_EQ(reader->DataChunk(), nullptr);
  EXPECT_EQ(reader->Count(), 0);
  EXPECT_EQ(reader->CuePoints().Count(), 0);
  EXPECT_EQ(reader->BitsPerSample(), 0);
  EXPECT_EQ(reader->NumberOfChannel(), 0);
  EXPECT_EQ(reader->SampleRate(), 0u);
  EXPECT_EQ(reader->AverageSamplePerSecond(), 0u);
  EXPECT_EQ(reader->BlockAlign(), 0);
}

TEST(WaveReaderHeader, OpensFilesByNameAndKeepsThemOpenForRawReads) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("corvina-reader-" + std::to_string(::getpid()) + ".wav");
  { std::ofstream(path, std::ios::binary) << Riff(Fmt(1, 2, 16) + Chunk("data", "ABCDEFGH")); }
  {
    TWaveReader reader(System::UTF8ToString(path.string()));
#if !defined(_WIN32)  // Windows removes no open file
    std::filesystem::remove(path);  // the open descriptor keeps the bytes reachable
#endif
    char buffer[4] = {};
    EXPECT_EQ(reader.DataChunk()->ReadData(buffer, 4, 4), 4);
    EXPECT_EQ(Bytes(buffer, 4), "EFGH");
  }
#if defined(_WIN32)
  std::filesystem::remove(path);
#endif
  EXPECT_THROW(TWaveReader(System::UTF8ToString(path.string())), System::Classes::EFOpenError);
}

// ----------------------------------------------------------- format chunk

TEST(WaveReaderFormat, ExposesTheFormatValues) {
  auto reader = Open(Riff(Chunk("fmt ", U16(1) + U16(2) + U32(44100) + U32(176400) + U16(4) + U16(16))));
  EXPECT_EQ(reader->SampleRate(), 44100u);
  EXPECT_EQ(reader->AverageSamplePerSecond(), 176400u);
  EXPECT_EQ(reader->NumberOfChannel(), 2);
  EXPECT_EQ(reader->BitsPerSample(), 16);
  EXPECT_EQ(reader->BlockAlign(), 4);
  EXPECT_EQ(reader->FMTChunk()->CompressionCode(), 1);
  EXPECT_EQ(reader->FMTChunk()->Offset(), 12);
  EXPECT_EQ(reader->FMTChunk()->Size(), 16);
}

TEST(WaveReaderFormat, EighteenByteChunksEndAtTheirDeclaredSize) {
  // PCM does not read the extension size; float reads it (0) and skips
  // nothing; extensible skips its 22 extension bytes. Each must leave the
  // walk at the data chunk.
  const Bytes pcm18 = Chunk("fmt ", FmtPayload(1, 1, 8, 1) + U16(0xBEEF));
  const Bytes float18 = Chunk("fmt ", FmtPayload(3, 1, 32, 4) + U16(0));
  const Bytes extensible = Chunk("fmt ", FmtPayload(0xFFFE, 1, 16, 2) + U16(22) + Bytes(22, 'x'));
  for (const Bytes& fmt : {pcm18, float18, extensible}) {
    auto reader = Open(Riff(fmt + Chunk("data", "abcdefgh")));
    ASSERT_NE(reader->DataChunk(), nullptr);
    EXPECT_EQ(reader->DataChunk()->Offset(), 12 + static_cast<std::int64_t>(fmt.size()));
    EXPECT_EQ(reader->Count(), 0);
  }
}

TEST(WaveReaderFormat, RefusesSampleWidthsOtherThanWholeBytes) {
  for (std::uint16_t bits : {12, 20, 0, 40}) {
    EXPECT_EQ(MessageOf(Riff(Chunk("fmt ", FmtPayload(0xFFFE, 1, bits, 4) + U16(0)))),
              u"Invalid SignificantBitPerSample!")
        << bits;
  }
}

TEST(WaveReaderFormat, RefusesChannelCountsAndBlockAlignsThatCannotSplitFrames) {
  EXPECT_EQ(MessageOf(Riff(Chunk("fmt ", FmtPayload(1, 0, 16, 0)))), u"Invalid channel count");
  EXPECT_EQ(MessageOf(Riff(Chunk("fmt ", FmtPayload(1, 2, 16, 3)))), u"Invalid block align");
  EXPECT_EQ(MessageOf(Riff(Chunk("fmt ", FmtPayload(1, 2, 16, 0)))), u"Invalid block align");
}

TEST(WaveReaderFormat, SecondFormatChunkReplacesTheFirst) {
  auto reader = Open(Riff(Fmt(1, 1, 8) + Fmt(1, 2, 16) + Chunk("data", "AaBbCcDd")));
  EXPECT_EQ(reader->NumberOfChannel(), 2);
  TDataChunk* data = reader->DataChunk();
  EXPECT_EQ(data->SampleCount(), 2);
  EXPECT_EQ(ChannelBytes(*data, 0), "AaCc");
  EXPECT_EQ(ChannelBytes(*data, 1), "BbDd");
}

TEST(WaveReaderFormat, DataBeforeFormatRaisesNoFmtChunk) {
  EXPECT_EQ(MessageOf<ENoFMTChunk>(Riff(Chunk("data", "ab") + Fmt(1, 1, 8))), u"No chunk file is in the wave file!");
  EXPECT_EQ(MessageOf<ENoFMTChunk>(Riff(Chunk("wavl", ""))), u"No chunk file is in the wave file!");
}

// ------------------------------------------------------------- chunk walk

TEST(WaveReaderChunks, ListsOtherChunksInFileOrderWithoutFormatAndData) {
  auto reader = Open(Riff(Fmt(1, 1, 8) + Chunk("LIST", "INFOabcd") + Chunk("fact", U32(77)) + Chunk("data", "xy")));
  ASSERT_EQ(reader->Count(), 2);
  EXPECT_NE(dynamic_cast<TOtherChunks*>((*reader)[0]), nullptr);
  EXPECT_EQ((*reader)[0]->Identify(), TFourCC::FromChars("LIST"));
  auto* fact = dynamic_cast<TFactChunk*>((*reader)[1]);
  ASSERT_NE(fact, nullptr);
  EXPECT_EQ(fact->BytesInChunk(), (std::vector<std::uint8_t>{77, 0, 0, 0}));
  for (TChunk* chunk : *reader) {
    EXPECT_NE(chunk->Identify(), kFmtCode);
    EXPECT_NE(chunk->Identify(), kDataCode);
  }
}

TEST(WaveReaderChunks, FourZeroBytesShiftTheHeaderByFour) {
  auto reader = Open(Riff(Fmt(1, 1, 8) + Bytes(4, '\0') + Chunk("junk", "12") + Chunk("data", "z")));
  ASSERT_EQ(reader->Count(), 1);
  EXPECT_EQ((*reader)[0]->Identify(), TFourCC::FromChars("junk"));
  EXPECT_EQ((*reader)[0]->Offset(), 12 + 24 + 4);
  EXPECT_EQ(reader->DataChunk()->SampleCount(), 1);
}

TEST(WaveReaderChunks, OddChunksSkipTheirPadByte) {
  auto reader = Open(Riff(Fmt(1, 1, 8) + Chunk("LIST", "odd") + Chunk("data", "abc")));
  ASSERT_EQ(reader->Count(), 1);
  EXPECT_EQ(ChannelBytes(*reader->DataChunk(), 0), "abc");
}

TEST(WaveReaderChunks, OddChunkWithoutPadByteIsFollowedWhereTheNextCodeIs) {
  auto reader = Open(Riff(Fmt(1, 1, 8) + Chunk("LIST", "odd", false) + Chunk("data", "abc")));
  ASSERT_NE(reader->DataChunk(), nullptr);
  EXPECT_EQ(ChannelBytes(*reader->DataChunk(), 0), "abc");
  // The padded place reads "IST%" here: a size byte that looks like text
  // must not pass for a chunk code.
  auto list = Open(Riff(Fmt(1, 1, 8) + Chunk("LIST", "odd", false) + Chunk("LIST", Bytes(37, 'x')) +
                        Chunk("data", "abc")));
  EXPECT_EQ(list->Count(), 2);
  EXPECT_EQ(list->DataChunk()->SampleCount(), 3);
  // When the padded place starts a chunk, the RIFF rule wins.
  auto padded = Open(Riff(Fmt(1, 1, 8) + Chunk("LIST", "odd") + Chunk("data", "abc")).replace(47, 1, "d"));
  EXPECT_EQ(padded->DataChunk()->SampleCount(), 3);
}

TEST(WaveReaderChunks, CuePointsComeFromTheLastCueChunk) {
  const Bytes point1 = U32(1) + U32(100) + "data" + U32(0) + U32(0) + U32(100);
  const Bytes point2 = U32(2) + U32(200) + "data" + U32(0) + U32(0) + U32(250);
  auto reader = Open(Riff(Chunk("cue ", U32(1) + point2) + Chunk("cue ", U32(2) + point1 + point2)));
  ASSERT_EQ(reader->CuePoints().Count(), 2);
  const TCuePoint* second = reader->CuePoints()[1];
  EXPECT_EQ(second->Identifier(), 2u);
  EXPECT_EQ(second->Position(), 200u);
  EXPECT_EQ(second->DataChunkID(), kDataCode.Int32);
  EXPECT_EQ(second->ChunkStart(), 0u);
  EXPECT_EQ(second->BlockStart(), 0u);
  EXPECT_EQ(second->SampleOffset(), 250u);
  EXPECT_EQ(reader->Count(), 2);
  EXPECT_EQ(&reader->CuePoints(), &dynamic_cast<TCueChunk*>((*reader)[1])->CuePointCollection());
}

TEST(WaveReaderChunks, CueCountsAreBoundedByThePayload) {
  const Bytes point = U32(7) + U32(1) + "data" + U32(0) + U32(0) + U32(1);
  EXPECT_EQ(Open(Riff(Chunk("cue ", U32(0) + point)))->CuePoints().Count(), 0);
  EXPECT_EQ(Open(Riff(Chunk("cue ", U32(0xFFFFFFFF) + point)))->CuePoints().Count(), 0);
  // A count of two billion over one stored point reads that one point and
  // allocates nothing more; the next chunk is still found.
  auto reader = Open(Riff(Chunk("cue ", U32(2'000'000'000) + point) + Fmt(1, 1, 8)));
  ASSERT_EQ(reader->CuePoints().Count(), 1);
  EXPECT_EQ(reader->CuePoints()[0]->Identifier(), 7u);
  EXPECT_EQ(reader->BitsPerSample(), 8);
}

TEST(WaveReaderChunks, FactPayloadLongerThanTheFileKeepsWhatIsThere) {
  auto reader = Open(Riff(Bytes("fact") + U32(0x7FFFFFFF) + "abc"));
  auto* fact = dynamic_cast<TFactChunk*>((*reader)[0]);
  ASSERT_NE(fact, nullptr);
  EXPECT_EQ(fact->BytesInChunk().size(), 3u);
}

TEST(WaveReaderChunks, HeaderCutShortRaisesButTrailingBytesDoNot) {
  EXPECT_EQ(Open(Riff(Fmt(1, 1, 8) + "ab"))->Count(), 0);
  EXPECT_THROW(Open(Riff(Fmt(1, 1, 8) + "LIST\x01")), System::Classes::EReadError);
}

TEST(WaveReaderChunks, ChunkWhoseCodeMovedRaisesErrorMessage) {
  // A chunk that re-reads its header finds another code there.
  const Bytes bytes = "abcd" + U32(0);
  System::Classes::TPointerStream stream(bytes.data(), bytes.size());
  System::Classes::TBinaryReader in(stream);
  in.ReadUInt32();
  TFMTChunk fmt(in);
  try {
    fmt.Read();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Error Message");
  }
}

// ------------------------------------------------------------- data chunk

TEST(WaveReaderData, SplitsSixteenBitStereoIntoChannels) {
  const std::vector<Bytes> channels = {Ramp(1000, 2, 1), Ramp(1000, 2, 2)};
  auto reader = Open(Riff(Fmt(1, 2, 16) + Chunk("data", Interleave(channels, 2))));
  TDataChunk* data = reader->DataChunk();
  EXPECT_EQ(data->SampleCount(), 1000);
  EXPECT_EQ(data->NumberOfChannel(), 2);
  EXPECT_EQ(ChannelBytes(*data, 0), channels[0]);
  EXPECT_EQ(ChannelBytes(*data, 1), channels[1]);
  EXPECT_EQ(data->ChannelData(2), nullptr);
  EXPECT_EQ(data->ChannelData(-1), nullptr);
}

TEST(WaveReaderData, SplitsEveryWidthAndChannelCountAcrossBlockBoundaries) {
  struct Case {
    int width, channels;
    size_t frames;
  };
  // Frame counts around 1024 and 2048, and one that spans several reads.
  for (const Case c : {Case{1, 1, 2048}, Case{2, 3, 1023}, Case{3, 6, 70001}, Case{4, 2, 2048}, Case{3, 1, 5},
                       Case{1, 5, 1025}, Case{4, 8, 9000}, Case{2, 4, 300}}) {
    std::vector<Bytes> channels;
    for (int ch = 0; ch < c.channels; ++ch) channels.push_back(Ramp(c.frames, c.width, ch + 1));
    const Bytes file = Riff(Fmt(c.width == 4 ? 3 : 1, static_cast<std::uint16_t>(c.channels),
                                static_cast<std::uint16_t>(c.width * 8)) +
                            Chunk("data", Interleave(channels, c.width)));
    auto reader = Open(file);
    TDataChunk* data = reader->DataChunk();
    ASSERT_EQ(data->SampleCount(), static_cast<int>(c.frames));
    for (int ch = 0; ch < c.channels; ++ch) {
      EXPECT_EQ(ChannelBytes(*data, ch), channels[ch]) << c.width << "x" << c.channels << " channel " << ch;
    }
  }
}

TEST(WaveReaderData, EightBitSamplesStayUnsignedAsStored) {
  auto reader = Open(Riff(Fmt(1, 1, 8) + Chunk("data", "\x80\x80\x00\xFF")));
  EXPECT_EQ(ChannelBytes(*reader->DataChunk(), 0), "\x80\x80\x00\xFF");
}

TEST(WaveReaderData, TruncatedDataHoldsOnlyTheFramesPresent) {
  // 1000 bytes declared, 11 present: five whole stereo frames.
  const Bytes present = "0123456789A";
  auto reader = Open(Riff(Fmt(1, 2, 8) + Bytes("data") + U32(1000) + present));
  TDataChunk* data = reader->DataChunk();
  EXPECT_EQ(data->Size(), 11);
  EXPECT_EQ(data->SampleCount(), 5);
  EXPECT_EQ(ChannelBytes(*data, 0), "02468");
  EXPECT_EQ(ChannelBytes(*data, 1), "13579");
  char buffer[64];
  EXPECT_EQ(data->ReadData(buffer, 0, sizeof buffer), 11);
  EXPECT_TRUE(data->Eof());
}

TEST(WaveReaderData, MoreFramesThanACountHoldsRaiseBeforeAllocating) {
  // 4 GB of 8-bit mono is 4 billion frames: past a 32-bit signed count.
  const Bytes head = Riff(Fmt(1, 1, 8)) + "data" + U32(0xFFFFFFF0);
  std::int64_t bytesRead = 0;
  try {
    TWaveReader reader(
        std::make_unique<TZeroTailStream>(head, static_cast<std::int64_t>(head.size()) + 0xFFFFFFF0, bytesRead));
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Invalid data size");
  }
  EXPECT_LT(bytesRead, 100);
}

TEST(WaveReaderData, RawReadsFollowPositionAndClampToTheData) {
  const Bytes samples = "ABCDEFGHIJKLMNOP";
  auto reader = Open(Riff(Fmt(1, 2, 16) + Chunk("data", samples) + Chunk("LIST", "tail")));
  TDataChunk* data = reader->DataChunk();
  data->SetPossition(0);
  EXPECT_EQ(data->Possition(), 0);
  EXPECT_FALSE(data->Eof());
  char buffer[32] = {};
  EXPECT_EQ(data->ReadData(buffer, 8), 8);
  EXPECT_EQ(Bytes(buffer, 8), "ABCDEFGH");
  EXPECT_EQ(data->Possition(), 8);
  EXPECT_EQ(data->ReadData(buffer, 100), 8);  // stops at the data's end, not the file's
  EXPECT_EQ(Bytes(buffer, 8), "IJKLMNOP");
  EXPECT_TRUE(data->Eof());
  EXPECT_EQ(data->ReadData(buffer, 4), 0);

  EXPECT_EQ(data->ReadData(buffer, 12, 10), 4);
  EXPECT_EQ(Bytes(buffer, 4), "MNOP");
  EXPECT_EQ(data->ReadData(buffer, 16, 10), 0);
  EXPECT_EQ(data->ReadData(buffer, 17, 10), 0);
  EXPECT_EQ(data->ReadData(buffer, -4, 10), 0);  // never before the data
  data->SetPossition(-4);
  EXPECT_EQ(data->ReadData(buffer, 4), 0);
}

TEST(WaveReaderData, PositionedReadPastTheEndMovesThereSoEofHolds) {
  auto reader = Open(Riff(Fmt(1, 1, 8) + Chunk("data", "ABCDEFGH") + Chunk("LIST", "tail")));
  TDataChunk* data = reader->DataChunk();
  char buffer[4] = {};
  struct Case {
    std::int64_t offset;
    std::int32_t read;
    std::int64_t position;
    bool eof;
  };
  const Case cases[] = {{4, 4, 8, true}, {8, 0, 8, true}, {9, 0, 9, true}, {1000, 0, 1000, true}, {2, 4, 6, false}};
  for (const Case& c : cases) {
    data->SetPossition(0);
    EXPECT_EQ(data->ReadData(buffer, c.offset, 4), c.read) << c.offset;
    EXPECT_EQ(data->Possition(), c.position) << c.offset;
    EXPECT_EQ(data->Eof(), c.eof) << c.offset;
  }
  data->SetPossition(0);
  EXPECT_EQ(data->ReadData(buffer, std::numeric_limits<std::int64_t>::max(), 4), 0);  // no overflow
  EXPECT_TRUE(data->Eof());
}

TEST(WaveReader, PipesAndDevicesAreRefusedWhenOpened) {
  try {
    TWaveReader reader(u"/dev/zero");
    ADD_FAILURE() << "a device was read as a WAV file";
  } catch (const Exception& e) {
#if defined(_WIN32)
    // Windows reaches the device through its name: the file stream refuses it.
    EXPECT_EQ(e.Message(), u"Cannot open file \"/dev/zero\". The name is a device of the system, not a file");
#else
    EXPECT_EQ(e.Message(), u"TWaveReader: the stream is a pipe or device; WAV files are read from files that can seek");
#endif
  }
}

TEST(WaveReaderData, RawReadsReturnNothingBeforeTheChunkIsRead) {
  const Bytes bytes = "data" + U32(4) + "abcd";
  System::Classes::TPointerStream stream(bytes.data(), bytes.size());
  System::Classes::TBinaryReader in(stream);
  TDataChunk data(in, 16, 1);
  char buffer[4];
  EXPECT_EQ(data.ReadData(buffer, 4), 0);
  EXPECT_EQ(data.ReadData(buffer, 0, 4), 0);
  EXPECT_EQ(data.SampleCount(), 0);
  EXPECT_EQ(data.ChannelData(0), nullptr);
}

TEST(WaveReaderData, BadFormatNumbersRaiseInsteadOfDividing) {
  const Bytes bytes = "data" + U32(4) + "abcd";
  for (const auto& [bits, channels, message] :
       {std::tuple{16, 0, u"Invalid channel count"}, std::tuple{16, -3, u"Invalid channel count"},
        std::tuple{4, 1, u"Invalid SignificantBitPerSample!"}}) {
    System::Classes::TPointerStream stream(bytes.data(), bytes.size());
    System::Classes::TBinaryReader in(stream);
    in.ReadUInt32();
    TDataChunk data(in, bits, channels);
    try {
      data.Read();
      ADD_FAILURE() << bits << "/" << channels;
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), message);
    }
  }
}

TEST(WaveReaderData, SecondDataChunkReplacesTheFirst) {
  auto reader = Open(Riff(Fmt(1, 1, 8) + Chunk("data", "first") + Chunk("data", "2nd!")));
  EXPECT_EQ(ChannelBytes(*reader->DataChunk(), 0), "2nd!");
}

// ------------------------------------------------------------- wave lists

TEST(WaveReaderWavl, SilenceFollowsTheSamplesInEveryChannel) {
  const Bytes list = Chunk("data", "AaBb") + Chunk("slnt", U32(3)) + Chunk("data", "CcDdEe");
  testing::internal::CaptureStdout();
  auto reader = Open(Riff(Fmt(1, 2, 8) + Chunk("wavl", list) + Chunk("LIST", "after")));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "In Wavl! this method is not tested completely!\n");
  ASSERT_EQ(reader->Count(), 2);
  auto* wavl = dynamic_cast<TWavlChunk*>((*reader)[0]);
  ASSERT_NE(wavl, nullptr);
  EXPECT_EQ(wavl->BitsPerSample, 8);
  EXPECT_EQ(wavl->ChannelCount, 2);
  EXPECT_EQ(wavl->DataChunk->SampleCount(), 8);
  EXPECT_EQ(ChannelBytes(*wavl->DataChunk, 0), "AB\x80\x80\x80" "CDE");
  EXPECT_EQ(ChannelBytes(*wavl->DataChunk, 1), "ab\x80\x80\x80" "cde");
  EXPECT_EQ((*reader)[1]->Identify(), TFourCC::FromChars("LIST"));
  EXPECT_EQ(reader->DataChunk(), nullptr);
}

TEST(WaveReaderWavl, WideSilenceIsZeroAndOddSubChunksArePadded) {
  const Bytes list = Chunk("slnt", U32(2)) + Chunk("note", "odd") + Chunk("data", U16(0x1234) + U16(0xABCD));
  testing::internal::CaptureStdout();
  auto reader = Open(Riff(Fmt(1, 1, 16) + Chunk("wavl", list)));
  testing::internal::GetCapturedStdout();
  auto* wavl = dynamic_cast<TWavlChunk*>((*reader)[0]);
  ASSERT_NE(wavl, nullptr);
  EXPECT_EQ(ChannelBytes(*wavl->DataChunk, 0), Bytes(4, '\0') + U16(0x1234) + U16(0xABCD));
}

TEST(WaveReaderWavl, StopsAtTheEndOfTheListPayload) {
  // The list holds one data sub-chunk; the "data" chunk after the list is the
  // file's own, not the list's.
  auto reader = Open(Riff(Fmt(1, 1, 8) + Chunk("wavl", Chunk("data", "in")) + Chunk("data", "out")));
  auto* wavl = dynamic_cast<TWavlChunk*>((*reader)[0]);
  EXPECT_EQ(ChannelBytes(*wavl->DataChunk, 0), "in");
  EXPECT_EQ(ChannelBytes(*reader->DataChunk(), 0), "out");
}

TEST(WaveReaderWavl, SilenceLongerThanTheFileCouldHoldRaises) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(MessageOf(Riff(Fmt(1, 6, 32) + Chunk("wavl", Chunk("slnt", U32(1'000'000))))), u"Invalid silence length");
  testing::internal::GetCapturedStdout();
}

TEST(WaveReaderWavl, SamplesAndSilenceTogetherStayWithinTheFileSize) {
  // Found by fuzzing: silence that fits the file alone, followed by more
  // samples, used to let the list hold more bytes than the file.
  const auto file = [](std::uint32_t silence) {
    return Riff(Fmt(1, 2, 16) + Chunk("wavl", Chunk("data", Bytes(12, 'a')) + Chunk("slnt", U32(silence)) +
                                                  Chunk("data", Bytes(40, 'b'))));
  };
  ASSERT_EQ(file(0).size(), 124u);
  testing::internal::CaptureStdout();
  EXPECT_EQ(MessageOf(file(17)), u"Invalid silence length");  // (3 + 17 + 10) frames x 4 bytes > 124
  const Bytes fits = file(16);
  auto reader = Open(fits);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(dynamic_cast<TWavlChunk*>((*reader)[0])->DataChunk->SampleCount(), 29);
}

TEST(WaveReaderWavl, DataSubChunksEndWithTheList) {
  const Bytes list = Bytes("data") + U32(100) + "abcd";
  auto reader = Open(Riff(Fmt(1, 1, 8) + Chunk("wavl", list) + Chunk("LIST", "next")));
  auto* wavl = dynamic_cast<TWavlChunk*>((*reader)[0]);
  EXPECT_EQ(ChannelBytes(*wavl->DataChunk, 0), "abcd");
  ASSERT_EQ(reader->Count(), 2);
  EXPECT_EQ((*reader)[1]->Identify(), TFourCC::FromChars("LIST"));
}

// ---------------------------------------------------------------- the unit

TEST(WaveReaderUnit, FinalizeLeavesLiveReadersWorking) {
  const Bytes file = Riff(Fmt(1, 1, 8) + Chunk("LIST", "abc") + Chunk("data", "xyz"));
  auto reader = Open(file);
  Finalize();
  Finalize();
  char buffer[3];
  EXPECT_EQ(reader->DataChunk()->ReadData(buffer, 0, 3), 3);
  EXPECT_EQ(Open(file)->DataChunk()->SampleCount(), 3);
}
