#include "platform/serial_sim.h"

#include <atomic>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

namespace platform {

void SimPort::Fail(const std::string& operation, bool on) {
  std::lock_guard lock(mutex_);
  if (on)
    failures_.insert(operation);
  else
    failures_.erase(operation);
}

void SimPort::raise(std::uint32_t events) {
  // A drained transmitter stays drained, as on a tty: a mask that asks for
  // it later still hears of it.
  txEmptyMissed_ = (txEmptyMissed_ || (events & EV_TXEMPTY)) && !(mask_ & EV_TXEMPTY);
  events &= mask_;
  if (events) {
    pending_ |= events;
    changed_.Set();
  }
}

bool SimPort::holding() const {
  return holdTx_ || (dcb_.fOutxCtsFlow && !(modem_ & MS_CTS_ON));
}

void SimPort::releaseHeld() {
  if (holding())
    return;
  held_ = 0;
  room_.Set();
  if (txPending_) {
    txPending_ = false;
    raise(EV_TXEMPTY);
  }
}

void SimPort::log(std::string call) {
  calls_.push_back(std::move(call));
}

void SimPort::Inject(const std::string& bytes) {
  std::lock_guard lock(mutex_);
  if (bytes.empty() || unplugged_)
    return;
  rx_ += bytes;
  std::uint32_t events = EV_RXCHAR;
  if (bytes.find(dcb_.EvtChar) != std::string::npos)
    events |= EV_RXFLAG;
  if (inSize_ && rx_.size() * 5 >= static_cast<std::size_t>(inSize_) * 4)
    events |= EV_RX80FULL;
  raise(events);
}

void SimPort::SetModemStatus(std::uint32_t status) {
  std::lock_guard lock(mutex_);
  const std::uint32_t changed = status ^ modem_;
  modem_ = status;
  raise(ModemChangeEvents(changed));
  releaseHeld();
  if (changed && modemWatch_ == ModemWatch::Driver)
    modemChanged_.Set();
}

void SimPort::SetModemWatch(ModemWatch watch) {
  std::lock_guard lock(mutex_);
  modemWatch_ = watch;
  modemChanged_.Set();
}

void SimPort::InjectLineError() {
  std::lock_guard lock(mutex_);
  raise(EV_ERR);
}

void SimPort::Unplug() {
  std::lock_guard lock(mutex_);
  unplugged_ = true;
  changed_.Set();
}

void SimPort::HoldTransmit(bool hold) {
  std::lock_guard lock(mutex_);
  holdTx_ = hold;
  releaseHeld();
}

bool SimPort::IsOpen() const {
  std::lock_guard lock(mutex_);
  return open_;
}

std::uint32_t SimPort::Mask() const {
  std::lock_guard lock(mutex_);
  return mask_;
}

DCB SimPort::LastDcb() const {
  std::lock_guard lock(mutex_);
  return dcb_;
}

std::uint32_t SimPort::InSize() const {
  std::lock_guard lock(mutex_);
  return inSize_;
}

std::string SimPort::Written() const {
  std::lock_guard lock(mutex_);
  return written_;
}

std::string SimPort::TakeWritten() {
  std::lock_guard lock(mutex_);
  return std::exchange(written_, std::string());
}

bool SimPort::WaitWritten(std::size_t n, int timeoutMs) const {
  std::unique_lock lock(mutex_);
  return writtenChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return written_.size() >= n; });
}

std::vector<std::string> SimPort::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

void SimPort::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

int SimPort::WaitCount() const {
  std::lock_guard lock(mutex_);
  return waits_;
}

// The open side of a SimPort, as the port uses it.
class SimDevice final : public SerialDevice {
public:
  explicit SimDevice(std::shared_ptr<SimPort> port, int handle)
      : port_(std::move(port)), handle_(handle) {}
  ~SimDevice() override {
    std::lock_guard lock(port_->mutex_);
    port_->open_ = false;
    port_->mask_ = 0;
    port_->pending_ = 0;
  }

  int Handle() const override { return handle_; }

