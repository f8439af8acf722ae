// TFMXVoiceExtractor against the recording fake: the worker, progress from a
// library thread delivered on the main thread, the background subtraction,
// failures reported through OnError, and the component's lifetime.
#include "face/voice_extractor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/threads.h"
#include "tests/vision_support.h"

using namespace Corvina::Testing;
using Face::Fmx::TFMXVoiceExtractor;
using System::String;
using System::Classes::TThread;

namespace {

struct TEvent {
  std::int32_t Progress;
  bool Done;
  std::thread::id Thread;
  bool operator==(const TEvent&) const = default;
};

class VoiceTest : public VisionFakeTest {
 protected:
  std::unique_ptr<TFMXVoiceExtractor> Active() {
    auto v = std::make_unique<TFMXVoiceExtractor>(nullptr);
    v->SetModel(Model());
    Listen(*v);
    v->SetActive(true);
    return v;
  }
  void Listen(TFMXVoiceExtractor& v) {
    v.SetOnProgress([this](System::Classes::TComponent* sender, std::int32_t progress, bool done) {
      Senders.push_back(sender);
      Events.push_back({progress, done, std::this_thread::get_id()});
    });
    v.SetOnError([this](System::Classes::TComponent* sender, const String& message) {
      Senders.push_back(sender);
      Errors.push_back(message);
    });
  }
  // Pumps the main thread's queue until the extraction has ended.
  static void PumpUntilIdle(const TFMXVoiceExtractor& v) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (v.Extracting() && std::chrono::steady_clock::now() < deadline) TThread::CheckSynchronize(10);
    ASSERT_FALSE(v.Extracting());
  }


 public:
  std::vector<TEvent> Events;
  std::vector<String> Errors;
  std::vector<System::Classes::TComponent*> Senders;
};

TEST_F(VoiceTest, ActivationChecksTheModelThenInit) {
  auto v = std::make_unique<TFMXVoiceExtractor>(nullptr);
  v->SetModel(Missing());
  EXPECT_EQ(MessageOf([&] { v->SetActive(true); }), u"Model File " + Missing() + u" does not exist");
  Sam2().SetInitFails("voice_extractor");
  v->SetModel(Model());
  EXPECT_EQ(MessageOf([&] { v->SetActive(true); }), u"Failed to init Voice Extractor");
  EXPECT_FALSE(v->Active());
  Sam2().SetInitFails("voice_extractor", false);
  v->SetGPUDeviceID(3);
  v->SetActive(true);
  const auto init = Sam2().Calls("voice_extractor_init");
  ASSERT_EQ(init.size(), 2u);
  EXPECT_EQ(init[1].Texts, std::vector<std::string>{FTemp.Path("encoder.model").string()});
  EXPECT_EQ(init[1].Ints, std::vector<std::int64_t>{3});
  EXPECT_EQ(init[1].Pointers[0], v.get()) << "the component is the callback's arg";
  EXPECT_NE(init[1].Pointers[1], nullptr);
}

TEST_F(VoiceTest, ExtractReturnsAtOnceAndFillsBothTracks) {
  auto v = Active();
  Sam2().SetVocals({0.25f, -0.25f});
  v->Extract({0.5f, -0.25f});
  EXPECT_TRUE(Events.empty()) << "no event before the caller pumps";
  PumpUntilIdle(*v);
  EXPECT_EQ(v->Vocal(), (std::vector<float>{0.25f, -0.25f}));
  EXPECT_EQ(v->BackgroundMusic(), (std::vector<float>{0.25f, 0.0f}));
  ASSERT_EQ(Events.size(), 1u);
  EXPECT_EQ(Events[0], (TEvent{100, true, std::this_thread::get_id()}));
  EXPECT_EQ(Senders, std::vector<System::Classes::TComponent*>{v.get()});
  const auto calls = Sam2().Calls("voice_extractor_execute");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Ints, std::vector<std::int64_t>{2});
  EXPECT_EQ(calls[0].Arrays[0], (std::vector<float>{0.5f, -0.25f}));
  EXPECT_NE(calls[0].Thread, std::this_thread::get_id()) << "the library runs on the worker";
}

TEST_F(VoiceTest, ProgressFromAnyLibraryThreadArrivesOnTheMainThreadInOrder) {
  for (const bool otherThread : {false, true}) {
    SCOPED_TRACE(otherThread ? "library thread" : "worker");
    Events.clear();
    auto v = Active();
    Sam2().SetProgress({0, 10, 50, 90}, otherThread);
    v->Extract(std::vector<float>(1000, 0.5f));
    PumpUntilIdle(*v);
    const auto main = std::this_thread::get_id();
    EXPECT_EQ(Events, (std::vector<TEvent>{{0, false, main}, {10, false, main}, {50, false, main},
                                          {90, false, main}, {100, true, main}}));
    EXPECT_EQ(v->Vocal(), std::vector<float>(1000, 0.25f));
    EXPECT_EQ(v->BackgroundMusic(), std::vector<float>(1000, 0.25f));
  }
}

