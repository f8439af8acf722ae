#include "framework/threads.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <utility>
#include <vector>

#include "framework/immortal.h"
#include "framework/native_file.h"
#include "framework/components.h"
#include "framework/log.h"

namespace System {

namespace {

std::atomic<TThreadID>& MainThreadSlot() {
  static std::atomic<TThreadID> id{std::this_thread::get_id()};
  return id;
}

// Loading the library runs this, so the loading thread becomes the main one
// even if nobody asks before a worker does.
[[maybe_unused]] const bool gMainThreadCaptured = (MainThreadSlot(), true);

}  // namespace

TThreadID MainThreadID() { return MainThreadSlot().load(); }

}  // namespace System

namespace System::Classes {

namespace {

// A Synchronize caller waits on its own request, which lives on its stack.
struct TSyncRequest {
  std::condition_variable Done;
  bool Finished = false;
  std::exception_ptr Error;
};

struct TCall {
  std::uint64_t Seq = 0;
  TThread::TProc Proc;
  TSyncRequest* Waiter = nullptr;       // null for Queue
  const TComponent* Target = nullptr;   // the component the call belongs to
  TThreadID Poster;
};

// A call the main thread is inside right now.
struct TRunning {
  const TComponent* Target;
  TThreadID Poster;
  bool Blocking;  // its poster waits in Synchronize
};

struct TSyncQueue {
  std::mutex Mutex;
  std::condition_variable Arrived;  // new calls, or a group whose worker ended
  std::deque<TCall> Calls;
  std::uint64_t LastSeq = 0;
  std::vector<TRunning> Running;  // outermost first; main thread only
  std::vector<TComponent*> Released;
};

TSyncQueue& SyncQueue() {
  // Threads and objects with static storage duration (a TThreadGroup at
  // namespace scope, a detached thread still running at exit) may hand calls
  // over until the very end of the process.
  static TImmortal<TSyncQueue> queue;
  return queue.Value;
}

// The component whose TThreadGroup started the calling thread, if any.
thread_local const TComponent* tWorkerOwner = nullptr;

void Post(TCall call) {
  TSyncQueue& q = SyncQueue();
  call.Poster = std::this_thread::get_id();
  if (!call.Target) call.Target = tWorkerOwner;
  {
    std::lock_guard lock(q.Mutex);
    call.Seq = ++q.LastSeq;
    q.Calls.push_back(std::move(call));
  }
  q.Arrived.notify_all();
}

// Lets a main thread that waits in PumpUntil look at its condition again.
void WakeMainThread() {
  TSyncQueue& q = SyncQueue();
  { std::lock_guard lock(q.Mutex); }
  q.Arrived.notify_all();
}

void LogEscapedException(std::u16string_view where) {
  try {
    String message;
    try {
      throw;
    } catch (const Sysutils::Exception& e) {
      message = e.Message();
    } catch (const std::exception& e) {
      message = UTF8ToString(e.what());
    } catch (...) {
      message = u"unknown exception";
    }
    Fmx::Types::Log::d(u"Exception in %s dropped: %s", where, message);
  } catch (...) {
    // A thread has no one to report to when even the log fails.
  }
}

void Finish(TSyncRequest& request, std::exception_ptr error) {
  request.Error = std::move(error);
  request.Finished = true;
  // Notified under the lock: the waiter's request dies as soon as it can see
  // Finished, which it cannot before we unlock.
  request.Done.notify_one();
}

// Main thread: runs the calls that arrived up to limit, one at a time from
// the head of the queue, so that a pump started inside one of them goes on
// with the next and every call runs once, in arrival order. A queued proc's
// exception leaves; the calls after it stay queued.
bool RunPending(std::unique_lock<std::mutex>& lock, std::uint64_t limit) {
  TSyncQueue& q = SyncQueue();
  bool ran = false;
  // The main thread may move (AdoptMainThread) while this one waited: from
  // then on only the new one runs calls.
  while (!q.Calls.empty() && q.Calls.front().Seq <= limit && TThread::IsMainThread()) {
    TCall call = std::move(q.Calls.front());
    q.Calls.pop_front();
    q.Running.push_back(TRunning{call.Target, call.Poster, call.Waiter != nullptr});
    lock.unlock();
    ran = true;
    std::exception_ptr error;
    try {
      call.Proc();
    } catch (...) {
      error = std::current_exception();
    }
    // The proc's captures die here, outside the lock and before the waiter
    // (whose stack they may point into) resumes.
    call.Proc = nullptr;
    lock.lock();
    q.Running.pop_back();
    if (call.Waiter) {
      Finish(*call.Waiter, std::move(error));
    } else if (error) {
      std::rethrow_exception(error);
    }
  }
  return ran;
}

// Main thread, outermost pump only: frees what Release handed over. Nothing
// runs below us, so no worker can be waiting for a call we are inside.
bool FreeReleased(std::unique_lock<std::mutex>& lock) {
  TSyncQueue& q = SyncQueue();
  bool freed = false;
  while (q.Running.empty() && !q.Released.empty() && TThread::IsMainThread()) {
    TComponent* c = q.Released.front();
    q.Released.erase(q.Released.begin());
    lock.unlock();
    delete c;
    freed = true;
    lock.lock();
  }
  return freed;
}

// Main thread: runs handed-over calls until done() holds, then those that
// arrived before it held. done() is evaluated under the queue's lock, so
// whoever makes it true must call WakeMainThread.
void PumpUntil(const std::function<bool()>& done) {
  TSyncQueue& q = SyncQueue();
  std::unique_lock lock(q.Mutex);
  for (;;) {
    const bool finished = done();
    RunPending(lock, q.LastSeq);
    FreeReleased(lock);
    if (finished) return;
    q.Arrived.wait(lock, [&] { return (!q.Calls.empty() && TThread::IsMainThread()) || done(); });
  }
}

void RequireMainThread() {
  if (!TThread::IsMainThread()) {
    throw Sysutils::EInvalidOperation(
        u"CheckSynchronize called from a thread that is not the main thread");
  }
}


}  // namespace

TThreadID SetMainThreadID(TThreadID id) { return MainThreadSlot().exchange(id); }

void AdoptMainThread() {
  TSyncQueue& q = SyncQueue();
  std::lock_guard lock(q.Mutex);
  if (!q.Running.empty()) {
    throw Sysutils::EInvalidOperation(u"The main thread cannot move while it runs a handed-over call");
  }
  MainThreadSlot().store(std::this_thread::get_id());
}

namespace Detail {

bool IsRunningBlockingCallOf(const TComponent& c) {
  TSyncQueue& q = SyncQueue();
  std::lock_guard lock(q.Mutex);
  for (const TRunning& r : q.Running) {
    if (!r.Blocking) continue;
    for (const TComponent* t = r.Target; t; t = t->Owner()) {
      if (t == &c) return true;
    }
  }
  return false;
}

void FreeLater(TComponent& c) {
  TSyncQueue& q = SyncQueue();
  {
    std::lock_guard lock(q.Mutex);
    if (std::find(q.Released.begin(), q.Released.end(), &c) == q.Released.end()) q.Released.push_back(&c);
  }
  q.Arrived.notify_all();
}

}  // namespace Detail

TInlineEventScope::TInlineEventScope(const TComponent& target) : FActive(TThread::IsMainThread()) {
  if (!FActive) return;
  TSyncQueue& q = SyncQueue();
  std::lock_guard lock(q.Mutex);
  q.Running.push_back(TRunning{&target, std::this_thread::get_id(), true});
}

TInlineEventScope::~TInlineEventScope() {
  if (!FActive) return;
  TSyncQueue& q = SyncQueue();
  std::lock_guard lock(q.Mutex);
  q.Running.pop_back();
}

TThread::TThread(TProc proc) : FProc(std::move(proc)) {}

TThread::~TThread() = default;

TThread* TThread::CreateAnonymousThread(TProc proc) {
  // The framework's self-freeing thread: the object deletes itself at the end
  // of its thread, which is why nobody else can delete it.
  return new TThread(std::move(proc));
}

void TThread::Start() {
  // Detached: the thread owns this object from here on and frees it. Owners
  // that must wait for their workers use a TThreadGroup instead.
  std::thread([this] {
    try {
      FProc();
    } catch (...) {
      LogEscapedException(u"anonymous thread");
    }
    delete this;
  }).detach();
}

void TThread::Free() { delete this; }

void TThread::Sleep(std::int32_t milliseconds) { Native::Sleep(milliseconds); }

bool TThread::IsMainThread() { return std::this_thread::get_id() == MainThreadID(); }

namespace {

// An empty proc would only fail later, on the main thread, far from the
// caller who handed it over.
void RequireProc(const TThread::TProc& proc, std::u16string_view method) {
  if (!proc) throw Sysutils::EArgumentException(String(method) + u" was given no procedure");
}

void SynchronizeCall(const TComponent* target, TThread::TProc proc) {
  RequireProc(proc, u"TThread::Synchronize");
  if (TThread::IsMainThread()) {
    proc();
    return;
  }
  TSyncRequest request;
  Post(TCall{0, std::move(proc), &request, target, {}});
  TSyncQueue& q = SyncQueue();
  std::unique_lock lock(q.Mutex);
  request.Done.wait(lock, [&] { return request.Finished; });
  if (request.Error) std::rethrow_exception(request.Error);
}

void QueueCall(const TComponent* target, TThread::TProc proc) {
  RequireProc(proc, u"TThread::Queue");
  if (TThread::IsMainThread()) {
    proc();
    return;
  }
  Post(TCall{0, std::move(proc), nullptr, target, {}});
}

}  // namespace

void TThread::Synchronize(TThread*, TProc proc) { SynchronizeCall(nullptr, std::move(proc)); }

void TThread::Synchronize(const TComponent& target, TProc proc) { SynchronizeCall(&target, std::move(proc)); }

void TThread::Queue(TThread*, TProc proc) { QueueCall(nullptr, std::move(proc)); }

void TThread::Queue(const TComponent& target, TProc proc) { QueueCall(&target, std::move(proc)); }

void TThread::RemoveQueuedEvents(const TComponent& target) {
  TSyncQueue& q = SyncQueue();
  std::vector<TCall> dropped;
  {
    std::lock_guard lock(q.Mutex);
    for (auto it = q.Calls.begin(); it != q.Calls.end();) {
      if (it->Target != &target) {
        ++it;
        continue;
      }
      dropped.push_back(std::move(*it));
      it = q.Calls.erase(it);
    }
    for (TRunning& r : q.Running) {
      if (r.Target == &target) r.Target = nullptr;
    }
    std::erase(q.Released, &target);
  }
  // The procs' captures die outside the lock (their destructors may hand
  // over calls themselves) and before their waiters resume, whose stacks they
  // may point into. Out of the queue, nobody else finishes these waiters.
  for (TCall& call : dropped) call.Proc = nullptr;
  std::lock_guard lock(q.Mutex);
  for (TCall& call : dropped) {
    if (call.Waiter) {
      Finish(*call.Waiter, std::make_exception_ptr(EThreadCallDropped(
                               u"The call was dropped because its component was destroyed")));
    }
  }
}

bool TThread::CheckSynchronize(int timeoutMs) {
  RequireMainThread();
  TSyncQueue& q = SyncQueue();
  std::unique_lock lock(q.Mutex);
  const auto idle = [&] { return q.Calls.empty() && (q.Released.empty() || !q.Running.empty()); };
  // No spinning before the sleep: on the virtual machines we run on, a
  // pause loop costs the worker its core and doubled the round trip.
  if (timeoutMs > 0 && idle()) {
    q.Arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !idle(); });
  }
  bool ran = RunPending(lock, q.LastSeq);
  if (FreeReleased(lock)) ran = true;
  return ran;
}

