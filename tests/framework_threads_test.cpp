#include "framework/threads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <new>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <limits>
#include <utility>
#include <vector>

#include "framework/components.h"
#include "framework/exceptions.h"
#include "framework/log.h"
#include "tests/support/test_support.h"

using namespace System;
using namespace System::Classes;
using Fmx::Types::Log;
using System::Sysutils::EInvalidOperation;
using Corvina::Testing::MessageOf;

namespace {

class ETestFailure : public Sysutils::Exception {
 public:
  using Exception::Exception;
};

// A count-down latch whose waiter may destroy it as soon as Wait returns.
class TLatch {
 public:
  explicit TLatch(int count) : FCount(count) {}
  void CountDown() {
    std::lock_guard lock(FMutex);
    --FCount;
    FZero.notify_all();
  }
  void Wait() {
    std::unique_lock lock(FMutex);
    FZero.wait(lock, [this] { return FCount <= 0; });
  }

 private:
  std::mutex FMutex;
  std::condition_variable FZero;
  int FCount;
};

// Captures the debug log for one test and counts each line down on a latch.
class TLogCapture {
 public:
  explicit TLogCapture(TLatch* latch = nullptr)
      : FPrevious(Log::SetSink([this, latch](const String& line) {
          {
            std::lock_guard lock(FMutex);
            FLines.push_back(line);
          }
          if (latch) latch->CountDown();
        })) {}
  ~TLogCapture() { Log::SetSink(std::move(FPrevious)); }
  std::vector<String> Lines() {
    std::lock_guard lock(FMutex);
    return FLines;
  }

 private:
  std::mutex FMutex;
  std::vector<String> FLines;
  Log::TSink FPrevious;
};

// Main thread: serves handed-over calls until done is set. Whoever sets done
// does so in a handed-over call, so the last wait ends at once.
void PumpUntil(const std::atomic<bool>& done) {
  while (!done.load()) TThread::CheckSynchronize(100);
}

}  // namespace

TEST(MainThread, IsTheThreadThatLoadedTheFramework) {
  EXPECT_EQ(MainThreadID(), std::this_thread::get_id());
  EXPECT_TRUE(TThread::IsMainThread());
  std::thread([] { EXPECT_FALSE(TThread::IsMainThread()); }).join();
}

TEST(Synchronize, RunsInlineWhenCalledFromMainThread) {
  std::thread::id ranOn;
  TThread::Synchronize(nullptr, [&] { ranOn = std::this_thread::get_id(); });
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_FALSE(TThread::CheckSynchronize()) << "nothing may have been queued";
}

TEST(Synchronize, WorkerWaitsUntilMainThreadHasRunTheProc) {
  int value = 0;  // plain int: ThreadSanitizer checks the hand-over orders it
  int seenByWorker = -1;
  std::thread::id ranOn;
  TThreadGroup group;
  group.Start([&] {
    TThread::Synchronize(nullptr, [&] {
      value = 42;
      ranOn = std::this_thread::get_id();
    });
    seenByWorker = value;
  });
  group.WaitFor();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(seenByWorker, 42);
}

TEST(Synchronize, ReraisesHandlerExceptionInWorker) {
  String frameworkMessage;
  std::string standardMessage;
  TThreadGroup group;
  group.Start([&] {
    try {
      TThread::Synchronize(nullptr, [] { throw ETestFailure(u"handler failed"); });
    } catch (const ETestFailure& e) {  // the subclass, not just Exception
      frameworkMessage = e.Message();
    }
    try {
      TThread::Synchronize(nullptr, [] { throw std::out_of_range("beyond"); });
    } catch (const std::out_of_range& e) {
      standardMessage = e.what();
    }
  });
  group.WaitFor();
  EXPECT_EQ(frameworkMessage, u"handler failed");
  EXPECT_EQ(standardMessage, "beyond");
}

