// The serial line on Windows: the Win32 comm API with overlapped I/O.
#include "platform/serial.h"
#include "platform/win32.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace platform {

namespace {

constexpr std::uint32_t MODEM_EVENTS = EV_CTS | EV_DSR | EV_RLSD;
// ERROR_NO_SUCH_DEVICE, which the cross-compiler's headers leave out.
constexpr DWORD NO_SUCH_DEVICE = 433;

// What a failed call on an open line means: the device went away (a pulled
// adapter, the other end of a virtual line gone), or something passing.
int lossOf(DWORD error) {
  switch (error) {
  case ERROR_ACCESS_DENIED:
  case ERROR_BAD_COMMAND:
  case ERROR_DEVICE_NOT_CONNECTED:
  case ERROR_DEVICE_REMOVED:
  case ERROR_DEV_NOT_EXIST:
  case NO_SUCH_DEVICE:
  case ERROR_NOT_READY:
  case ERROR_OPERATION_ABORTED: // a USB adapter's driver, as it is pulled
  case ERROR_GEN_FAILURE:
  case ERROR_INVALID_HANDLE:
  case ERROR_FILE_NOT_FOUND: return ENODEV;
  case ERROR_BROKEN_PIPE:
  case ERROR_HANDLE_EOF: return EPIPE;
  default: return 0;
  }
}

// An OVERLAPPED with its own manual-reset event.
struct Overlapped {
  Overlapped() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() {
    if (ov.hEvent)
      CloseHandle(ov.hEvent);
  }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;
  OVERLAPPED ov{};
};

class Win32SerialDevice final : public SerialDevice {
public:
  explicit Win32SerialDevice(HANDLE handle) : h_(handle) {
    hasModemLines_ = ::GetCommModemStatus(h_, &lastModem_) != 0;
  }

  ~Win32SerialDevice() override { CloseHandle(h_); }

  bool Valid() const {
    return ovWait_.ov.hEvent && ovRead_.ov.hEvent && ovWrite_.ov.hEvent && modemChanged_.Valid();
  }

  int Handle() const override {
    return static_cast<int>(reinterpret_cast<std::intptr_t>(h_) & 0x7FFFFFFF);
  }

  bool SetCommMask(std::uint32_t mask) override {
    mask_ = mask;
    return ::SetCommMask(h_, driverMask()) != 0;
  }

  bool SetupComm(std::uint32_t inSize, std::uint32_t outSize) override {
    return ::SetupComm(h_, inSize, outSize) != 0;
  }

  bool SetCommState(const DCB& dcb) override {
    ::DCB w{};
    w.DCBlength = sizeof w;
    w.BaudRate = dcb.BaudRate;
    w.fBinary = dcb.fBinary;
    w.fParity = dcb.fParity;
    w.fOutxCtsFlow = dcb.fOutxCtsFlow;
    w.fOutxDsrFlow = dcb.fOutxDsrFlow;
    w.fDtrControl = dcb.fDtrControl;
    w.fDsrSensitivity = dcb.fDsrSensitivity;
    w.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    w.fOutX = dcb.fOutX;
    w.fInX = dcb.fInX;
    w.fErrorChar = dcb.fErrorChar;
    w.fNull = dcb.fNull;
    w.fRtsControl = dcb.fRtsControl;
    w.fAbortOnError = dcb.fAbortOnError;
    w.XonLim = dcb.XonLim;
    w.XoffLim = dcb.XoffLim;
    w.ByteSize = dcb.ByteSize;
    w.Parity = dcb.Parity;
    w.StopBits = dcb.StopBits;
    w.XonChar = dcb.XonChar;
    w.XoffChar = dcb.XoffChar;
    w.ErrorChar = dcb.ErrorChar;
    w.EofChar = dcb.EofChar;
    w.EvtChar = dcb.EvtChar;
    return ::SetCommState(h_, &w) != 0;
  }