TEST_F(VoiceTest, WithoutHandlersTheTracksAreStillFilled) {
  auto v = std::make_unique<TFMXVoiceExtractor>(nullptr);
  v->SetModel(Model());
  v->SetActive(true);
  Sam2().SetProgress({20, 40}, true);
  v->Extract({1, 2, 3});
  PumpUntilIdle(*v);
  EXPECT_EQ(v->Vocal(), (std::vector<float>{0.5f, 1.0f, 1.5f}));
  EXPECT_EQ(v->BackgroundMusic(), (std::vector<float>{0.5f, 1.0f, 1.5f}));
}

TEST_F(VoiceTest, BackgroundIsTheDifferenceRoundedOnce) {
  // Differences that single precision cannot hold exactly are rounded from
  // the exact double result.
  const std::vector<float> mix = {1.0f, 1e-8f, -3.5f, 16777216.0f, 0.1f};
  const std::vector<float> vocals = {0.1f, 1.0f, -3.5f, -1.0f, 0.3f};
  std::vector<float> bgm(mix.size());
  Face::Fmx::SubtractVoice(mix.data(), vocals.data(), bgm.data(), mix.size());
  for (size_t i = 0; i < mix.size(); ++i)
    EXPECT_EQ(bgm[i], static_cast<float>(static_cast<double>(mix[i]) - vocals[i])) << i;
  EXPECT_EQ(bgm[2], 0.0f);
  EXPECT_EQ(bgm[3], 16777216.0f);  // 16777217 is not a float: rounds to even
}

TEST_F(VoiceTest, RequestsThatCannotRunRaiseAtTheDoor) {
  auto inactive = std::make_unique<TFMXVoiceExtractor>(nullptr);
  EXPECT_EQ(MessageOf([&] { inactive->Extract({1}); }), u"Voice Extractor is not active");
  auto v = Active();
  EXPECT_EQ(MessageOf([&] { v->Extract({}); }), u"VoiceExtractor.Extract: Audio is empty");
  EXPECT_EQ(MessageOf([&] { v->Extract({0.5f, 0.25f, std::numeric_limits<float>::quiet_NaN()}); }),
            u"VoiceExtractor.Extract: Audio[2] must be a finite number, got NAN");
  EXPECT_EQ(MessageOf([&] { v->Extract({-std::numeric_limits<float>::infinity()}); }),
            u"VoiceExtractor.Extract: Audio[0] must be a finite number, got -INF");
  EXPECT_FALSE(v->Extracting());
  EXPECT_TRUE(Sam2().Calls("voice_extractor_execute").empty());
  Sam2().SetDelay("voice_extractor_execute", 200);
  v->Extract({1, 2});
  EXPECT_EQ(MessageOf([&] { v->Extract({3}); }), u"VoiceExtractor.Extract: an extraction is already running");
  EXPECT_EQ(MessageOf([&] { v->SetActive(false); }), u"Cannot deactivate Voice Extractor while an extraction runs");
  PumpUntilIdle(*v);
  EXPECT_EQ(Sam2().Calls("voice_extractor_execute").size(), 1u);
  v->SetActive(false);
  EXPECT_EQ(Sam2().Calls("voice_extractor_destroy").size(), 1u);
}

TEST_F(VoiceTest, FailedExtractionsRaiseOnErrorAndNoDoneEvent) {
  const struct {
    const char* name;
    std::function<void(VoiceTest&, TFMXVoiceExtractor&)> script;
    String expected;
  } cases[] = {
      {"library raises", [](VoiceTest&, TFMXVoiceExtractor&) { Sam2().SetThrows("voice_extractor_execute"); },
       u"Voice Extractor failed: fake voice_extractor_execute failed"},
      {"library hands out no vocals",
       [](VoiceTest&, TFMXVoiceExtractor&) {
         Sam2().SetProgress({50}, false);
         Sam2().SetNullResult("voice_extractor_execute");
       },
       u"Voice Extractor returned no vocals"},
      {"handler raises on a progress event",
       [](VoiceTest& t, TFMXVoiceExtractor& v) {
         Sam2().SetProgress({30}, true);
         v.SetOnProgress([&t](System::Classes::TComponent*, std::int32_t p, bool done) {
           t.Events.push_back({p, done, std::this_thread::get_id()});
           if (!done) throw System::Sysutils::Exception(u"handler refused 30");
         });
       },
       u"handler refused 30"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sam2().Reset();
    Events.clear();
    Errors.clear();
    auto v = Active();
    c.script(*this, *v);
    v->Extract({1, 2, 3});
    PumpUntilIdle(*v);
    EXPECT_EQ(Errors, std::vector<String>{c.expected});
    for (const auto& e : Events) EXPECT_FALSE(e.Done);
    EXPECT_TRUE(v->Vocal().empty());
  }
}

TEST_F(VoiceTest, DestroyingWaitsForTheRunningExtraction) {
  auto v = Active();
  Sam2().SetDelay("voice_extractor_execute", 150);
  Sam2().SetProgress({5, 6}, true);
  v->Extract(std::vector<float>(64, 1.0f));
  v.reset();  // waits, pumping, while the worker finishes
  const auto entries = Sam2().Entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back(), "voice_extractor_destroy");
  EXPECT_TRUE(Events.empty() || !Events.back().Done) << "no event reaches a component being destroyed";
}

