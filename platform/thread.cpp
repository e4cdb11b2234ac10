// Threads and the fault switches: POSIX threads on every system (Windows
// builds use mingw-w64's winpthreads).
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "platform/event.h"

namespace platform {

namespace {

std::atomic<int> failEventAt{0};
std::atomic<int> failThreadAt{0};

// Counts one down; true when this is the one that must fail.
bool injectedFault(std::atomic<int>& counter) {
  int n = counter.load();
  while (n > 0) {
    if (counter.compare_exchange_weak(n, n - 1))
      return n == 1;
  }
  return false;
}

} // namespace

namespace fault {
void FailEventCreation(int nth) {
  failEventAt = nth;
}
void FailThreadStart(int nth) {
  failThreadAt = nth;
}
} // namespace fault

namespace detail {
bool EventCreationFails() {
  return injectedFault(failEventAt);
}
} // namespace detail

namespace {

void* threadMain(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

} // namespace

bool TThread::Start(std::function<void()> body, std::size_t stackSize) {
  if (started_ || injectedFault(failThreadAt))
    return false;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0)
    return false;
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  // The sanitizers' own bookkeeping lives on the thread's stack.
  stackSize += 4u << 20;
#endif
#ifdef _SC_THREAD_STACK_MIN
  const long minimum = sysconf(_SC_THREAD_STACK_MIN);
#else
  const long minimum = 0; // Windows rounds a stack up to its own granularity
#endif
  if (minimum > 0 && stackSize < static_cast<std::size_t>(minimum))
    stackSize = static_cast<std::size_t>(minimum);
  pthread_attr_setstacksize(&attr, stackSize);
  auto* arg = new std::function<void()>(std::move(body));
  const int rc = pthread_create(&thread_, &attr, threadMain, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete arg;
    return false;
  }
  started_ = true;
  return true;
}

bool TThread::IsCurrent() const {
  return started_ && pthread_equal(thread_, pthread_self());
}

void TThread::Join() {
  if (!started_)
    return;
  if (IsCurrent()) {
    Detach();
    return;
  }
  pthread_join(thread_, nullptr);
  started_ = false;
}

void TThread::Detach() {
  if (!started_)
    return;
  pthread_detach(thread_);
  started_ = false;
}

void TThread::SetCurrentName(const std::string& name) {
  (void)pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

} // namespace platform
