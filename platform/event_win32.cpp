// Events on Win32 event objects, waits on WaitForMultipleObjects, thread
// priority by SetThreadPriority.
#include "platform/event.h"
#include "platform/win32.h"

#include <vector>

namespace platform {

TEvent::TEvent(bool manualReset)
    : handle_(detail::EventCreationFails() ? nullptr
                                           : CreateEventA(nullptr, manualReset, FALSE, nullptr)),
      manual_(manualReset) {}

TEvent::~TEvent() {
  if (handle_)
    CloseHandle(handle_);
}

void TEvent::Set() {
  if (handle_)
    SetEvent(handle_);
}

void TEvent::Reset() {
  if (handle_)
    ResetEvent(handle_);
}

bool TEvent::Consume() {
  if (!handle_)
    return false;
  // The wait that saw an auto-reset event set has consumed it already.
  return manual_ || WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
}

int WaitForAny(std::initializer_list<TEvent*> events, int timeoutMs) {
  std::vector<HANDLE> handles;
  std::vector<int> indexOf;
  int index = 0;
  for (TEvent* e : events) {
    if (e && e->Valid()) {
      handles.push_back(e->Handle());
      indexOf.push_back(index);
    }
    ++index;
  }
  const DWORD wait = timeoutMs < 0 ? WIN32_INFINITE : static_cast<DWORD>(timeoutMs);
  if (handles.empty()) {
    if (timeoutMs < 0)
      return WAIT_FAILED; // nothing could ever end the wait
    ::Sleep(wait);
    return WAIT_TIMEOUT;
  }
  const DWORD rc =
      WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, wait);
  if (rc < WAIT_OBJECT_0 + handles.size())
    return indexOf[rc - WAIT_OBJECT_0];
  return rc == WIN32_WAIT_TIMEOUT ? WAIT_TIMEOUT : WAIT_FAILED;
}

TWakeup::TWakeup() = default;
TWakeup::~TWakeup() = default;

bool TWakeup::Valid() const {
  return event_.Valid();
}

void TWakeup::signal() {
  event_.Set();
}

bool TWakeup::wait(int timeoutMs) {
  const ULONGLONG deadline =
      GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
  // An auto-reset event left set by a wake-up that came after a time-out
  // ends a wait early: look at the state again.
  while (state_.load(std::memory_order_acquire) == SLEEPING) {
    int left = INFINITE;
    if (timeoutMs >= 0) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline)
        return true;
      left = static_cast<int>(deadline - now);
    }
    if (WaitForAny({&event_}, left) == WAIT_FAILED)
      return false;
  }
  return true;
}

void Sleep(int ms) {
  ::Sleep(static_cast<DWORD>(ms < 0 ? 0 : ms));
}

void TThread::RaiseCurrentPriority() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
}

} // namespace platform
