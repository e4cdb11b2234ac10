// The serial line on POSIX ttys (real serial ports, USB adapters, ptys).
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utmpx.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/serial.h"
#include "platform/files.h"

// <asm/termbits.h> gives termios2 and BOTHER but clashes with <termios.h>,
// so the few termios calls needed go through ioctl().

namespace platform {

namespace {

// Without TIOCMIWAIT the modem lines are read at the port timer's pace, and
// quickly only while hardware flow control waits for CTS to send.
constexpr int MODEM_POLL_MS = 200;
constexpr int CTS_WAIT_POLL_MS = 10;
constexpr std::uint32_t MODEM_EVENTS = EV_CTS | EV_DSR | EV_RLSD;
// The least one batch takes from the kernel (a tty hands out up to 4 KiB per
// read(), so a batch is several reads at high rates).
constexpr std::size_t RX_BATCH = 64 * 1024;
// A batch goes on while the next bytes come within a character time of the
// last, for this long at most.
constexpr long RX_BATCH_NS = 2000000;
// Signal that ends a modem helper's TIOCMIWAIT; installed without SA_RESTART.
const int MODEM_STOP_SIGNAL = SIGRTMIN + 3;

void installModemStopSignal() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: the ioctl must return EINTR
    sigaction(MODEM_STOP_SIGNAL, &sa, nullptr);
  });
}

std::uint32_t modemStatusOf(int lines) {
  std::uint32_t s = 0;
  if (lines & TIOCM_CTS)
    s |= MS_CTS_ON;
  if (lines & TIOCM_DSR)
    s |= MS_DSR_ON;
  if (lines & TIOCM_RNG)
    s |= MS_RING_ON;
  if (lines & TIOCM_CD)
    s |= MS_RLSD_ON;
  return s;
}

bool isGone(int err) {
  return err == EIO || err == ENXIO || err == ENODEV || err == EBADF;
}

