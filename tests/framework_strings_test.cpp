#include "framework/strings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "framework/exceptions.h"

using namespace System;
using namespace System::Sysutils;

TEST(Utf8, RoundTripsTextOutsideTheBasicPlane) {
  const String text = u"Grüße 输入 \U0001F600";
  EXPECT_EQ(UTF8ToString(UTF8Encode(text)), text);
  EXPECT_EQ(UTF8Encode(u"\u00e9"), "\xC3\xA9");
}

TEST(Utf8, InvalidBytesBecomeReplacementCharacters) {
  // A stray continuation byte, a truncated 3-byte sequence, an overlong form
  // and an encoded surrogate: each ill-formed piece is one U+FFFD.
  EXPECT_EQ(UTF8ToString(std::string_view("a\x80" "b")), u"a\uFFFDb");
  EXPECT_EQ(UTF8ToString(std::string_view("\xE4\xBD")), u"\uFFFD");
  EXPECT_EQ(UTF8ToString(std::string_view("\xC0\xAF")), u"\uFFFD\uFFFD");
  EXPECT_EQ(UTF8ToString(std::string_view("\xED\xA0\x80z")), u"\uFFFD\uFFFD\uFFFDz");
  EXPECT_EQ(UTF8ToString(static_cast<const char*>(nullptr)), u"");
}

TEST(Utf8, LoneSurrogatesEncodeAsReplacementCharacters) {
  const String lone{char16_t(0xD800), u'x'};
  EXPECT_EQ(UTF8Encode(lone), "\xEF\xBF\xBDx");
}

TEST(Format, FillsStringsAndNumbersInOrder) {
  EXPECT_EQ(Format(u"Can not load %s %s", String(u"libs/a.so"), u"gone"), u"Can not load libs/a.so gone");
  EXPECT_EQ(Format(u"Audio data length (%d) must be a multiple of channels (%d)", 5LL, 2),
            u"Audio data length (5) must be a multiple of channels (2)");
  EXPECT_EQ(Format(u"%x %X %u", 255, 0xABCDu, -1), u"FF ABCD 4294967295");
  EXPECT_EQ(Format(u"[%5d|%-5d|%.3d]", 42, 42, 7), u"[   42|42   |007]");
  EXPECT_EQ(Format(u"%.4s", "RIFFWAVE"), u"RIFF");
  EXPECT_EQ(Format(u"%.2f %g 100%%", 3.14159, 0.5), u"3.14 0.5 100%");
  EXPECT_EQ(Format(u"%1:s-%0:s", u"a", u"b"), u"b-a");
  EXPECT_EQ(Format(u"%*d", 4, 7), u"   7");
}

TEST(Format, MismatchedOrMissingArgumentsRaiseConvertError) {
  EXPECT_THROW(Format(u"%d", u"text"), EConvertError);
  EXPECT_THROW(Format(u"%s", 3), EConvertError);
  try {
    Format(u"%s %s", u"one");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"No argument for format '%s %s'");
  }
  EXPECT_THROW(Format(u"%", 1), EConvertError);
  EXPECT_THROW(Format(u"%q", 1), EConvertError);
}

TEST(Format, WidthsFromArgumentsObeyTheLimitOfLiteralOnes) {
  struct Case {
    const char16_t* format;
    long long value;
    bool raises;
    std::size_t length;  // of the result when it does not raise
  };
  const Case cases[] = {
      {u"%*d", 100000, false, 100000}, {u"%*d", 100001, true, 0},   {u"%*d", 30000000, true, 0},
      {u"%100001d", 0, true, 0},       {u"%.*d", 30000000, true, 0}, {u"%*d", -100000, false, 1},
      {u"%*d", 4294967297LL, true, 0},  // would wrap to 1 in 32 bits
  };
  for (const Case& c : cases) {
    bool raised = false;
    String out;
    try {
      out = c.format[1] == u'1' ? Format(c.format, 1) : Format(c.format, c.value, 1);
    } catch (const EConvertError&) {
      raised = true;
    }
    EXPECT_EQ(raised, c.raises) << UTF8Encode(c.format) << " " << c.value;
    EXPECT_EQ(out.size(), c.length) << UTF8Encode(c.format) << " " << c.value;
  }
}

TEST(StrToInt, AcceptsDecimalAndHexWithBlanks) {
  EXPECT_EQ(StrToInt(u" 7 "), 7);
  EXPECT_EQ(StrToInt(u"-2147483648"), -2147483647 - 1);
  EXPECT_EQ(StrToInt(u"$1F"), 31);
  EXPECT_EQ(StrToInt(u"+12"), 12);
}

TEST(StrToInt, BadTextRaisesConvertErrorNamingIt) {
  for (const char16_t* bad : {u"", u"abc", u"2147483648", u"1.5", u"-", u"$"}) {
    try {
      StrToInt(bad);
      ADD_FAILURE() << "accepted " << UTF8Encode(bad);
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), u"'" + String(bad) + u"' is not a valid integer value");
    }
  }
}

TEST(TextRoutines, TrimAndSameText) {
  EXPECT_EQ(Trim(u"\t x y \r\n"), u"x y");
  EXPECT_EQ(Trim(u"   "), u"");
  EXPECT_TRUE(SameText(u"riff", u"RIFF"));
  EXPECT_FALSE(SameText(u"RIF", u"RIFF"));
}

TEST(Exception, WhatGivesTheMessageInUtf8) {
  const Exception e(u"输入数组长度必须非空且相等");
  EXPECT_STREQ(e.what(), "输入数组长度必须非空且相等");
}

TEST(FileSystem, FileExistsIsTrueOnlyForRegularFilesThroughLinks) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("corvina_fs_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "file.bin") << "x";
  const auto S = [](const fs::path& p) {
    const std::u16string name = p.u16string();
    return String(name.begin(), name.end());
  };
  EXPECT_TRUE(FileExists(S(dir / "file.bin")));
#if !defined(_WIN32)  // making symbolic links takes a privilege on Windows
  fs::create_symlink(dir / "file.bin", dir / "link");
  fs::create_symlink(dir / "missing", dir / "dangling");
  EXPECT_TRUE(FileExists(S(dir / "link")));
  EXPECT_FALSE(FileExists(S(dir / "dangling")));
#endif
  // Names beyond ASCII reach the system as they are.
  const fs::path unicode = dir / fs::path(u"Modèles 模型");
  fs::create_directories(unicode);
  std::ofstream(unicode / "model.bin") << "x";
  EXPECT_TRUE(FileExists(S(unicode / "model.bin")));
  EXPECT_TRUE(DirectoryExists(S(unicode)));
  EXPECT_FALSE(FileExists(S(unicode)));
  EXPECT_FALSE(FileExists(S(dir)));
  EXPECT_FALSE(FileExists(u""));
  EXPECT_TRUE(DirectoryExists(S(dir)));
  EXPECT_FALSE(DirectoryExists(S(dir / "file.bin")));
  fs::remove_all(dir);
}
