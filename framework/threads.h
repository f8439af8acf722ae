// Threads and the hand-over to the main thread. Workers reach the main thread
// only through Synchronize or Queue; the main thread runs what they hand over
// inside CheckSynchronize, which every program (and TThreadGroup::WaitFor)
// keeps calling while workers may need it.
#pragma once

#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace System {

using TThreadID = std::thread::id;

// The thread that loaded the framework layer, unless a test moved it.
TThreadID MainThreadID();

}  // namespace System

namespace System::Classes {

// For tests that need another thread to play the main thread. Returns the
// previous one.
TThreadID SetMainThreadID(TThreadID id);

class TThread {
 public:
  using TProc = std::function<void()>;

  // A thread that runs proc once started and then frees itself. An exception
  // escaping proc is written to the debug log and dropped. Until Start the
  // caller owns the object (and may delete one it decides not to start, or
  // one whose Start threw); after Start nobody may touch it, so Start is
  // called once.
  static TThread* CreateAnonymousThread(TProc proc);
  void Start();
  bool FreeOnTerminate() const { return true; }

  ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  static bool IsMainThread();

  // On the main thread proc runs at once. Elsewhere proc is handed to the main
  // thread and the caller blocks until CheckSynchronize has run it; whatever
  // proc threw is thrown again here, with its own type. The thread argument
  // only names the caller and may be null.
  static void Synchronize(TThread* thread, TProc proc);

  // Like Synchronize but without waiting (the main thread runs proc at once).
  // An exception from a queued proc leaves the CheckSynchronize that ran it.
  static void Queue(TThread* thread, TProc proc);

  // Main thread only: runs the procs handed over so far, in the order they
  // arrived, after waiting up to timeoutMs for one if none is there. True when
  // it ran something. Called on any other thread it runs nothing and raises
  // EInvalidOperation, because a proc that expects the main thread must never
  // run elsewhere.
  static bool CheckSynchronize(int timeoutMs = 0);

 private:
  explicit TThread(TProc proc);
  void Execute();

  TProc FProc;
};

// The worker threads one owner started, so that it can wait for them. WaitFor
// on the main thread keeps running CheckSynchronize while it waits, so a
// worker blocked in Synchronize can finish; on another thread it just waits.
// The destructor waits too, but an owner whose workers use its fields calls
// WaitFor first, while those fields are still alive.
class TThreadGroup {
 public:
  TThreadGroup() = default;
  ~TThreadGroup();
  TThreadGroup(const TThreadGroup&) = delete;
  TThreadGroup& operator=(const TThreadGroup&) = delete;

  // Runs proc on a new thread. An exception escaping proc is written to the
  // debug log and dropped, as for anonymous threads.
  void Start(TThread::TProc proc);

  // Returns when every worker has ended and its thread is joined. A worker
  // cannot wait for its own group (EInvalidOperation). If a queued proc
  // raised while this call was pumping, the first such exception is raised
  // again once the workers have ended.
  void WaitFor();

  int RunningCount() const;

 private:
  struct TWorker {
    std::thread Thread;
    bool Finished = false;
  };

  void Run(TWorker* worker, TThread::TProc proc);
  bool IsOwnWorker() const;
  bool Idle() const;

  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  std::list<TWorker> FWorkers;
  int FRunning = 0;
};

}  // namespace System::Classes
