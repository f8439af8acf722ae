#include "framework/components.h"
#include "framework/threads.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <memory>
#include <vector>

using namespace Corvina::Testing;
using namespace System;
using namespace System::Classes;
using System::Sysutils::Exception;

namespace {

// Writes its tag to a shared log when destroyed, with whether it was marked
// csDestroying by then.
class TProbe : public TComponent {
 public:
  TProbe(TComponent* owner, std::vector<String>* log, String tag)
      : TComponent(owner), FLog(log), FTag(std::move(tag)) {
    SetName(FTag);
  }
  ~TProbe() override { FLog->push_back(FTag + (ComponentState().Contains(csDestroying) ? u"+" : u"")); }

 private:
  std::vector<String>* FLog;
  String FTag;
};

// Frees its sibling named Victim from its own destructor.
class TSiblingKiller : public TProbe {
 public:
  TSiblingKiller(TComponent* owner, std::vector<String>* log, String tag)
      : TProbe(owner, log, std::move(tag)), FKillLog(log) {}
  ~TSiblingKiller() override {
    if (TComponent* victim = Owner() ? Owner()->FindComponent(u"Victim") : nullptr) {
      FKillLog->push_back(u"kill");
      Owner()->RemoveComponent(*victim).reset();
    }
  }

 private:
  std::vector<String>* FKillLog;
};

class TFailing : public TComponent {
 public:
  explicit TFailing(TComponent* owner) : TComponent(owner) { throw Exception(u"construction failed"); }
};

enum TMode { mdFast, mdSlow, mdExact };

class TBaseWidget : public TComponent {
 public:
  static const TPropertyTable& Properties() {
    using T = TBaseWidget;
    static const TPropertyTable table = TPropertyTable::Of<T>(u"TBaseWidget", TComponent::Properties())
        .Bool(u"Active", &T::Active, &T::SetActive, NoDefault)
        .Int(u"Width", &T::Width, &T::SetWidth, 512);
    return table;
  }
  const TPropertyTable& PublishedProperties() const override { return Properties(); }

  explicit TBaseWidget(TComponent* owner)
      : TComponent(owner), FDesigningAtConstruction(ComponentState().Contains(csDesigning)) {}

  bool DesigningAtConstruction() const { return FDesigningAtConstruction; }
  bool Active() const { return FActive; }
  void SetActive(bool v) { FActive = v; }
  int Width() const { return FWidth; }
  void SetWidth(int v) { FWidth = v; }

 private:
  bool FDesigningAtConstruction;
  bool FActive = false;
  int FWidth = 512;
};

class TWidget : public TBaseWidget {
 public:
  static const TPropertyTable& Properties() {
    using T = TWidget;
    static const TPropertyTable table = TPropertyTable::Of<T>(u"TWidget", TBaseWidget::Properties())
        .Cardinal(u"Flags", &T::Flags, &T::SetFlags, 0u)
        .Int64(u"Seed", &T::Seed, &T::SetSeed, NoDefault)
        .Single(u"Scale", &T::Scale, &T::SetScale, 0)
        .Double(u"Ratio", &T::Ratio, &T::SetRatio, 1.5)
        .Str(u"Path", &T::Path, &T::SetPath, u"")
        .Enum(u"Mode", &T::Mode, &T::SetMode, {u"mdFast", u"mdSlow", u"mdExact"}, mdSlow)
        .Strings(u"Layers", &T::Layers, &T::SetLayers)
        .Strings(u"Tags", &T::Tags, &T::SetTags, std::vector<String>{u"x"});
    return table;
  }
  const TPropertyTable& PublishedProperties() const override { return Properties(); }

  explicit TWidget(TComponent* owner) : TBaseWidget(owner) {}

  std::uint32_t Flags() const { return FFlags; }
  void SetFlags(std::uint32_t v) { FFlags = v; }
  std::int64_t Seed() const { return FSeed; }
  void SetSeed(std::int64_t v) { FSeed = v; }
  float Scale() const { return FScale; }
  void SetScale(float v) { FScale = v; }
  double Ratio() const { return FRatio; }
  void SetRatio(double v) { FRatio = v; }
  const String& Path() const { return FPath; }
  void SetPath(const String& v) { FPath = v; }
  TMode Mode() const { return FMode; }
  void SetMode(TMode v) { FMode = v; }
  // Copies the lines and parses them, as a component's list setter does.
  const TStrings& Layers() const { return FLayers; }
  void SetLayers(const TStrings& v) {
    FLayers.Assign(v);
    FParsed.clear();
    for (const String& line : FLayers.ToVector()) FParsed.push_back(Sysutils::StrToInt(line));
  }
  const std::vector<int>& Parsed() const { return FParsed; }
  TStrings* Tags() const { return FTags.get(); }
  void SetTags(TStrings* v) { FTags->Assign(*v); }