class PosixSerialDevice final : public SerialDevice {
public:
  explicit PosixSerialDevice(int fd) : fd_(fd) {
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) == 0) {
      modemMode_ = ModemMode::Wait;
      lastModem_ = modemStatusOf(lines);
      serial_icounter_struct ic{};
      hasIcount_ = ioctl(fd_, TIOCGICOUNT, &ic) == 0;
      if (hasIcount_)
        lastErrors_ = ic.frame + ic.overrun + ic.parity + ic.brk + ic.buf_overrun;
      startModemHelper();
    }
  }

  ~PosixSerialDevice() override {
    stopModemHelper();
    CloseExclusiveTty(fd_);
  }

  int Handle() const override { return fd_; }

  bool SetCommMask(std::uint32_t mask) override {
    mask_ = mask;
    maskSet_ = true;
    maskChanged_.Set();
    return true;
  }

  bool SetupComm(std::uint32_t inSize, std::uint32_t) override {
    std::lock_guard lock(rxLock_);
    rxSize_ = std::max<std::uint32_t>(inSize, 16);
    // The kernel's tty already buffers the line: the size asked for is
    // where EV_RX80FULL is measured, while what one batch takes from the
    // kernel is never less than RX_BATCH.
    rx_.assign(std::max<std::size_t>(rxSize_, RX_BATCH), 0);
    rxHead_ = rxTail_ = 0;
    return true;
  }

  bool SetCommState(const DCB& dcb) override {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS)
      return false;
    termios2 t{};
    if (ioctl(fd_, TCGETS2, &t) != 0)
      return false;
    // Raw: no line editing, no translation, no signals.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | INPCK | IGNPAR);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | (CBAUD << 16));
    t.c_cflag |= CREAD | CLOCAL | BOTHER | (BOTHER << 16);
    static constexpr tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= SIZES[dcb.ByteSize - 5];
    switch (dcb.Parity) {
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (dcb.Parity != NOPARITY && dcb.fParity)
      t.c_iflag |= INPCK;
    else
      t.c_iflag |= IGNPAR;
    // Linux has no 1.5 stop bits: two is the closest.
    if (dcb.StopBits != ONESTOPBIT)
      t.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
      t.c_cflag |= CRTSCTS;
    if (dcb.fOutX)
      t.c_iflag |= IXON;
    if (dcb.fInX)
      t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    t.c_ispeed = t.c_ospeed = dcb.BaudRate;
    if (ioctl(fd_, TCSETS2, &t) != 0)
      return false;
    baud_ = dcb.BaudRate;
    // Start bit, data bits, parity and stop bits.
    const long bits =
        1 + dcb.ByteSize + (dcb.Parity != NOPARITY) + (dcb.StopBits != ONESTOPBIT ? 2 : 1);
    charNs_ = std::max<long>(1, bits * 1000000000L / static_cast<long>(dcb.BaudRate));
    ctsFlow_ = dcb.fOutxCtsFlow;
    evtChar_ = static_cast<unsigned char>(dcb.EvtChar);
    // Line levels; a device without modem lines (a pty) has nothing to set.
    if (modemMode_ != ModemMode::None) {
      int dtr = TIOCM_DTR, rts = TIOCM_RTS;
      if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE)
        ioctl(fd_, dcb.fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &dtr);
      if (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE)
        ioctl(fd_, dcb.fRtsControl == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &rts);
    }
    return true;
  }

  CommWait WaitCommEvent(std::uint32_t& events, TEvent& stop) override {
    events = 0;
    // Only a mask change during this wait ends it.
    if (maskSet_.exchange(false))
      maskChanged_.Reset();
    for (;;) {
      const std::uint32_t mask = mask_;
      int timeout = -1;
      // Lowered before the driver is asked: a write after the question
      // raises it again, and the writer's WatchTransmit then signals
      // wrote_, so no write goes unwatched.
      if (txPending_.exchange(false)) {
        int queued = 0;
        if (gone_ || ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) {
          if (mask & EV_TXEMPTY)
            events |= EV_TXEMPTY;
        } else {
          txPending_ = true;
          // About the time the driver needs to send what it holds.
          const long ms = 1 + static_cast<long>(queued) * 10000L / std::max<long>(baud_, 50);
          timeout = static_cast<int>(std::min<long>(ms, 1000));
        }
      }
      if (events)
        return CommWait::Event;

      const bool watchModem = (mask & MODEM_EVENTS) && !gone_;
      if (watchModem && modemMode_ == ModemMode::Poll) {
        const int period =
            ctsFlow_ && txPending_ && !(lastModem_ & MS_CTS_ON) ? CTS_WAIT_POLL_MS : MODEM_POLL_MS;
        timeout = timeout < 0 ? period : std::min(timeout, period);
      }
      bool room;
      {
        std::lock_guard lock(rxLock_);
        room = rxTail_ - rxHead_ < rx_.size();
      }
      pollfd fds[5] = {{stop.fd(), POLLIN, 0},
                       {maskChanged_.fd(), POLLIN, 0},
                       {wrote_.fd(), POLLIN, 0},
                       {!gone_ && room ? fd_ : -1, POLLIN, 0},
                       {watchModem ? modemChanged_.fd() : -1, POLLIN, 0}};
      const int rc = poll(fds, 5, timeout);
      if (rc < 0) {
        if (errno == EINTR)
          continue;
        return CommWait::Failed;
      }
      if (fds[0].revents)
        return CommWait::Stopped;
      if (fds[1].revents) {
        maskSet_ = false;
        maskChanged_.Reset();
        return CommWait::Event;
      }
      if (fds[2].revents)
        wrote_.Reset();
      if (fds[3].revents)
        events |= receive(mask);
      if (fds[4].revents)
        modemChanged_.Reset();
      if (watchModem && (fds[4].revents || modemMode_ == ModemMode::Poll))
        events |= modemChanges(mask);
      if (events)
        return CommWait::Event;
    }
  }

  bool ClearCommError(std::uint32_t* errors, std::uint32_t* inQueue) override {
    if (errors)
      *errors = 0;
    std::lock_guard lock(rxLock_);
    if (inQueue)
      *inQueue = static_cast<std::uint32_t>(rxTail_ - rxHead_);
    return true;
  }

  int ReadFile(void* data, int len) override {
    std::lock_guard lock(rxLock_);
    if (rxTail_ == rxHead_)
      return gone_ ? -1 : 0;
    const auto n =
        std::min<std::size_t>(static_cast<std::size_t>(std::max(len, 0)), rxTail_ - rxHead_);
    std::memcpy(data, rx_.data() + rxHead_, n);
    rxHead_ += n;
    if (rxHead_ == rxTail_)
      rxHead_ = rxTail_ = 0;
    return static_cast<int>(n);
  }

  int WriteFile(const void* data, int len, TEvent& stop) override {
    if (len <= 0)
      return 0;
    for (;;) {
      const ssize_t n = write(fd_, data, static_cast<std::size_t>(len));
      if (n >= 0) {
        // The waiter looks at the driver's queue when the writer is done
        // (WatchTransmit), or sooner when it is watching it already.
        if (n > 0)
          txPending_ = true;
        return static_cast<int>(n);
      }
      if (errno == EINTR)
        continue;
      if (errno != EAGAIN)
        return -1;
      pollfd fds[2] = {{stop.fd(), POLLIN, 0}, {fd_, POLLOUT, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR)
        return -1;
      if (fds[0].revents)
        return 0;
      if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL))
        return -1;
    }
  }

  void WatchTransmit() override {
    if (txPending_)
      wrote_.Set();
  }

  ModemWatch ModemLines() const override {
    switch (modemMode_.load()) {
    case ModemMode::None: return ModemWatch::None;
    case ModemMode::Wait: return ModemWatch::Driver;
    default: return ModemWatch::Polling;
    }
  }

  CommWait WaitModemChange(TEvent& stop, int timeoutMs) override {
    return WaitForStopOrChange(stop, modemChangedForTimer_, timeoutMs);
  }

  bool GetCommModemStatus(std::uint32_t* status) override {
    int lines = 0;
    if (!status || ioctl(fd_, TIOCMGET, &lines) != 0)
      return false;
    *status = modemStatusOf(lines);
    return true;
  }

  bool PurgeComm(std::uint32_t flags) override {
    bool ok = true;
    if (flags & PURGE_RXCLEAR) {
      ok = ioctl(fd_, TCFLSH, TCIFLUSH) == 0 && ok;
      std::lock_guard lock(rxLock_);
      rxHead_ = rxTail_ = 0;
    }
    if (flags & PURGE_TXCLEAR)
      ok = ioctl(fd_, TCFLSH, TCOFLUSH) == 0 && ok;
    // Writes complete before WriteFile returns: there is nothing to abort.
    return ok;
  }

  bool EscapeCommFunction(std::uint32_t function) override {
    int bits;
    switch (function) {
    case SETXOFF: return ioctl(fd_, TCXONC, TCOOFF) == 0;
    case SETXON: return ioctl(fd_, TCXONC, TCOON) == 0;
    case SETRTS: bits = TIOCM_RTS; return ioctl(fd_, TIOCMBIS, &bits) == 0;
    case CLRRTS: bits = TIOCM_RTS; return ioctl(fd_, TIOCMBIC, &bits) == 0;
    case SETDTR: bits = TIOCM_DTR; return ioctl(fd_, TIOCMBIS, &bits) == 0;
    case CLRDTR: bits = TIOCM_DTR; return ioctl(fd_, TIOCMBIC, &bits) == 0;
    case SETBREAK: return ioctl(fd_, TIOCSBRK) == 0;
    case CLRBREAK: return ioctl(fd_, TIOCCBRK) == 0;
    default: return false;
    }
  }

  int LostError() const override { return lostError_; }

