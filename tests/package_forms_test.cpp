// The ten components of the package as form text: a form holding one of
// each, every property changed from its default, written, read back into a
// fresh form and written again.
#include "framework/formtext.h"
#include "package/corvina.h"
#include "vision/anything_fmx.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace System;
using namespace System::Classes;

namespace {

// A value other than v that a setter is likely to accept; texts carry a
// quote and characters outside ASCII so that the escapes are exercised.
TValue Other(const TPropInfo& p, const TValue& v, int attempt) {
  const int step = attempt == 0 ? 1 : -1;
  switch (p.Kind) {
    case TPropKind::Boolean: return !v.AsBoolean();
    case TPropKind::Integer: return v.AsInteger() + step;
    case TPropKind::Cardinal: return v.AsCardinal() + 1;
    case TPropKind::Int64: return v.AsInt64() + step * 1234567890123;
    case TPropKind::Single: return v.AsSingle() + step * 0.25f;
    case TPropKind::Double: return v.AsDouble() + step * 0.125;
    case TPropKind::String: return String(u"/models/O'Brien \u00e9t\u00e9 \u4e2d.bin");
    case TPropKind::Enumeration:
      return std::int32_t((v.AsInteger() + (attempt + 1)) % static_cast<int>(p.EnumNames.size()));
    case TPropKind::Strings:
      return attempt == 0 ? std::vector<String>{u"a'b", u"\u00fcber", u""} : std::vector<String>{u"3", u"14"};
  }
  return v;
}

// Changes every published property it can (a setter may refuse a value, or
// need a loaded library for Active); returns the names it changed.
std::vector<String> ChangeEverything(TComponent& c) {
  std::vector<String> changed;
  for (const TPropInfo& p : c.PublishedProperties()) {
    if (p.Name == u"Name" || p.Name == u"Active") continue;
    for (int attempt = 0; attempt < 2; ++attempt) {
      const TValue before = GetPropValue(c, p.Name);
      try {
        SetPropValue(c, p.Name, Other(p, before, attempt));
      } catch (const Sysutils::Exception&) {
        SetPropValue(c, p.Name, before);  // a refusing setter may have kept part of the value
        continue;
      }
      if (!(GetPropValue(c, p.Name) == before)) {
        changed.push_back(p.Name);
        break;
      }
    }
  }
  return changed;
}

// The property names written at the top level of one object's block.
std::vector<String> WrittenNames(const std::string& text, const std::string& object) {
  std::vector<String> names;
  const auto start = text.find("object " + object + ":");
  if (start == std::string::npos) return names;
  std::size_t pos = text.find('\n', start) + 1;
  const std::string indent = "    ";
  while (pos < text.size()) {
    const auto eol = text.find('\n', pos);
    const std::string line = text.substr(pos, eol - pos);
    pos = eol == std::string::npos ? text.size() : eol + 1;
    if (line.rfind(indent, 0) != 0 || line[indent.size()] == ' ') {
      if (line.find("end") != std::string::npos && line.find_first_not_of(' ') == 2) break;
      continue;
    }
    const auto eq = line.find(" = ");
    if (eq == std::string::npos) continue;
    std::string name = line.substr(indent.size(), eq - indent.size());
    if (const auto dot = name.find('.'); dot != std::string::npos) name.resize(dot);
    names.push_back(UTF8ToString(name));
  }
  return names;
}

class PackageForms : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearClassRegistry();
#if defined(_WIN32)
    // No reference vision backend beside the package: the recording fake.
    Anything::Fmx::ANY_DLL_PATH = System::UTF8ToString(CORVINA_SAM2_FAKES_DIR "sam2/");
#endif
    Corvina::RegisterAll();
    RegisterComponents(u"Forms", {TComponentClass::Of<TComponent>()});
  }
  void TearDown() override { ClearClassRegistry(); }

  // A form owning one component of every class on the palette, each named
  // after its class without the leading T.
  static std::unique_ptr<TComponent> NewForm() {
    auto form = std::make_unique<TComponent>(nullptr);
    form->SetName(u"Form");
    for (const auto& cls : GetPaletteClasses(u"AI Video")) {
      cls.Create(*form).SetName(cls.ClassName().substr(1));
    }
    return form;
  }
};

TEST_F(PackageForms, AFreshComponentWritesOnlyPropertiesWithoutADefaultOrAwayFromIt) {
  const auto form = NewForm();
  ASSERT_EQ(form->ComponentCount(), 10);
  const std::string text = WriteComponentText(*form);
  for (int i = 0; i < form->ComponentCount(); ++i) {
    const TComponent& c = *form->Components(i);
    SCOPED_TRACE(UTF8Encode(c.Name()));
    // Decided from the table and the values, not from the writer's own test.
    std::vector<String> expected;
    for (const TPropInfo& p : c.PublishedProperties()) {
      if (p.Name != u"Name" && (!p.Default || !(*p.Default == GetPropValue(c, p.Name)))) expected.push_back(p.Name);
    }
    EXPECT_EQ(WrittenNames(text, UTF8Encode(c.Name())), expected);
  }
}

TEST_F(PackageForms, EveryChangedPropertySurvivesARoundTrip) {
  const auto form = NewForm();
  for (int i = 0; i < form->ComponentCount(); ++i) {
    TComponent& c = *form->Components(i);
    SCOPED_TRACE(UTF8Encode(c.Name()));
    const auto changed = ChangeEverything(c);
    // All but Name and Active, which need a library, take another value.
    const bool hasActive = c.PublishedProperties().Find(u"Active") != nullptr;
    EXPECT_EQ(changed.size() + 1 + hasActive, std::size_t(c.PublishedProperties().Count()));
  }
  const std::string text = WriteComponentText(*form);

  auto copy = std::make_unique<TComponent>(nullptr);
  copy->SetName(u"Form");
  ReadComponentText(text, *copy);
  ASSERT_EQ(copy->ComponentCount(), form->ComponentCount());
  EXPECT_EQ(WriteComponentText(*copy), text);
  for (int i = 0; i < form->ComponentCount(); ++i) {
    const TComponent& a = *form->Components(i);
    const TComponent& b = *copy->Components(i);
    ASSERT_EQ(b.ClassName(), a.ClassName());
    for (const TPropInfo& p : a.PublishedProperties()) {
      EXPECT_EQ(GetPropValue(b, p.Name), GetPropValue(a, p.Name))
          << UTF8Encode(a.Name()) << "." << UTF8Encode(p.Name);
    }
  }
}

TEST_F(PackageForms, AStoredActiveWithoutALibraryFailsNamingTheLine) {
  auto form = NewForm();
  std::string text = WriteComponentText(*form);
  const auto at = text.find("Active = False");
  ASSERT_NE(at, std::string::npos) << "Active has no default, so it is always written";
  text.replace(at, 14, "Active = True");
  auto copy = std::make_unique<TComponent>(nullptr);
  copy->SetName(u"Form");
  try {
    ReadComponentText(text, *copy);
    FAIL() << "activating without a model file must fail";
  } catch (const Sysutils::Exception& e) {
    EXPECT_NE(UTF8Encode(e.Message()).find("Line "), std::string::npos) << UTF8Encode(e.Message());
  }
}

}  // namespace
