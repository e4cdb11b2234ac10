#include "ctl/lines/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace vexilctl {

// What the lookup threads and the loop share: the questions, the answers,
// and the eventfd that wakes the loop for them.
struct Resolver::Shared {
  std::mutex mutex;
  std::condition_variable asked;
  std::deque<std::pair<std::uint64_t, std::string>> questions;
  std::vector<std::tuple<std::uint64_t, std::string, std::string>> answers;
  int wake = -1;
  bool stop = false;
  int running = 0;
  ~Shared() {
    if (wake >= 0)
      close(wake);
  }
};

namespace {

std::string lookUp(const std::string& host, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* found = nullptr;
  if (const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0) {
    error = gai_strerror(rc);
    return "";
  }
  char text[INET6_ADDRSTRLEN] = {};
  const addrinfo* a = found;
  if (a->ai_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, text,
              sizeof text);
  else
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr, text,
              sizeof text);
  freeaddrinfo(found);
  return text;
}

} // namespace

Resolver::Resolver(Loop& loop) : loop_(loop), shared_(std::make_shared<Shared>()) {
  shared_->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  // The watch owns the descriptor: the threads write to a dup of it, which
  // the last of them closes.
  const int watched = dup(shared_->wake);
  answers_ = std::make_unique<Loop::Watch>(loop_, watched, [this] { deliver(); });
  answers_->Read(true);
}

Resolver::~Resolver() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stop = true;
    shared_->questions.clear();
  }
  shared_->asked.notify_all();
  // A thread still in getaddrinfo (a resolver that does not answer) cannot
  // be stopped; it holds only the shared state and ends with the process.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (auto& t : workers_) {
    bool idle = false;
    while (!idle && std::chrono::steady_clock::now() < end) {
      {
        std::lock_guard lock(shared_->mutex);
        idle = shared_->running == 0;
      }
      if (!idle)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (idle)
      t.join();
    else
      t.detach();
  }
}

std::uint64_t Resolver::Resolve(const std::string& host, Done done) {
  const std::uint64_t ticket = next_++;
  waiting_[ticket] = std::move(done);
  {
    std::lock_guard lock(shared_->mutex);
    shared_->questions.emplace_back(ticket, host);
  }
  shared_->asked.notify_one();
  // Threads are made as lookups need them, up to WORKERS.
  if (workers_.size() < static_cast<std::size_t>(WORKERS)) {
    std::lock_guard lock(shared_->mutex);
    if (shared_->running + shared_->questions.size() > workers_.size())
      workers_.emplace_back([shared = shared_] {
        std::unique_lock lock(shared->mutex);
        for (;;) {
          shared->asked.wait(lock, [&] { return shared->stop || !shared->questions.empty(); });
          if (shared->stop)
            return;
          auto [ticket, host] = shared->questions.front();
          shared->questions.pop_front();
          ++shared->running;
          lock.unlock();
          std::string error;
          const std::string address = lookUp(host, error);
          lock.lock();
          --shared->running;
          if (shared->stop)
            return;
          shared->answers.emplace_back(ticket, address, error);
          const std::uint64_t one = 1;
          if (write(shared->wake, &one, sizeof one) < 0) {
            // The loop is woken by the next answer.
          }
        }
      });
  }
  return ticket;
}

void Resolver::Cancel(std::uint64_t ticket) {
  waiting_.erase(ticket);
}

void Resolver::deliver() {
  std::uint64_t count = 0;
  if (read(answers_->Fd(), &count, sizeof count) < 0) {
    // Nothing new.
  }
  std::vector<std::tuple<std::uint64_t, std::string, std::string>> answers;
  {
    std::lock_guard lock(shared_->mutex);
    answers.swap(shared_->answers);
  }
  for (auto& [ticket, address, error] : answers) {
    const auto it = waiting_.find(ticket);
    if (it == waiting_.end())
      continue; // given up on
    Done done = std::move(it->second);
    waiting_.erase(it);
    done(address, error);
  }
}

} // namespace vexilctl
