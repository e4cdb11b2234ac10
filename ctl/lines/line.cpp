#include "ctl/lines/line.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

namespace vexilctl {

struct Line::PendingSend {
  std::uint64_t ticket = 0;
  std::string bytes;
  std::size_t written = 0;
  bool tried = false; // a write was tried: the line had its turn
  double deadline = 0, timeout = 0;
  std::function<void(bool, const std::string&)> done;
};

Line::Line(Loop& loop, Address address, std::string label, Events events)
    : loop_(loop), address_(std::move(address)), label_(std::move(label)),
      events_(std::move(events)), gap_(loop, [this] { cut(); }), retry_(loop,
                                                                        [this] {
                                                                          if (!open_)
                                                                            OpenLine();
                                                                        }),
      sendTimer_(loop, [this] { pump(); }), settle_(loop, [this] { settled(); }),
      waitTimer_(loop, [this] { expireWaiting(); }) {}

// Each kind in its own file.
std::unique_ptr<Line> MakeTtyLine(Loop&, const Address&, std::string, Line::Events);
std::unique_ptr<Line> MakeNetLine(Loop&, const Address&, std::string, Line::Events);

std::unique_ptr<Line> Line::Make(Loop& loop, const Address& address, std::string label,
                                 Events events) {
  if (address.Type == Address::Tty)
    return MakeTtyLine(loop, address, std::move(label), std::move(events));
  return MakeNetLine(loop, address, std::move(label), std::move(events));
}

Line::~Line() {
  // The kind closed its side already; the commands under way are told.
  std::vector<std::function<void(bool, const std::string&)>> told;
  if (send_)
    told.push_back(std::move(send_->done));
  for (auto& w : waiting_)
    told.push_back(std::move(w->done));
  send_.reset();
  waiting_.clear();
  for (auto& done : told)
    done(false, "the line was closed");
}

void Line::Start(bool keep, bool fromStart) {
  keep_ = keep;
  keepFromStart_ = fromStart;
  OpenLine();
}

void Line::Opened() {
  open_ = true;
  settled_ = false;
  openedAt_ = loop_.Now();
  settle_.Start(SETTLE_S);
  if (events_.State)
    events_.State("usable", "");
}

// The line stayed open: said once, as open (the first time, or after failed
// attempts) or as back (after a loss); what arrived meanwhile is handed on.
void Line::settled() {
  settled_ = true;
  const bool back = everOpen_;
  everOpen_ = true;
  if (keep_)
    std::fprintf(stderr, "vexil-ctl: %s: line %s (%s)\n", label_.c_str(),
                 lostSaid_ ? "back" : "open", address_.Text.c_str());
  lostSaid_ = false;
  lastFailure_.clear();
  closedWords_.clear();
  if (events_.State)
    events_.State(back ? "back" : "open", "");
  auto early = std::move(early_);
  early_.clear();
  earlyBytes_ = 0;
  for (const auto& package : early)
    deliver(package);
}

void Line::Failed(const std::string& said) {
  // Outside words (a process's name, a server's text) shown as their bytes,
  // so that they cannot steer a terminal or forge a line of the journal.
  const std::string why = VexilCtl::ShowBytes(said, true);
  open_ = false;
  // Said once for each new reason, not at every attempt: a console server
  // that stays away does not fill the journal.
  if (!everOpen_ && !keepFromStart_)
    keep_ = false; // the caller gives up: no retry to promise
  const bool news = why != lastFailure_;
  if (news && keep_)
    std::fprintf(stderr, "vexil-ctl: %s: %s; trying again with a growing pause (at most %.0f s)\n",
                 label_.c_str(), why.c_str(), RETRY_MAX_S);
  lastFailure_ = why;
  if (events_.State)
    events_.State("failed", why);
  retryLater();
}

void Line::Lost(const std::string& said) {
  if (!open_)
    return;
  const std::string why = VexilCtl::ShowBytes(said, true);
  open_ = false;
  settle_.Stop();
  CloseLine();
  gap_.Stop();
  cut(); // what arrived before the loss is still a package
  failAll("line lost (" + why + ")");
  if (!settled_) {
    // Closed as soon as it opened: an attempt that failed, not a loss, and
    // what came first was no report but the server's reason (a console
    // server whose device is missing says so and closes).
    const std::string words = serverWords();
    early_.clear();
    earlyBytes_ = 0;
    ClosedAtOnce(why, words);
    return;
  }
  // A line that stayed up a while starts its retries from the shortest pause.
  if (loop_.Now() - openedAt_ >= RETRY_MAX_S)
    attempts_ = 0;
  lostSaid_ = true;
  lastFailure_.clear();
  std::fprintf(stderr, "vexil-ctl: %s: line lost (%s); waiting for it\n", label_.c_str(),
               why.c_str());
  if (events_.State)
    events_.State("lost", why);
  retryLater();
}

// A server that closes at once may do so before its words reach us (within
// the library's own telnet opening) or after: the words it said last stay
// with the failure until the line opens, so that it reads the same at every
// attempt and is said once, and again only when the words first come.
void Line::ClosedAtOnce(const std::string& why, const std::string& words) {
  if (!words.empty())
    closedWords_ = words;
  Failed("the line closed as soon as it opened (" + why + ")" +
         (closedWords_.empty() ? "" : ", saying \"" + closedWords_ + "\""));
}

// The text a server wrote before it closed, on one line and not too long;
// "" when it wrote none, or bytes that are no text.
std::string Line::serverWords() const {
  std::string text;
  for (const auto& package : early_)
    text += package;
  std::string words;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\r' || c == '\n' || c == '\t' || c == ' ') {
      if (!words.empty() && words.back() != ' ')
        words += ' ';
    } else if (u < 0x20 || u == 0x7F) {
      return ""; // binary: a node's bytes, not a server's words
    } else {
      words += c;
    }
  }
  while (!words.empty() && words.back() == ' ')
    words.pop_back();
  constexpr std::size_t most = 200;
  if (words.size() > most)
    words = words.substr(0, most) + "...";
  return words;
}