 private:
  std::uint32_t FFlags = 0;
  std::int64_t FSeed = 0;
  float FScale = 7.0f;
  double FRatio = 1.5;
  String FPath;
  TMode FMode = mdSlow;
  TStringList FLayers{u"7", u"8", u"9"};
  std::vector<int> FParsed{7, 8, 9};
  std::unique_ptr<TStringList> FTags = std::make_unique<TStringList>(std::initializer_list<String>{u"x"});
};

// Redeclares Width with another default and adds one property.
class TWideWidget : public TWidget {
 public:
  static const TPropertyTable& Properties() {
    using T = TWideWidget;
    static const TPropertyTable table = TPropertyTable::Of<T>(u"TWideWidget", TWidget::Properties())
        .Int(u"Width", &T::Width, &T::SetWidth, 640)
        .Bool(u"Extra", &T::Extra, &T::SetExtra, false);
    return table;
  }
  const TPropertyTable& PublishedProperties() const override { return Properties(); }

  explicit TWideWidget(TComponent* owner) : TWidget(owner) { SetWidth(640); }
  bool Extra() const { return FExtra; }
  void SetExtra(bool v) { FExtra = v; }

 private:
  bool FExtra = false;
};

}  // namespace

// ---- owner tree ----

TEST(OwnerTree, DestroyingOwnerFreesEachOwnedComponentOnce) {
  std::vector<String> log;
  auto root = std::make_unique<TComponent>(nullptr);
  TProbe* a = MakeOwned<TProbe>(*root, &log, u"a");
  MakeOwned<TProbe>(*a, &log, u"c");
  MakeOwned<TProbe>(*root, &log, u"b");
  EXPECT_EQ(root->ComponentCount(), 2);
  EXPECT_EQ(a->Owner(), root.get());
  root.reset();
  // Most recent first; a component's own destructor runs before its owned
  // ones go; every one sees csDestroying.
  EXPECT_EQ(log, (std::vector<String>{u"b+", u"a+", u"c+"}));
}

TEST(OwnerTree, ChildDestructorDeletingSiblingIsSafe) {
  for (bool victimFirst : {true, false}) {
    std::vector<String> log;
    auto root = std::make_unique<TComponent>(nullptr);
    if (victimFirst) MakeOwned<TProbe>(*root, &log, u"Victim");
    MakeOwned<TSiblingKiller>(*root, &log, u"Killer");
    if (!victimFirst) MakeOwned<TProbe>(*root, &log, u"Victim");
    MakeOwned<TProbe>(*root, &log, u"Bystander");
    root.reset();
    // The owner frees the most recent first, so the killer meets its victim
    // only when the victim came earlier; either way each goes exactly once.
    const std::vector<String> expected =
        victimFirst ? std::vector<String>{u"Bystander+", u"kill", u"Victim+", u"Killer+"}
                    : std::vector<String>{u"Bystander+", u"Victim+", u"Killer+"};
    EXPECT_EQ(log, expected) << "victim first: " << victimFirst;
  }
}

TEST(OwnerTree, RemovedComponentBelongsToTheCaller) {
  std::vector<String> log;
  auto root = std::make_unique<TComponent>(nullptr);
  TProbe* a = MakeOwned<TProbe>(*root, &log, u"a");
  MakeOwned<TProbe>(*root, &log, u"b");
  std::unique_ptr<TComponent> taken = root->RemoveComponent(*a);
  ASSERT_EQ(taken.get(), a);
  EXPECT_EQ(a->Owner(), nullptr);
  EXPECT_EQ(root->ComponentCount(), 1);
  EXPECT_EQ(root->FindComponent(u"a"), nullptr);
  EXPECT_EQ(root->RemoveComponent(*a), nullptr) << "no longer root's to give";
  taken.reset();
  // Without owner it is still marked csDestroying in its own destructor.
  EXPECT_EQ(log, (std::vector<String>{u"a+"}));
  root.reset();
  EXPECT_EQ(log, (std::vector<String>{u"a+", u"b+"}));
}

TEST(OwnerTree, InsertComponentMovesOwnership) {
  std::vector<String> log;
  auto first = std::make_unique<TComponent>(nullptr);
  auto second = std::make_unique<TComponent>(nullptr);
  TProbe* a = MakeOwned<TProbe>(*first, &log, u"a");
  second->InsertComponent(first->RemoveComponent(*a));
  EXPECT_EQ(a->Owner(), second.get());
  first.reset();
  EXPECT_TRUE(log.empty());
  second.reset();
  EXPECT_EQ(log, (std::vector<String>{u"a+"}));
}

TEST(OwnerTree, InsertingAClashingNameRaisesAndFreesTheArgument) {
  std::vector<String> log;
  auto root = std::make_unique<TComponent>(nullptr);
  MakeOwned<TProbe>(*root, &log, u"Twin");
  auto other = std::make_unique<TProbe>(nullptr, &log, u"twin");
  EXPECT_EQ(MessageOf<EComponentError>([&] { root->InsertComponent(std::move(other)); }),
            u"A component named twin already exists");
  EXPECT_EQ(root->ComponentCount(), 1);
  EXPECT_EQ(log, (std::vector<String>{u"twin+"}));
}