  CommWait WaitCommEvent(std::uint32_t& events, TEvent& stop) override {
    events = 0;
    if (gone_)
      return CommWait::Failed;
    for (;;) {
      // A loss the writer met is the reader's to tell, at once.
      if (lostError_)
        return reportLoss(events);
      DWORD ev = 0;
      ResetEvent(ovWait_.ov.hEvent);
      if (!::WaitCommEvent(h_, &ev, &ovWait_.ov)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING)
          return lost(error) ? reportLoss(events) : CommWait::Failed;
        // Some drivers (Wine's among them) compare the modem lines with
        // what they were when the wait began, so a change between two waits
        // would go unseen: one that happened is reported now.
        const DWORD changed = modemChangedSinceLastWait();
        HANDLE handles[2] = {stop.Handle(), ovWait_.ov.hEvent};
        const DWORD which =
            changed ? WAIT_OBJECT_0 + 2 : WaitForMultipleObjects(2, handles, FALSE, WIN32_INFINITE);
        if (which != WAIT_OBJECT_0 + 1) {
          // A pending wait ends when the mask is set again (cancelling it
          // would leave it pending under some drivers); its result must be
          // collected before ev and the OVERLAPPED go out of scope.
          ::SetCommMask(h_, driverMask());
          DWORD unused = 0;
          GetOverlappedResult(h_, &ovWait_.ov, &unused, TRUE);
          if (which == WAIT_OBJECT_0)
            return CommWait::Stopped;
          if (!changed)
            return CommWait::Failed;
          ev |= changed;
        } else {
          DWORD unused = 0;
          if (!GetOverlappedResult(h_, &ovWait_.ov, &unused, FALSE)) {
            const DWORD failure = GetLastError();
            return lost(failure) || lostError_ ? reportLoss(events) : CommWait::Failed;
          }
        }
      }
      if (lostError_)
        return reportLoss(events);
      if (ev & (MODEM_EVENTS | EV_RING)) {
        modemChangedSinceLastWait(); // the lines as they are now count as seen
        modemChanged_.Set();
      }
      events = ev & mask_;
      // Zero: the mask was set meanwhile. Only a ring, which the reader did
      // not ask for: wait again.
      if (events || ev == 0)
        return CommWait::Event;
    }
  }

  bool ClearCommError(std::uint32_t* errors, std::uint32_t* inQueue) override {
    DWORD e = 0;
    COMSTAT stat{};
    if (!::ClearCommError(h_, &e, &stat))
      return false;
    if (errors)
      *errors = e;
    if (inQueue)
      *inQueue = stat.cbInQue;
    return true;
  }

  int ReadFile(void* data, int len) override {
    if (len <= 0)
      return 0;
    DWORD got = 0;
    ResetEvent(ovRead_.ov.hEvent);
    if (!::ReadFile(h_, data, static_cast<DWORD>(len), &got, &ovRead_.ov)) {
      if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(h_, &ovRead_.ov, &got, TRUE)) {
        lost(GetLastError());
        return -1;
      }
    }
    return static_cast<int>(got);
  }

  int WriteFile(const void* data, int len, TEvent& stop) override {
    if (len <= 0)
      return 0;
    DWORD sent = 0;
    ResetEvent(ovWrite_.ov.hEvent);
    if (::WriteFile(h_, data, static_cast<DWORD>(len), &sent, &ovWrite_.ov))
      return static_cast<int>(sent);
    if (GetLastError() != ERROR_IO_PENDING) {
      writeLost(GetLastError());
      return -1;
    }
    HANDLE handles[2] = {stop.Handle(), ovWrite_.ov.hEvent};
    const DWORD which = WaitForMultipleObjects(2, handles, FALSE, WIN32_INFINITE);
    if (which != WAIT_OBJECT_0 + 1)
      ::PurgeComm(h_, PURGE_TXABORT); // broken off: the write ends now
    if (!GetOverlappedResult(h_, &ovWrite_.ov, &sent, TRUE) && which == WAIT_OBJECT_0 + 1) {
      writeLost(GetLastError());
      return -1;
    }
    return static_cast<int>(sent);
  }

  bool GetCommModemStatus(std::uint32_t* status) override {
    DWORD s = 0;
    if (!status || !::GetCommModemStatus(h_, &s))
      return false;
    *status = s;
    return true;
  }

  ModemWatch ModemLines() const override {
    return hasModemLines_ ? ModemWatch::Driver : ModemWatch::None;
  }

  CommWait WaitModemChange(TEvent& stop, int timeoutMs) override {
    return WaitForStopOrChange(stop, modemChanged_, timeoutMs);
  }

  bool PurgeComm(std::uint32_t flags) override { return ::PurgeComm(h_, flags) != 0; }

  bool EscapeCommFunction(std::uint32_t function) override {
    return ::EscapeCommFunction(h_, function) != 0;
  }

  int LostError() const override { return lostError_; }