double Line::RetryPause(int attempt) {
  static thread_local std::mt19937 random{std::random_device{}()};
  const double base =
      std::min(RETRY_MAX_S, RETRY_FIRST_S * double(1u << std::clamp(attempt, 0, 5)));
  return base * (1.0 - std::uniform_real_distribution<double>(0.0, 0.2)(random));
}

void Line::retryLater() {
  if (!keep_)
    return;
  retry_.Start(RetryPause(attempts_++));
}

void Line::Received(const char* bytes, std::size_t n) {
  while (n > 0) {
    const std::size_t take = std::min(n, PACKAGE_MAX - package_.size());
    package_.append(bytes, take);
    bytes += take;
    n -= take;
    if (package_.size() >= PACKAGE_MAX)
      cut();
  }
  gap_.Start(PACKAGE_GAP_S);
}

void Line::cut() {
  if (package_.empty())
    return;
  std::string package = std::move(package_);
  package_.clear();
  if (!settled_) {
    // Held until the line is known to be open; a flood past the bound in
    // the first second is no node's (a node sends 220 bytes in 5 s).
    if (earlyBytes_ + package.size() <= EARLY_MAX) {
      earlyBytes_ += package.size();
      early_.push_back(std::move(package));
    }
    return;
  }
  deliver(package);
}

void Line::deliver(const std::string& package) {
  if (events_.Piece)
    for (const auto& piece : VexilCtl::SplitPackage(package))
      events_.Piece(piece);
}

std::uint64_t Line::Send(const std::string& bytes, double timeoutS,
                         std::function<void(bool, const std::string&)> done, double budgetS) {
  const std::uint64_t ticket = ++tickets_;
  if (!open_) {
    done(false,
         lastFailure_.empty() ? "the line is not open" : "the line is not open: " + lastFailure_);
    return ticket;
  }
  auto command = std::make_unique<PendingSend>();
  command->ticket = ticket;
  command->bytes = bytes;
  command->deadline = loop_.Now() + timeoutS;
  command->timeout = budgetS > 0 ? budgetS : timeoutS;
  command->done = std::move(done);
  if (send_) {
    waiting_.push_back(std::move(command));
    expireWaiting();
    return ticket;
  }
  send_ = std::move(command);
  pump();
  return ticket;
}

