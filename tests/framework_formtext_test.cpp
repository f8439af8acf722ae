#include "framework/formtext.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

using namespace Corvina::Testing;
using namespace System;
using namespace System::Classes;

namespace {

enum TQuality { qLow, qMedium, qHigh };

// One property of every kind; each setter appends its name to a shared
// journal so that tests can see the order in which a reader applies them.
class TGadget : public TComponent {
 public:
  static const TPropertyTable& Properties() {
    using T = TGadget;
    static const TPropertyTable table = TPropertyTable::Of<T>(u"TGadget", TComponent::Properties())
        .Str(u"ModelPath", &T::ModelPath, &T::SetModelPath, u"")
        .Int(u"Width", &T::Width, &T::SetWidth, 512)
        .Cardinal(u"Flags", &T::Flags, &T::SetFlags, 0u)
        .Int64(u"Seed", &T::Seed, &T::SetSeed, -1)
        .Single(u"Strength", &T::Strength, &T::SetStrength, 0.75f)
        .Double(u"Ratio", &T::Ratio, &T::SetRatio, NoDefault)
        .Enum(u"Quality", &T::Quality, &T::SetQuality, {u"qLow", u"qMedium", u"qHigh"}, qMedium)
        .Strings(u"Layers", &T::Layers, &T::SetLayers)
        .Bool(u"Active", &T::Active, &T::SetActive, false)
        .Double(u"Offset", &T::Offset, &T::SetOffset, 0.0);
    return table;
  }
  const TPropertyTable& PublishedProperties() const override { return Properties(); }

  explicit TGadget(TComponent* owner) : TComponent(owner) {}

  const String& ModelPath() const { return FModelPath; }
  void SetModelPath(const String& v) { Note(u"ModelPath"), FModelPath = v; }
  int Width() const { return FWidth; }
  void SetWidth(int v) { Note(u"Width"), FWidth = v; }
  std::uint32_t Flags() const { return FFlags; }
  void SetFlags(std::uint32_t v) { Note(u"Flags"), FFlags = v; }
  std::int64_t Seed() const { return FSeed; }
  void SetSeed(std::int64_t v) { Note(u"Seed"), FSeed = v; }
  float Strength() const { return FStrength; }
  void SetStrength(float v) { Note(u"Strength"), FStrength = v; }
  double Ratio() const { return FRatio; }
  void SetRatio(double v) { Note(u"Ratio"), FRatio = v; }
  TQuality Quality() const { return FQuality; }
  void SetQuality(TQuality v) { Note(u"Quality"), FQuality = v; }
  const TStrings& Layers() const { return FLayers; }
  void SetLayers(const TStrings& v) { Note(u"Layers"), FLayers.Assign(v); }
  double Offset() const { return FOffset; }
  void SetOffset(double v) { Note(u"Offset"), FOffset = v; }
  bool Active() const { return FActive; }
  // Activation needs a model, as the real components' does.
  void SetActive(bool v) {
    Note(u"Active");
    if (v && FModelPath.empty()) throw Sysutils::Exception(u"Model Path is empty");
    FActive = v;
  }

  std::vector<String> Journal;

 private:
  void Note(const String& what) { Journal.push_back(what); }

  String FModelPath;
  int FWidth = 512;
  std::uint32_t FFlags = 0;
  std::int64_t FSeed = -1;
  float FStrength = 0.75f;
  double FRatio = 1.0;
  TQuality FQuality = qMedium;
  TStringList FLayers;
  bool FActive = false;
  double FOffset = 0.0;
};

class FormText : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearClassRegistry();
    RegisterComponents(u"Test", {TComponentClass::Of<TGadget>()});
  }
  void TearDown() override { ClearClassRegistry(); }
};

std::vector<TValue> AllValues(const TComponent& c) {
  std::vector<TValue> values;
  for (const TPropInfo& p : c.PublishedProperties()) values.push_back(p.Get(c));
  return values;
}

