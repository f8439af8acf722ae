#include "vision/anything_fmx.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "face/voice_extractor.h"
#include "framework/components.h"
#include "framework/threads.h"
#include "tests/vision_support.h"
#include "vision/ostrack.h"
#include "vision/remove_anything.h"
#include "vision/remove_bg.h"
#include "vision/sam.h"

using namespace Corvina::Testing;
using Anything::Fmx::ANY_DLL_COMPANIONS;
using Anything::Fmx::ANY_DLL_PATH;
using Anything::Fmx::AnyLibsLoaded;
using Anything::Fmx::LoadAnyLibs;
using Anything::Fmx::UnLoadAnyLibs;
using System::String;
using System::Classes::TComponent;

namespace {

struct TEntryPoint {
  const char* Name;
  const void* (*Value)();
};

#define ENTRY_POINT_ROW(name) {#name, [] { return reinterpret_cast<const void*>(Anything::name); }},
const TEntryPoint kEntryPoints[] = {ANYTHING_ENTRY_POINTS(ENTRY_POINT_ROW)};
#undef ENTRY_POINT_ROW

int SetEntryPoints() {
  int set = 0;
  for (const TEntryPoint& e : kEntryPoints) set += e.Value() != nullptr;
  return set;
}

std::int64_t LoadedAt(const std::string& path, const char* symbol) {
  void* h = LoadedLibrary(path);
  if (!h) return -1;
  auto* at = reinterpret_cast<std::int64_t (*)()>(LibrarySymbol(h, symbol));
  return at ? at() : -2;
}

// Each component kind as a constructor under an owner.
struct TKind {
  const char* Name;
  std::function<void(TComponent&)> Create;
};
const TKind kKinds[] = {
    {"TFMXSam", [](TComponent& o) { System::Classes::MakeOwned<Anything::Fmx::TFMXSam>(o); }},
    {"TFMXOSTrack", [](TComponent& o) { System::Classes::MakeOwned<Anything::Fmx::TFMXOSTrack>(o); }},
    {"TFMXRemoveAnything", [](TComponent& o) { System::Classes::MakeOwned<Anything::Fmx::TFMXRemoveAnything>(o); }},
    {"TFMXRemoveBg", [](TComponent& o) { System::Classes::MakeOwned<Anything::Fmx::TFMXRemoveBg>(o); }},
};

// What the unit starts with: Linux's dynamic linker finds a library's own
// dependencies, Windows loads the two companions from the same folder first.
#if defined(_WIN32)
const std::vector<String> kDefaultCompanions = {u"onnxruntime.dll", u"opencv_world4100.dll"};
#else
const std::vector<String> kDefaultCompanions;
#endif

class LoadAnyLibsTest : public ::testing::Test {
 protected:
  void SetUp() override { UnLoadAnyLibs(); }
  void TearDown() override {
    UnLoadAnyLibs();
    ANY_DLL_PATH.clear();
    ANY_DLL_COMPANIONS = kDefaultCompanions;
  }
};

const std::vector<String> kCompanions = {System::UTF8ToString(LibraryFile("onnxruntime")),
                                        System::UTF8ToString(LibraryFile("opencv_world4100"))};

}  // namespace

TEST_F(LoadAnyLibsTest, EmptyCompanionListAndNothingLoadedBeforeTheFirstCall) {
  EXPECT_EQ(ANY_DLL_COMPANIONS, kDefaultCompanions);
  EXPECT_EQ(Anything::Fmx::ANY_DLL_NAME, System::UTF8ToString(LibraryFile("sam2")));
  EXPECT_FALSE(AnyLibsLoaded());
  EXPECT_EQ(SetEntryPoints(), 0);
}

TEST_F(LoadAnyLibsTest, LoadsTheCompanionsInOrderThenTheLibraryAndResolvesEveryEntryPoint) {
  ANY_DLL_PATH = FakeFolder("sam2");
  ANY_DLL_COMPANIONS = kCompanions;
  LoadAnyLibs();
  ASSERT_TRUE(AnyLibsLoaded());
  const std::int64_t ort = LoadedAt(FakeLibrary("sam2", "onnxruntime"), "fake_companion_loaded_at");
  const std::int64_t cv = LoadedAt(FakeLibrary("sam2", "opencv_world4100"), "fake_companion_loaded_at");
  const std::int64_t vision = LoadedAt(FakeLibrary("sam2"), "fake_sam2_loaded_at");
  EXPECT_GT(ort, 0);
  EXPECT_LT(ort, cv);
  EXPECT_LT(cv, vision);
  // Each variable holds its own export, not a neighbour's.
  void* h = LoadedLibrary(FakeLibrary("sam2"));
  ASSERT_NE(h, nullptr);
  for (const TEntryPoint& e : kEntryPoints) EXPECT_EQ(e.Value(), LibrarySymbol(h, e.Name)) << e.Name;
}