  bool SetCommMask(std::uint32_t mask) override {
    std::lock_guard lock(port_->mutex_);
    if (port_->failing("SetCommMask"))
      return false;
    port_->log("SetCommMask " + std::to_string(mask));
    port_->mask_ = mask;
    port_->pending_ &= mask;
    // Like a tty, where waiting input keeps the device readable and a
    // drained transmitter stays drained: what happened before the mask asked
    // for it is still reported.
    if (!port_->rx_.empty())
      port_->raise(EV_RXCHAR);
    if (port_->txEmptyMissed_)
      port_->raise(EV_TXEMPTY);
    maskChanged_ = true;
    port_->changed_.Set();
    return true;
  }

  bool SetupComm(std::uint32_t inSize, std::uint32_t outSize) override {
    std::lock_guard lock(port_->mutex_);
    if (port_->failing("SetupComm"))
      return false;
    port_->log("SetupComm " + std::to_string(inSize) + " " + std::to_string(outSize));
    port_->inSize_ = inSize;
    port_->outSize_ = outSize;
    return true;
  }

  bool SetCommState(const DCB& dcb) override {
    std::shared_ptr<SimPort> peer;
    bool dtr, rts;
    {
      std::lock_guard lock(port_->mutex_);
      if (port_->failing("SetCommState"))
        return false;
      port_->log("SetCommState");
      port_->dcb_ = dcb;
      peer = port_->peer_.lock();
      dtr = dcb.fDtrControl != DTR_CONTROL_DISABLE;
      rts = dcb.fRtsControl != RTS_CONTROL_DISABLE;
    }
    if (peer)
      setPeerLines(*peer, dtr, rts);
    return true;
  }

  CommWait WaitCommEvent(std::uint32_t& events, TEvent& stop) override {
    events = 0;
    std::unique_lock lock(port_->mutex_);
    ++port_->waits_;
    if (port_->failing("WaitCommEvent"))
      return CommWait::Failed;
    maskChanged_ = false;
    for (;;) {
      if (port_->unplugged_ && !port_->goneReported_) {
        lostError_ = EIO;
        port_->goneReported_ = true;
        events = EV_ERR;
        return CommWait::Event;
      }
      if (port_->pending_) {
        events = std::exchange(port_->pending_, 0);
        return CommWait::Event;
      }
      if (maskChanged_)
        return CommWait::Event;
      port_->changed_.Reset();
      lock.unlock();
      const int which = WaitForAny({&stop, &port_->changed_});
      lock.lock();
      if (which == WAIT_FAILED)
        return CommWait::Failed;
      if (which == 0)
        return CommWait::Stopped;
    }
  }

  bool ClearCommError(std::uint32_t* errors, std::uint32_t* inQueue) override {
    std::lock_guard lock(port_->mutex_);
    if (port_->failing("ClearCommError"))
      return false;
    if (errors)
      *errors = 0;
    if (inQueue)
      *inQueue = static_cast<std::uint32_t>(port_->rx_.size());
    return true;
  }

  int ReadFile(void* data, int len) override {
    std::lock_guard lock(port_->mutex_);
    port_->log("ReadFile " + std::to_string(len));
    if (port_->failing("ReadFile") || port_->unplugged_)
      return -1;
    const auto n =
        std::min<std::size_t>(static_cast<std::size_t>(std::max(len, 0)), port_->rx_.size());
    std::copy_n(port_->rx_.data(), n, static_cast<char*>(data));
    port_->rx_.erase(0, n);
    return static_cast<int>(n);
  }

  int LostError() const override { return lostError_; }

  ModemWatch ModemLines() const override {
    std::lock_guard lock(port_->mutex_);
    return port_->modemWatch_;
  }

  CommWait WaitModemChange(TEvent& stop, int timeoutMs) override {
    return WaitForStopOrChange(stop, port_->modemChanged_, timeoutMs);
  }

