// Host names of console servers, looked up off the loop: a resolver that
// does not answer holds one of a few lookup threads, never the loop that
// serves every line, scrape and command.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ctl/lines/loop.h"

namespace vexilctl {

class Resolver {
public:
  // An answer: the first address as text ("192.0.2.7", "fd00::5"), or "" with
  // the error in words.
  using Done = std::function<void(const std::string& address, const std::string& error)>;

  explicit Resolver(Loop& loop);
  // Lookups still running when it goes are left to end with the process:
  // getaddrinfo cannot be interrupted.
  ~Resolver();
  Resolver(const Resolver&) = delete;
  Resolver& operator=(const Resolver&) = delete;

  // Looks host up; done runs on the loop, unless Cancel(ticket) came first.
  // A name in /etc/hosts is answered from there at once, never queued
  // behind names whose lookups hang; one lookup runs per name however many
  // ask, and a question nobody waits for any more leaves the queue.
  std::uint64_t Resolve(const std::string& host, Done done);
  void Cancel(std::uint64_t ticket);

  // The first address /etc/hosts (or hostsFile) gives name, "" when none.
  static std::string FromHostsFile(const std::string& name,
                                   const std::string& hostsFile = "/etc/hosts");

  // At most this many lookups run at once.
  static constexpr int WORKERS = 4;

private:
  struct Shared;
  void deliver();

  Loop& loop_;
  std::shared_ptr<Shared> shared_;
  struct Asker {
    std::string host;
    Done done;
  };
  std::map<std::uint64_t, Asker> waiting_; // on the loop
  std::uint64_t next_ = 1;
  std::unique_ptr<Loop::Watch> answers_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0); // for work the loop runs later
  std::vector<std::thread> workers_;
};

} // namespace vexilctl
