#include "alarms/MailWorker.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "alarms/AlarmMessage.h"
#include "alarms/EmailErrorLog.h"
#include "platform/Clock.h"
#include "platform/TextFileWriter.h"
#include "smtp/Socket.h"

namespace km7::alarms {

using Steady = std::chrono::steady_clock;

namespace {

struct Pending {
  std::string path;  // "" when the outbox could not keep it
  OutboxMessage message;
  int attempts = 0;
  bool needServer = false;
  bool unreachable = false;  // the last attempt could not connect at all
  Steady::time_point firstSeen;
  Steady::time_point due;
  Steady::time_point probe = Steady::time_point::max();
};

// Whether a connection to the server can be opened now.
bool Reachable(const ServerSettings& server, unsigned timeoutMs, const km7::smtp::SharedCancelToken& cancel) {
  try {
    CWSocket socket;
    socket.SetCancelToken(cancel);
    socket.Create();
    socket.Connect(server.server.c_str(), static_cast<uint16_t>(server.port), timeoutMs);
    return true;
  } catch (const CWSocketException&) {
    return false;
  }
}

std::string Now() { return LogTimestamp(NowSeconds()); }

std::string PauseText(RetrySchedule::Duration d) {
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(d).count();
  if (s >= 60 && s % 60 == 0) return std::to_string(s / 60) + " min";
  if (s >= 1) return std::to_string(s) + " s";
  return std::to_string(d.count()) + " ms";
}

}  // namespace

struct MailWorker::State {
  Options options;
  Notify notify;
  Outbox outbox;
  // Raised by Stop: an attempt in progress ends at once, whatever the server
  // does, and its message stays in the outbox.
  const std::shared_ptr<km7::smtp::CancelToken> cancel = std::make_shared<km7::smtp::CancelToken>();

  mutable std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
  bool retryNow = false;
  bool serverAdded = false;
  bool finished = false;
  std::condition_variable ended;
  std::deque<OutboxMessage> incoming;
  std::map<std::string, MailAccount> servers;
  std::size_t waiting = 0;

  // Worker thread only.
  std::vector<Pending> pending;
  TextFileWriter log;
  bool logTried = false;
  bool outboxFailing = false;

  State(Options o, Notify n) : options(std::move(o)), notify(std::move(n)), outbox(options.outboxFolder, options.capacity) {}

  bool Stopping() const {
    std::lock_guard<std::mutex> lock(mutex);
    return stop;
  }
  void Tell(const MailEvent& e) {
    // Delivered under the lock, so that Stop can promise silence afterwards.
    std::lock_guard<std::mutex> lock(mutex);
    if (!stop && notify) notify(e);
  }
  void Write(const std::string& lines) {
    if (!logTried) {
      logTried = true;
      if (!options.logPath.empty()) {
        std::string why;
        const bool opened = options.logPath == "default" ? OpenEmailErrorLog(log, &why)
                                                         : log.Open(options.logPath, 0600, true);
        if (!opened) Tell({MailEvent::Type::LogProblem, {}, {}, std::string(kMsgLogNotOpened) + "\n" + why});
      }
    }
    if (!log.IsOpen()) return;
    log.Write(lines);
    log.Flush();
  }

