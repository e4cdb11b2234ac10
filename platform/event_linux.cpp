// Events on eventfd, waits on poll(), thread priority by setpriority().
#include "platform/event.h"

#include <linux/futex.h>
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

TEvent::TEvent(bool manualReset)
    : fd_(detail::EventCreationFails() ? -1 : eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
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

namespace {

// When a wait of timeoutMs (>= 0) from now ends, on the monotonic clock.
timespec deadlineAfter(int timeoutMs) {
  timespec deadline{};
  if (timeoutMs < 0)
    return deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += timeoutMs / 1000;
  deadline.tv_nsec += (timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return deadline;
}

} // namespace

int WaitForAny(std::initializer_list<TEvent*> events, int timeoutMs) {
  std::vector<pollfd> fds;
  fds.reserve(events.size());
  for (TEvent* e : events)
    fds.push_back({e && e->Valid() ? e->fd() : -1, POLLIN, 0});
  const timespec deadline = deadlineAfter(timeoutMs);
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

// The futex waits on the atomic's own storage.
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

TWakeup::TWakeup() = default;
TWakeup::~TWakeup() = default;

bool TWakeup::Valid() const {
  return true;
}

void TWakeup::signal() {
  syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

bool TWakeup::wait(int timeoutMs) {
  const timespec deadline = deadlineAfter(timeoutMs);
  while (state_.load(std::memory_order_acquire) == SLEEPING) {
    timespec left{}, *limit = nullptr;
    if (timeoutMs >= 0) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      long long ns =
          (deadline.tv_sec - now.tv_sec) * 1000000000LL + (deadline.tv_nsec - now.tv_nsec);
      if (ns <= 0)
        return true;
      left = {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
      limit = &left;
    }
    // Returns at once when the state is no longer SLEEPING.
    if (syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAIT_PRIVATE, SLEEPING, limit,
                nullptr, 0) != 0 &&
        errno != EAGAIN && errno != EINTR && errno != ETIMEDOUT)
      return false;
  }
  return true;
}

void Sleep(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
  }
}

void TThread::RaiseCurrentPriority() {
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  // Only a process with CAP_SYS_NICE (or a raised RLIMIT_NICE) may do this.
  (void)setpriority(PRIO_PROCESS, tid, -10);
}

} // namespace platform