private:
  enum class ModemMode { None, Wait, Poll };

  void lost(int error) {
    lostError_ = error;
    gone_ = true;
  }

  // Moves what the kernel holds into the driver buffer in one batch: read
  // after read until the kernel has no more or the buffer is full, so that
  // one wait, one notification and one wake-up of the port's user serve it
  // all.
  std::uint32_t receive(std::uint32_t mask) {
    std::uint32_t events = 0;
    std::size_t got = 0, held = 0;
    bool flag = false, waited = false;
    timespec batchStart{};
    clock_gettime(CLOCK_MONOTONIC, &batchStart);
    for (;;) {
      unsigned char* at;
      std::size_t room;
      {
        std::lock_guard lock(rxLock_);
        if (rxHead_ > 0 && rxTail_ == rx_.size()) {
          std::memmove(rx_.data(), rx_.data() + rxHead_, rxTail_ - rxHead_);
          rxTail_ -= rxHead_;
          rxHead_ = 0;
        }
        at = rx_.data() + rxTail_;
        room = rx_.size() - rxTail_;
      }
      if (room == 0)
        break;
      // Only this thread adds bytes, after the tail: the lock is needed
      // for the indices, not for the read itself.
      const ssize_t n = read(fd_, at, room);
      if (n < 0 && errno == EINTR)
        continue;
      if (n < 0 && errno == EAGAIN) {
        // Drained: wait a character time for more, unless that wait just
        // brought nothing.
        if (got > 0 && !waited && waitCharTime(batchStart)) {
          waited = true;
          continue;
        }
        break;
      }
      waited = false;
      if (n <= 0) {
        // End of file or EIO: the other side hung up or the device is gone.
        // Reported once; the line is not read or polled again.
        if (n == 0 || isGone(errno)) {
          lost(n == 0 ? EPIPE : errno);
          events |= EV_ERR;
        }
        break;
      }
      flag = flag || std::memchr(at, evtChar_, static_cast<std::size_t>(n)) != nullptr;
      std::lock_guard lock(rxLock_);
      // A purge in between emptied the buffer: its bytes go with it.
      if (at == rx_.data() + rxTail_)
        rxTail_ += static_cast<std::size_t>(n);
      held = rxTail_ - rxHead_;
      got += static_cast<std::size_t>(n);
    }
    if (got == 0)
      return events;
    if (mask & EV_RXCHAR)
      events |= EV_RXCHAR;
    if ((mask & EV_RXFLAG) && flag)
      events |= EV_RXFLAG;
    if ((mask & EV_RX80FULL) && held * 5 >= static_cast<std::size_t>(rxSize_) * 4)
      events |= EV_RX80FULL;
    if (hasIcount_) {
      serial_icounter_struct ic{};
      if (ioctl(fd_, TIOCGICOUNT, &ic) == 0) {
        const long errors = ic.frame + ic.overrun + ic.parity + ic.brk + ic.buf_overrun;
        if (errors != lastErrors_ && (mask & EV_ERR))
          events |= EV_ERR;
        lastErrors_ = errors;
      }
    }
    return events;
  }

  // Sleeps a character time, so that bytes still coming join the batch that
  // began at start; false, without sleeping, when that batch is old enough.
  bool waitCharTime(const timespec& start) const {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long age =
        (now.tv_sec - start.tv_sec) * 1000000000LL + (now.tv_nsec - start.tv_nsec);
    if (age >= RX_BATCH_NS)
      return false;
    const long long wait = std::min<long long>(charNs_, RX_BATCH_NS - age);
    const timespec limit{0, static_cast<long>(wait)};
    nanosleep(&limit, nullptr);
    return true;
  }

  std::uint32_t modemChanges(std::uint32_t mask) {
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) != 0) {
      if (isGone(errno) && !gone_) {
        lost(errno);
        return EV_ERR;
      }
      return 0;
    }
    const std::uint32_t now = modemStatusOf(lines), changed = now ^ lastModem_;
    lastModem_ = now;
    return ModemChangeEvents(changed) & mask;
  }

  // TIOCMIWAIT blocks until a modem line changes, so it runs on a helper
  // thread that signals modemChanged_. A driver without it falls back to
  // polling TIOCMGET every 10 ms inside the wait.
  void startModemHelper() {
    installModemStopSignal();
    if (!modemHelper_.Start([this] { modemHelperBody(); }, 64 * 1024))
      modemMode_ = ModemMode::Poll;
  }

  void modemHelperBody() {
    while (!helperStop_) {
      if (ioctl(fd_, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG) == 0) {
        modemChanged_.Set();
        modemChangedForTimer_.Set();
        continue;
      }
      if (errno == EINTR)
        continue;
      if (errno == EINVAL || errno == ENOTTY || errno == ENOIOCTLCMD)
        modemMode_ = ModemMode::Poll;
      else if (isGone(errno))
        modemChanged_.Set(); // let the waiter find out
      break;
    }
    // Whatever ended the watch, the timer must look again: it may have to
    // poll from now on.
    modemChangedForTimer_.Set();
    helperDone_ = true;
  }

  void stopModemHelper() {
    if (!modemHelper_.Running())
      return;
    helperStop_ = true;
    // The signal may arrive before the helper enters the ioctl: repeat it
    // until the helper has left.
    while (!helperDone_) {
      pthread_kill(modemHelper_.Native(), MODEM_STOP_SIGNAL);
      for (int i = 0; i < 10 && !helperDone_; ++i)
        Sleep(1);
    }
    modemHelper_.Join();
  }

  static constexpr int ENOIOCTLCMD = 515; // what some drivers leak for "no such ioctl"

  const int fd_;
  std::atomic<std::uint32_t> mask_{0};
  TEvent maskChanged_{true};
  std::atomic<bool> maskSet_{false};
  TEvent wrote_{true};
  TEvent modemChanged_{true};
  TEvent modemChangedForTimer_{true};
  // The driver buffer: bytes rx_[rxHead_, rxTail_) wait for ReadFile.
  std::mutex rxLock_;
  std::vector<unsigned char> rx_ = std::vector<unsigned char>(RX_BATCH);
  std::size_t rxHead_ = 0, rxTail_ = 0;
  std::uint32_t rxSize_ = 4096;
  std::atomic<bool> txPending_{false};
  std::atomic<bool> gone_{false};
  std::atomic<int> lostError_{0};
  std::uint32_t baud_ = 9600;
  long charNs_ = 1041667; // a character at 9600 baud
  std::atomic<bool> ctsFlow_{false};
  unsigned char evtChar_ = 0;
  std::atomic<ModemMode> modemMode_{ModemMode::None};
  std::uint32_t lastModem_ = 0;
  bool hasIcount_ = false;
  long lastErrors_ = 0;
  TThread modemHelper_;
  std::atomic<bool> helperStop_{false};
  std::atomic<bool> helperDone_{false};
};