TEST(Synchronize, NestedCallInsideSynchronizedProcRunsInline) {
  std::vector<int> order;
  TThreadGroup group;
  group.Start([&] {
    TThread::Synchronize(nullptr, [&] {
      order.push_back(1);
      TThread::Synchronize(nullptr, [&] { order.push_back(2); });
      order.push_back(3);
    });
  });
  group.WaitFor();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(CheckSynchronize, RunsHandedOverCallsInArrivalOrder) {
  std::vector<char> order;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    TThread::Queue(nullptr, [&] { order.push_back('a'); });
    TThread::Queue(nullptr, [&] { order.push_back('b'); });
    TThread::Synchronize(nullptr, [&] {
      order.push_back('c');
      done = true;
    });
  });
  PumpUntil(done);
  worker.join();
  EXPECT_EQ(order, (std::vector<char>{'a', 'b', 'c'}));
}

TEST(CheckSynchronize, ReturnsFalseWhenNothingArrives) {
  EXPECT_FALSE(TThread::CheckSynchronize());
  EXPECT_FALSE(TThread::CheckSynchronize(5));
}

TEST(CheckSynchronize, WaitsForACallThatArrivesWithinTheTimeout) {
  TLatch go(1);
  bool ran = false;
  std::thread worker([&] {
    go.Wait();
    TThread::Queue(nullptr, [&] { ran = true; });
  });
  go.CountDown();
  // Returns as soon as the call is there; the long timeout only bounds a hang.
  EXPECT_TRUE(TThread::CheckSynchronize(60000));
  worker.join();
  EXPECT_TRUE(ran);
}

TEST(CheckSynchronize, RaisesOffTheMainThreadWithoutRunningAnything) {
  bool ran = false;
  String message;
  std::thread other([&] {
    TThread::Queue(nullptr, [&] { ran = true; });
    try {
      TThread::CheckSynchronize();
    } catch (const EInvalidOperation& e) {
      message = e.Message();
    }
  });
  other.join();
  EXPECT_EQ(message, u"CheckSynchronize called from a thread that is not the main thread");
  EXPECT_FALSE(ran);
  EXPECT_TRUE(TThread::CheckSynchronize());
  EXPECT_TRUE(ran);
}

TEST(Queue, RunsAtOnceOnMainThread) {
  bool ran = false;
  TThread::Queue(nullptr, [&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_FALSE(TThread::CheckSynchronize());
}

TEST(Queue, ExceptionLeavesCheckSynchronizeAndLaterCallsStayQueued) {
  bool laterRan = false;
  std::thread worker([&] {
    TThread::Queue(nullptr, [] { throw ETestFailure(u"queued call failed"); });
    TThread::Queue(nullptr, [&] { laterRan = true; });
  });
  worker.join();
  try {
    TThread::CheckSynchronize();
    FAIL() << "the queued call's exception must leave CheckSynchronize";
  } catch (const ETestFailure& e) {
    EXPECT_EQ(e.Message(), u"queued call failed");
  }
  EXPECT_FALSE(laterRan);
  EXPECT_TRUE(TThread::CheckSynchronize());
  EXPECT_TRUE(laterRan);
}

TEST(AnonymousThread, RunsProcOnAnotherThreadAndReachesMainThread) {
  std::atomic<bool> done{false};
  std::thread::id workerId, syncedOn;
  TThread* thread = TThread::CreateAnonymousThread([&] {
    workerId = std::this_thread::get_id();
    TThread::Synchronize(nullptr, [&] {
      syncedOn = std::this_thread::get_id();
      done = true;
    });
  });
  EXPECT_TRUE(thread->FreeOnTerminate());
  thread->Start();
  PumpUntil(done);
  EXPECT_NE(workerId, std::this_thread::get_id());
  EXPECT_EQ(syncedOn, std::this_thread::get_id());
}

TEST(AnonymousThread, ExceptionIsDiscardedWithoutTerminating) {
  TLatch logged(2);
  TLogCapture log(&logged);
  TThread::CreateAnonymousThread([] { throw ETestFailure(u"boom"); })->Start();
  TThread::CreateAnonymousThread([] { throw 7; })->Start();
  logged.Wait();
  auto lines = log.Lines();
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<String>{u"Exception in anonymous thread dropped: boom",
                                        u"Exception in anonymous thread dropped: unknown exception"}));
}

