// One line of the controller: opened, read and written on the one loop,
// its bytes cut into packages by silence as the agent's packager does, and
// taken up again with a backoff when it drops.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ctl/lines/address.h"
#include "ctl/lines/loop.h"
#include "ctl/reports.h"

namespace vexilctl {

class Line {
public:
  // The silence that ends a package, as the agent's packager cuts them.
  static constexpr double PACKAGE_GAP_S = 0.05;
  // Bytes of one package at most; a longer burst is cut there.
  static constexpr std::size_t PACKAGE_MAX = 4096;
  // Retries start after 1 s and double up to 30 s, each up to a fifth
  // shorter at random, so that lines lost together do not return in step,
  // not even once they all wait the longest pause.
  static constexpr double RETRY_FIRST_S = 1.0;
  static constexpr double RETRY_MAX_S = 30.0;
  // The pause before retry number attempt (0 for the first).
  static double RetryPause(int attempt);
  // How long a connection attempt may take.
  static constexpr double CONNECT_TIMEOUT_S = 10.0;
  // A line is said to be open once it has stayed so this long; one that a
  // server closes sooner failed to open (a console server whose device is
  // missing accepts and closes at once), and is retried with the backoff.
  static constexpr double SETTLE_S = 1.0;
  // The quiet before a command, after the last byte of the one before left:
  // the node's package silence (50 ms) with room to spare.
  static constexpr double COMMAND_GAP_S = 0.1;
  // What is held before the settle at most.
  static constexpr std::size_t EARLY_MAX = 64 * 1024;

  struct Events {
    // Each report (or piece that is none) of each package, as it arrives.
    std::function<void(const VexilCtl::Piece&)> Piece;
    // "usable" (connected: commands can go, the settle has begun), "open"
    // (settled, the first time), "lost" (with the reason), "back" (settled
    // after a loss), "failed" (an attempt to open failed, with the reason).
    // Only settled lines are open: what arrives before the settle is held
    // and handed on once it is over, or is the server's words when the
    // connection closes first.
    std::function<void(const std::string& event, const std::string& reason)> State;
  };

  // Makes the line for an address; Label names it in messages.
  static std::unique_ptr<Line> Make(Loop& loop, const Address& address, std::string label,
                                    Events events);
  virtual ~Line();

  // Opens the line; with keep, a failure or a loss is retried with backoff
  // until the line is destroyed; without fromStart only once the line was
  // open (a first open that fails is said, and that is all).
  void Start(bool keep, bool fromStart = true);
  // Open and settled.
  bool IsOpen() const { return open_ && settled_; }
  // Why the last attempt to open failed, or the line was lost; "" when
  // none did.
  const std::string& LastFailure() const { return lastFailure_; }
  const Address& Addr() const { return address_; }
  const std::string& Label() const { return label_; }

  // Puts bytes on the line; done(true, "") once they are out (a tty's output
  // queue drained; a network line's connection took them), done(false,
  // why) when the line is not open, is lost, or timeoutS passes first.
  // budgetS, when given, is the sender's whole time limit, of which timeoutS
  // is what is left: the one a failure names. Commands wait their turn in
  // order, and each leaves only once the line has been quiet from this side
  // for COMMAND_GAP_S: the node cuts packages on 50 ms of silence, so two
  // commands closer than that would be one package, of which it acts on the
  // first. One whose time runs out while it waits fails without a byte sent.
  // Returns the command's ticket.
  std::uint64_t Send(const std::string& bytes, double timeoutS,
                     std::function<void(bool ok, const std::string& why)> done, double budgetS = 0);
  // Gives up one command, going out or waiting its turn, if it is still
  // there (its done(false, why) runs): what has not left yet never will.
  // The others keep their places.
  void CancelSend(std::uint64_t ticket, const std::string& why);

protected:
  Line(Loop& loop, Address address, std::string label, Events events);

  // The kind's own work. Open ends in Opened() or Failed(), at once or
  // later; Close drops the connection or descriptor without a word.
  virtual void OpenLine() = 0;
  virtual void CloseLine() = 0;
  // Writes what it can of bytes; the number taken, or -1 with why when the
  // line cannot take any more.
  virtual long WriteLine(const char* bytes, std::size_t n, std::string& why) = 0;
  // Whether what was written has left (a tty's output queue is empty).
  virtual bool Drained() { return true; }
  // Asks to be told (WriteReady) when more can be written.
  virtual void WantWrite(bool on) = 0;
  // Makes sure that what was written and has not left yet never leaves (a
  // command given up): a tty's output queue is flushed, a connection with
  // unsent bytes is reset (the line is then lost).
  virtual void DiscardUnsent() {}

  // Commands can go (connected), though the line is not open before the
  // settle.
  bool Usable() const { return open_; }

  void Opened();
  void Failed(const std::string& why);
  // An attempt whose connection closed before the settle, why, with the
  // words the server wrote first, if any.
  void ClosedAtOnce(const std::string& why, const std::string& words = "");
  void Received(const char* bytes, std::size_t n);
  void Lost(const std::string& why);
  void WriteReady();

  Loop& loop_;

private:
  void retryLater();
  void settled();
  void cut();
  void deliver(const std::string& package);
  std::string serverWords() const;
  void pump();
  void finishSend(bool ok, const std::string& why);
  void expireWaiting();
  void failAll(const std::string& why);

  Address address_;
  std::string label_;
  Events events_;
  bool keep_ = false;
  bool keepFromStart_ = true;
  bool open_ = false;
  bool everOpen_ = false;
  bool lostSaid_ = false;
  bool settled_ = false;
  std::string lastFailure_;
  int attempts_ = 0;
  double openedAt_ = 0;
  std::string package_;
  // Packages that arrived before the settle, and how many bytes they hold.
  std::vector<std::string> early_;
  std::size_t earlyBytes_ = 0;
  std::string closedWords_; // a server's words when it closed at once
  Loop::Timer gap_, retry_, sendTimer_, settle_, waitTimer_;
  struct PendingSend;
  std::unique_ptr<PendingSend> send_;                // the command going out
  std::deque<std::unique_ptr<PendingSend>> waiting_; // the ones after it, in order
  double quietUntil_ = 0;                            // no command leaves before this
  std::uint64_t tickets_ = 0;
};

} // namespace vexilctl
