#include "framework/stringlist.h"

#include <gtest/gtest.h>

using namespace System;
using namespace System::Classes;

namespace {

std::vector<String> LinesOf(std::u16string_view text) {
  TStringList list;
  list.SetText(text);
  return list.ToVector();
}

}  // namespace

TEST(StringListText, EndsEveryLineWithTheLineBreak) {
  TStringList list{u"7", u"8", u"9"};
  const String br(System::sLineBreak);  // CR LF on Windows
  EXPECT_EQ(list.Text(), u"7" + br + u"8" + br + u"9" + br);
  list.SetTrailingLineBreak(false);
  EXPECT_EQ(list.Text(), u"7" + br + u"8" + br + u"9");
  EXPECT_EQ(TStringList().Text(), u"");
}

TEST(StringListText, SplitsAtCrLfLfAndCr) {
  EXPECT_EQ(LinesOf(u"a\r\nb\nc\rd"), (std::vector<String>{u"a", u"b", u"c", u"d"}));
  // LF CR is two breaks, not one.
  EXPECT_EQ(LinesOf(u"a\n\rb"), (std::vector<String>{u"a", u"", u"b"}));
  EXPECT_EQ(LinesOf(u"a\n"), (std::vector<String>{u"a"}));
  EXPECT_EQ(LinesOf(u"\n\n"), (std::vector<String>{u"", u""}));
  EXPECT_TRUE(LinesOf(u"").empty());
}

TEST(StringListText, RoundTripKeepsEmptyLastLine) {
  TStringList list{u"first", u""};
  EXPECT_EQ(LinesOf(list.Text()), list.ToVector());
}

TEST(StringListText, SetTextReplacesEarlierLines) {
  TStringList list{u"old"};
  list.SetText(u"new");
  EXPECT_EQ(list.ToVector(), (std::vector<String>{u"new"}));
}

TEST(StringList, IndexOfIgnoresCaseUnlessCaseSensitive) {
  TStringList list{u"Alpha", u"beta"};
  EXPECT_EQ(list.IndexOf(u"BETA"), 1);
  EXPECT_EQ(list.IndexOf(u"gamma"), -1);
  list.SetCaseSensitive(true);
  EXPECT_EQ(list.IndexOf(u"BETA"), -1);
  EXPECT_EQ(list.IndexOf(u"beta"), 1);
}

TEST(StringList, EditsKeepOrder) {
  TStringList list;
  EXPECT_EQ(list.Add(u"a"), 0);
  EXPECT_EQ(list.Add(u"c"), 1);
  list.Insert(1, u"b");
  list.Insert(3, u"d");  // inserting at Count appends
  list.SetStrings(0, u"A");
  list.Delete(2);
  EXPECT_EQ(list.ToVector(), (std::vector<String>{u"A", u"b", u"d"}));
  EXPECT_EQ(list[1], u"b");
  EXPECT_EQ(list.Count(), 3);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(StringList, IndexOutsideTheListRaisesListError) {
  TStringList list{u"only"};
  auto expectIndexError = [](auto action, const char16_t* message) {
    try {
      action();
      ADD_FAILURE() << "no EListError";
    } catch (const EListError& e) {
      EXPECT_EQ(e.Message(), message);
    }
  };
  expectIndexError([&] { list.Strings(1); }, u"List index out of bounds (1)");
  expectIndexError([&] { list.Delete(-1); }, u"List index out of bounds (-1)");
  expectIndexError([&] { list.Insert(2, u"x"); }, u"List index out of bounds (2)");
  expectIndexError([&] { list.Put(1, u"x"); }, u"List index out of bounds (1)");
  EXPECT_EQ(list.ToVector(), (std::vector<String>{u"only"}));
}

TEST(StringList, AssignCopiesLinesAndToleratesItself) {
  TStringList source{u"7", u"8", u"9"};
  TStringList target{u"stale"};
  target.Assign(source);
  EXPECT_EQ(target.ToVector(), source.ToVector());
  target.Add(u"10");
  EXPECT_EQ(source.Count(), 3) << "assigned lists share nothing";
  target.Assign(target);
  EXPECT_EQ(target.Count(), 4);
  target.AddStrings(target);
  EXPECT_EQ(target.Count(), 8);
}

TEST(StringList, EqualsComparesLinesExactly) {
  const TStringList a{u"7", u"8"};
  EXPECT_TRUE(a.Equals(TStringList{u"7", u"8"}));
  EXPECT_FALSE(a.Equals(TStringList{u"7"}));
  EXPECT_FALSE(a.Equals(TStringList{u"7", u"9"}));
  EXPECT_FALSE((TStringList{u"x"}).Equals(TStringList{u"X"})) << "case matters for streaming";
}
