#include "ctl/lines/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <sstream>

#include "platform/files.h"

namespace vexilctl {

// What the lookup threads and the loop share: the questions, the answers,
// and the eventfd that wakes the loop for them.
struct Resolver::Shared {
  std::mutex mutex;
  std::condition_variable asked;
  std::deque<std::string> questions; // names, each once
  std::set<std::string> asking;      // queued or being looked up
  std::vector<std::tuple<std::string, std::string, std::string>> answers; // name, address, error
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

std::string Resolver::FromHostsFile(const std::string& name, const std::string& hostsFile) {
  std::string text;
  if (!platform::ReadTextFile(hostsFile, text))
    return "";
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string address, alias;
    if (!(words >> address))
      continue;
    in6_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1 &&
        inet_pton(AF_INET6, address.c_str(), &parsed) != 1)
      continue;
    while (words >> alias)
      if (strcasecmp(alias.c_str(), name.c_str()) == 0)
        return address;
  }
  return "";
}

std::uint64_t Resolver::Resolve(const std::string& host, Done done) {
  const std::uint64_t ticket = next_++;
  waiting_[ticket] = {host, std::move(done)};
  if (const std::string local = FromHostsFile(host); !local.empty()) {
    // Answered on the loop's next turn, as any answer is.
    loop_.Defer([this, ticket, local, alive = std::weak_ptr<int>(alive_)] {
      if (alive.expired())
        return; // the resolver went first
      if (const auto it = waiting_.find(ticket); it != waiting_.end()) {
        Done done = std::move(it->second.done);
        waiting_.erase(it);
        done(local, "");
      }
    });
    return ticket;
  }
  {
    std::lock_guard lock(shared_->mutex);
    if (!shared_->asking.insert(host).second)
      return ticket; // asked already: the answer is this ticket's too
    shared_->questions.push_back(host);
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
          const std::string host = shared->questions.front();
          shared->questions.pop_front();
          ++shared->running;
          lock.unlock();
          std::string error;
          const std::string address = lookUp(host, error);
          lock.lock();
          --shared->running;
          if (shared->stop)
            return;
          shared->asking.erase(host);
          shared->answers.emplace_back(host, address, error);
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
  const auto it = waiting_.find(ticket);
  if (it == waiting_.end())
    return;
  const std::string host = it->second.host;
  waiting_.erase(it);
  for (const auto& [other, asker] : waiting_)
    if (asker.host == host)
      return; // another still waits for that name
  // Nobody waits for the name: a question not yet taken leaves the queue.
  std::lock_guard lock(shared_->mutex);
  if (const auto q = std::find(shared_->questions.begin(), shared_->questions.end(), host);
      q != shared_->questions.end()) {
    shared_->questions.erase(q);
    shared_->asking.erase(host);
  }
}

void Resolver::deliver() {
  std::uint64_t count = 0;
  if (read(answers_->Fd(), &count, sizeof count) < 0) {
    // Nothing new.
  }
  std::vector<std::tuple<std::string, std::string, std::string>> answers;
  {
    std::lock_guard lock(shared_->mutex);
    answers.swap(shared_->answers);
  }
  for (auto& [host, address, error] : answers) {
    // Every ticket that waits for the name (those given up on are gone).
    std::vector<Done> told;
    for (auto it = waiting_.begin(); it != waiting_.end();)
      if (it->second.host == host) {
        told.push_back(std::move(it->second.done));
        it = waiting_.erase(it);
      } else {
        ++it;
      }
    for (auto& done : told)
      done(address, error);
  }
}

} // namespace vexilctl