// Commands that wait behind another and whose time ran out fail, nothing of
// them sent; the timer is set for the next such deadline.
void Line::expireWaiting() {
  const double now = loop_.Now();
  double next = -1;
  std::vector<std::unique_ptr<PendingSend>> expired;
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if ((*it)->deadline <= now) {
      expired.push_back(std::move(*it));
      it = waiting_.erase(it);
      continue;
    }
    next = next < 0 ? (*it)->deadline : std::min(next, (*it)->deadline);
    ++it;
  }
  if (next < 0)
    waitTimer_.Stop();
  else
    waitTimer_.Start(next - now);
  // Told last: a sender told may send again.
  for (auto& e : expired) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "the command did not go out within %.2f s: 0 of %zu bytes went out; it waited "
                  "behind the commands before it",
                  e->timeout, e->bytes.size());
    e->done(false, text);
  }
}

void Line::failAll(const std::string& why) {
  if (send_)
    finishSend(false, why);
  waitTimer_.Stop();
  auto gone = std::move(waiting_);
  waiting_.clear();
  for (auto& w : gone)
    w->done(false, why);
}

// Moves the command on: writes what the line takes, then waits (a short
// timer, only while a command goes out) for the output to drain.
void Line::pump() {
  if (!send_)
    return;
  auto& s = *send_;
  // The node's package silence first: nothing leaves until the line has
  // been quiet from this side long enough (within the command's time).
  if (!s.tried && loop_.Now() < quietUntil_ && loop_.Now() < s.deadline) {
    sendTimer_.Start(std::min(quietUntil_, s.deadline) - loop_.Now());
    return;
  }
  if (!s.tried && loop_.Now() >= s.deadline) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "the command did not go out within %.2f s: 0 of %zu bytes went out; the line "
                  "was busy with the commands before it",
                  s.timeout, s.bytes.size());
    finishSend(false, text);
    return;
  }
  if (s.written < s.bytes.size()) {
    s.tried = true;
    std::string why;
    const long n = WriteLine(s.bytes.data() + s.written, s.bytes.size() - s.written, why);
    if (n < 0) {
      finishSend(false, why);
      return;
    }
    s.written += static_cast<std::size_t>(n);
  }
  if (s.written == s.bytes.size() && Drained()) {
    finishSend(true, "");
    return;
  }
  const double left = s.deadline - loop_.Now();
  if (left <= 0) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "the command did not go out within %.2f s: %zu of %zu bytes went out; ",
                  s.timeout, s.written, s.bytes.size());
    finishSend(false, text + std::string("the other end does not read, or flow control holds "
                                         "the line"));
    return;
  }
  WantWrite(s.written < s.bytes.size());
  sendTimer_.Start(std::min(left, 0.01));
}

void Line::WriteReady() {
  pump();
}

void Line::CancelSend(std::uint64_t ticket, const std::string& why) {
  if (send_ && send_->ticket == ticket) {
    finishSend(false, why);
    return;
  }
  for (auto it = waiting_.begin(); it != waiting_.end(); ++it)
    if ((*it)->ticket == ticket) {
      auto gone = std::move(*it);
      waiting_.erase(it);
      expireWaiting();
      gone->done(false, why);
      return;
    }
}

void Line::finishSend(bool ok, const std::string& why) {
  sendTimer_.Stop();
  WantWrite(false);
  const bool begun = send_->written > 0;
  auto done = std::move(send_->done);
  send_.reset();
  if (begun)
    quietUntil_ = loop_.Now() + COMMAND_GAP_S;
  // A command that is said to have failed must not leave later.
  if (!ok && begun && open_)
    DiscardUnsent();
  // The next in line goes (after the gap), on the loop's next turn.
  if (!waiting_.empty() && open_) {
    send_ = std::move(waiting_.front());
    waiting_.pop_front();
    expireWaiting();
    sendTimer_.Start(0);
  }
  done(ok, why);
}

} // namespace vexilctl