TEST(OwnerTree, ComponentCannotOwnItsOwner) {
  std::vector<String> log;
  auto root = std::make_unique<TComponent>(nullptr);
  TProbe* child = MakeOwned<TProbe>(*root, &log, u"child");
  EXPECT_EQ(MessageOf<EComponentError>([&] { child->InsertComponent(std::move(root)); }),
            u"A component cannot own itself or one of its owners");
  EXPECT_EQ(log, (std::vector<String>{u"child+"})) << "the refused argument was freed, and its tree with it";
}

TEST(OwnerTree, ConstructorThatThrowsLeavesOwnerClean) {
  auto root = std::make_unique<TComponent>(nullptr);
  EXPECT_EQ(MessageOf<Exception>([&] { MakeOwned<TFailing>(*root); }), u"construction failed");
  EXPECT_EQ(root->ComponentCount(), 0);
}

TEST(OwnerTree, ComponentsIndexOutsideTheListRaises) {
  std::vector<String> log;
  auto root = std::make_unique<TComponent>(nullptr);
  TProbe* a = MakeOwned<TProbe>(*root, &log, u"a");
  EXPECT_EQ(root->Components(0), a);
  EXPECT_EQ(MessageOf<EListError>([&] { root->Components(1); }), u"List index out of bounds (1)");
}

// ---- names ----

TEST(ComponentName, MustBeAnIdentifier) {
  TComponent c(nullptr);
  EXPECT_EQ(MessageOf<EComponentError>([&] { c.SetName(u"1st"); }), u"'1st' is not a valid component name");
  EXPECT_EQ(MessageOf<EComponentError>([&] { c.SetName(u"two words"); }),
            u"'two words' is not a valid component name");
  c.SetName(u"_Model2");
  EXPECT_EQ(c.Name(), u"_Model2");
  c.SetName(u"");
  EXPECT_EQ(c.Name(), u"");
}

TEST(ComponentName, MustBeUniqueAmongSiblingsIgnoringCase) {
  std::vector<String> log;
  auto root = std::make_unique<TComponent>(nullptr);
  TProbe* first = MakeOwned<TProbe>(*root, &log, u"Probe1");
  TProbe* second = MakeOwned<TProbe>(*root, &log, u"Probe2");
  EXPECT_EQ(MessageOf<EComponentError>([&] { second->SetName(u"PROBE1"); }),
            u"A component named PROBE1 already exists");
  EXPECT_EQ(second->Name(), u"Probe2");
  first->SetName(u"probe1");  // its own name in another case is no clash
  EXPECT_EQ(root->FindComponent(u"PROBE1"), first);
  EXPECT_EQ(root->FindComponent(u"probe2"), second);
  EXPECT_EQ(root->FindComponent(u""), nullptr);
  EXPECT_EQ(root->FindComponent(u"Probe3"), nullptr);
}

// ---- design-time state ----

TEST(Designing, InheritedFromDesigningOwner) {
  auto form = std::make_unique<TComponent>(nullptr);
  form->SetDesigning(true);
  TBaseWidget* designed = MakeOwned<TBaseWidget>(*form);
  EXPECT_TRUE(designed->DesigningAtConstruction()) << "set before the derived constructor body";

  auto running = std::make_unique<TComponent>(nullptr);
  TBaseWidget* live = MakeOwned<TBaseWidget>(*running);
  EXPECT_FALSE(live->DesigningAtConstruction());
  EXPECT_FALSE(live->ComponentState().Contains(csDesigning));
}

TEST(Designing, SetDesigningReachesOwnedComponentsAndInsertedOnes) {
  auto form = std::make_unique<TComponent>(nullptr);
  TBaseWidget* child = MakeOwned<TBaseWidget>(*form);
  TBaseWidget* grandchild = MakeOwned<TBaseWidget>(*child);
  form->SetDesigning(true);
  EXPECT_TRUE(grandchild->ComponentState().Contains(csDesigning));
  form->SetDesigning(false);
  EXPECT_FALSE(child->ComponentState().Contains(csDesigning));

  form->SetDesigning(true);
  auto loose = std::make_unique<TBaseWidget>(nullptr);
  TBaseWidget* inserted = loose.get();
  form->InsertComponent(std::move(loose));
  EXPECT_TRUE(inserted->ComponentState().Contains(csDesigning));
}

TEST(ComponentState, IsASetOfItems) {
  TComponentState s{csLoading, csDesigning};
  EXPECT_TRUE(s.Contains(csDesigning));
  EXPECT_FALSE(s.Contains(csReading));
  s.Exclude(csLoading);
  s.Include(csDestroying);
  EXPECT_EQ(s, (TComponentState{csDesigning, csDestroying}));
  EXPECT_TRUE(TComponentState().Empty());
}

// ---- published properties ----

TEST(Properties, TableKeepsDeclarationOrderBaseFirst) {
  std::vector<String> names;
  for (const TPropInfo& p : TWideWidget::Properties()) names.push_back(p.Name);
  EXPECT_EQ(names, (std::vector<String>{u"Name", u"Active", u"Width", u"Flags", u"Seed", u"Scale", u"Ratio",
                                        u"Path", u"Mode", u"Layers", u"Tags", u"Extra"}));
  EXPECT_EQ(TWideWidget::Properties().ClassName(), u"TWideWidget");
  EXPECT_EQ(TBaseWidget::Properties().Count(), 3) << "a derived table leaves its base's alone";
}