class PosixBackend final : public SerialBackend {
public:
  std::unique_ptr<SerialDevice> Open(const std::string& deviceName, int* error) override {
    const int fd = OpenExclusiveTty(ResolveDeviceName(deviceName), error);
    return fd < 0 ? nullptr : std::make_unique<PosixSerialDevice>(fd);
  }
};

PosixBackend posixBackend;

bool isDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void addComEntries(const std::string& dir, std::vector<std::string>& names) {
  DIR* d = opendir(dir.c_str());
  if (!d)
    return;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() > 3 && name.compare(0, 3, "COM") == 0 && isDigits(name.substr(3)) &&
        std::atoi(name.c_str() + 3) > 0)
      names.push_back("COM" + std::to_string(std::atoi(name.c_str() + 3)));
  }
  closedir(d);
}

} // namespace

SerialBackend& PosixSerialBackend() {
  return posixBackend;
}

SerialBackend& NativeSerialBackend() {
  return posixBackend;
}

std::string ResolveDeviceName(const std::string& deviceName) {
  if (!deviceName.empty() && deviceName[0] == '/')
    return deviceName;
  const int n = ComNumberOfDeviceName(deviceName);
  if (n <= 0)
    return deviceName; // not a port name: opened as given, and fails there
  const std::string com = "COM" + std::to_string(n);
  if (const char* dir = std::getenv("VEXIL_PORT_DIR"); dir && *dir)
    return std::string(dir) + "/" + com;
  struct stat st {};
  if (stat(("/dev/vexil/" + com).c_str(), &st) == 0)
    return "/dev/vexil/" + com;
  return "/dev/ttyS" + std::to_string(n - 1);
}

