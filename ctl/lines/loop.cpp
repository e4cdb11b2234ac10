#include "ctl/lines/loop.h"

#include "ctl/lines/resolver.h"

#include <gensio/gensio.h>
#include <gensio/gensio_os_funcs.h>
#include <gensio/gensio_os_funcs_public.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/signalfd.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace vexilctl {

std::string GensioError(int err) {
  std::string text = gensio_err_to_str(err);
  if (!text.empty())
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

namespace {

// gensio hands every socket it makes to its os handler; the loop looks on,
// so that a line can have its connection's descriptor for what gensio has
// no control for (keepalive, the kernel's send queue).
int (*handlerAddIod)(gensio_os_funcs*, enum gensio_iod_type, intptr_t, gensio_iod**) = nullptr;
thread_local std::vector<int>* socketsMade = nullptr;

int addIodSeen(gensio_os_funcs* o, enum gensio_iod_type type, intptr_t fd, gensio_iod** iod) {
  if (type == GENSIO_IOD_SOCKET && socketsMade)
    socketsMade->push_back(static_cast<int>(fd));
  return handlerAddIod(o, type, fd, iod);
}

// The most descriptors a loop's process may have: 10,000 lines need about
// 10,000, and the kernel's table for the process grows with the highest.
constexpr rlim_t DESCRIPTORS_MAX = 65536;

} // namespace

// gensio's selector keeps its descriptors in a table of FD_SETSIZE (1,024)
// slots and, whenever the highest one it watches is let go, walks that table
// down from it to find the next highest: from a descriptor past 1,024 it
// reads beyond the table and follows what it finds there (the exporter died
// of that with about 1,500 lines). The walk runs only for the highest, so
// the loop watches a descriptor of its own at the top of the process's range
// and never lets it go: every other is lower, at any number. The range is
// capped at DESCRIPTORS_MAX; where the ceiling cannot be placed, the range
// stops at 1,024 instead, so that opening more fails rather than crashes.
void Loop::placeCeiling() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0)
    return;
  if (files.rlim_cur > DESCRIPTORS_MAX) {
    files.rlim_cur = DESCRIPTORS_MAX;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  const int top = static_cast<int>(files.rlim_cur) - 1;
  const int event = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); // never readable, never hung up
  if (event >= 0 && top > event) {
    if (dup3(event, top, O_CLOEXEC) == top) {
      ceiling_ = std::make_unique<Watch>(*this, top, [] {});
      if (!ceiling_->Ok())
        ceiling_.reset();
    }
  } else if (event >= 0 && top == event) {
    ceiling_ = std::make_unique<Watch>(*this, event, [] {});
  }
  if (event >= 0 && (!ceiling_ || ceiling_->Fd() != event))
    close(event);
  if (!ceiling_ && files.rlim_cur > FD_SETSIZE) {
    files.rlim_cur = FD_SETSIZE;
    setrlimit(RLIMIT_NOFILE, &files);
  }
}

Loop::Loop() {
  if (const int rc = gensio_default_os_hnd(0, &os_); rc != 0)
    throw std::runtime_error("cannot make the event loop: " + GensioError(rc));
  if (!handlerAddIod)
    handlerAddIod = os_->add_iod;
  if (os_->add_iod == handlerAddIod)
    os_->add_iod = addIodSeen;
  placeCeiling();
  const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake < 0)
    throw std::runtime_error(std::string("cannot make the event loop: ") + std::strerror(errno));
  wake_ = std::make_unique<Watch>(*this, wake, [this] {
    std::uint64_t n; // (one read takes every post's count)
    [[maybe_unused]] const ssize_t got = read(wake_->Fd(), &n, sizeof n);
    std::vector<std::function<void()>> work;
    {
      std::lock_guard lock(postLock_);
      work.swap(posted_);
    }
    for (auto& w : work)
      w();
  });
  wake_->Read(true);
}

void Loop::Post(std::function<void()> work) {
  {
    std::lock_guard lock(postLock_);
    posted_.push_back(std::move(work));
  }
  const std::uint64_t one = 1;
  // (Full only after 2^64 - 2 posts no turn took: the loop wakes anyway.)
  [[maybe_unused]] const ssize_t n = write(wake_->Fd(), &one, sizeof one);
}

Resolver& Loop::Names() {
  if (!names_)
    names_ = std::make_unique<Resolver>(*this);
  return *names_;
}

std::vector<int> Loop::SocketsMadeBy(const std::function<void()>& work) {
  std::vector<int> made;
  std::vector<int>* outer = socketsMade;
  socketsMade = &made;
  work();
  socketsMade = outer;
  return made;
}

Loop::~Loop() {
  names_.reset();
  signals_.reset();
  wake_.reset();
  // The ceiling is never let go (that would start the walk from it): the
  // selector forgets it as it is freed, and then its descriptor closes.
  if (ceiling_)
    ceiling_->Abandon();
  // Let the loop finish the closes that watches and lines handed it (a
  // connection's goodbye, a descriptor's release), for 2 s at most.
  const double end = Now() + 2.0;
  while (closing_ > 0 && Now() < end) {
    gensio_time t{0, 100000000};
    gensio_os_funcs_service(os_, &t);
  }
  gensio_os_funcs_free(os_);
  ceiling_.reset();
}

int Loop::Run() {
  while (!stopped_)
    gensio_os_funcs_service(os_, nullptr);
  return status_;
}

void Loop::Stop(int status) {
  if (!stopped_)
    status_ = status;
  stopped_ = true;
  Defer([] {}); // the loop may be waiting: this makes it return
}

