// Events and threads: an event object that can be waited on together with a
// device in one poll(), waits for any of several events, and threads with a
// chosen stack size that are always joined.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>
#include <pthread.h>

namespace platform {

// A Windows event: a Win32 event object on Windows, an eventfd elsewhere;
// set, reset, waited on (alone, with others, or inside a caller's own poll()
// through fd() on POSIX).
class TEvent {
public:
  // Creation can fail (descriptors exhausted, or an injected fault): check
  // Valid().
  explicit TEvent(bool manualReset = true);
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;
  ~TEvent();

#ifdef _WIN32
  bool Valid() const {
    return handle_ != nullptr;
  }
  void* Handle() const {
    return handle_;
  }
#else
  bool Valid() const {
    return fd_ >= 0;
  }
  int fd() const {
    return fd_;
  }
#endif
  bool ManualReset() const {
    return manual_;
  }
  void Set();
  void Reset();
  // After poll() reported the descriptor readable: an auto-reset event is
  // consumed here; true when the event was (still) set. A manual-reset event
  // is set when poll() said so: nothing to ask the kernel again.
  bool Consume();

private:
#ifdef _WIN32
  void* handle_;
#else
  int fd_;
#endif
  bool manual_;
};

constexpr int WAIT_TIMEOUT = -1;
constexpr int WAIT_FAILED = -2;
constexpr int INFINITE = -1;

// Waits until one of the events is set; returns its index (the lowest when
// several are), WAIT_TIMEOUT after timeoutMs (INFINITE: no limit) or
// WAIT_FAILED. A null entry is never signalled.
int WaitForAny(std::initializer_list<TEvent*> events, int timeoutMs = INFINITE);

void Sleep(int ms);

// The wake-up of one thread that sleeps when it has nothing to do. Wake()
// signals only when that thread sleeps; waking it while it is busy costs one
// atomic exchange and no system call, and its next Sleep() returns at once,
// so no wake-up is lost. A hand-off is one system call on each side: on Linux
// a futex wait and wake on the state word itself, on Windows an event.
//
// Each side changes the state with an exchange: a waker after it published
// its work, the sleeper before it sleeps and after it woke. Whichever exchange
// comes second reads what the first wrote, so either the waker finds the
// sleeper asleep and signals, or the sleeper finds the wake-up and the work
// it stands for is visible to it.
//
// There is no stop event: whoever stops the sleeper clears the flag its loop
// looks at, then calls Wake().
class TWakeup {
public:
  TWakeup();
  ~TWakeup();
  TWakeup(const TWakeup&) = delete;
  TWakeup& operator=(const TWakeup&) = delete;
  bool Valid() const;
  // Any thread, after the work it hands over is published.
  void Wake() {
    if (state_.exchange(WOKEN, std::memory_order_acq_rel) == SLEEPING)
      signal();
  }
  // The sleeping thread: 1 when woken (now, or since it last slept),
  // WAIT_TIMEOUT after timeoutMs, WAIT_FAILED when the wait itself failed.
  int Sleep(int timeoutMs = INFINITE) {
    if (state_.exchange(SLEEPING, std::memory_order_acq_rel) == WOKEN) {
      state_.store(AWAKE, std::memory_order_relaxed);
      return 1;
    }
    const bool failed = !wait(timeoutMs);
    const bool woken = state_.exchange(AWAKE, std::memory_order_acq_rel) == WOKEN;
    return woken ? 1 : failed ? WAIT_FAILED : WAIT_TIMEOUT;
  }

private:
  enum : int { AWAKE, SLEEPING, WOKEN };
  void signal();
  // Until the state leaves SLEEPING or timeoutMs pass; false on failure.
  bool wait(int timeoutMs);
  std::atomic<int> state_{AWAKE};
#ifdef _WIN32
  TEvent event_{false};
#endif
};

// A joinable thread with its own stack size. Never detached by the caller:
// the destructor joins a thread that is still there.
class TThread {
public:
  TThread() = default;
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  ~TThread() { Join(); }

  // False when the thread cannot be started (or an injected fault says so).
  bool Start(std::function<void()> body, std::size_t stackSize);
  bool Running() const { return started_; }
  bool IsCurrent() const;
  void Join();
  // Lets a thread that cannot be joined (it is the calling thread) run out.
  void Detach();
  pthread_t Native() const { return thread_; }
  // Gives the calling thread a negative nice value where the process may;
  // silently keeps its priority where it may not. Never a real-time policy.
  static void RaiseCurrentPriority();
  // Names the calling thread for top -H, gdb and /proc (cut to 15 bytes).
  static void SetCurrentName(const std::string& name);

private:
  pthread_t thread_{};
  bool started_ = false;
};

namespace detail {
// Whether the event being created must fail (fault::FailEventCreation).
bool EventCreationFails();
} // namespace detail

// Fault injection for tests: the nth event creation (or thread start) from now
// fails, 1 being the next one; 0 switches the fault off.
namespace fault {
void FailEventCreation(int nth);
void FailThreadStart(int nth);
} // namespace fault

} // namespace platform