std::vector<std::string> ListSerialPortNames(const std::string& sysRoot) {
  std::vector<std::string> names;
  if (const char* dir = std::getenv("VEXIL_PORT_DIR"); dir && *dir) {
    addComEntries(dir, names);
    return names;
  }
  addComEntries(sysRoot + "/dev/vexil", names);
  // Every ttyS<k> node exists whether or not there is a UART behind it;
  // sysfs "type" 0 means there is none.
  DIR* d = opendir((sysRoot + "/sys/class/tty").c_str());
  if (!d)
    return names;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() < 5 || name.compare(0, 4, "ttyS") != 0 || !isDigits(name.substr(4)))
      continue;
    std::string type;
    if (ReadTextFile(sysRoot + "/sys/class/tty/" + name + "/type", type) &&
        std::atoi(type.c_str()) != 0)
      names.push_back("COM" + std::to_string(std::atoi(name.c_str() + 4) + 1));
  }
  closedir(d);
  return names;
}

int OpenExclusiveTty(const std::string& path, int* error) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (error)
      *error = errno;
    return -1;
  }
  int err = 0;
  if (!isatty(fd))
    err = ENOTTY;
  // Exclusive: TIOCEXCL keeps other openers out, the lock tells another
  // Vexil process, root or not, that the line is taken. Root passes
  // another program's TIOCEXCL, so a claim already on the tty counts as
  // taken too: root must not write into a line someone else holds.
  else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    err = errno == EWOULDBLOCK ? EBUSY : errno;
  else if (int held = 0; ioctl(fd, TIOCGEXCL, &held) == 0 && held)
    err = EBUSY;
  else if (ioctl(fd, TIOCEXCL) != 0)
    err = errno;
  if (err) {
    close(fd);
    if (error)
      *error = err;
    return -1;
  }
  return fd;
}

