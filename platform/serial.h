// The serial line as the port sees it: open a device by name, apply a DCB,
// wait for comm events together with a stop event, read, write, modem lines,
// purge, escape functions. Two implementations: POSIX termios on real ttys
// and ptys (serial_linux.cpp), and an in-process null-modem line for tests
// (serial_sim.h). Numbers keep their Windows values.
#pragma once

#include <cstdint>
#include <memory>
#include <map>
#include <string>
#include <vector>

#include "platform/event.h"

namespace platform {

// Comm event bits.
constexpr std::uint32_t EV_RXCHAR = 0x0001;
constexpr std::uint32_t EV_RXFLAG = 0x0002;
constexpr std::uint32_t EV_TXEMPTY = 0x0004;
constexpr std::uint32_t EV_CTS = 0x0008;
constexpr std::uint32_t EV_DSR = 0x0010;
constexpr std::uint32_t EV_RLSD = 0x0020;
constexpr std::uint32_t EV_BREAK = 0x0040;
constexpr std::uint32_t EV_ERR = 0x0080;
constexpr std::uint32_t EV_RING = 0x0100;
constexpr std::uint32_t EV_RX80FULL = 0x0400;

// Modem status bits.
constexpr std::uint32_t MS_CTS_ON = 0x0010;
constexpr std::uint32_t MS_DSR_ON = 0x0020;
constexpr std::uint32_t MS_RING_ON = 0x0040;
constexpr std::uint32_t MS_RLSD_ON = 0x0080;

// Purge flags.
constexpr std::uint32_t PURGE_TXABORT = 0x0001;
constexpr std::uint32_t PURGE_RXABORT = 0x0002;
constexpr std::uint32_t PURGE_TXCLEAR = 0x0004;
constexpr std::uint32_t PURGE_RXCLEAR = 0x0008;

// Escape function codes.
constexpr std::uint32_t SETXOFF = 1;
constexpr std::uint32_t SETXON = 2;
constexpr std::uint32_t SETRTS = 3;
constexpr std::uint32_t CLRRTS = 4;
constexpr std::uint32_t SETDTR = 5;
constexpr std::uint32_t CLRDTR = 6;
constexpr std::uint32_t SETBREAK = 8;
constexpr std::uint32_t CLRBREAK = 9;

// DCB constants.
constexpr std::uint32_t DTR_CONTROL_DISABLE = 0;
constexpr std::uint32_t DTR_CONTROL_ENABLE = 1;
constexpr std::uint32_t DTR_CONTROL_HANDSHAKE = 2;
constexpr std::uint32_t RTS_CONTROL_DISABLE = 0;
constexpr std::uint32_t RTS_CONTROL_ENABLE = 1;
constexpr std::uint32_t RTS_CONTROL_HANDSHAKE = 2;
constexpr std::uint32_t RTS_CONTROL_TOGGLE = 3;
constexpr std::uint8_t NOPARITY = 0;
constexpr std::uint8_t ODDPARITY = 1;
constexpr std::uint8_t EVENPARITY = 2;
constexpr std::uint8_t MARKPARITY = 3;
constexpr std::uint8_t SPACEPARITY = 4;
constexpr std::uint8_t ONESTOPBIT = 0;
constexpr std::uint8_t ONE5STOPBITS = 1;
constexpr std::uint8_t TWOSTOPBITS = 2;

// The comm events that a change of modem status bits stands for.
constexpr std::uint32_t ModemChangeEvents(std::uint32_t changedStatus) {
  return ((changedStatus & MS_CTS_ON) ? EV_CTS : 0) | ((changedStatus & MS_DSR_ON) ? EV_DSR : 0) |
         ((changedStatus & MS_RLSD_ON) ? EV_RLSD : 0);
}

// The line settings record, field for field as Windows has it.
struct DCB {
  std::uint32_t DCBlength;
  std::uint32_t BaudRate;
  std::uint32_t fBinary : 1;
  std::uint32_t fParity : 1;
  std::uint32_t fOutxCtsFlow : 1;
  std::uint32_t fOutxDsrFlow : 1;
  std::uint32_t fDtrControl : 2;
  std::uint32_t fDsrSensitivity : 1;
  std::uint32_t fTXContinueOnXoff : 1;
  std::uint32_t fOutX : 1;
  std::uint32_t fInX : 1;
  std::uint32_t fErrorChar : 1;
  std::uint32_t fNull : 1;
  std::uint32_t fRtsControl : 2;
  std::uint32_t fAbortOnError : 1;
  std::uint32_t fDummy2 : 17;
  std::uint16_t wReserved;
  std::uint16_t XonLim;
  std::uint16_t XoffLim;
  std::uint8_t ByteSize;
  std::uint8_t Parity;
  std::uint8_t StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  std::uint16_t wReserved1;
};

enum class CommWait {
  Event,   // events holds what happened (0 when the mask was changed meanwhile)
  Stopped, // the stop event is set
  Failed,  // the wait itself failed; events is 0
};

// How a device learns that its modem lines changed.
enum class ModemWatch {
  None,    // the line has no modem lines (a pty): nothing ever changes
  Driver,  // the driver tells: WaitModemChange returns when a line changed
  Polling, // only by asking: the lines must be read at intervals
};

// One open serial line. Its calls may come from several threads at once in
// the pattern the port uses: one thread waits, reads and clears errors, one
// writes, and the owner's thread changes the mask, purges and escapes.
class SerialDevice {
public:
  virtual ~SerialDevice() = default;