TEST_F(FormText, DefaultsAreNotWrittenAndEveryOtherValueIs) {
  TGadget g(nullptr);
  g.SetName(u"Gen");
  // Ratio has no declared default and Layers none either: both always go out.
  EXPECT_EQ(WriteComponentText(g),
            "object Gen: TGadget\n"
            "  Ratio = 1.0\n"
            "  Layers.Strings = ()\n"
            "end\n");

  g.SetModelPath(u"It's \u4f60\u597d\r\n");
  g.SetWidth(-3);
  g.SetFlags(4000000000u);
  g.SetSeed(-9000000000LL);
  g.SetStrength(0.1f);
  g.SetRatio(2.5e-300);
  g.SetQuality(qHigh);
  g.SetLayers(TStringList{u"a", u"", u"'q'"});
  g.SetActive(true);
  EXPECT_EQ(WriteComponentText(g),
            "object Gen: TGadget\n"
            "  ModelPath = 'It''s '#20320#22909#13#10\n"
            "  Width = -3\n"
            "  Flags = 4000000000\n"
            "  Seed = -9000000000\n"
            "  Strength = 0.1\n"
            "  Ratio = 2.5e-300\n"
            "  Quality = qHigh\n"
            "  Layers.Strings = (\n"
            "    'a'\n"
            "    ''\n"
            "    '''q''')\n"
            "  Active = True\n"
            "end\n");
}

