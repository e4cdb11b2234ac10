// Shared run-time types of the system: the root object, the exception with a
// message, the 8-bit string and the two notification closure types.
#pragma once

#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

class TObject {
public:
  TObject() = default;
  TObject(const TObject&) = default;
  TObject& operator=(const TObject&) = default;
  virtual ~TObject() = default;
};

// 8-bit code-page text (GBK, Big5 or ASCII); never converted to Unicode inside
// the system, only at the GUI boundary.
using AnsiString = std::string;

class Exception : public std::exception {
public:
  explicit Exception(AnsiString message) : Message(std::move(message)) {}
  const char* what() const noexcept override { return Message.c_str(); }

  AnsiString Message;
};

// A closure is installed when it holds a target; an empty one is skipped.
using TNotifyEvent = std::function<void(TObject* Sender)>;
using TCommNotifyEvent = std::function<void(TObject* Sender, int NotifyType)>;

// A handler slot that one thread may rewrite while others call it. A call
// holds the slot's (recursive) lock for its whole length, so once a new
// handler has been stored no thread is still inside the old one: an owner
// that unhooks itself may then be destroyed. Handlers may call back into
// the slot from the same thread; they must not wait for another thread that
// is rewriting it.
template <typename Closure> class TLockedEvent {
public:
  TLockedEvent() = default;
  TLockedEvent(const TLockedEvent&) = delete;
  TLockedEvent& operator=(const TLockedEvent&) = delete;
  TLockedEvent& operator=(Closure handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
    return *this;
  }
  Closure Get() const {
    std::lock_guard lock(mutex_);
    return handler_;
  }
  explicit operator bool() const {
    std::lock_guard lock(mutex_);
    return static_cast<bool>(handler_);
  }
  // Calls the handler if one is installed; what it throws passes through.
  template <typename... Args> void Invoke(Args... args) const {
    std::lock_guard lock(mutex_);
    if (handler_)
      handler_(args...);
  }

private:
  mutable std::recursive_mutex mutex_;
  Closure handler_;
};