void ReleaseTtyClaim(int fd) {
  // The tty outlives this descriptor where something else holds it (a
  // pty's master): leave it open to the next user, who may lack the
  // privilege that passes TIOCEXCL. The claim is ours: OpenExclusiveTty
  // refuses a tty that was claimed before it set its own.
  ioctl(fd, TIOCNXCL);
}

void CloseExclusiveTty(int fd) {
  ReleaseTtyClaim(fd);
  close(fd);
}

bool WaitOutputDrained(int handle, int timeoutMs) {
  for (int waited = 0;; waited += 5) {
    int queued = 0;
    if (ioctl(handle, TIOCOUTQ, &queued) != 0 || queued <= 0)
      return true;
    if (waited >= timeoutMs)
      return false;
    Sleep(5);
  }
}

std::string KernelConsoleOf(const std::string& devicePath, const std::string& root) {
  std::string consoles;
  std::error_code ec;
  const auto device = std::filesystem::canonical(devicePath, ec);
  if (!ReadTextFile(root + "/sys/class/tty/console/active", consoles) || ec)
    return "";
  std::istringstream active(consoles);
  for (std::string name; active >> name;) {
    const auto console = std::filesystem::canonical(root + "/dev/" + name, ec);
    if (!ec && console == device)
      return name;
  }
  return "";
}