private:
  // The timer hears of every modem-line change through the reader's wait,
  // ring included, whatever the reader asks for. A line without modem lines
  // (a virtual port) is not asked for their changes: some drivers refuse
  // the wait then.
  DWORD driverMask() const {
    constexpr std::uint32_t modem = MODEM_EVENTS | EV_RING;
    return hasModemLines_ ? mask_ | modem : mask_ & ~modem;
  }

  // The comm events for the modem lines that changed since the last look
  // (ring included), 0 when none did or the lines cannot be read.
  DWORD modemChangedSinceLastWait() {
    DWORD now = 0;
    if (!hasModemLines_ || !::GetCommModemStatus(h_, &now))
      return 0;
    const DWORD changed = now ^ lastModem_;
    lastModem_ = now;
    return ModemChangeEvents(changed) | ((changed & MS_RING_ON) ? EV_RING : 0);
  }

  // Records a loss; true when the error means one.
  bool lost(DWORD error) {
    const int loss = lossOf(error);
    if (loss && !lostError_)
      lostError_ = loss;
    return loss != 0;
  }

  // A write that failed for a lost line: the reader's pending wait is ended
  // (setting the mask again ends it) so that it tells the loss now, rather
  // than whenever the driver fails its wait, which some never do.
  void writeLost(DWORD error) {
    if (lost(error))
      ::SetCommMask(h_, driverMask());
  }

  // The loss is told once, as EV_ERR; then the line is not waited on again.
  CommWait reportLoss(std::uint32_t& events) {
    if (gone_.exchange(true))
      return CommWait::Failed;
    events = EV_ERR;
    return CommWait::Event;
  }

  HANDLE h_;
  bool hasModemLines_ = false;
  DWORD lastModem_ = 0; // the modem lines as the reader last saw them
  std::atomic<std::uint32_t> mask_{0};
  std::atomic<int> lostError_{0};
  std::atomic<bool> gone_{false};
  Overlapped ovWait_, ovRead_, ovWrite_;
  TEvent modemChanged_{true};
};

class Win32Backend final : public SerialBackend {
public:
  std::unique_ptr<SerialDevice> Open(const std::string& deviceName, int* error) override {
    const std::string path = ResolveDeviceName(deviceName);
    const HANDLE h =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (error) {
        switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: *error = ENOENT; break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: *error = EBUSY; break;
        default: *error = ENODEV; break;
        }
      }
      return nullptr;
    }
    auto device = std::make_unique<Win32SerialDevice>(h);
    if (!device->Valid()) {
      if (error)
        *error = ENOMEM;
      return nullptr;
    }
    return device;
  }
};

Win32Backend win32Backend;

} // namespace

SerialBackend& NativeSerialBackend() {
  return win32Backend;
}

std::string ResolveDeviceName(const std::string& deviceName) {
  const int n = ComNumberOfDeviceName(deviceName);
  return n > 0 ? "\\\\.\\COM" + std::to_string(n) : deviceName;
}

std::vector<std::string> ListSerialPortNames(const std::string&) {
  std::vector<std::string> names;
  // Read access is enough, and what a user who is not an administrator gets.
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return names;
  for (DWORD i = 0;; ++i) {
    char name[256], data[256];
    DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0;
    const LONG rc = RegEnumValueA(key, i, name, &nameSize, nullptr, &type,
                                  reinterpret_cast<BYTE*>(data), &dataSize);
    if (rc == ERROR_NO_MORE_ITEMS)
      break;
    if (rc != ERROR_SUCCESS || type != REG_SZ)
      continue;
    data[dataSize] = '\0';
    names.emplace_back(data);
  }
  RegCloseKey(key);
  return names;
}

} // namespace platform