TEST(AnonymousThread, UnstartedThreadMayBeFreed) {
  bool ran = false;
  TThread* thread = TThread::CreateAnonymousThread([&] { ran = true; });
  thread->Free();
  EXPECT_FALSE(ran);
}

// A started thread frees itself, so an owner that deleted it too (a
// std::unique_ptr holding it) would free it twice: that must not compile.
static_assert(!std::is_destructible_v<TThread>);

TEST(ThreadGroup, WaitPumpsSoBlockedWorkersFinish) {
  std::vector<int> calls;
  TThreadGroup group;
  for (int w = 0; w < 4; ++w) {
    group.Start([&calls, w] {
      for (int i = 0; i < 3; ++i) TThread::Synchronize(nullptr, [&calls, w] { calls.push_back(w); });
    });
  }
  group.WaitFor();
  EXPECT_EQ(calls.size(), 12u);
  EXPECT_EQ(group.RunningCount(), 0);
}

TEST(ThreadGroup, ManyWorkersLoseNoHandedOverCall) {
  constexpr int kWorkers = 16, kCalls = 100;
  int synchronized = 0, queued = 0;
  {
    TThreadGroup group;
    for (int w = 0; w < kWorkers; ++w) {
      group.Start([&] {
        for (int i = 0; i < kCalls; ++i) {
          TThread::Queue(nullptr, [&] { ++queued; });
          TThread::Synchronize(nullptr, [&] { ++synchronized; });
        }
      });
    }
  }  // the destructor waits, pumping
  // Waiting ends with the workers; queued calls may still be in line.
  while (TThread::CheckSynchronize()) {
  }
  EXPECT_EQ(synchronized, kWorkers * kCalls);
  EXPECT_EQ(queued, kWorkers * kCalls);
}