TEST(Properties, ClassNameComesFromTheMostDerivedTable) {
  TWideWidget w(nullptr);
  const TComponent& asBase = w;
  EXPECT_EQ(asBase.ClassName(), u"TWideWidget");
  EXPECT_EQ(TComponent(nullptr).ClassName(), u"TComponent");
}

TEST(Properties, IsStoredFalseForDeclaredDefault) {
  TWidget w(nullptr);
  EXPECT_FALSE(IsStoredProp(w, u"Name"));
  EXPECT_FALSE(IsStoredProp(w, u"Width"));
  EXPECT_FALSE(IsStoredProp(w, u"Path"));
  EXPECT_FALSE(IsStoredProp(w, u"Mode"));
  EXPECT_FALSE(IsStoredProp(w, u"Ratio"));
  EXPECT_FALSE(IsStoredProp(w, u"Tags"));
  // Initial values that differ from the declared default, and no default.
  EXPECT_TRUE(IsStoredProp(w, u"Scale"));
  EXPECT_TRUE(IsStoredProp(w, u"Active"));
  EXPECT_TRUE(IsStoredProp(w, u"Seed"));
  EXPECT_TRUE(IsStoredProp(w, u"Layers"));

  w.SetWidth(511);
  w.SetMode(mdExact);
  w.SetName(u"Widget1");
  EXPECT_TRUE(IsStoredProp(w, u"Width"));
  EXPECT_TRUE(IsStoredProp(w, u"Mode"));
  EXPECT_TRUE(IsStoredProp(w, u"Name"));
  w.Tags()->Add(u"y");
  EXPECT_TRUE(IsStoredProp(w, u"Tags"));
}

TEST(Properties, RedeclaredPropertyKeepsItsPlaceAndTakesTheNewDefault) {
  TWideWidget w(nullptr);
  EXPECT_EQ(TWideWidget::Properties()[2].Name, u"Width");
  EXPECT_FALSE(IsStoredProp(w, u"Width"));
  w.SetWidth(512);
  EXPECT_TRUE(IsStoredProp(w, u"Width"));
}

TEST(Properties, GenericAccessReachesTheTypedAccessors) {
  TWidget w(nullptr);
  SetPropValue(w, u"Active", true);
  SetPropValue(w, u"Width", 640);
  SetPropValue(w, u"Flags", 7);  // an Integer fits a Cardinal when not negative
  SetPropValue(w, u"Seed", std::int64_t{1} << 40);
  SetPropValue(w, u"Scale", 2.5);  // a Double literal narrows to Single
  SetPropValue(w, u"Ratio", 3);
  SetPropValue(w, u"Path", u"models/sd.gguf");
  SetPropValue(w, u"Mode", u"MDEXACT");
  SetPropValue(w, u"Layers", std::vector<String>{u"1", u"2"});
  SetPropValue(w, u"Tags", std::vector<String>{u"a", u"b"});

  EXPECT_TRUE(w.Active());
  EXPECT_EQ(w.Width(), 640);
  EXPECT_EQ(w.Flags(), 7u);
  EXPECT_EQ(w.Seed(), std::int64_t{1} << 40);
  EXPECT_EQ(w.Scale(), 2.5f);
  EXPECT_EQ(w.Ratio(), 3.0);
  EXPECT_EQ(w.Path(), u"models/sd.gguf");
  EXPECT_EQ(w.Mode(), mdExact);
  EXPECT_EQ(w.Parsed(), (std::vector<int>{1, 2})) << "the setter ran, not just the list";
  EXPECT_EQ(w.Tags()->ToVector(), (std::vector<String>{u"a", u"b"}));

  EXPECT_EQ(GetPropValue(w, u"width"), TValue(640));
  EXPECT_EQ(GetPropValue(w, u"Flags"), TValue(7u));
  EXPECT_EQ(GetPropValue(w, u"Scale"), TValue(2.5f));
  EXPECT_EQ(GetPropValue(w, u"Mode"), TValue(2));
  EXPECT_EQ(GetEnumProp(w, u"Mode"), u"mdExact");
  EXPECT_EQ(GetPropValue(w, u"Layers"), TValue(std::vector<String>{u"1", u"2"}));
  SetPropValue(w, u"Mode", 0);
  EXPECT_EQ(w.Mode(), mdFast);
}

TEST(Properties, UnknownNameRaisesPropertyError) {
  TWidget w(nullptr);
  EXPECT_EQ(MessageOf<EPropertyError>([&] { GetPropValue(w, u"Height"); }),
            u"Property Height does not exist in TWidget");
  EXPECT_EQ(MessageOf<EPropertyError>([&] { SetPropValue(w, u"Extra", true); }),
            u"Property Extra does not exist in TWidget");
  EXPECT_EQ(MessageOf<EPropertyError>([&] { IsStoredProp(w, u""); }), u"Property  does not exist in TWidget");
}

