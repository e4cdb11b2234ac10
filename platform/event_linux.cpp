// Events on eventfd, waits on poll(), thread priority by setpriority().
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

void TThread::RaiseCurrentPriority() {
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  // Only a process with CAP_SYS_NICE (or a raised RLIMIT_NICE) may do this.
  (void)setpriority(PRIO_PROCESS, tid, -10);
}

} // namespace platform