  void Run();
  void Probe();
  void LoadOutbox();
  void Store(OutboxMessage message);
  void Attempt(Pending& p, bool& done);
  void Fail(Pending& p, bool& done, bool temporary, const std::string& error, bool connectFailed);
  // After a failed step: true (with a log line) when it failed because the
  // worker is stopping; the message then simply waits for the next start.
  bool CutShort(const Pending& p);
};

bool MailWorker::State::CutShort(const Pending& p) {
  if (!cancel->Cancelled()) return false;
  Write(logline::Attempt(Now(), p.attempts, p.message.kind, p.message.sensor,
                         "cancelled, the program is closing"));
  return true;
}

void MailWorker::State::LoadOutbox() {
  if (options.outboxFolder.empty()) return;
  const auto now = Steady::now();
  for (const std::string& path : outbox.List()) {
    OutboxLock lock;
    if (lock.Acquire(path) != OutboxLock::Result::Locked) continue;  // another process has it
    std::string bytes;
    std::optional<OutboxMessage> m;
    if (lock.Read(bytes)) m = ParseOutboxMessage(bytes);
    if (!m) {
      lock.Release();
      const std::string aside = outbox.MoveAside(path);
      Write(logline::Outbox(Now(), aside.empty() ? path + " cannot be read and could not be moved aside"
                                                 : path + " cannot be read; moved to " + aside));
      continue;
    }
    pending.push_back({path, std::move(*m), 0, false, false, now, now});
  }
  if (!pending.empty())
    Write(logline::Outbox(Now(), std::to_string(pending.size()) + " message(s) waiting from before"));
}

void MailWorker::State::Store(OutboxMessage message) {
  std::string path, why;
  std::vector<std::string> dropped;
  const bool stored = !options.outboxFolder.empty() && outbox.Add(message, path, why, dropped);
  for (const std::string& d : dropped) {
    Write(logline::Outbox(Now(), "full; dropped the oldest message " + d));
    for (std::size_t i = 0; i < pending.size(); ++i)
      if (pending[i].path == d) pending.erase(pending.begin() + std::ptrdiff_t(i--));
  }
  if (stored) {
    outboxFailing = false;
    Write(logline::Queued(Now(), message.kind, message.sensor, path));
  } else if (!options.outboxFolder.empty()) {
    Write(logline::Outbox(Now(), "cannot store the message (" + why + "); trying it directly"));
    if (!outboxFailing)
      Tell({MailEvent::Type::OutboxProblem, message.sensor, message.kind,
            "The alarm mail could not be kept in the outbox (" + why +
                "). km7 still tries to send it, but it will not survive a restart."});
    outboxFailing = true;
  }
  const auto now = Steady::now();
  pending.push_back({path, std::move(message), 0, false, false, now, now});
}

void MailWorker::State::Fail(Pending& p, bool& done, bool temporary, const std::string& error,
                             bool connectFailed) {
  const auto age = Steady::now() - p.firstSeen;
  const auto wallAge = std::chrono::seconds(NowSeconds() - p.message.created);
  const bool tooOld = age >= options.schedule.giveUpAfter ||
                      (p.message.created != 0 && wallAge >= options.schedule.giveUpAfter);
  if (!temporary || tooOld) {
    const std::string why = !temporary ? "the server refused it for good" : "no success within a day";
    Write(logline::Attempt(Now(), p.attempts, p.message.kind, p.message.sensor, "failed, giving up"));
    Write(logline::GivenUp(Now(), p.message.kind, p.message.sensor, why + " (" + error + ")"));
    if (!p.path.empty()) {
      OutboxLock lock;
      if (lock.Acquire(p.path) == OutboxLock::Result::Locked) lock.RemoveAndRelease();
    }
    Tell({MailEvent::Type::GivenUp, p.message.sensor, p.message.kind, error, connectFailed});
    done = true;
    return;
  }
  const auto pause = options.schedule.PauseAfter(p.attempts);
  p.due = Steady::now() + pause;
  Write(logline::Attempt(Now(), p.attempts, p.message.kind, p.message.sensor,
                         "failed, next attempt in " + PauseText(pause)));
  Tell({MailEvent::Type::Failed, p.message.sensor, p.message.kind, error, connectFailed});
}

void MailWorker::State::Attempt(Pending& p, bool& done) {
  done = false;
  OutboxLock lock;
  if (!p.path.empty()) {
    switch (lock.Acquire(p.path)) {
      case OutboxLock::Result::Locked: break;
      case OutboxLock::Result::Gone: done = true; return;  // sent by another process
      case OutboxLock::Result::Busy:
      case OutboxLock::Result::Failed:
        p.due = Steady::now() + options.schedule.PauseAfter(1);
        return;
    }
  }
  MailAccount account;
  bool known;
  {
    std::lock_guard<std::mutex> g(mutex);
    const auto it = servers.find(p.message.sensor);
    known = it != servers.end();
    if (known) account = it->second;
  }
  if (!known) {
    // Only the settings' owner may read them: ask, and wait for the answer.
    p.needServer = true;
    p.due = Steady::time_point::max();
    Tell({MailEvent::Type::NeedServer, p.message.sensor, p.message.kind, {}, false});
    return;
  }
  ++p.attempts;
  p.unreachable = false;
  p.probe = Steady::time_point::max();
  Write(logline::Header() + logline::Connecting(Now(), p.message.kind, account.server.server));
  if (!account.problem.empty()) {
    // Never an empty login in place of an account that cannot be opened.
    const std::string why = account.problem;
    Write(logline::ConnectFailed(Now(), account.server.server, -1, why));
    lock.Release();
    // Another try cannot open it either: given up at once, said once.
    Fail(p, done, false, why, true);
    return;
  }
  CZRKSMTPConnection session;
  session.SetTimeout(options.timeoutMs);
  session.SetCancelToken(cancel);
  std::string error;
  try {
    ConnectSession(session, account);
  } catch (const CZRKSMTPException& e) {
    error = ConnectErrorText(e, "\r\n");
    Write(logline::ConnectFailed(Now(), account.server.server, -1, error));
    lock.Release();
    if (CutShort(p)) return;
    p.unreachable = SMTPErrorFacility(e.GetErrorCode()) == FACILITY_WIN32;
    Fail(p, done, IsTemporaryFailure(e), error, true);
    if (!done && p.unreachable) p.probe = Steady::now() + options.schedule.probeEvery;
    return;
  }
  Write(logline::ConnectStatus(Now(), account.server.server, 0));
  const OutboxMessage& m = p.message;
  try {
    std::unique_ptr<CZRKSMTPMessage> message = BuildMailMessage(m.to, m.from, m.from, m.cc, "", m.subject, m.body);
    session.SendMessage(*message);
  } catch (const CZRKSMTPException& e) {
    error = SendErrorText(e, "\r\n");
    Write(logline::SendFailed(Now(), -2, error));
    try {
      session.Disconnect(true);
    } catch (const CZRKSMTPException&) {
    }
    lock.Release();
    if (CutShort(p)) return;
    Fail(p, done, IsTemporaryFailure(e), error, false);
    return;
  }
  // Taken: the file goes before anything else can fail.
  lock.RemoveAndRelease();
  Write(logline::Sent(Now(), m.to, m.cc, m.subject, m.body));
  Write(logline::Attempt(Now(), p.attempts, m.kind, m.sensor, "sent"));
  try {
    session.Disconnect(true);
  } catch (const CZRKSMTPException&) {
    // The message is delivered; the connection is closed anyway.
  }
  Tell({MailEvent::Type::Sent, m.sensor, m.kind, {}, false});
  done = true;
}

void MailWorker::State::Probe() {
  const auto now = Steady::now();
  for (Pending& p : pending) {
    if (p.probe > now || Stopping()) continue;
    p.probe = now + options.schedule.probeEvery;
    MailAccount account;
    {
      std::lock_guard<std::mutex> g(mutex);
      const auto it = servers.find(p.message.sensor);
      if (it == servers.end()) continue;
      account.server = it->second.server;
    }
    if (Reachable(account.server, 5000, cancel)) p.due = now;
  }
}

void MailWorker::State::Run() {
  LoadOutbox();
  for (;;) {
    std::deque<OutboxMessage> fresh;
    {
      std::unique_lock<std::mutex> lock(mutex);
      waiting = pending.size();
      auto ready = [&] {
        if (stop || retryNow || serverAdded || !incoming.empty()) return true;
        const auto now = Steady::now();
        for (const Pending& p : pending)
          if (p.due <= now || p.probe <= now) return true;
        return false;
      };
      while (!ready()) {
        Steady::time_point next = Steady::time_point::max();
        for (const Pending& p : pending) next = std::min({next, p.due, p.probe});
        if (next == Steady::time_point::max())
          wake.wait(lock);
        else
          wake.wait_until(lock, next);
      }
      if (stop) break;
      fresh.swap(incoming);
      if (retryNow) {
        for (Pending& p : pending) p.due = Steady::now();
        retryNow = false;
      }
      if (serverAdded) {
        for (Pending& p : pending)
          if (p.needServer) p.due = Steady::now(), p.needServer = false;
        serverAdded = false;
      }
    }
    for (OutboxMessage& m : fresh) Store(std::move(m));
    Probe();
    // Oldest first; each due message once per round.
    for (std::size_t i = 0; i < pending.size() && !Stopping(); ++i) {
      if (pending[i].due > Steady::now()) continue;
      bool done = false;
      Attempt(pending[i], done);
      if (done) pending.erase(pending.begin() + std::ptrdiff_t(i--));
    }
  }
  std::lock_guard<std::mutex> lock(mutex);
  finished = true;
  ended.notify_all();
}

MailWorker::MailWorker(Options options, Notify notify)
    : state_(std::make_shared<State>(std::move(options), std::move(notify))) {}

MailWorker::~MailWorker() { Stop(); }

void MailWorker::Start() {
  std::shared_ptr<State> s = state_;
  std::thread([s] { s->Run(); }).detach();
}

void MailWorker::Stop(unsigned waitMs) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (state_->stop) return;  // waited once already
  state_->stop = true;
  state_->notify = nullptr;
  state_->cancel->Cancel();
  state_->wake.notify_all();
  // An attempt in progress ends at once through the cancel; a thread stuck
  // elsewhere (a slow disk) is not waited for longer than this.
  state_->ended.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return state_->finished; });
}

void MailWorker::SetServer(const std::string& sensor, const MailAccount& account) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->servers[sensor] = account;
  state_->serverAdded = true;
  state_->wake.notify_all();
}

void MailWorker::Enqueue(OutboxMessage message) {
  if (message.created == 0) message.created = NowSeconds();
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->incoming.push_back(std::move(message));
  state_->wake.notify_all();
}

void MailWorker::RetryNow() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->retryNow = true;
  state_->wake.notify_all();
}

std::size_t MailWorker::Waiting() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->waiting + state_->incoming.size();
}

}  // namespace km7::alarms