// ---- TThreadGroup ----

TThreadGroup::TWorker::~TWorker() {
  if (Thread.joinable()) Thread.join();
}

TThreadGroup::TThreadGroup(TComponent& owner) : FOwner(&owner) { owner.FThreadGroups.push_back(this); }

TThreadGroup::~TThreadGroup() {
  if (IsOwnWorker()) {
    // Returning would free the group under a running worker; a hang would hide
    // the cause. Fail here, where the mistake is.
    Fmx::Types::Log::d(u"TThreadGroup destroyed by one of its own workers");
    std::terminate();
  }
  try {
    WaitFor();
  } catch (const EWaitDeadlock&) {
    // The worker waits for a call below us and would outlive the group.
    Fmx::Types::Log::d(u"TThreadGroup destroyed inside a call that one of its workers waits for");
    std::terminate();
  } catch (...) {
    LogEscapedException(u"queued call while a thread group was destroyed");
  }
  if (FOwner) std::erase(FOwner->FThreadGroups, this);
}

void TThreadGroup::Start(TThread::TProc proc) {
  // Ended workers are joined (by their destructors) once the lock is gone,
  // also when an exception leaves, so that a long-lived owner does not
  // collect threads.
  std::list<TWorker> ended;
  std::lock_guard lock(FMutex);
  for (auto it = FWorkers.begin(); it != FWorkers.end();) {
    auto next = std::next(it);
    if (it->Finished) ended.splice(ended.end(), FWorkers, it);
    it = next;
  }
  TWorker& worker = FWorkers.emplace_back();
  try {
    worker.Thread = std::thread(&TThreadGroup::Run, this, &worker, std::move(proc));
  } catch (...) {
    FWorkers.pop_back();
    throw;
  }
  ++FRunning;
}