TEST_F(VoiceTest, AHandlerMayStartTheNextExtractionOrFreeTheComponent) {
  // Starting again from the Done event: the first extraction has ended.
  auto v = Active();
  int done = 0;
  v->SetOnProgress([&](System::Classes::TComponent*, std::int32_t, bool d) {
    if (d && ++done == 1) v->Extract({4, 8});
  });
  v->Extract({1, 2});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (done < 2 && std::chrono::steady_clock::now() < deadline) TThread::CheckSynchronize(10);
  EXPECT_EQ(done, 2);
  EXPECT_EQ(v->Vocal(), (std::vector<float>{2, 4}));
  v.reset();

  // Freeing the component from its own events, from the worker (Done) and
  // from a library thread (progress): it goes once the event has returned.
  for (const bool onProgress : {false, true}) {
    SCOPED_TRACE(onProgress ? "progress event" : "done event");
    Sam2().Reset();
    auto doomed = Active();
    Sam2().SetProgress({7, 8, 9}, true);
    int events = 0;
    doomed->SetOnProgress([&](System::Classes::TComponent*, std::int32_t, bool d) {
      ++events;
      if (d || onProgress) doomed.reset();
    });
    doomed->Extract(std::vector<float>(16, 1.0f));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (Sam2().LiveContexts() > 0 && std::chrono::steady_clock::now() < until) TThread::CheckSynchronize(10);
    EXPECT_EQ(doomed, nullptr);
    EXPECT_EQ(Sam2().LiveContexts(), 0);
    EXPECT_EQ(events, onProgress ? 1 : 4) << "nothing reaches the component once it is being freed";
  }
}

TEST_F(VoiceTest, LateProgressCallbacksNeverReachAFreedComponent) {
  auto v = Active();
  const auto init = Sam2().Calls("voice_extractor_init");
  ASSERT_EQ(init.size(), 1u);
  auto* arg = const_cast<void*>(init[0].Pointers[0]);
  auto* callback = reinterpret_cast<Anything::TVoiceExtractorProgressCallback>(const_cast<void*>(init[0].Pointers[1]));
  // Alive: a report from another thread arrives once the main thread pumps.
  std::thread reporter([&] { callback(arg, 42); });
  while (Events.empty()) TThread::CheckSynchronize(10);
  reporter.join();
  EXPECT_EQ(Events, (std::vector<TEvent>{{42, false, std::this_thread::get_id()}}));
  v.reset();
  // Freed: the same report finds nothing (under ASan a touch would be fatal).
  std::thread late([&] { callback(arg, 43); });
  late.join();
  TThread::CheckSynchronize(0);
  EXPECT_EQ(Events.size(), 1u);
}

// The part of the program below that ends with an extractor alive: leaked
// or in a static, its worker idle or inside the library with progress
// reports on their way from a thread of the library's own.
[[noreturn]] void EndWithAnExtractorAlive(const String& model, const Corvina::Fake::TFakeSam2& sam2, bool leaked, bool busy) {
  static std::unique_ptr<TFMXVoiceExtractor> kept;
  TFMXVoiceExtractor* v = nullptr;
  if (leaked) {
    static TFMXVoiceExtractor* leakedOne = nullptr;
    v = leakedOne = new TFMXVoiceExtractor(nullptr);
  } else {
    kept = std::make_unique<TFMXVoiceExtractor>(nullptr);
    v = kept.get();
  }
  static std::atomic<int> events{0};
  v->SetOnProgress([](System::Classes::TComponent*, std::int32_t, bool) { ++events; });
  v->SetModel(model);
  v->SetActive(true);
  sam2.SetProgress({1, 2, 3}, true);
  if (busy) sam2.SetDelay("voice_extractor_execute", 300);
  v->Extract(std::vector<float>(64, 1.0f));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (busy ? events < 1 : v->Extracting()) {
    if (std::chrono::steady_clock::now() > deadline) std::exit(1);
    TThread::CheckSynchronize(10);
  }
  std::exit(7);
}

TEST_F(VoiceTest, AProgramEndsCleanlyWithAnExtractorStillAlive) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A leaked extractor's worker, its extraction done, is a thread never
  // joined: ThreadSanitizer reports it and ends the program with its own code.
#if defined(__SANITIZE_THREAD__)
  constexpr bool kLeakable = false;
#else
  constexpr bool kLeakable = true;
#endif
  for (const auto& c : Corvina::Testing::kAliveAtExit) {
    if (c.leaked && !kLeakable) continue;
    for (int round = 0; round < Corvina::Testing::kExitRounds; ++round) {
      EXPECT_EXIT(EndWithAnExtractorAlive(Model(), Sam2(), c.leaked, c.busy), ::testing::ExitedWithCode(7), "")
          << c.name;
    }
  }
}

}  // namespace
