// The controller's one event loop: every line, timer and socket of a
// vexil-ctl process is served by one thread waiting in one poll (gensio's
// os handler), so an idle line costs a descriptor and no wake-ups.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct gensio_os_funcs;

namespace vexilctl {

class Resolver;

class Loop {
public:
  // Throws std::runtime_error when the os handler cannot be made.
  Loop();
  ~Loop();
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  gensio_os_funcs* Os() const { return os_; }
  // Serves events until Stop(); returns the status Stop was given.
  int Run();
  void Stop(int status = 0);
  bool Stopped() const { return stopped_; }
  // SIGTERM, SIGINT and SIGHUP stop the loop (status 0) instead of the
  // process; they are blocked in every thread made after this call. With
  // onHangUp, SIGHUP runs that instead (a reload).
  void StopOnSignals(std::function<void()> onHangUp = {});
  // The host name look-ups of this loop's lines (made when first asked).
  Resolver& Names();
  // Runs work and gives the sockets gensio made for it meanwhile.
  std::vector<int> SocketsMadeBy(const std::function<void()>& work);

  // Monotonic seconds.
  double Now() const;
  // Runs work on the loop's next turn, outside whatever callback is running
  // now: for destroying a watch or timer from its own callback.
  void Defer(std::function<void()> work);
  // Runs work on the loop's next turn, from any thread: the loop wakes for
  // it (Defer is for the loop's own thread).
  void Post(std::function<void()> work);
  // Something closes on the loop (a connection, a descriptor): the loop is
  // not freed before it is done, so nothing it holds is left behind.
  void CloseBegun() { ++closing_; }
  void CloseDone() { --closing_; }

  // A one-shot timer that can be started again; stopped when destroyed.
  class Timer {
  public:
    Timer(Loop& loop, std::function<void()> fire);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    // (Re)starts the count-down.
    void Start(double seconds);
    void Stop();
    bool Active() const;

  private:
    struct State;
    std::shared_ptr<State> s_;
  };

  // A descriptor watched for reading (and, when asked, writing). The
  // descriptor becomes the watch's: it is closed once the loop has let go
  // of it, which may be after the watch is destroyed.
  class Watch {
  public:
    Watch(Loop& loop, int fd, std::function<void()> readable, std::function<void()> writable = {});
    ~Watch();
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
    bool Ok() const;
    int Fd() const { return fd_; }
    void Read(bool on);
    void Write(bool on);
    // Never let go by the loop: the watch does nothing more, and once the
    // loop is freed its destruction only closes the descriptor (the loop's
    // own ceiling, at its end).
    void Abandon();

  private:
    struct State;
    State* s_ = nullptr; // deletes itself when the loop has cleared it
    int fd_;
    bool abandoned_ = false;
  };

private:
  void placeCeiling();

  gensio_os_funcs* os_ = nullptr;
  std::unique_ptr<Watch> ceiling_;
  int closing_ = 0;
  bool stopped_ = false;
  int status_ = 0;
  std::unique_ptr<Watch> signals_;
  std::function<void()> onHangUp_;
  std::unique_ptr<Resolver> names_;
  std::mutex postLock_;
  std::vector<std::function<void()>> posted_; // under postLock_
  std::unique_ptr<Watch> wake_;               // an eventfd Post writes
};

// gensio's error text for err, in lower case ("connection refused").
std::string GensioError(int err);

} // namespace vexilctl
