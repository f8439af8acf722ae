// Threads and the hand-over to the main thread. Workers reach the main thread
// only through Synchronize or Queue; the main thread runs what they hand over
// inside CheckSynchronize, which every program (and TThreadGroup::WaitFor)
// keeps calling while workers may need it.
//
// A call handed over on behalf of a component (the overloads taking a
// TComponent, or any call from a worker of a TThreadGroup built with that
// component) belongs to it: it never runs once the component's destruction
// has begun, and destroying the component waits for such groups first.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

#include "framework/exceptions.h"

namespace System {

using TThreadID = std::thread::id;

// The thread that loaded the framework layer, unless moved since.
TThreadID MainThreadID();

}  // namespace System

namespace System::Classes {

class TComponent;

// A handed-over call was dropped before it ran because the component it
// belonged to was destroyed; Synchronize raises it in the waiting worker.
class EThreadCallDropped : public Sysutils::Exception { public: using Exception::Exception; };

// A wait on the main thread that could never end: the thread waited for is
// itself blocked in Synchronize on a call that is running below the wait.
class EWaitDeadlock : public Sysutils::EInvalidOperation { public: using EInvalidOperation::EInvalidOperation; };

// For tests that need another thread to play the main thread. Returns the
// previous one.
TThreadID SetMainThreadID(TThreadID id);

// For a host that loads the framework on one thread and runs its event loop
// on another: the calling thread becomes the main thread. Raises
// EInvalidOperation while the current main thread is running a handed-over
// call, since two threads would then run them at once.
void AdoptMainThread();

class TThread {
 public:
  using TProc = std::function<void()>;

  // A thread that runs proc once started and then frees itself. An exception
  // escaping proc is written to the debug log and dropped. The object cannot
  // be deleted (nor held in a std::unique_ptr): one that is never started is
  // given back with Free; once Start has returned nobody may touch it, so
  // Start is called once. If Start throws, the caller still has the object.
  static TThread* CreateAnonymousThread(TProc proc);
  void Start();
  // Frees a thread that was never started.
  void Free();
  bool FreeOnTerminate() const { return true; }

  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  static bool IsMainThread();
  // Blocks the calling thread: Sleep on Windows, nanosleep elsewhere.
  static void Sleep(std::int32_t milliseconds);

  // On the main thread proc runs at once. Elsewhere proc is handed to the main
  // thread and the caller blocks until CheckSynchronize has run it; whatever
  // proc threw is thrown again here, with its own type. The thread argument
  // only names the caller and may be null.
  static void Synchronize(TThread* thread, TProc proc);
  // The same on behalf of target: if target is destroyed before the call
  // runs, the call is dropped and EThreadCallDropped raised here instead.
  static void Synchronize(const TComponent& target, TProc proc);

  // Like Synchronize but without waiting (the main thread runs proc at once).
  // An exception from a queued proc leaves the CheckSynchronize that ran it.
  static void Queue(TThread* thread, TProc proc);
  // On behalf of target: dropped if target is destroyed before it runs.
  static void Queue(const TComponent& target, TProc proc);

  // Drops every pending call of target (the framework does this when a
  // component is destroyed); workers waiting in Synchronize on one get
  // EThreadCallDropped.
  static void RemoveQueuedEvents(const TComponent& target);

  // Main thread only: runs the procs handed over before the call (and, when
  // none was there, those that arrive within timeoutMs), one at a time in the
  // order they arrived. A proc that pumps again (a nested CheckSynchronize or
  // TThreadGroup::WaitFor) runs the later ones itself; every proc runs once.
  // At the outermost level it also frees the components given to Release.
  // True when it ran something. Called on any other thread it runs nothing
  // and raises EInvalidOperation, because a proc that expects the main thread
  // must never run elsewhere.
  static bool CheckSynchronize(int timeoutMs = 0);

 private:
  explicit TThread(TProc proc);
  ~TThread();

  TProc FProc;
};

// The worker threads one owner started, so that it can wait for them. WaitFor
// on the main thread keeps running CheckSynchronize while it waits, so a
// worker blocked in Synchronize can finish; on another thread it just waits.
//
// A group built with a component belongs to it: its workers' Synchronize and
// Queue calls belong to the component, and destroying the component waits for
// the group before any of the component's destructors run, so a component
// that holds its workers in such a group needs no wait in its destructor. A
// group without a component waits in its own destructor, and an owner whose
// workers use its fields calls WaitFor first, while those fields are alive.
class TThreadGroup {
 public:
  TThreadGroup() = default;
  explicit TThreadGroup(TComponent& owner);
  ~TThreadGroup();
  TThreadGroup(const TThreadGroup&) = delete;
  TThreadGroup& operator=(const TThreadGroup&) = delete;

  // Runs proc on a new thread. An exception escaping proc is written to the
  // debug log and dropped, as for anonymous threads. If the thread cannot be
  // started the exception leaves here and nothing of the attempt remains.
  void Start(TThread::TProc proc);

  // Returns when every worker has ended and its thread is joined. A worker
  // cannot wait for its own group (EInvalidOperation), nor can the main
  // thread inside a call that one of the group's workers waits for
  // (EWaitDeadlock). If queued procs raised while this call was pumping, the
  // first such exception is raised again once the workers have ended and the
  // others are written to the debug log.
  void WaitFor();

  int RunningCount() const;

 private:
  friend class TComponent;

  struct TWorker {
    std::thread Thread;
    bool Finished = false;
    // Joins, so that a worker list dropped by an exception never leaves a
    // joinable thread behind (which would end the process).
    ~TWorker();
  };

  void Run(TWorker* worker, TThread::TProc proc);
  bool IsOwnWorker() const;
  bool Idle() const;
  void CheckNotWaitedOnByRunningCall() const;

  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  std::list<TWorker> FWorkers;
  int FRunning = 0;
  TComponent* FOwner = nullptr;  // main thread only; cleared if the owner goes first
};

// Main thread: while it lives, the main thread counts as inside a call of
// target's that target waits for, as a worker's Synchronize does. A component
// makes one around work of its own that raises handlers on the main thread
// itself (a library's callbacks during a call made there): a handler that
// frees target, or a component owning it, has that free carried out once the
// main thread next pumps at its outermost level after the scope ends, not
// under the work. Scopes nest with handed-over calls; end them in reverse.
class TInlineEventScope {
 public:
  explicit TInlineEventScope(const TComponent& target);
  ~TInlineEventScope();
  TInlineEventScope(const TInlineEventScope&) = delete;
  TInlineEventScope& operator=(const TInlineEventScope&) = delete;

 private:
  bool FActive;
};

// Between the hand-over and TComponent; not for components.
namespace Detail {
// True on the main thread while it runs a call that a worker waits for in
// Synchronize and that belongs to c or to a component c owns: freeing c now
// would wait for that worker, which waits for us.
bool IsRunningBlockingCallOf(const TComponent& c);
// Frees c (through delete) the next time the main thread pumps at its
// outermost level; forgotten if c is destroyed before that.
void FreeLater(TComponent& c);
}  // namespace Detail

}  // namespace System::Classes
