// Collects notifications from any thread; tests wait for them with a limit.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Polls a condition that no notification announces; false after timeoutMs.
// The pause grows from 2 ms to 100 ms, so that a condition that is quick to
// hold is seen at once and a slow one (an HTTP request, a file read) does not
// load a core while the test waits.
inline bool Eventually(const std::function<bool()>& pred, int timeoutMs = 3000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto pause = std::chrono::milliseconds(2);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
  return true;
}

class NotifyLog {
public:
  void Add(const std::string& entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
    changed_.notify_all();
  }
  void Add(int notifyType) { Add(std::to_string(notifyType)); }

  std::vector<std::string> Entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }
  // Waits until pred holds for the entries; false after timeoutMs.
  bool WaitFor(const std::function<bool(const std::vector<std::string>&)>& pred,
               int timeoutMs = 3000) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return pred(entries_); });
  }
  // Waits for an entry that is a notification with all of these bits.
  bool WaitForBits(int bits, int timeoutMs = 3000) const {
    return WaitFor(
        [bits](const std::vector<std::string>& entries) {
          for (const auto& e : entries)
            if (!e.empty() && (e[0] >= '0' && e[0] <= '9') && (std::stoi(e) & bits) == bits)
              return true;
          return false;
        },
        timeoutMs);
  }

private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> entries_;
};