TEST(ThreadGroup, WaitOnAnotherThreadLeavesSynchronizedCallsToTheMainThread) {
  TThreadGroup group;
  std::thread::id ranOn;
  group.Start([&] { TThread::Synchronize(nullptr, [&] { ranOn = std::this_thread::get_id(); }); });
  std::atomic<bool> waited{false};
  std::thread waiter([&] {
    group.WaitFor();
    TThread::Queue(nullptr, [&] { waited = true; });
  });
  PumpUntil(waited);
  waiter.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(ThreadGroup, WorkerCannotWaitForItsOwnGroup) {
  String message;
  TThreadGroup group;
  group.Start([&] {
    try {
      group.WaitFor();
    } catch (const EInvalidOperation& e) {
      message = e.Message();
    }
  });
  group.WaitFor();
  EXPECT_EQ(message, u"A worker cannot wait for its own thread group");
}

TEST(ThreadGroup, WorkerStartedByAWorkerIsWaitedForToo) {
  bool innerRan = false;
  TThreadGroup group;
  group.Start([&] {
    group.Start([&] { TThread::Synchronize(nullptr, [&] { innerRan = true; }); });
  });
  group.WaitFor();
  EXPECT_TRUE(innerRan);
  EXPECT_EQ(group.RunningCount(), 0);
}

TEST(ThreadGroup, WorkerExceptionIsLoggedAndOtherWorkersFinish) {
  TLogCapture log;
  bool otherRan = false;
  TThreadGroup group;
  group.Start([] { throw std::runtime_error("worker broke"); });
  group.Start([&] { TThread::Synchronize(nullptr, [&] { otherRan = true; }); });
  group.WaitFor();
  EXPECT_TRUE(otherRan);
  EXPECT_EQ(log.Lines(), (std::vector<String>{u"Exception in worker thread dropped: worker broke"}));
}

TEST(ThreadGroup, WaitRaisesQueuedCallExceptionOnlyAfterWorkersEnd) {
  bool workerFinished = false;
  TThreadGroup group;
  group.Start([&] {
    TThread::Queue(nullptr, [] { throw ETestFailure(u"queued call failed"); });
    TThread::Synchronize(nullptr, [] {});
    TThread::Synchronize(nullptr, [&] { workerFinished = true; });
  });
  EXPECT_THROW(group.WaitFor(), ETestFailure);
  EXPECT_TRUE(workerFinished);
  EXPECT_EQ(group.RunningCount(), 0);
}

TEST(ThreadGroup, DestructorLogsQueuedCallExceptionInsteadOfThrowing) {
  TLogCapture log;
  {
    TThreadGroup group;
    group.Start([] {
      TThread::Queue(nullptr, [] { throw ETestFailure(u"late failure"); });
      TThread::Synchronize(nullptr, [] {});
    });
  }
  EXPECT_EQ(log.Lines(),
            (std::vector<String>{u"Exception in queued call while a thread group was destroyed dropped: late failure"}));
}

TEST(MainThread, SetMainThreadIDMovesWhereHandedOverCallsRun) {
  TLatch moved(1);
  std::atomic<bool> stop{false};
  std::thread stand_in([&] {
    moved.Wait();
    while (!stop.load()) TThread::CheckSynchronize(100);
  });
  const TThreadID previous = SetMainThreadID(stand_in.get_id());
  moved.CountDown();

  std::thread::id ranOn;
  TThread::Synchronize(nullptr, [&] { ranOn = std::this_thread::get_id(); });
  EXPECT_EQ(ranOn, stand_in.get_id());
  EXPECT_THROW(TThread::CheckSynchronize(), EInvalidOperation);

  TThread::Queue(nullptr, [&] { stop = true; });
  stand_in.join();
  SetMainThreadID(previous);
  EXPECT_TRUE(TThread::IsMainThread());
}

// ---- nested pumping ----

TEST(NestedPump, RunsTheCallsThatArrivedAfterTheOuterPumpTookItsTurn) {
  // Calls 1 and 2 are there when the pump starts; 3 arrives while 1 runs and
  // 1 pumps again. The nested pump must run 2 before 3, each once.
  std::vector<int> order;
  TLatch thirdPosted(1);
  std::thread poster([&] {
    TThread::Queue(nullptr, [&] {
      order.push_back(1);
      std::thread late([&] {
        TThread::Queue(nullptr, [&] { order.push_back(3); });
        thirdPosted.CountDown();
      });
      thirdPosted.Wait();
      late.join();
      while (TThread::CheckSynchronize()) {
      }
      order.push_back(-1);  // back in call 1
    });
    TThread::Queue(nullptr, [&] { order.push_back(2); });
  });
  poster.join();
  EXPECT_TRUE(TThread::CheckSynchronize());
  EXPECT_FALSE(TThread::CheckSynchronize());
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, -1}));
}

// The owner of a worker, freed by an earlier call in the same pump. Its
// destructor waits for the worker, as every owner must.
struct TWorkerOwner {
  explicit TWorkerOwner(bool* alive) : Alive(alive) { *Alive = true; }
  ~TWorkerOwner() {
    Workers.WaitFor();
    *Alive = false;
  }
  bool* Alive;
  TThreadGroup Workers;
};

TEST(NestedPump, CallFreeingAnotherWorkersOwnerNeitherHangsNorRunsItsCallsLate) {
  for (bool blocking : {true, false}) {
    SCOPED_TRACE(blocking ? "worker waits in Synchronize" : "worker queues and ends");
    bool ownerAlive = false;
    int victimCalls = 0;
    bool victimCallSawOwnerDead = false;
    auto owner = std::make_unique<TWorkerOwner>(&ownerAlive);
    // The freeing call arrives first, the victim's call second, so that both
    // wait in line when the pump starts.
    std::thread([&] { TThread::Queue(nullptr, [&] { owner.reset(); }); }).join();
    owner->Workers.Start([&, blocking] {
      auto call = [&] {
        ++victimCalls;
        if (!ownerAlive) victimCallSawOwnerDead = true;
      };
      if (blocking) {
        TThread::Synchronize(nullptr, call);
      } else {
        TThread::Queue(nullptr, call);
      }
    });
    // Give the worker time to hand its call over before the pump starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    while (TThread::CheckSynchronize()) {
    }
    EXPECT_EQ(owner, nullptr);
    EXPECT_FALSE(ownerAlive);
    EXPECT_EQ(victimCalls, 1);
    EXPECT_FALSE(victimCallSawOwnerDead);
  }
}