  int WriteFile(const void* data, int len, TEvent& stop) override {
    std::shared_ptr<SimPort> peer;
    std::string bytes(static_cast<const char*>(data), static_cast<std::size_t>(len));
    {
      std::unique_lock lock(port_->mutex_);
      port_->log("WriteFile " + std::to_string(len));
      for (;;) {
        if (port_->failing("WriteFile") || port_->unplugged_)
          return -1;
        if (!port_->holding())
          break;
        const std::uint32_t size = port_->outSize_ ? port_->outSize_ : 4096;
        if (port_->held_ < size) {
          bytes.resize(std::min<std::size_t>(bytes.size(), size - port_->held_));
          port_->held_ += static_cast<std::uint32_t>(bytes.size());
          break;
        }
        // Full: wait for room like a driver, or for the caller's stop.
        port_->room_.Reset();
        lock.unlock();
        const int which = WaitForAny({&stop, &port_->room_});
        lock.lock();
        if (which == 0)
          return 0;
      }
      port_->written_ += bytes;
      port_->writtenChanged_.notify_all();
      if (port_->holding())
        port_->txPending_ = true;
      else
        port_->raise(EV_TXEMPTY);
      peer = port_->peer_.lock();
    }
    if (peer)
      peer->Inject(bytes);
    return static_cast<int>(bytes.size());
  }

  bool GetCommModemStatus(std::uint32_t* status) override {
    std::lock_guard lock(port_->mutex_);
    if (port_->failing("GetCommModemStatus") || !status)
      return false;
    *status = port_->modem_;
    return true;
  }

  bool PurgeComm(std::uint32_t flags) override {
    std::lock_guard lock(port_->mutex_);
    if (port_->failing("PurgeComm"))
      return false;
    port_->log("PurgeComm " + std::to_string(flags));
    if (flags & PURGE_RXCLEAR)
      port_->rx_.clear();
    return true;
  }

  bool EscapeCommFunction(std::uint32_t function) override {
    std::shared_ptr<SimPort> peer;
    {
      std::lock_guard lock(port_->mutex_);
      if (port_->failing("EscapeCommFunction"))
        return false;
      port_->log("EscapeCommFunction " + std::to_string(function));
      if (function == SETDTR || function == CLRDTR)
        dtr_ = function == SETDTR;
      else if (function == SETRTS || function == CLRRTS)
        rts_ = function == SETRTS;
      else
        return true;
      peer = port_->peer_.lock();
    }
    if (peer)
      setPeerLines(*peer, dtr_, rts_);
    return true;
  }

private:
  void setPeerLines(SimPort& peer, bool dtr, bool rts) {
    dtr_ = dtr;
    rts_ = rts;
    std::uint32_t status;
    {
      std::lock_guard lock(peer.mutex_);
      status = peer.modem_ & ~(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    }
    if (rts)
      status |= MS_CTS_ON;
    if (dtr)
      status |= MS_DSR_ON | MS_RLSD_ON;
    peer.SetModemStatus(status);
  }

  std::shared_ptr<SimPort> port_;
  const int handle_;
  bool maskChanged_ = false; // guarded by the port's mutex
  bool dtr_ = false;
  bool rts_ = false;
  std::atomic<int> lostError_{0};
};

SimLine::SimLine() : previous_(SetSerialBackend(this)) {}

SimLine::~SimLine() {
  SetSerialBackend(previous_);
}

std::shared_ptr<SimPort> SimLine::Create(const std::string& name) {
  std::shared_ptr<SimPort> port(new SimPort);
  std::lock_guard lock(mutex_);
  ports_[name] = port;
  return port;
}

std::pair<std::shared_ptr<SimPort>, std::shared_ptr<SimPort>>
SimLine::CreatePair(const std::string& a, const std::string& b) {
  auto first = Create(a), second = Create(b);
  first->peer_ = second;
  second->peer_ = first;
  return {first, second};
}

std::unique_ptr<SerialDevice> SimLine::Open(const std::string& deviceName, int* error) {
  const int n = ComNumberOfDeviceName(deviceName);
  const std::string name = n > 0 ? "COM" + std::to_string(n) : deviceName;
  std::shared_ptr<SimPort> port;
  {
    std::lock_guard lock(mutex_);
    const auto it = ports_.find(name);
    if (it != ports_.end())
      port = it->second;
  }
  int err = 0;
  if (!port)
    err = ENOENT;
  else {
    std::lock_guard lock(port->mutex_);
    if (port->failing("Open"))
      err = EIO;
    else if (port->open_)
      err = EBUSY;
    else {
      port->open_ = true;
      port->goneReported_ = false;
      port->log("Open");
    }
  }
  if (err) {
    if (error)
      *error = err;
    return nullptr;
  }
  static std::atomic<int> handles{1000};
  return std::make_unique<SimDevice>(port, handles++);
}

} // namespace platform