TEST_F(LoadAnyLibsTest, ASecondCallLoadsNothingMore) {
  ANY_DLL_PATH = FakeFolder("sam2");
  LoadAnyLibs();
  const void* samInit = reinterpret_cast<const void*>(Anything::sam_init);
  ANY_DLL_PATH = u"/nowhere/";  // read only by a load that really happens
  LoadAnyLibs();
  TComponent owner(nullptr);
  for (const TKind& kind : kKinds) kind.Create(owner);
  EXPECT_EQ(reinterpret_cast<const void*>(Anything::sam_init), samInit);
  // Loaded once, so one unload lets it go.
  UnLoadAnyLibs();
  EXPECT_FALSE(IsLoaded(FakeLibrary("sam2")));
}

TEST_F(LoadAnyLibsTest, AMissingCompanionStopsBeforeTheLibraryAndFreesTheFirstCompanion) {
  ANY_DLL_PATH = FakeFolder("sam2-no-opencv");
  ANY_DLL_COMPANIONS = kCompanions;
  const String message = MessageOf([] { LoadAnyLibs(); });
  const String expected = u"Can not load " + ANY_DLL_PATH + System::UTF8ToString(LibraryFile("opencv_world4100")) + u" ";
  EXPECT_EQ(message.rfind(expected, 0), 0u) << System::UTF8Encode(message);
  EXPECT_GT(message.size(), expected.size());  // the system's text follows
  EXPECT_FALSE(IsLoaded(FakeLibrary("sam2-no-opencv")));
  EXPECT_FALSE(IsLoaded(FakeLibrary("sam2-no-opencv", "onnxruntime")));
  EXPECT_FALSE(AnyLibsLoaded());
  EXPECT_EQ(SetEntryPoints(), 0);
}