TEST(NestedPump, EveryCallRunsOnceInArrivalOrderUnderManyNestedPumps) {
  constexpr int kWorkers = 4, kCalls = 200;
  std::vector<std::vector<int>> seen(kWorkers);
  int nestedPumps = 0;
  {
    TThreadGroup group;
    for (int w = 0; w < kWorkers; ++w) {
      group.Start([&, w] {
        for (int i = 0; i < kCalls; ++i) {
          auto call = [&, w, i] {
            seen[w].push_back(i);
            if (i % 7 == 0) {
              ++nestedPumps;
              TThread::CheckSynchronize();
            }
          };
          if (i % 3 == 0) {
            TThread::Synchronize(nullptr, call);
          } else {
            TThread::Queue(nullptr, call);
          }
        }
      });
    }
  }
  while (TThread::CheckSynchronize()) {
  }
  std::vector<int> expected(kCalls);
  for (int i = 0; i < kCalls; ++i) expected[i] = i;
  for (int w = 0; w < kWorkers; ++w) EXPECT_EQ(seen[w], expected) << "worker " << w;
  EXPECT_GT(nestedPumps, 0);
}

// ---- waits that could never end ----

TEST(ThreadGroup, WaitInsideACallItsOwnWorkerWaitsForRaisesInsteadOfHanging) {
  String message;
  TThreadGroup group;
  group.Start([&] {
    TThread::Synchronize(nullptr, [&] {
      try {
        group.WaitFor();
      } catch (const EWaitDeadlock& e) {
        message = e.Message();
      }
    });
  });
  group.WaitFor();
  EXPECT_EQ(message, u"A thread group cannot be waited for inside a call that one of its workers waits for");
}

TEST(ThreadGroup, WaitInsideAQueuedCallOfItsOwnWorkerIsFine) {
  // A queued call's worker does not wait for it, so waiting for it there ends.
  bool waited = false;
  TThreadGroup group;
  TLatch queued(1);
  group.Start([&] {
    TThread::Queue(nullptr, [&] {
      group.WaitFor();
      waited = true;
    });
    queued.CountDown();
  });
  queued.Wait();
  while (!waited) TThread::CheckSynchronize(100);
  group.WaitFor();
  EXPECT_TRUE(waited);
}

// ---- exceptions met while pumping ----

TEST(ThreadGroup, WaitLogsEveryQueuedCallExceptionItDoesNotRaise) {
  TLogCapture log;
  TThreadGroup group;
  group.Start([] {
    TThread::Queue(nullptr, [] { throw ETestFailure(u"first"); });
    TThread::Queue(nullptr, [] { throw ETestFailure(u"second"); });
    TThread::Queue(nullptr, [] { throw std::runtime_error("third"); });
    TThread::Synchronize(nullptr, [] {});
  });
  EXPECT_EQ(MessageOf<ETestFailure>([&] { group.WaitFor(); }), u"first");
  EXPECT_EQ(log.Lines(),
            (std::vector<String>{u"Exception in queued call while waiting for a thread group dropped: second",
                                 u"Exception in queued call while waiting for a thread group dropped: third"}));
}

// ---- the queue's lifetime ----

namespace {

std::atomic<bool> gStopAtExit{false};

// A group with static storage duration whose worker still hands calls over
// while the process exits.
[[noreturn]] void ExitWhileAStaticGroupsWorkerHandsOver() {
  static TThreadGroup group;
  std::atexit([] { gStopAtExit = true; });
  TLatch running(1);
  group.Start([&running] {
    running.CountDown();
    while (!gStopAtExit) {
      TThread::Queue(nullptr, [] {});
      TThread::Synchronize(nullptr, [] {});
    }
  });
  running.Wait();
  std::exit(0);
}

}  // namespace

