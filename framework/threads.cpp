#include "framework/threads.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <exception>
#include <utility>
#include <vector>

#include "framework/exceptions.h"
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
  TThread::TProc Proc;
  TSyncRequest* Waiter = nullptr;  // null for Queue
};

struct TSyncQueue {
  std::mutex Mutex;
  std::condition_variable Arrived;  // new calls, or a group whose worker ended
  std::deque<TCall> Calls;
};

TSyncQueue& SyncQueue() {
  static TSyncQueue queue;
  return queue;
}

void Post(TCall call) {
  TSyncQueue& q = SyncQueue();
  {
    std::lock_guard lock(q.Mutex);
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

// Runs one batch of calls on the main thread. A queued proc's exception
// leaves; the calls after it go back to the head of the queue, in order.
bool RunCalls(std::unique_lock<std::mutex>& lock) {
  TSyncQueue& q = SyncQueue();
  if (q.Calls.empty()) return false;
  std::deque<TCall> batch;
  batch.swap(q.Calls);
  lock.unlock();
  while (!batch.empty()) {
    TCall call = std::move(batch.front());
    batch.pop_front();
    if (call.Waiter) {
      std::exception_ptr error;
      try {
        call.Proc();
      } catch (...) {
        error = std::current_exception();
      }
      // Notified under the lock: the waiter's request dies as soon as it can
      // see Finished, which it cannot before we unlock.
      std::lock_guard relock(q.Mutex);
      call.Waiter->Error = std::move(error);
      call.Waiter->Finished = true;
      call.Waiter->Done.notify_one();
    } else {
      try {
        call.Proc();
      } catch (...) {
        std::lock_guard relock(q.Mutex);
        q.Calls.insert(q.Calls.begin(), std::make_move_iterator(batch.begin()),
                       std::make_move_iterator(batch.end()));
        throw;
      }
    }
  }
  lock.lock();
  return true;
}

// Main thread: runs handed-over calls until done() holds. done() is evaluated
// under the queue's lock, so whoever makes it true must call WakeMainThread.
void PumpUntil(const std::function<bool()>& done) {
  TSyncQueue& q = SyncQueue();
  std::unique_lock lock(q.Mutex);
  for (;;) {
    RunCalls(lock);
    q.Arrived.wait(lock, [&] { return !q.Calls.empty() || done(); });
    if (q.Calls.empty()) return;
  }
}

void RequireMainThread() {
  if (!TThread::IsMainThread()) {
    throw Sysutils::EInvalidOperation(
        u"CheckSynchronize called from a thread that is not the main thread");
  }
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

}  // namespace

TThreadID SetMainThreadID(TThreadID id) { return MainThreadSlot().exchange(id); }

TThread::TThread(TProc proc) : FProc(std::move(proc)) {}

TThread::~TThread() = default;

TThread* TThread::CreateAnonymousThread(TProc proc) {
  // The framework's self-freeing thread: the object deletes itself in Execute.
  return new TThread(std::move(proc));
}

void TThread::Start() {
  // Detached: the thread owns this object from here on and frees it. Owners
  // that must wait for their workers use a TThreadGroup instead.
  std::thread(&TThread::Execute, this).detach();
}

void TThread::Execute() {
  try {
    FProc();
  } catch (...) {
    LogEscapedException(u"anonymous thread");
  }
  delete this;
}

bool TThread::IsMainThread() { return std::this_thread::get_id() == MainThreadID(); }

void TThread::Synchronize(TThread*, TProc proc) {
  if (IsMainThread()) {
    proc();
    return;
  }
  TSyncRequest request;
  Post(TCall{std::move(proc), &request});
  TSyncQueue& q = SyncQueue();
  std::unique_lock lock(q.Mutex);
  request.Done.wait(lock, [&] { return request.Finished; });
  if (request.Error) std::rethrow_exception(request.Error);
}

void TThread::Queue(TThread*, TProc proc) {
  if (IsMainThread()) {
    proc();
    return;
  }
  Post(TCall{std::move(proc), nullptr});
}

bool TThread::CheckSynchronize(int timeoutMs) {
  RequireMainThread();
  TSyncQueue& q = SyncQueue();
  std::unique_lock lock(q.Mutex);
  if (q.Calls.empty() && timeoutMs > 0) {
    q.Arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !q.Calls.empty(); });
  }
  return RunCalls(lock);
}

TThreadGroup::~TThreadGroup() {
  if (IsOwnWorker()) {
    // Returning would free the group under a running worker; a hang would hide
    // the cause. Fail here, where the mistake is.
    Fmx::Types::Log::d(u"TThreadGroup destroyed by one of its own workers");
    std::terminate();
  }
  try {
    WaitFor();
  } catch (...) {
    LogEscapedException(u"queued call while a thread group was destroyed");
  }
}

void TThreadGroup::Start(TThread::TProc proc) {
  std::vector<std::thread> ended;
  {
    std::lock_guard lock(FMutex);
    // Join what has ended so that a long-lived owner does not collect threads.
    for (auto it = FWorkers.begin(); it != FWorkers.end();) {
      if (it->Finished) {
        ended.push_back(std::move(it->Thread));
        it = FWorkers.erase(it);
      } else {
        ++it;
      }
    }
    TWorker& worker = FWorkers.emplace_back();
    try {
      worker.Thread = std::thread(&TThreadGroup::Run, this, &worker, std::move(proc));
    } catch (...) {
      FWorkers.pop_back();
      for (std::thread& t : ended) t.join();
      throw;
    }
    ++FRunning;
  }
  for (std::thread& t : ended) t.join();
}

void TThreadGroup::Run(TWorker* worker, TThread::TProc proc) {
  try {
    proc();
  } catch (...) {
    LogEscapedException(u"worker thread");
  }
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

void TThreadGroup::WaitFor() {
  if (IsOwnWorker()) {
    throw Sysutils::EInvalidOperation(u"A worker cannot wait for its own thread group");
  }
  std::exception_ptr firstError;
  for (;;) {
    if (TThread::IsMainThread()) {
      try {
        PumpUntil([this] { return Idle(); });
      } catch (...) {
        if (!firstError) firstError = std::current_exception();
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
    for (TWorker& w : ended) w.Thread.join();
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