TEST_F(FormText, ValuesSurviveARoundTrip) {
  struct Case {
    const char* what;
    void (*set)(TGadget&);
  };
  const Case cases[] = {
      {"fresh component", [](TGadget&) {}},
      {"extremes", [](TGadget& g) {
         g.SetWidth(std::numeric_limits<int>::min());
         g.SetFlags(std::numeric_limits<std::uint32_t>::max());
         g.SetSeed(std::numeric_limits<std::int64_t>::min());
         g.SetStrength(std::numeric_limits<float>::denorm_min());
         g.SetRatio(std::numeric_limits<double>::max());
       }},
      {"awkward text", [](TGadget& g) {
         g.SetModelPath(String(u"\0tab\there\U0001F600'", 12) + String(300, u'x'));
         g.SetLayers(TStringList{u"#1", u"+", u"end", u"object X: Y"});
       }},
      {"non-finite floats", [](TGadget& g) {
         g.SetStrength(-std::numeric_limits<float>::infinity());
         g.SetRatio(std::numeric_limits<double>::infinity());
       }},
      {"negative zeros, one where the default is 0.0", [](TGadget& g) {
         g.SetStrength(-0.0f);
         g.SetRatio(-0.0);
         g.SetOffset(-0.0);
       }},
      {"denormals and the smallest normal", [](TGadget& g) {
         g.SetStrength(-std::numeric_limits<float>::denorm_min());
         g.SetRatio(std::numeric_limits<double>::denorm_min());
         g.SetOffset(std::numeric_limits<double>::min());
       }},
      {"strings of only quotes, only controls, only astral characters", [](TGadget& g) {
         g.SetModelPath(u"''''");
         g.SetLayers(TStringList{String(u"\r\n\t\0\x7F", 5), u"\U0001F600\U00010000", u"'", u""});
       }},
      {"lone surrogates", [](TGadget& g) {
         g.SetModelPath(u"\xD800");
         g.SetLayers(TStringList{u"\xDC00x", u"a\xD83D"});
       }},
      {"a long string list", [](TGadget& g) {
         TStringList lines;
         for (int i = 0; i < 20000; ++i) lines.Add(i % 2 ? String(i % 50, u'\'') : Sysutils::IntToStr(i));
         g.SetLayers(lines);
         g.SetModelPath(String(100000, u'\xE9'));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TGadget original(nullptr);
    c.set(original);
    TGadget copy(nullptr);
    ReadComponentText(WriteComponentText(original), copy);
    EXPECT_EQ(AllValues(copy), AllValues(original)) << WriteComponentText(original);
  }
  TGadget nan(nullptr);
  nan.SetRatio(std::nan(""));
  TGadget copy(nullptr);
  ReadComponentText(WriteComponentText(nan), copy);
  EXPECT_TRUE(std::isnan(copy.Ratio()));
}

TEST_F(FormText, ReadingAppliesSettersInTextOrderIncludingActive) {
  // Active comes before the model here, so its setter runs without one.
  TGadget g(nullptr);
  EXPECT_THROW(ReadComponentText("object TGadget\n  Active = True\n  ModelPath = 'm'\nend\n", g), EParserError);
  EXPECT_EQ(g.Journal, std::vector<String>{u"Active"});
  TGadget h(nullptr);
  ReadComponentText("object TGadget\n  Width = 64\n  ModelPath = 'm'\n  Active = True\nend\n", h);
  EXPECT_EQ(h.Journal, (std::vector<String>{u"Width", u"ModelPath", u"Active"}));
  EXPECT_TRUE(h.Active());
}

TEST_F(FormText, NestedObjectsAreCreatedThroughTheRegistryOrReused) {
  auto root = std::make_unique<TGadget>(nullptr);
  root->SetName(u"Root");
  auto* kept = MakeOwned<TGadget>(*root);
  kept->SetName(u"Kept");
  kept->SetWidth(1);
  auto* other = MakeOwned<TGadget>(*root);
  other->SetName(u"Other");
  other->SetSeed(42);
  const std::string text = WriteComponentText(*root);

  auto created = CreateComponentFromText(text);
  ASSERT_EQ(created->ComponentCount(), 2);
  EXPECT_EQ(created->Name(), u"Root");
  EXPECT_EQ(static_cast<TGadget*>(created->FindComponent(u"Kept"))->Width(), 1);
  EXPECT_EQ(static_cast<TGadget*>(created->FindComponent(u"Other"))->Seed(), 42);

  TGadget target(nullptr);
  auto* existing = MakeOwned<TGadget>(target);
  existing->SetName(u"Other");
  ReadComponentText(text, target);
  EXPECT_EQ(target.ComponentCount(), 2);
  EXPECT_EQ(existing->Seed(), 42);  // filled in place, not duplicated
}

TEST_F(FormText, BadTextRaisesNamingTheLine) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"", "Line 1: 'object' expected but end of text found"},
      {"object G: TGadget\n  Width = 1\n", "Line 3: Property, object or 'end' expected but end of text found"},
      {"object G: TGadget\n  Colour = 3\nend\n", "Line 2: Property Colour does not exist in TGadget"},
      {"object G: TGadget\n  Name = 'x'\nend\n", "Line 2: Property Name does not exist in TGadget"},
      {"object G: TGadget\n\n  Width = 'wide'\nend\n", "Line 3: TGadget.Width: Integer expected but a string found"},
      {"object G: TGadget\n  Width = 3000000000\nend\n",
       "Line 2: error reading TGadget.Width: Invalid value for property TGadget.Width: 3000000000 is out of range"},
      {"object G: TGadget\n  ModelPath = 'open\nend\n", "Line 2: Unterminated string"},
      {"object G: TGadget\n  ModelPath = #70000\nend\n", "Line 2: Invalid character code after '#'"},
      {"object G: TGadget\n  Quality = qUltra\nend\n",
       "Line 2: error reading TGadget.Quality: Invalid value for property TGadget.Quality: no value is named qUltra"},
      {"object G: TGadget\n  Active = yes\nend\n", "Line 2: TGadget.Active: Boolean expected but 'yes' found"},
      {"object G: TGadget\n  Layers = 'a'\nend\n",
       "Line 2: Property TGadget.Layers is a string list: write Layers.Strings = (...)"},
      {"object G: TGadget\n  Width.Strings = ()\nend\n", "Line 2: Property TGadget.Width is not a string list"},
      {"object G: TGadget\n  Layers.Strings = (\n    'a'\n    7)\nend\n",
       "Line 4: TGadget.Layers: string or ')' expected but '7' found"},
      {"object G: TGadget\n  Active = True\nend\n",
       "Line 2: error reading TGadget.Active: Model Path is empty"},
      {"object G: TGadget\n  object C: TNowhere\n  end\nend\n", "Line 2: class TNowhere is not registered"},
      {"object G: TOther\nend\n", "Line 1: the text holds a TOther, not a TGadget"},
      {"object G: TGadget\nend\nend\n", "Line 3: End of text expected but 'end' found"},
      {"object G.x: TGadget\nend\n", "Line 1: 'G.x' is not a valid component name"},
      {"object G: TGadget\n  object C.1: TGadget\n  end\nend\n", "Line 2: 'C.1' is not a valid component name"},
      {"object 9G: TGadget\nend\n", "Line 1: Component name expected but '9' found"},
      {"object G: TGadget\n  ModelPath = #\nend\n", "Line 2: Invalid character code after '#'"},
      {"object G: TGadget\n  ModelPath = 'a' +\nend\n", "Line 2: String expected after '+'"},
      {"object G: TGadget\n  Seed = 9223372036854775808\nend\n",
       "Line 2: TGadget.Seed: 9223372036854775808 is not a valid integer"},
      {"object G: TGadget\n  Ratio = 1e999\nend\n", "Line 2: TGadget.Ratio: 1e999 is not a valid number"},
      {"object G: TGadget\n  Flags = -1\nend\n",
       "Line 2: error reading TGadget.Flags: Invalid value for property TGadget.Flags: -1 is out of range"},
      {"object G: TGadget\n  Quality = 3\nend\n",
       "Line 2: error reading TGadget.Quality: Invalid value for property TGadget.Quality: 3 is not one of its ordinals"},
      {"object G: TGadget\n  Width = 1.5\nend\n", "Line 2: TGadget.Width: Integer expected but '1.5' found"},
      {"object G: TGadget\r\n\tActive = True\r\nend\r\n",
       "Line 2: error reading TGadget.Active: Model Path is empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TGadget g(nullptr);
    EXPECT_EQ(MessageOf<EParserError>([&] { ReadComponentText(c.text, g); }), Str(c.message));
  }
}