TEST(ThreadGroupDeathTest, StaticGroupAtExitFindsTheQueueAlive) {
  // A fresh process, so that nothing has built the queue before the group.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ExitWhileAStaticGroupsWorkerHandsOver(), testing::ExitedWithCode(0), "");
}

// ---- running out of memory ----

namespace {
// Allocations this thread may still make before one fails; -1: no limit.
thread_local long tAllocationsLeft = -1;
}  // namespace

void* operator new(std::size_t size) {
  if (tAllocationsLeft == 0) {
    tAllocationsLeft = -1;
    throw std::bad_alloc();
  }
  if (tAllocationsLeft > 0) --tAllocationsLeft;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// The replacement new above takes its memory from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

// A DLL takes its memory from its own operator new: the replacement above
// reaches the framework library on Linux only.
#if !defined(_WIN32)
TEST(ThreadGroup, StartOutOfMemoryLeavesByExceptionAndKeepsNothing) {
  TThreadGroup group;
  // Two ended workers that Start joins on its way, so a failure meets them.
  group.Start([] {});
  group.Start([] {});
  while (group.RunningCount() > 0) std::this_thread::yield();
  std::atomic<int> ran{0};
  int failures = 0;
  for (long allowed = 0;; ++allowed) {
    tAllocationsLeft = allowed;
    try {
      group.Start([&] { ++ran; });
      tAllocationsLeft = -1;
      break;
    } catch (const std::bad_alloc&) {
      tAllocationsLeft = -1;
      ++failures;
      EXPECT_EQ(group.RunningCount(), 0) << "after " << allowed << " allocations";
      EXPECT_EQ(ran, 0);
    }
    ASSERT_LT(allowed, 100) << "Start never succeeded";
  }
  group.WaitFor();
  EXPECT_EQ(ran, 1);
  EXPECT_GT(failures, 0);
}
#endif

// ---- calls that belong to a component ----

TEST(MainThread, AdoptMainThreadMovesTheHandOverToTheCallingThread) {
  const TThreadID previous = MainThreadID();
  std::atomic<bool> stop{false};
  TLatch adopted(1);
  std::thread host([&] {
    AdoptMainThread();
    adopted.CountDown();
    while (!stop.load()) TThread::CheckSynchronize(100);
  });
  adopted.Wait();
  EXPECT_FALSE(TThread::IsMainThread());
  std::thread::id ranOn;
  TThread::Synchronize(nullptr, [&] { ranOn = std::this_thread::get_id(); });
  EXPECT_EQ(ranOn, host.get_id());
  TThread::Queue(nullptr, [&] { stop = true; });
  host.join();
  SetMainThreadID(previous);
}

TEST(MainThread, AdoptMainThreadRefusesWhileTheMainThreadRunsAHandedOverCall) {
  String message;
  TThreadGroup group;
  group.Start([&] {
    TThread::Synchronize(nullptr, [&] {
      // Ask from another thread while the main thread is inside this call.
      std::thread([&] {
        message = MessageOf<EInvalidOperation>([] { AdoptMainThread(); });
      }).join();
    });
  });
  group.WaitFor();
  EXPECT_TRUE(TThread::IsMainThread());
  EXPECT_EQ(message, u"The main thread cannot move while it runs a handed-over call");
}

// ---- hostile callers ----

namespace {

// Sets its flag when destroyed, a little late, so that whoever looks too early
// sees it unset.
struct TSlowDestroyFlag {
  explicit TSlowDestroyFlag(std::atomic<bool>* flag) : Flag(flag) {}
  TSlowDestroyFlag(TSlowDestroyFlag&& other) noexcept : Flag(std::exchange(other.Flag, nullptr)) {}
  TSlowDestroyFlag(const TSlowDestroyFlag& other) = delete;
  ~TSlowDestroyFlag() {
    if (!Flag) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Flag->store(true);
  }
  std::atomic<bool>* Flag;
};

}  // namespace

TEST(Hostile, DroppedSynchronizeCallsCapturesDieBeforeTheWorkerResumes) {
  auto target = std::make_unique<TComponent>(nullptr);
  std::atomic<bool> captureGone{false};
  std::atomic<bool> posted{false};
  bool goneWhenResumed = false;
  std::thread worker([&, t = target.get()] {
    auto flag = std::make_shared<TSlowDestroyFlag>(&captureGone);
    posted = true;
    try {
      TThread::Synchronize(*t, [flag = std::move(flag)] {});
    } catch (const EThreadCallDropped&) {
    }
    goneWhenResumed = captureGone.load();
  });
  while (!posted) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  TThread::RemoveQueuedEvents(*target);
  worker.join();
  EXPECT_TRUE(goneWhenResumed);
}

TEST(Hostile, CheckSynchronizeTakesAnyTimeout) {
  const struct {
    int Timeout;
    bool CallArrives;
  } cases[] = {{-1, false}, {std::numeric_limits<int>::min(), false}, {0, false},
               {std::numeric_limits<int>::max(), true}, {1, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Timeout);
    int ran = 0;
    std::thread poster;
    if (c.CallArrives) {
      poster = std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        TThread::Queue(nullptr, [&] { ++ran; });
      });
    }
    EXPECT_EQ(TThread::CheckSynchronize(c.Timeout), c.CallArrives);
    if (poster.joinable()) poster.join();
    EXPECT_EQ(ran, c.CallArrives ? 1 : 0);
  }
}

