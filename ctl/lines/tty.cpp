// A local serial device: opened for this program alone, raw at 19200 baud
// 8N1 as the agent's line is, watched on the loop.
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ctl/lines/line.h"
#include "platform/serial.h"

namespace vexilctl {

namespace {

std::string advice(int error) {
  switch (error) {
  case ENOENT: return "check the line's name and that the cable or adapter is plugged in";
  case EBUSY: return "another program (vexil-agent, another vexil-ctl) has it open: stop it first";
  case EACCES:
  case EPERM:
    return "add your user to the dialout group (sudo usermod -aG dialout $USER) and log in "
           "again";
  case ENOTTY: return "name a serial device";
  default: return "check the device";
  }
}

bool setRaw19200(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0)
    return false;
  cfmakeraw(&t);
  t.c_cflag &= ~(CSTOPB | CRTSCTS | PARENB);
  t.c_cflag |= CLOCAL | CREAD | CS8;
  t.c_iflag &= ~(IXON | IXOFF | IXANY);
  cfsetispeed(&t, B19200);
  cfsetospeed(&t, B19200);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

// Who holds which terminal, from one pass over /proc for the lines that open
// together (a batch at the start, retries that fall due at once) rather than
// a pass for every line: with a thousand processes a pass takes tens of ms.
const platform::TtySessions& sessionsNow(Loop& loop) {
  thread_local platform::TtySessions snapshot;
  thread_local double at = -1;
  if (at < 0 || loop.Now() - at > 0.5) {
    snapshot.Scan();
    at = loop.Now();
  }
  return snapshot;
}

class TtyLine final : public Line {
public:
  TtyLine(Loop& loop, const Address& address, std::string label, Events events)
      : Line(loop, address, std::move(label), std::move(events)) {}
  ~TtyLine() override { CloseLine(); }

protected:
  void OpenLine() override {
    // A terminal that a login session uses is no line to report on or to
    // send commands into, whoever holds it.
    if (const std::string session = sessionsNow(loop_).Of(Addr().Path); !session.empty()) {
      Failed("cannot open " + Addr().Describe() + ": in use by " + session +
             "; end that session (for a getty: systemctl stop serial-getty@TTY.service) or "
             "name another line");
      return;
    }
    int error = 0;
    const int fd = platform::OpenExclusiveTty(Addr().Path, &error);
    if (fd < 0) {
      Failed("cannot open " + Addr().Describe() + ": " + platform::DescribeOpenError(error) + "; " +
             advice(error));
      return;
    }
    if (!setRaw19200(fd)) {
      const int e = errno;
      platform::CloseExclusiveTty(fd);
      Failed("cannot open " + Addr().Describe() + ": line settings refused (" + std::strerror(e) +
             ")");
      return;
    }
    fd_ = fd;
    watch_ = std::make_unique<Loop::Watch>(loop_, fd, [this] { readable(); });
    watch_->Read(true);
    Opened();
  }

  void CloseLine() override {
    if (!watch_)
      return;
    platform::ReleaseTtyClaim(fd_);
    watch_.reset(); // the loop closes the descriptor once it has let go
    fd_ = -1;
  }

  long WriteLine(const char* bytes, std::size_t n, std::string& why) override {
    const ssize_t k = write(fd_, bytes, n);
    if (k >= 0)
      return k;
    if (errno == EAGAIN || errno == EINTR)
      return 0;
    why = "line lost (" + platform::DescribeLineLoss(errno) + ")";
    return -1;
  }

  bool Drained() override {
    int queued = 0;
    return ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0;
  }

  // A tty whose output is held may still poll writable: the send's own
  // short timer tries again instead.
  void WantWrite(bool) override {}

  void DiscardUnsent() override { tcflush(fd_, TCOFLUSH); }

private:
  void readable() {
    char buf[4096];
    for (;;) {
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n > 0) {
        Received(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
      // End of file or an error: the device is gone or the other end hung up.
      Lost(platform::DescribeLineLoss(n == 0 ? EPIPE : errno));
      return;
    }
  }

  int fd_ = -1;
  std::unique_ptr<Loop::Watch> watch_;
};

} // namespace

std::unique_ptr<Line> MakeTtyLine(Loop& loop, const Address& address, std::string label,
                                  Line::Events events) {
  return std::make_unique<TtyLine>(loop, address, std::move(label), std::move(events));
}

} // namespace vexilctl