TEST(Properties, ValuesThatDoNotFitAreRefusedAndChangeNothing) {
  TWidget w(nullptr);
  EXPECT_EQ(MessageOf<EPropertyConvertError>([&] { SetPropValue(w, u"Active", 1); }),
            u"Invalid value for property TWidget.Active: Boolean wanted, Integer given");
  EXPECT_EQ(MessageOf<EPropertyConvertError>([&] { SetPropValue(w, u"Width", std::int64_t{1} << 40); }),
            u"Invalid value for property TWidget.Width: 1099511627776 is out of range");
  EXPECT_EQ(MessageOf<EPropertyConvertError>([&] { SetPropValue(w, u"Flags", -1); }),
            u"Invalid value for property TWidget.Flags: -1 is out of range");
  EXPECT_EQ(MessageOf<EPropertyConvertError>([&] { SetPropValue(w, u"Scale", 1e300); }),
            u"Invalid value for property TWidget.Scale: 1E+300 is out of range");
  EXPECT_EQ(MessageOf<EPropertyConvertError>([&] { SetPropValue(w, u"Path", 3); }),
            u"Invalid value for property TWidget.Path: String wanted, Integer given");
  EXPECT_EQ(MessageOf<EPropertyConvertError>([&] { SetPropValue(w, u"Mode", u"mdTurbo"); }),
            u"Invalid value for property TWidget.Mode: no value is named mdTurbo");
  EXPECT_EQ(MessageOf<EPropertyConvertError>([&] { SetPropValue(w, u"Mode", 3); }),
            u"Invalid value for property TWidget.Mode: 3 is not one of its ordinals");
  EXPECT_EQ(MessageOf<EPropertyConvertError>([&] { SetPropValue(w, u"Layers", u"7"); }),
            u"Invalid value for property TWidget.Layers: Strings wanted, String given");
  EXPECT_EQ(MessageOf<EPropertyConvertError>([&] { SetPropValue(w, u"Seed", TValue()); }),
            u"Invalid value for property TWidget.Seed: Int64 wanted, Empty given");
  EXPECT_FALSE(w.Active());
  EXPECT_EQ(w.Width(), 512);
  EXPECT_EQ(w.Mode(), mdSlow);
}

TEST(Properties, SetterExceptionsPassThrough) {
  TWidget w(nullptr);
  EXPECT_THROW(SetPropValue(w, u"Layers", std::vector<String>{u"7", u"x"}), Sysutils::EConvertError);
}

TEST(TValue, AsReadsOnlyItsOwnKind) {
  EXPECT_EQ(TValue(5).AsInteger(), 5);
  EXPECT_EQ(TValue(u"text").AsString(), u"text");
  EXPECT_EQ(MessageOf<EInvalidCast>([] { TValue(5).AsInt64(); }),
            u"Invalid typecast: the value is Integer, not Int64");
  EXPECT_TRUE(TValue().IsEmpty());
}

// ---- class registry ----

namespace {

// Another class that claims TWidget's name.
class TImpostor : public TComponent {
 public:
  static const TPropertyTable& Properties() {
    static const TPropertyTable table = TPropertyTable::Of<TImpostor>(u"TWidget", TComponent::Properties());
    return table;
  }
  const TPropertyTable& PublishedProperties() const override { return Properties(); }
  explicit TImpostor(TComponent* owner) : TComponent(owner) {}
};

class ClassRegistry : public ::testing::Test {
 protected:
  void SetUp() override { ClearClassRegistry(); }
  void TearDown() override { ClearClassRegistry(); }

  static std::vector<String> Names(const std::vector<TComponentClass>& classes) {
    std::vector<String> names;
    for (const TComponentClass& c : classes) names.push_back(c.ClassName());
    return names;
  }
};

}  // namespace

TEST_F(ClassRegistry, PagesKeepRegistrationOrder) {
  RegisterComponents(u"AI Video", {TComponentClass::Of<TWidget>(), TComponentClass::Of<TBaseWidget>()});
  RegisterComponents(u"Other", {TComponentClass::Of<TWideWidget>()});
  RegisterComponents(u"AI Video", {TComponentClass::Of<TWidget>()});  // again: nothing changes
  EXPECT_EQ(Names(GetPaletteClasses(u"AI Video")), (std::vector<String>{u"TWidget", u"TBaseWidget"}));
  EXPECT_EQ(GetPalettePages(), (std::vector<String>{u"AI Video", u"Other"}));
  EXPECT_TRUE(GetPaletteClasses(u"Nowhere").empty());
}

TEST_F(ClassRegistry, FoundClassCreatesOwnedAndUnownedInstances) {
  RegisterComponents(u"AI Video", {TComponentClass::Of<TWidget>()});
  const TComponentClass cls = FindClass(u"twidget");
  EXPECT_EQ(cls.Properties().Find(u"Mode")->Kind, TPropKind::Enumeration);

  auto form = std::make_unique<TComponent>(nullptr);
  TComponent& owned = cls.Create(*form);
  EXPECT_EQ(owned.ClassName(), u"TWidget");
  EXPECT_EQ(owned.Owner(), form.get());
  EXPECT_EQ(form->ComponentCount(), 1);
  EXPECT_NE(dynamic_cast<TWidget*>(&owned), nullptr);

  std::unique_ptr<TComponent> loose = cls.Create();
  EXPECT_EQ(loose->Owner(), nullptr);
  EXPECT_EQ(loose->ClassName(), u"TWidget");
}

