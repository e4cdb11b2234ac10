#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

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

TEvent::TEvent(bool manualReset)
    : fd_(injectedFault(failEventAt) ? -1 : eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      manual_(manualReset) {}

TEvent::~TEvent() {
  if (fd_ >= 0)
    close(fd_);
}

void TEvent::Set() {
  if (fd_ < 0)
    return;
  const std::uint64_t one = 1;
  // EAGAIN only when the counter is saturated, which means set anyway.
  while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void TEvent::Reset() {
  if (fd_ < 0)
    return;
  std::uint64_t value;
  while (read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
  }
}

bool TEvent::Consume() {
  if (fd_ < 0)
    return false;
  if (manual_)
    return true;
  std::uint64_t value;
  return read(fd_, &value, sizeof value) == sizeof value;
}

int WaitForAny(std::initializer_list<TEvent*> events, int timeoutMs) {
  std::vector<pollfd> fds;
  fds.reserve(events.size());
  for (TEvent* e : events)
    fds.push_back({e && e->Valid() ? e->fd() : -1, POLLIN, 0});
  timespec deadline{};
  if (timeoutMs >= 0) {
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += (timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
  }
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const long long left = (deadline.tv_sec - now.tv_sec) * 1000LL +
                             (deadline.tv_nsec - now.tv_nsec + 999999) / 1000000;
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    const int rc = poll(fds.data(), fds.size(), wait);
    if (rc < 0) {
      if (errno == EINTR)
        continue;
      return WAIT_FAILED;
    }
    if (rc == 0)
      return WAIT_TIMEOUT;
    int index = 0;
    for (TEvent* e : events) {
      if (fds[index].revents & POLLIN && e->Consume())
        return index;
      ++index;
    }
    // An auto-reset event taken by another waiter in between: wait again.
  }
}

void Sleep(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
  }
}

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
  const long minimum = sysconf(_SC_THREAD_STACK_MIN);
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

void TThread::RaiseCurrentPriority() {
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  // Only a process with CAP_SYS_NICE (or a raised RLIMIT_NICE) may do this.
  (void)setpriority(PRIO_PROCESS, tid, -10);
}

void TThread::SetCurrentName(const std::string& name) {
  (void)pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

} // namespace platform