void Loop::Defer(std::function<void()> work) {
  struct Job {
    gensio_os_funcs* os;
    gensio_runner* runner;
    std::function<void()> work;
  };
  auto* job = new Job{os_, nullptr, std::move(work)};
  job->runner = gensio_os_funcs_alloc_runner(
      os_,
      [](gensio_runner*, void* data) {
        auto* j = static_cast<Job*>(data);
        j->work();
        gensio_os_funcs_free_runner(j->os, j->runner);
        delete j;
      },
      job);
  if (!job->runner || gensio_os_funcs_run(os_, job->runner) != 0) {
    // Out of memory: run it now rather than never.
    if (job->runner)
      gensio_os_funcs_free_runner(os_, job->runner);
    auto w = std::move(job->work);
    delete job;
    w();
  }
}

void Loop::StopOnSignals(std::function<void()> onHangUp) {
  onHangUp_ = std::move(onHangUp);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  const int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0)
    return;
  signals_ = std::make_unique<Watch>(*this, fd, [this, fd] {
    signalfd_siginfo info;
    while (read(fd, &info, sizeof info) == sizeof info)
      if (info.ssi_signo == SIGHUP && onHangUp_)
        onHangUp_();
      else
        Stop(0);
  });
  signals_->Read(true);
}

double Loop::Now() const {
  gensio_time t;
  gensio_os_funcs_get_monotonic_time(os_, &t);
  return static_cast<double>(t.secs) + t.nsecs / 1e9;
}

// ---------------------------------------------------------------------------

struct Loop::Timer::State : std::enable_shared_from_this<Loop::Timer::State> {
  gensio_os_funcs* os;
  gensio_timer* timer = nullptr;
  std::function<void()> fire;
  bool active = false;
};

Loop::Timer::Timer(Loop& loop, std::function<void()> fire) : s_(std::make_shared<State>()) {
  s_->os = loop.Os();
  s_->fire = std::move(fire);
  s_->timer = gensio_os_funcs_alloc_timer(
      s_->os,
      [](gensio_timer*, void* data) {
        // Held while it runs: the timer may be destroyed by its own work.
        auto s = static_cast<State*>(data)->shared_from_this();
        s->active = false;
        if (s->fire)
          s->fire();
      },
      s_.get());
  if (!s_->timer)
    throw std::runtime_error("cannot make a timer: out of memory");
}

Loop::Timer::~Timer() {
  Stop();
  gensio_os_funcs_free_timer(s_->os, s_->timer);
}

void Loop::Timer::Start(double seconds) {
  Stop();
  const double whole = std::floor(std::max(seconds, 0.0));
  gensio_time t{static_cast<int64_t>(whole), static_cast<int32_t>((seconds - whole) * 1e9)};
  if (gensio_os_funcs_start_timer(s_->os, s_->timer, &t) == 0)
    s_->active = true;
}

void Loop::Timer::Stop() {
  if (s_->active)
    gensio_os_funcs_stop_timer(s_->os, s_->timer);
  s_->active = false;
}

bool Loop::Timer::Active() const {
  return s_->active;
}

// ---------------------------------------------------------------------------

// Lives until the loop has let go of the descriptor: a watch destroyed from
// its own callback leaves the callback intact until it has returned.
struct Loop::Watch::State {
  Loop* loop;
  gensio_os_funcs* os;
  gensio_iod* iod = nullptr;
  std::function<void()> readable, writable;
  bool dead = false;
};

Loop::Watch::Watch(Loop& loop, int fd, std::function<void()> readable,
                   std::function<void()> writable)
    : fd_(fd) {
  auto* s = new State{&loop, loop.Os(), nullptr, std::move(readable), std::move(writable), false};
  if (s->os->add_iod(s->os, GENSIO_IOD_SOCKET, fd, &s->iod) != 0) {
    delete s;
    close(fd);
    fd_ = -1;
    return;
  }
  const int rc = s->os->set_fd_handlers(
      s->iod, s,
      [](gensio_iod*, void* data) {
        auto* st = static_cast<State*>(data);
        if (!st->dead && st->readable)
          st->readable();
      },
      [](gensio_iod*, void* data) {
        auto* st = static_cast<State*>(data);
        if (!st->dead && st->writable)
          st->writable();
      },
      nullptr,
      [](gensio_iod*, void* data) {
        // The loop has let go: now the descriptor can close.
        auto* st = static_cast<State*>(data);
        st->os->close(&st->iod);
        st->loop->CloseDone();
        delete st;
      });
  if (rc != 0) {
    s->os->close(&s->iod);
    delete s;
    fd_ = -1;
    return;
  }
  s_ = s;
}

void Loop::Watch::Abandon() {
  if (!s_)
    return;
  s_->dead = true;
  abandoned_ = true;
}

Loop::Watch::~Watch() {
  if (!s_)
    return;
  if (abandoned_) {
    // The loop is gone: nothing of it is touched. The record gensio made of
    // the descriptor could only be let go through the selector, so it stays
    // with the process (a few hundred bytes a loop), held where it can be
    // found rather than lost.
    static std::mutex keptLock;
    static auto* kept = new std::vector<State*>; // (never destroyed: held to the end)
    std::lock_guard lock(keptLock);
    kept->push_back(s_);
    close(fd_);
    return;
  }
  s_->dead = true;
  s_->os->set_read_handler(s_->iod, false);
  s_->os->set_write_handler(s_->iod, false);
  s_->loop->CloseBegun();
  s_->os->clear_fd_handlers(s_->iod);
}

bool Loop::Watch::Ok() const {
  return s_ != nullptr;
}

void Loop::Watch::Read(bool on) {
  if (s_)
    s_->os->set_read_handler(s_->iod, on);
}

void Loop::Watch::Write(bool on) {
  if (s_)
    s_->os->set_write_handler(s_->iod, on);
}

} // namespace vexilctl