TEST_F(ClassRegistry, AnotherClassUnderARegisteredNameIsRefused) {
  RegisterComponents(u"AI Video", {TComponentClass::Of<TWidget>()});
  EXPECT_EQ(MessageOf<EComponentError>([] {
              RegisterComponents(u"AI Video", {TComponentClass::Of<TBaseWidget>(), TComponentClass::Of<TImpostor>()});
            }),
            u"A class named TWidget already exists");
  EXPECT_EQ(Names(GetPaletteClasses(u"AI Video")), (std::vector<String>{u"TWidget"})) << "nothing of a refused call";
}

TEST_F(ClassRegistry, UnregisteredClassesAreGoneAndEmptyPagesWithThem) {
  RegisterComponents(u"AI Video", {TComponentClass::Of<TWidget>(), TComponentClass::Of<TBaseWidget>()});
  UnRegisterComponents({TComponentClass::Of<TWidget>()});
  EXPECT_EQ(Names(GetPaletteClasses(u"AI Video")), (std::vector<String>{u"TBaseWidget"}));
  EXPECT_FALSE(GetClass(u"TWidget").has_value());
  EXPECT_EQ(MessageOf<EClassNotFound>([] { FindClass(u"TWidget"); }), u"Class TWidget not found");
  UnRegisterComponents({TComponentClass::Of<TBaseWidget>()});
  EXPECT_TRUE(GetPalettePages().empty());
}

TEST_F(ClassRegistry, TwoClassesUnderOneNameInOneCallAreRefused) {
  EXPECT_EQ(MessageOf<EComponentError>([] {
              RegisterComponents(u"AI Video", {TComponentClass::Of<TBaseWidget>(), TComponentClass::Of<TWidget>(),
                                               TComponentClass::Of<TImpostor>()});
            }),
            u"A class named TWidget already exists");
  EXPECT_TRUE(GetPalettePages().empty()) << "nothing of a refused call";
  // The same class twice in one call is one registration.
  RegisterComponents(u"AI Video", {TComponentClass::Of<TWidget>(), TComponentClass::Of<TWidget>()});
  EXPECT_EQ(Names(GetPaletteClasses(u"AI Video")), (std::vector<String>{u"TWidget"}));
}

// ---- values of every integer type and of narrow text ----

TEST(TValue, EveryIntegerTypeAndNarrowTextConvert) {
  struct TCase {
    const char* What;
    TValue Value;
    TValue Expected;
  };
  const TCase cases[] = {
      {"signed char", TValue(static_cast<signed char>(-5)), TValue(std::int32_t{-5})},
      {"short", TValue(short{-300}), TValue(std::int32_t{-300})},
      {"unsigned char", TValue(static_cast<unsigned char>(200)), TValue(std::uint32_t{200})},
      {"unsigned short", TValue(static_cast<unsigned short>(60000)), TValue(std::uint32_t{60000})},
      {"long long", TValue(5LL), TValue(std::int64_t{5})},
      // 32 bits on Windows (LLP64), 64 on Linux.
      {"long", TValue(-7L), TValue(std::conditional_t<sizeof(long) == 8, std::int64_t, std::int32_t>{-7})},
      {"size_t", TValue(std::vector<int>(3).size()), TValue(std::int64_t{3})},
      {"unsigned long long at the Int64 limit", TValue(9223372036854775807ULL),
       TValue(std::int64_t{9223372036854775807LL})},
      {"narrow literal", TValue("false"), TValue(String(u"false"))},
      {"UTF-8 literal", TValue("h\xC3\xA9"), TValue(String(u"h\u00E9"))},
      {"std::string", TValue(std::string("abc")), TValue(String(u"abc"))},
      {"std::string_view", TValue(std::string_view("xyz")), TValue(String(u"xyz"))},
  };
  for (const TCase& c : cases) EXPECT_EQ(c.Value, c.Expected) << c.What;
  EXPECT_EQ(MessageOf<EInvalidCast>([] { TValue(18446744073709551615ULL); }),
            u"Invalid typecast: 18446744073709551615 is beyond the Int64 range");
}

TEST(Properties, NarrowTextIsTextNeverABoolean) {
  TWidget w(nullptr);
  w.SetActive(true);
  EXPECT_EQ(MessageOf<EPropertyConvertError>([&] { SetPropValue(w, u"Active", "false"); }),
            u"Invalid value for property TWidget.Active: Boolean wanted, String given");
  EXPECT_TRUE(w.Active());
  SetPropValue(w, u"Path", "mod\xC3\xA8les/v1.gguf");
  EXPECT_EQ(w.Path(), u"mod\u00E8les/v1.gguf");
  SetPropValue(w, u"Seed", 1234567890123LL);
  EXPECT_EQ(w.Seed(), 1234567890123LL);
  SetPropValue(w, u"Width", std::vector<int>(640).size());
  EXPECT_EQ(w.Width(), 640);
  SetPropValue(w, u"Mode", "mdExact");
  EXPECT_EQ(w.Mode(), mdExact);
}