  // A number that identifies the open line (the descriptor on POSIX).
  virtual int Handle() const = 0;
  // Sets the events the next waits report; ends a pending wait with no event.
  virtual bool SetCommMask(std::uint32_t mask) = 0;
  virtual bool SetupComm(std::uint32_t inSize, std::uint32_t outSize) = 0;
  virtual bool SetCommState(const DCB& dcb) = 0;
  // Blocks in the kernel until an event of the mask happens or stop is set.
  // Events that happened since the last wait are reported at once.
  virtual CommWait WaitCommEvent(std::uint32_t& events, TEvent& stop) = 0;
  // Clears the line's error state; inQueue = bytes waiting to be read.
  virtual bool ClearCommError(std::uint32_t* errors, std::uint32_t* inQueue) = 0;
  // Reads up to len bytes that are waiting; -1 on failure (the device is gone).
  virtual int ReadFile(void* data, int len) = 0;
  // Hands up to len bytes to the driver, waiting while the driver has no
  // room; the count taken, -1 on failure, or 0 when stop ended the wait.
  virtual int WriteFile(const void* data, int len, TEvent& stop) = 0;
  // The writer has handed over all it had: EV_TXEMPTY is due once the
  // driver has sent it. (Writes in between do not ask for it: while more
  // follows, the driver's queue is empty only for a moment.)
  virtual void WatchTransmit() {}
  virtual bool GetCommModemStatus(std::uint32_t* status) = 0;
  virtual ModemWatch ModemLines() const { return ModemWatch::Polling; }
  // Blocks until a modem line changed (where the driver tells), stop is set,
  // or timeoutMs passed: Stopped, or Event for a change or the time. Waits
  // from one thread at a time, beside WaitCommEvent's.
  virtual CommWait WaitModemChange(TEvent& stop, int timeoutMs) {
    return WaitForAny({&stop}, timeoutMs) == 0 ? CommWait::Stopped : CommWait::Event;
  }
  virtual bool PurgeComm(std::uint32_t flags) = 0;
  virtual bool EscapeCommFunction(std::uint32_t function) = 0;
  // Why the line stopped working for good (an errno value: EIO, ENXIO,
  // ENODEV, or EPIPE for a hang-up at end of file); 0 while it works. Set
  // before the EV_ERR that reports it.
  virtual int LostError() const { return 0; }
};

// A device's wait for stop or its own change event (manual reset, reset
// here when it ended the wait): Stopped, or Event for a change or the time.
CommWait WaitForStopOrChange(TEvent& stop, TEvent& changed, int timeoutMs);

// Where devices come from: the POSIX layer unless a test installs another.
class SerialBackend {
public:
  virtual ~SerialBackend() = default;
  // Opens a device; null with errno-style *error on failure.
  virtual std::unique_ptr<SerialDevice> Open(const std::string& deviceName, int* error) = 0;
};

// The system's own serial layer, whatever backend is installed: termios on
// POSIX, the Win32 comm API on Windows.
SerialBackend& NativeSerialBackend();
#ifndef _WIN32
// The termios layer (the same as NativeSerialBackend on POSIX).
SerialBackend& PosixSerialBackend();
#endif

// Installs a backend for the whole process (null: POSIX again); returns the
// one it replaces.
SerialBackend* SetSerialBackend(SerialBackend* backend);

// Opens a device name as the port holds it ("\\.\COM2", or a path).
std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& deviceName, int* error = nullptr);