void TThreadGroup::Run(TWorker* worker, TThread::TProc proc) {
  {
    std::lock_guard lock(FMutex);
    tWorkerOwner = FOwner;
  }
  try {
    proc();
  } catch (...) {
    LogEscapedException(u"worker thread");
  }
  // Whatever proc captured dies before the owner may see the worker end.
  proc = nullptr;
  {
    std::lock_guard lock(FMutex);
    worker->Finished = true;
    --FRunning;
  }
  // The group outlives these two calls: WaitFor joins this thread before it
  // returns.
  FChanged.notify_all();
  WakeMainThread();
}

void TThreadGroup::CheckNotWaitedOnByRunningCall() const {
  TSyncQueue& q = SyncQueue();
  std::lock_guard queueLock(q.Mutex);
  std::lock_guard lock(FMutex);
  for (const TRunning& r : q.Running) {
    if (!r.Blocking) continue;
    for (const TWorker& w : FWorkers) {
      if (!w.Finished && w.Thread.get_id() == r.Poster) {
        throw EWaitDeadlock(u"A thread group cannot be waited for inside a call that one of its workers waits for");
      }
    }
  }
}

void TThreadGroup::WaitFor() {
  if (IsOwnWorker()) {
    throw Sysutils::EInvalidOperation(u"A worker cannot wait for its own thread group");
  }
  const bool onMainThread = TThread::IsMainThread();
  if (onMainThread) CheckNotWaitedOnByRunningCall();
  std::exception_ptr firstError;
  for (;;) {
    if (onMainThread) {
      try {
        PumpUntil([this] { return Idle(); });
      } catch (...) {
        if (!firstError) {
          firstError = std::current_exception();
        } else {
          LogEscapedException(u"queued call while waiting for a thread group");
        }
        continue;
      }
    } else {
      std::unique_lock lock(FMutex);
      FChanged.wait(lock, [this] { return FRunning == 0; });
    }
    // Only ended workers are joined here: a thread may have started another
    // one since, and joining that without pumping could hang.
    std::list<TWorker> ended;
    bool empty;
    {
      std::lock_guard lock(FMutex);
      for (auto it = FWorkers.begin(); it != FWorkers.end();) {
        auto next = std::next(it);
        if (it->Finished) ended.splice(ended.end(), FWorkers, it);
        it = next;
      }
      empty = FWorkers.empty();
    }
    ended.clear();
    if (empty) break;
  }
  if (firstError) std::rethrow_exception(firstError);
}

int TThreadGroup::RunningCount() const {
  std::lock_guard lock(FMutex);
  return FRunning;
}

bool TThreadGroup::IsOwnWorker() const {
  const TThreadID self = std::this_thread::get_id();
  std::lock_guard lock(FMutex);
  for (const TWorker& w : FWorkers) {
    if (w.Thread.get_id() == self) return true;
  }
  return false;
}

bool TThreadGroup::Idle() const {
  std::lock_guard lock(FMutex);
  return FRunning == 0;
}

}  // namespace System::Classes