// ---- lifetime with workers and events ----

namespace {

// Raises OnEvent on the main thread from its worker, count times, through
// Synchronize. Its worker group belongs to it, so its destruction waits for
// the worker before any destructor runs.
class TEventSource : public TComponent {
 public:
  TEventSource(TComponent* owner, std::vector<String>* log) : TComponent(owner), FLog(log) {}
  ~TEventSource() override { FLog->push_back(u"freed"); }

  std::function<void(TEventSource&)> OnEvent;
  void Fire(int count) {
    FWorkers.Start([this, count] {
      for (int i = 0; i < count; ++i) {
        TThread::Synchronize(nullptr, [this] {
          if (OnEvent) OnEvent(*this);
        });
      }
    });
  }

 private:
  std::vector<String>* FLog;
  TThreadGroup FWorkers{*this};
};

// The same, but with a plain group that it stops in BeforeDestruction, as a
// component whose workers need a signal to end does.
class TStoppableSource : public TComponent {
 public:
  TStoppableSource(TComponent* owner, std::function<void()> onEvent) : TComponent(owner), FOnEvent(std::move(onEvent)) {}
  void Run() {
    FWorkers.Start([this] {
      while (!FStop) TThread::Synchronize(nullptr, [this] { FOnEvent(); });
    });
  }

 protected:
  void BeforeDestruction() override {
    FStop = true;
    FWorkers.WaitFor();
  }

 private:
  std::function<void()> FOnEvent;
  std::atomic<bool> FStop{false};
  TThreadGroup FWorkers;
};

// A form: its own member is what the owned components' events write.
class TForm : public TComponent {
 public:
  TForm(bool* destructorStarted) : TComponent(nullptr), FDestructorStarted(destructorStarted) {}
  ~TForm() override { *FDestructorStarted = true; }
  std::vector<String> Events;

 private:
  bool* FDestructorStarted;
};

}  // namespace

TEST(ComponentLifetime, OwnedWorkersAndEventsEndBeforeTheOwnersMembersDie) {
  for (bool stoppable : {false, true}) {
    SCOPED_TRACE(stoppable ? "worker stopped in BeforeDestruction" : "worker group built with the component");
    bool formDestructorStarted = false;
    int lateEvents = 0;
    auto form = std::make_unique<TForm>(&formDestructorStarted);
    std::vector<String> log;
    auto onEvent = [&, f = form.get()] {
      if (formDestructorStarted) ++lateEvents;
      f->Events.push_back(u"event");
    };
    if (stoppable) {
      MakeOwned<TStoppableSource>(*form, onEvent)->Run();
    } else {
      auto* source = MakeOwned<TEventSource>(*form, &log);
      source->OnEvent = [onEvent](TEventSource&) { onEvent(); };
      source->Fire(50);
    }
    while (form->Events.empty()) TThread::CheckSynchronize(100);
    form.reset();  // while the worker still raises events
    EXPECT_EQ(lateEvents, 0);
    EXPECT_EQ(log, stoppable ? std::vector<String>{} : std::vector<String>{u"freed"});
  }
}