TEST_F(LoadAnyLibsTest, AMissingEntryPointNamesTheFirstMissingOneAndLeavesNothingBehind) {
  const struct {
    const char* Folder;
    const char16_t* Message;
  } cases[] = {
      // lama_execute comes before face_detector_landmark_5 in the order.
      {"sam2-gaps", u"Load lama_execute failed!"},
      {"sam2-no-last", u"Load voice_extractor_destroy failed!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Folder);
    ANY_DLL_PATH = FakeFolder(c.Folder);
    EXPECT_EQ(MessageOf([] { LoadAnyLibs(); }), c.Message);
    EXPECT_FALSE(AnyLibsLoaded());
    EXPECT_EQ(SetEntryPoints(), 0);
    EXPECT_FALSE(IsLoaded(FakeLibrary(c.Folder)));
  }
}

TEST_F(LoadAnyLibsTest, TheNextCallAfterAFailureRetriesTheWholeSequence) {
  ANY_DLL_PATH = FakeFolder("sam2-gaps");
  EXPECT_EQ(MessageOf([] { LoadAnyLibs(); }), u"Load lama_execute failed!");
  ANY_DLL_PATH = FakeFolder("sam2");
  ANY_DLL_COMPANIONS = kCompanions;
  LoadAnyLibs();
  EXPECT_TRUE(AnyLibsLoaded());
  EXPECT_EQ(SetEntryPoints(), Anything::kEntryPointCount);
  EXPECT_TRUE(IsLoaded(FakeLibrary("sam2", "opencv_world4100")));
}

TEST_F(LoadAnyLibsTest, UnloadingFreesTheLibrariesAndNullsEveryEntryPoint) {
  ANY_DLL_PATH = FakeFolder("sam2");
  ANY_DLL_COMPANIONS = kCompanions;
  LoadAnyLibs();
  UnLoadAnyLibs();
  EXPECT_FALSE(AnyLibsLoaded());
  EXPECT_EQ(SetEntryPoints(), 0);
  EXPECT_FALSE(IsLoaded(FakeLibrary("sam2")));
  EXPECT_FALSE(IsLoaded(FakeLibrary("sam2", "onnxruntime")));
  UnLoadAnyLibs();  // a second time does nothing
  LoadAnyLibs();    // and a later load loads again
  EXPECT_EQ(SetEntryPoints(), Anything::kEntryPointCount);
}

TEST_F(LoadAnyLibsTest, EveryComponentRaisesTheLoaderMessageAndIsNotCreated) {
  ANY_DLL_PATH = FakeFolder("sam2-gaps");
  for (const TKind& kind : kKinds) {
    SCOPED_TRACE(kind.Name);
    TComponent owner(nullptr);
    EXPECT_EQ(MessageOf([&] { kind.Create(owner); }), u"Load lama_execute failed!");
    EXPECT_EQ(owner.ComponentCount(), 0);
  }
}

TEST_F(LoadAnyLibsTest, DesigningComponentsLoadNothingAndCannotBeActivated) {
  ANY_DLL_PATH = u"/nowhere/";
  TComponent owner(nullptr);
  owner.SetDesigning(true);
  for (const TKind& kind : kKinds) kind.Create(owner);
  EXPECT_EQ(owner.ComponentCount(), 4);
  EXPECT_FALSE(AnyLibsLoaded());
  const char16_t* expected[] = {u"Cannot activate SAM2 in the designer", u"Cannot activate OSTrack in the designer",
                                u"Cannot activate Biglama in the designer",
                                u"Cannot activate RemoveBackground in the designer"};
  for (int i = 0; i < owner.ComponentCount(); ++i) {
    TComponent* c = owner.Components(i);
    std::function<void()> activate;
    if (auto* s = dynamic_cast<Anything::Fmx::TFMXSam*>(c)) activate = [s] { s->SetActive(true); };
    if (auto* t = dynamic_cast<Anything::Fmx::TFMXOSTrack*>(c)) activate = [t] { t->SetActive(true); };
    if (auto* r = dynamic_cast<Anything::Fmx::TFMXRemoveAnything*>(c)) activate = [r] { r->SetActive(true); };
    if (auto* b = dynamic_cast<Anything::Fmx::TFMXRemoveBg*>(c)) activate = [b] { b->SetActive(true); };
    ASSERT_TRUE(activate);
    EXPECT_EQ(MessageOf(activate), expected[i]);
  }
}

TEST_F(LoadAnyLibsTest, ActivatingAfterTheLibraryWasUnloadedRaisesInsteadOfCallingNull) {
  ANY_DLL_PATH = FakeFolder("sam2");
  Anything::Fmx::TFMXSam sam(nullptr);
  UnLoadAnyLibs();
  EXPECT_EQ(MessageOf([&] { sam.SetActive(true); }), u"Cannot activate SAM2: the vision library is not loaded");
  EXPECT_FALSE(sam.Active());
}

TEST_F(LoadAnyLibsTest, AContextOutlivingItsLibraryIsNeitherUsedNorReleased) {
  TempDir temp;
  WriteFileBytes(temp.Path("m"), "m");
  ANY_DLL_PATH = FakeFolder("sam2");
  auto sam = std::make_unique<Anything::Fmx::TFMXSam>(nullptr);
  sam->SetEncoderModel(temp.File("m"));
  sam->SetDecoderModel(temp.File("m"));
  sam->SetActive(true);
  Fmx::Graphics::TBitmap image(4, 4);
  UnLoadAnyLibs();
  const String dead = u"SAM2: the vision library that made its context has been unloaded";
  EXPECT_EQ(MessageOf([&] { sam->LoadImage(&image); }), dead);
  // A new load does not revive it: the new library never saw that context.
  LoadAnyLibs();
  Corvina::Fake::TFakeSam2 fake(FakeLibrary("sam2"));
  fake.Reset();
  EXPECT_EQ(MessageOf([&] { sam->AddPoint({1, 1}); }), dead);
  sam->SetActive(false);
  sam->SetActive(true);
  sam->LoadImage(&image);
  sam.reset();
  EXPECT_EQ(fake.ForeignContexts(), 0);
  EXPECT_EQ(fake.LiveContexts(), 0);
  EXPECT_EQ(fake.Entries(), (std::vector<std::string>{"sam_init", "sam_load_image", "sam_destroy"}));
}

TEST_F(LoadAnyLibsTest, UnloadingDuringAnExtractionKeepsTheLibraryUntilTheWorkerIsDone) {
  TempDir temp;
  WriteFileBytes(temp.Path("m"), "m");
  ANY_DLL_PATH = FakeFolder("sam2");
  const std::string library = FakeLibrary("sam2");
  auto voice = std::make_unique<Face::Fmx::TFMXVoiceExtractor>(nullptr);
  voice->SetModel(temp.File("m"));
  voice->SetActive(true);
  Corvina::Fake::TFakeSam2(library).SetDelay("voice_extractor_execute", 200);
  std::vector<float> vocal;
  String failure;
  bool ended = false;
  voice->SetOnProgress([&](TComponent*, std::int32_t, bool done) {
    if (done) vocal = voice->Vocal();
    ended |= done;
  });
  voice->SetOnError([&](TComponent*, const String& message) {
    failure = message;
    ended = true;
  });
  voice->Extract({1, 2, 3});
  UnLoadAnyLibs();  // the worker has the library's code on its stack, or is about to call it
  EXPECT_EQ(Anything::voice_extractor_execute, nullptr);
  EXPECT_TRUE(IsLoaded(library));
  while (!ended) System::Classes::TThread::CheckSynchronize(10);
  EXPECT_EQ(failure, u"");
  EXPECT_EQ(vocal, (std::vector<float>{0.5f, 1, 1.5f}));
  while (voice->Extracting()) System::Classes::TThread::CheckSynchronize(10);
  EXPECT_FALSE(IsLoaded(library)) << "freed once the worker let go";
  EXPECT_EQ(MessageOf([&] { voice->Extract({1}); }),
            u"Voice Extractor: the vision library that made its context has been unloaded");
}