namespace {

// A process's or user's name as its bytes where they are no plain text: it
// goes into messages, and must not steer the terminal that shows them.
std::string shownName(const std::string& name) {
  std::string out;
  for (const unsigned char c : name) {
    if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

} // namespace

void TtySessions::Scan() {
  drivers_.clear();
  held_.clear();
  logins_.clear();
  // The terminal drivers the kernel lists (/proc/tty/drivers: name, node,
  // major, minor range, type).
  std::string list;
  driversKnown_ = ReadTextFile("/proc/tty/drivers", list);
  std::istringstream lines(list);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string name, node, minors;
    unsigned major = 0;
    if (!(fields >> name >> node >> major >> minors))
      continue;
    const auto dash = minors.find('-');
    const unsigned first = static_cast<unsigned>(std::strtoul(minors.c_str(), nullptr, 10));
    const unsigned last =
        dash == std::string::npos
            ? first
            : static_cast<unsigned>(std::strtoul(minors.c_str() + dash + 1, nullptr, 10));
    drivers_.push_back({major, first, last});
  }
  // Each process's controlling terminal, and a getty that is not (yet) a
  // session leader holds the tty on its standard descriptors only.
  // (Descriptors of processes with more privileges than this one stay
  // unreadable.) The first process found for a tty is the one named.
  if (DIR* proc = opendir("/proc")) {
    const std::string self = std::to_string(getpid());
    while (const dirent* e = readdir(proc)) {
      const std::string pid = e->d_name;
      if (!isDigits(pid) || pid == self)
        continue;
      const std::string dir = "/proc/" + pid;
      std::string text;
      if (!ReadTextFile(dir + "/stat", text))
        continue; // ended meanwhile
      const auto open = text.find('('), close = text.rfind(')');
      if (open == std::string::npos || close == std::string::npos || close < open)
        continue;
      const std::string who = "a login session (" +
                              shownName(text.substr(open + 1, close - open - 1)) + ", PID " + pid +
                              ")";
      // After the name: state, parent, group, session, controlling terminal.
      std::istringstream rest(text.substr(close + 1));
      std::string field;
      unsigned long long terminal = 0;
      for (int i = 0; i < 5 && rest >> field; ++i)
        if (i == 4)
          terminal = std::strtoull(field.c_str(), nullptr, 10);
      if (terminal != 0)
        held_.emplace(terminal, who);
      for (int fd = 0; fd <= 2; ++fd) {
        struct stat held {};
        if (stat((dir + "/fd/" + std::to_string(fd)).c_str(), &held) == 0 && S_ISCHR(held.st_mode))
          held_.emplace(static_cast<unsigned long long>(held.st_rdev), who);
      }
    }
    closedir(proc);
  }
  // Where other processes are hidden (a service confined to its own view of
  // /proc), the login records still tell: a getty waiting for a login, or a
  // user logged in, on a tty, whose process still runs.
  setutxent();
  while (const utmpx* u = getutxent()) {
    if (u->ut_type != LOGIN_PROCESS && u->ut_type != USER_PROCESS)
      continue;
    const std::string line(u->ut_line, strnlen(u->ut_line, sizeof u->ut_line));
    struct stat held {};
    if (line.empty() || stat(("/dev/" + line).c_str(), &held) != 0 ||
        (kill(u->ut_pid, 0) != 0 && errno == ESRCH))
      continue;
    const std::string user(u->ut_user, strnlen(u->ut_user, sizeof u->ut_user));
    logins_.emplace(
        static_cast<unsigned long long>(held.st_rdev),
        "a login session (" +
            (u->ut_type == LOGIN_PROCESS ? std::string("getty") : "user " + shownName(user)) +
            ", PID " + std::to_string(u->ut_pid) + ")");
  }
  endutxent();
}

std::string TtySessions::Of(const std::string& devicePath) const {
  struct stat tty {};
  if (stat(devicePath.c_str(), &tty) != 0 || !S_ISCHR(tty.st_mode))
    return "";
  // Only terminals: a device that no tty driver serves is no session's.
  bool terminal = !driversKnown_;
  for (const auto& d : drivers_)
    terminal = terminal || (d.major == ::major(tty.st_rdev) && ::minor(tty.st_rdev) >= d.first &&
                            ::minor(tty.st_rdev) <= d.last);
  if (!terminal)
    return "";
  const auto device = static_cast<unsigned long long>(tty.st_rdev);
  if (const auto it = held_.find(device); it != held_.end())
    return it->second;
  if (const auto it = logins_.find(device); it != logins_.end())
    return it->second;
  return "";
}

DeviceOpenWatch::DeviceOpenWatch(const std::string& devicePath) {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ >= 0 && inotify_add_watch(fd_, devicePath.c_str(), IN_OPEN) < 0) {
    close(fd_);
    fd_ = -1;
  }
}

DeviceOpenWatch::~DeviceOpenWatch() {
  if (fd_ >= 0)
    close(fd_);
}

bool DeviceOpenWatch::TakeOpens() {
  bool opened = false;
  alignas(inotify_event) char buf[4096];
  for (ssize_t n; fd_ >= 0 && (n = read(fd_, buf, sizeof buf)) > 0;)
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      opened = opened || (e->mask & IN_OPEN) != 0;
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  return opened;
}

std::string TtySessionOf(const std::string& devicePath) {
  struct stat tty {};
  if (stat(devicePath.c_str(), &tty) != 0 || !S_ISCHR(tty.st_mode))
    return "";
  TtySessions sessions;
  sessions.Scan();
  return sessions.Of(devicePath);
}

} // namespace platform