TEST(Hostile, ThousandsOfWorkersEachHandOverCalls) {
  constexpr int kWorkers = 1000;
  int synced = 0, queued = 0;
  TThreadGroup group;
  for (int i = 0; i < kWorkers; ++i) {
    group.Start([&] {
      TThread::Synchronize(nullptr, [&] { ++synced; });
      TThread::Queue(nullptr, [&] { ++queued; });
    });
  }
  group.WaitFor();
  while (TThread::CheckSynchronize()) {
  }
  EXPECT_EQ(synced, kWorkers);
  EXPECT_EQ(queued, kWorkers);
  EXPECT_EQ(group.RunningCount(), 0);
}

TEST(Hostile, WorkersStartedFromACallAndFromAWorkerAreWaitedFor) {
  std::atomic<int> ended{0};
  TThreadGroup group;
  group.Start([&] {
    TThread::Synchronize(nullptr, [&] {
      group.Start([&] {
        group.Start([&] { ++ended; });
        TThread::Queue(nullptr, [&] { group.Start([&] { ++ended; }); });
        ++ended;
      });
      TThread::CheckSynchronize();
    });
    ++ended;
  });
  group.WaitFor();
  while (TThread::CheckSynchronize()) {
  }
  group.WaitFor();
  EXPECT_EQ(ended.load(), 4);
}

TEST(Hostile, ExceptionsFromQueuedCallsAtSeveralNestingLevelsEachComeOutOnce) {
  std::vector<String> caught;
  std::thread([&] {
    TThread::Queue(nullptr, [&] {
      std::thread([&] {
        TThread::Queue(nullptr, [] { throw ETestFailure(u"inner"); });
        TThread::Queue(nullptr, [] { throw ETestFailure(u"inner2"); });
      }).join();
      try {
        TThread::CheckSynchronize();
      } catch (const ETestFailure& e) {
        caught.push_back(e.Message());
      }
      throw ETestFailure(u"outer");
    });
  }).join();
  for (int i = 0; i < 5; ++i) {
    try {
      TThread::CheckSynchronize();
    } catch (const ETestFailure& e) {
      caught.push_back(e.Message());
    }
  }
  EXPECT_EQ(caught, (std::vector<String>{u"inner", u"outer", u"inner2"}));
}