TEST_F(FormText, ReadsWindowsLineEndsTabsAndAByteOrderMark) {
  TGadget g(nullptr);
  ReadComponentText("\xEF\xBB\xBFobject G: TGadget\r\n\tWidth = 5\r\n\tModelPath = 'a' +\r\n\t\t'b'\r\nend\r\n", g);
  EXPECT_EQ(g.Name(), u"G");
  EXPECT_EQ(g.Width(), 5);
  EXPECT_EQ(g.ModelPath(), u"ab");
}

TEST_F(FormText, NestingIsBoundedSoADeepTextCannotExhaustTheStack) {
  const auto nested = [](int depth) {
    std::string text = "object TGadget\n";
    for (int i = 0; i < depth; ++i) text += "object TGadget\n";
    for (int i = 0; i <= depth; ++i) text += "end\n";
    return text;
  };
  const auto depthOf = [](const TComponent& root) {
    int depth = 0;
    for (const TComponent* c = &root; c->ComponentCount() > 0; c = c->Components(0)) ++depth;
    return depth;
  };
  EXPECT_EQ(depthOf(*CreateComponentFromText(nested(256))), 256);
  EXPECT_EQ(MessageOf<EParserError>([&] { CreateComponentFromText(nested(257)); }),
            u"Line 258: objects are nested more than 256 deep");
  TGadget g(nullptr);
  EXPECT_EQ(MessageOf<EParserError>([&] { ReadComponentText(nested(1000000), g); }),
            u"Line 258: objects are nested more than 256 deep");
}

}  // namespace