TEST(ComponentLifetime, FreeingAComponentFromItsOwnEventDefersTheFree) {
  enum TWay { wyResetUniquePtr, wyReleaseUniquePtr, wyReleaseOwned, wyFreeTheOwner };
  const struct {
    TWay Way;
    const char* What;
  } cases[] = {{wyResetUniquePtr, "reset its unique_ptr"},
               {wyReleaseUniquePtr, "hand its unique_ptr to Release"},
               {wyReleaseOwned, "Release an owned one"},
               {wyFreeTheOwner, "free its owner"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    std::vector<String> log;
    int events = 0;
    bool freeCalledAndReturned = false;
    auto root = std::make_unique<TComponent>(nullptr);
    std::unique_ptr<TComponent> holder;
    TEventSource* source;
    if (c.Way == wyResetUniquePtr || c.Way == wyReleaseUniquePtr) {
      holder = std::make_unique<TEventSource>(nullptr, &log);
      source = static_cast<TEventSource*>(holder.get());
    } else {
      source = MakeOwned<TEventSource>(*root, &log);
    }
    source->OnEvent = [&, way = c.Way](TEventSource& sender) {
      if (++events > 1) return;
      switch (way) {
        case wyResetUniquePtr: holder.reset(); break;
        case wyReleaseUniquePtr: TComponent::Release(std::move(holder)); break;
        case wyReleaseOwned: sender.Release(); break;
        case wyFreeTheOwner: root.reset(); break;
      }
      // Still alive: its worker waits for this very call.
      EXPECT_TRUE(sender.ComponentState().Contains(csDestroying) || way == wyReleaseOwned ||
                  way == wyReleaseUniquePtr);
      freeCalledAndReturned = true;
    };
    source->Fire(3);
    while (log.empty()) TThread::CheckSynchronize(100);
    EXPECT_TRUE(freeCalledAndReturned);
    EXPECT_EQ(events, 3) << "the worker's remaining events run before the free";
    EXPECT_EQ(log, std::vector<String>{u"freed"});
    EXPECT_EQ(holder, nullptr);
    if (c.Way == wyFreeTheOwner) {
      EXPECT_EQ(root, nullptr);
    } else {
      EXPECT_EQ(root->ComponentCount(), 0);
    }
  }
}

TEST(ComponentLifetime, ReleaseOfAComponentWithoutOwnerRaises) {
  std::vector<String> log;
  TEventSource loose(nullptr, &log);
  EXPECT_EQ(MessageOf<Sysutils::EInvalidOperation>([&] { loose.Release(); }),
            u"TComponent has no owner: hand its unique_ptr to TComponent::Release");
}

TEST(ComponentLifetime, CallsHandedOverOnBehalfOfAComponentAreDroppedWithIt) {
  for (bool blocking : {false, true}) {
    SCOPED_TRACE(blocking ? "Synchronize" : "Queue");
    bool ran = false;
    String workerSaw;
    auto target = std::make_unique<TComponent>(nullptr);
    std::atomic<bool> posting{false};
    std::thread worker([&, t = target.get()] {
      posting = true;
      if (blocking) {
        workerSaw = MessageOf<EThreadCallDropped>([&] { TThread::Synchronize(*t, [&] { ran = true; }); });
      } else {
        TThread::Queue(*t, [&] { ran = true; });
      }
    });
    if (blocking) {
      // Without pumping, give the worker time to put its call in line.
      while (!posting) std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } else {
      worker.join();
    }
    target.reset();
    while (TThread::CheckSynchronize()) {
    }
    if (worker.joinable()) worker.join();
    EXPECT_FALSE(ran);
    EXPECT_EQ(workerSaw, blocking ? u"The call was dropped because its component was destroyed" : u"");
  }
}

TEST(ComponentLifetime, OwnerFreedWhileAnOwnedComponentIsBeingFreedFreesEachOnce) {
  std::vector<String> log;
  auto root = std::make_unique<TComponent>(nullptr);
  TEventSource* child = MakeOwned<TEventSource>(*root, &log);
  // The child's destruction pumps; the call it meets frees the child's owner.
  std::thread([&] { TThread::Queue(nullptr, [&] { root.reset(); }); }).join();
  delete child;
  EXPECT_EQ(root, nullptr);
  EXPECT_EQ(log, std::vector<String>{u"freed"});
}

TEST(ComponentLifetime, FreedAgainFromACallItsDestructionPumpsIsFreedOnce) {
  std::vector<String> log;
  auto* source = new TEventSource(nullptr, &log);
  source->OnEvent = [&](TEventSource& self) { delete &self; };
  source->Fire(2);
  delete source;
  EXPECT_EQ(log, std::vector<String>{u"freed"});
}

namespace {

// Raises events without end until destroyed; each event writes into a form's
// member.
class TChattySource : public TComponent {
 public:
  TChattySource(TComponent* owner, std::vector<String>* sink) : TComponent(owner), FSink(sink) {
    FWorkers.Start([this] {
      while (!FStopping || FExtra-- > 0) {
        TThread::Synchronize(nullptr, [this] { FSink->push_back(u"event"); });
      }
    });
  }

 private:
  std::vector<String>* FSink;
  void BeforeDestruction() override { FStopping = true; }

  std::atomic<bool> FStopping{false};
  std::atomic<int> FExtra{20};
  TThreadGroup FWorkers{*this};
};

}  // namespace

TEST(ComponentLifetime, OwnerFreedFromACallPumpedByAnOwnedComponentsFreeWaitsForItsWorkers) {
  bool formDestructorStarted = false;
  auto form = std::make_unique<TForm>(&formDestructorStarted);
  auto* child = MakeOwned<TChattySource>(*form, &form->Events);
  while (form->Events.empty()) TThread::CheckSynchronize(100);
  std::thread([&] { TThread::Queue(nullptr, [&] { form.reset(); }); }).join();
  delete child;
  EXPECT_EQ(form, nullptr);
}

TEST(ComponentLifetime, ReleasedOwnerAndOwnedComponentAreEachFreedOnce) {
  for (bool ownerFirst : {false, true}) {
    SCOPED_TRACE(ownerFirst ? "owner released first" : "owned one released first");
    std::vector<String> log;
    auto owner = std::make_unique<TEventSource>(nullptr, &log);
    auto* child = MakeOwned<TEventSource>(*owner, &log);
    int events = 0;
    child->OnEvent = [&](TEventSource&) { ++events; };
    child->Fire(5);
    if (ownerFirst) TComponent::Release(std::move(owner));
    child->Release();
    child->Release();  // twice is once
    if (!ownerFirst) TComponent::Release(std::move(owner));
    while (log.size() < 2) TThread::CheckSynchronize(100);
    EXPECT_EQ(log, (std::vector<String>{u"freed", u"freed"}));
    EXPECT_EQ(events, 5);
    EXPECT_FALSE(TThread::CheckSynchronize()) << "nothing may be left to free";
  }
}