TEST(Hostile, AMainThreadThatMovesWhileTheOldOneWaitsRunsNothingOnTheOldOne) {
  std::atomic<bool> oldWaiting{false};
  std::atomic<int> ranOnOld{0}, ranOnNew{0};
  std::thread oldMain;
  const TThreadID previous = MainThreadID();
  oldMain = std::thread([&] {
    AdoptMainThread();
    oldWaiting = true;
    TThread::CheckSynchronize(300);
    // What it ran after the move ran on a thread that is no longer the main one.
  });
  while (!oldWaiting) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  AdoptMainThread();
  std::thread worker([&] {
    TThread::Queue(nullptr, [&] {
      if (TThread::IsMainThread()) {
        ++ranOnNew;
      } else {
        ++ranOnOld;
      }
    });
  });
  worker.join();
  oldMain.join();
  while (TThread::CheckSynchronize()) {
  }
  SetMainThreadID(previous);
  EXPECT_EQ(ranOnOld.load(), 0);
  EXPECT_EQ(ranOnNew.load(), 1);
}

TEST(Synchronize, EmptyProcIsRefusedWhereItIsHandedOver) {
  const TThread::TProc none;
  for (bool onMain : {true, false}) {
    SCOPED_TRACE(onMain ? "main thread" : "worker");
    String synchronized, queued;
    auto handOver = [&] {
      synchronized = MessageOf<Sysutils::EArgumentException>([&] { TThread::Synchronize(nullptr, none); });
      queued = MessageOf<Sysutils::EArgumentException>([&] { TThread::Queue(nullptr, none); });
    };
    if (onMain) {
      handOver();
    } else {
      std::thread(handOver).join();
    }
    EXPECT_EQ(synchronized, u"TThread::Synchronize was given no procedure");
    EXPECT_EQ(queued, u"TThread::Queue was given no procedure");
    EXPECT_FALSE(TThread::CheckSynchronize()) << "nothing may have been queued";
  }
}

TEST(CheckSynchronize, OddTimeoutsNeitherHangNorOverflow) {
  EXPECT_FALSE(TThread::CheckSynchronize(-1));
  EXPECT_FALSE(TThread::CheckSynchronize(std::numeric_limits<int>::min()));
  // The longest timeout still returns as soon as a call arrives.
  bool ran = false;
  std::thread worker([&] { TThread::Queue(nullptr, [&] { ran = true; }); });
  EXPECT_TRUE(TThread::CheckSynchronize(std::numeric_limits<int>::max()));
  worker.join();
  EXPECT_TRUE(ran);
}

// A component raising handlers on the main thread from its own work: a free
// there (of it or of its owner) waits for the scope's end and the next
// outermost pump, even when the handler pumps itself.
TEST(InlineEventScope, AFreeInsideIsCarriedOutAtTheFirstOutermostPumpAfterIt) {
  struct TWatched : TComponent {
    bool* Gone;
    TWatched(TComponent* owner, bool* gone) : TComponent(owner), Gone(gone) {}
    ~TWatched() override { *Gone = true; }
  };
  for (const bool viaOwner : {false, true}) {
    SCOPED_TRACE(viaOwner ? "its owner freed" : "freed itself");
    bool gone = false;
    auto owner = std::make_unique<TComponent>(nullptr);
    std::unique_ptr<TComponent> alone;
    TComponent* watched = nullptr;
    if (viaOwner) {
      watched = new TWatched(owner.get(), &gone);  // the owner frees it
    } else {
      alone = std::make_unique<TWatched>(nullptr, &gone);
      watched = alone.get();
    }
    {
      const TInlineEventScope scope(*watched);
      if (viaOwner) owner.reset(); else alone.reset();
      TThread::CheckSynchronize(0);
      EXPECT_FALSE(gone) << "freed under the work that raised the handler";
      EXPECT_TRUE(watched->ComponentState().Contains(csDestroying));
    }
    EXPECT_FALSE(gone);
    TThread::CheckSynchronize(0);
    EXPECT_TRUE(gone);
  }
}
