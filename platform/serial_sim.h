// A simulated serial line for tests: ports that live in the process, joined
// in pairs like a null-modem cable or driven by the test itself. Each port has
// settable modem lines, injectable line errors, a failure switch for every
// operation, a transmit-empty hold, and a log of what was written and which
// line functions ran.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/serial.h"

namespace platform {

class SimPort : public std::enable_shared_from_this<SimPort> {
public:
  // Operation names for Fail(): "Open", "SetCommMask", "SetupComm",
  // "SetCommState", "WaitCommEvent", "ClearCommError", "ReadFile",
  // "WriteFile", "GetCommModemStatus", "PurgeComm", "EscapeCommFunction".
  void Fail(const std::string& operation, bool on = true);

  // The far end sends bytes.
  void Inject(const std::string& bytes);
  // The far end sets the modem lines (MS_* bits); changes are reported as
  // EV_CTS, EV_DSR and EV_RLSD.
  void SetModemStatus(std::uint32_t status);
  // How the port's device tells of modem-line changes: at once (Driver, the
  // default), only when asked (Polling), or never (None, like a pty).
  void SetModemWatch(ModemWatch watch);
  // A frame, parity or overrun error on the line (EV_ERR).
  void InjectLineError();
  // The device disappears: reads fail, one EV_ERR is reported.
  void Unplug();
  // While held, written bytes stay "in the driver": no EV_TXEMPTY, and the
  // driver takes no more than its output size (SetupComm's) before writes
  // wait for room. CTS off with CTS flow control holds it the same way.
  void HoldTransmit(bool hold);

  bool IsOpen() const;
  std::uint32_t Mask() const;
  DCB LastDcb() const;
  std::uint32_t InSize() const;
  // Everything written to the line since creation (or the last Take).
  std::string Written() const;
  std::string TakeWritten();
  // Waits until at least n bytes were written; false after timeoutMs.
  bool WaitWritten(std::size_t n, int timeoutMs) const;
  // Line functions in the order they ran: "SetCommState", "PurgeComm 12",
  // "EscapeCommFunction 5", "ReadFile 2048" ...
  std::vector<std::string> Calls() const;
  void ClearCalls();
  int WaitCount() const;

private:
  friend class SimDevice;
  friend class SimLine;
  SimPort() = default;

  bool failing(const std::string& op) const { return failures_.count(op) != 0; }
  void raise(std::uint32_t events); // caller holds mutex_
  bool holding() const;             // caller holds mutex_
  void releaseHeld();               // caller holds mutex_
  void log(std::string call);       // caller holds mutex_

  mutable std::mutex mutex_;
  mutable std::condition_variable writtenChanged_;
  std::set<std::string> failures_;
  bool open_ = false;
  bool unplugged_ = false;
  bool goneReported_ = false;
  bool holdTx_ = false;
  bool txPending_ = false;
  bool txEmptyMissed_ = false;
  std::uint32_t mask_ = 0;
  std::uint32_t pending_ = 0;
  std::uint32_t modem_ = 0;
  std::uint32_t inSize_ = 0;
  std::uint32_t outSize_ = 0;
  std::uint32_t held_ = 0; // bytes the driver holds back
  TEvent room_{true};
  DCB dcb_{};
  std::string rx_;
  std::string written_;
  std::vector<std::string> calls_;
  int waits_ = 0;
  TEvent changed_{true};
  ModemWatch modemWatch_ = ModemWatch::Driver;
  TEvent modemChanged_{true};
  std::weak_ptr<SimPort> peer_;
};

// Installs the simulated line as the process's serial backend for its
// lifetime; ports are found by their COM name ("COM2") or any other name.
class SimLine : public SerialBackend {
public:
  SimLine();
  ~SimLine() override;

  std::shared_ptr<SimPort> Create(const std::string& name);
  // Two ports joined like a null-modem cable: one's data reaches the other,
  // one's RTS and DTR show as the other's CTS and DSR/RLSD.
  std::pair<std::shared_ptr<SimPort>, std::shared_ptr<SimPort>> CreatePair(const std::string& a,
                                                                           const std::string& b);

  std::unique_ptr<SerialDevice> Open(const std::string& deviceName, int* error) override;

private:
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<SimPort>> ports_;
  SerialBackend* previous_;
};

} // namespace platform