// The port number in a device name of the form "\\.\COM<n>" or "COM<n>", 0
// when there is none.
int ComNumberOfDeviceName(const std::string& deviceName);

// A short name for a device name, for thread names and messages: "COM2"
// for a port name, the last part of a path otherwise.
std::string ShortDeviceName(const std::string& deviceName);

// The path that a device name opens: "\\.\COM<n>" is $VEXIL_PORT_DIR/COM<n>
// when that variable is set, else /dev/vexil/COM<n> when it exists, else
// /dev/ttyS<n-1>; a name that starts with "/" stands as it is.
std::string ResolveDeviceName(const std::string& deviceName);

// The serial ports the machine has, as "COM<n>" names, unsorted: the COM<n>
// entries of $VEXIL_PORT_DIR when it is set; otherwise those of /dev/vexil
// and every /dev/ttyS<k> backed by hardware, as COM<k+1>. sysRoot lets tests
// point the /dev and /sys look-ups at a fixture tree.
std::vector<std::string> ListSerialPortNames(const std::string& sysRoot = "");

#ifndef _WIN32
// Opens a tty for this program alone: non-blocking, no controlling tty,
// close-on-exec, locked (flock) and claimed (TIOCEXCL). A tty that another
// program holds, by lock or by claim, is refused with EBUSY even for root.
// The descriptor, or -1 with the errno value in *error.
int OpenExclusiveTty(const std::string& path, int* error);
// Gives up the claim (the descriptor stays open); CloseExclusiveTty closes
// it too.
void ReleaseTtyClaim(int fd);
void CloseExclusiveTty(int fd);

// Waits until the kernel has sent what a tty's output queue holds (the
// handle of an open POSIX device); false after timeoutMs.
bool WaitOutputDrained(int handle, int timeoutMs);

// The active kernel console that a device path is, after links are resolved
// ("ttyS0"), or "" when it is none. The consoles are those named in
// <root>/sys/class/tty/console/active, each as <root>/dev/<name>.
std::string KernelConsoleOf(const std::string& devicePath, const std::string& root = "");

// Whether a tty is a terminal in use: some process's controlling terminal, or
// its standard input, output or error (a getty waiting for a login, a login
// shell). "a login session (agetty, PID 812)", or "" when it is none. Only
// the processes this process may see in /proc count; it is not one of them.
std::string TtySessionOf(const std::string& devicePath);

// The same for many devices at once: one pass over /proc (and the login
// records) makes the snapshot, and each device is looked up in it. The
// controller opens its lines in batches with one snapshot each, rather than
// a pass for every line.
class TtySessions {
public:
  void Scan();
  // As TtySessionOf, from the snapshot.
  std::string Of(const std::string& devicePath) const;

private:
  struct Driver {
    unsigned major, first, last;
  };
  std::vector<Driver> drivers_;
  bool driversKnown_ = false;
  std::map<unsigned long long, std::string> held_, logins_;
};

// Tells when a process opens a device: an inotify watch for opens of its
// node, by any path or link that reaches it. Fd() turns readable then, and
// TakeOpens() says whether any came since the last call. Costs nothing while
// nobody opens the device. Fd() is -1 when no watch could be set.
class DeviceOpenWatch {
public:
  explicit DeviceOpenWatch(const std::string& devicePath);
  ~DeviceOpenWatch();
  DeviceOpenWatch(const DeviceOpenWatch&) = delete;
  DeviceOpenWatch& operator=(const DeviceOpenWatch&) = delete;
  int Fd() const { return fd_; }
  bool TakeOpens();

private:
  int fd_ = -1;
};

#endif

// What a lost line means for a person: "the device is gone or the other end
// hung up", "the line hung up", ...
std::string DescribeLineLoss(int error);

// What an open failure means for a person: "no such device", "in use by
// another program", "permission denied (is the user in the dialout group?)".
std::string DescribeOpenError(int error);

} // namespace platform
