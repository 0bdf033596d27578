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
#include "settings/ProfileStore.h"
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
  // Real time waited: message.waitedMs from earlier runs, plus the steady
  // clock since `since` in this one. The wall clock may jump; these do not.
  Steady::time_point since;
  Steady::time_point due;
  Steady::time_point probe = Steady::time_point::max();
  std::string server;  // "host:port" while it waits for a failing server
};

Pending NewPending(std::string path, OutboxMessage message) {
  const auto now = Steady::now();
  Pending p;
  p.path = std::move(path);
  p.message = std::move(message);
  p.since = now;
  p.due = now;
  return p;
}

std::int64_t WaitedMs(const Pending& p, Steady::time_point now) {
  return p.message.waitedMs + std::chrono::duration_cast<std::chrono::milliseconds>(now - p.since).count();
}

// A server that cannot be reached: its messages wait together, and only one
// of them knocks when the pause is over.
struct ServerTrouble {
  int failures = 0;
  Steady::time_point nextTry;
  Steady::time_point reported;
  std::time_t since = 0;
  std::string error;
};

// The settings' placeholder texts stand for no Cc at all.
std::string CcForSending(const std::string& cc) {
  const auto first = cc.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  for (const km7::profile::Value* v : {&km7::profile::EmailTempCC, &km7::profile::EmailHumCC})
    for (const char* placeholder : {v->defaultText, v->dispatchDefault, v->seedDefault})
      if (placeholder != nullptr && cc == placeholder) return {};
  return cc;
}

std::string ServerKey(const ServerSettings& s) { return s.server + ":" + std::to_string(s.port); }

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
  bool refusedSaid = false;
  std::map<std::string, ServerTrouble> troubles;
  std::map<std::string, std::size_t> onDisk;  // copied out under the mutex

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
  bool Connect(Pending& p, bool& done, const MailAccount& account, CZRKSMTPConnection& session);
  void ServerFailed(const std::string& key, const std::string& error);
  void ServerAnswered(const std::string& key);
  void Refused(const std::string& path);
  void Dropped(const std::string& sensor, const std::string& kind, const std::string& what);
  std::map<std::string, std::size_t> CountOnDisk() const;
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
  std::string why;
  if (!outbox.Prepare(why)) {
    Write(logline::Outbox(Now(), "cannot be used (" + why + ")"));
    Tell({MailEvent::Type::OutboxProblem, {}, {}, "The alarm mail outbox cannot be used (" + why + ")."});
    outboxFailing = true;
    return;
  }
  for (const std::string& path : outbox.List()) {
    OutboxLock lock;
    const OutboxLock::Result got = lock.Acquire(path);
    if (got == OutboxLock::Result::Refused) Refused(path);
    if (got != OutboxLock::Result::Locked) continue;  // another process has it
    std::string bytes;
    std::optional<OutboxMessage> m;
    if (lock.Read(bytes)) m = ParseOutboxMessage(bytes);
    if (!m) {
      lock.Release();
      const std::string aside = outbox.MoveAside(path);
      const std::string what = aside.empty() ? path + " cannot be read and could not be moved aside"
                                             : path + " cannot be read; moved to " + aside;
      Write(logline::Outbox(Now(), what));
      Dropped({}, {}, "An alarm mail was lost: " + what + ".");
      continue;
    }
    pending.push_back(NewPending(path, std::move(*m)));
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
    std::string sensor, kind;
    for (std::size_t i = 0; i < pending.size(); ++i) {
      if (pending[i].path != d) continue;
      sensor = pending[i].message.sensor;
      kind = pending[i].message.kind;
      pending.erase(pending.begin() + std::ptrdiff_t(i--));
    }
    Dropped(sensor, kind,
            "The alarm mail outbox is full (" + std::to_string(options.capacity) +
                " messages): the oldest waiting alarm mail was dropped.");
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
  pending.push_back(NewPending(path, std::move(message)));
}

void MailWorker::State::Refused(const std::string& path) {
  Write(logline::Outbox(Now(), path + " is not this user's own or others may write it; not sent"));
  if (refusedSaid) return;
  refusedSaid = true;
  Tell({MailEvent::Type::OutboxProblem, {}, {},
        "A file in the alarm mail outbox is not your own or others may change it (" + path +
            "). It is not sent; remove it if it is not yours."});
}

void MailWorker::State::Dropped(const std::string& sensor, const std::string& kind, const std::string& what) {
  Tell({MailEvent::Type::Dropped, sensor, kind, what, false});
}

void MailWorker::State::ServerFailed(const std::string& key, const std::string& error) {
  const auto now = Steady::now();
  ServerTrouble& t = troubles[key];
  const bool first = t.failures++ == 0;
  t.nextTry = now + options.schedule.PauseAfter(t.failures);
  if (first) t.since = NowSeconds();
  t.error = error;
  if (!first && now - t.reported < options.failingReportEvery) return;
  t.reported = now;
  std::size_t waiting = 0;
  {
    std::lock_guard<std::mutex> g(mutex);
    for (const Pending& p : pending) {
      const auto it = servers.find(p.message.sensor);
      waiting += it != servers.end() && ServerKey(it->second.server) == key ? 1 : 0;
    }
  }
  const std::string text = first ? "the mail server " + key + " cannot be reached: " + error
                                 : "the mail server " + key + " still cannot be reached (since " +
                                       LogTimestamp(t.since) + "): " + error;
  Write(logline::Outbox(Now(), text));
  MailEvent e{MailEvent::Type::ServerFailing, {}, {}, text, true};
  e.waiting = waiting;
  Tell(e);
}

void MailWorker::State::ServerAnswered(const std::string& key) {
  const auto it = troubles.find(key);
  if (it == troubles.end()) return;
  troubles.erase(it);
  const auto now = Steady::now();
  for (Pending& p : pending) {
    if (p.server != key) continue;
    p.server.clear();
    if (p.due > now && !p.needServer) p.due = now;
  }
  const std::string text = "the mail server " + key + " answers again";
  Write(logline::Outbox(Now(), text));
  Tell({MailEvent::Type::ServerBack, {}, {}, text, false});
}

void MailWorker::State::Fail(Pending& p, bool& done, bool temporary, const std::string& error,
                             bool connectFailed) {
  const std::int64_t waited = WaitedMs(p, Steady::now());
  const bool tooOld = waited >= options.schedule.giveUpAfter.count();
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
  if (!p.path.empty()) {
    // The next run goes on from here: a restart neither resets nor jumps it.
    OutboxLock lock;
    if (lock.Acquire(p.path) == OutboxLock::Result::Locked) lock.WriteWaited(waited);
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
      case OutboxLock::Result::Refused:
        Refused(p.path);
        done = true;
        return;
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
  const std::string key = ServerKey(account.server);
  const auto trouble = troubles.find(key);
  if (trouble != troubles.end() && trouble->second.nextTry > Steady::now()) {
    // One message knocks for all: the others wait for the server's turn.
    p.server = key;
    if (WaitedMs(p, Steady::now()) >= options.schedule.giveUpAfter.count()) {
      lock.Release();
      Fail(p, done, true, trouble->second.error, true);
      return;
    }
    p.due = trouble->second.nextTry;
    p.probe = Steady::time_point::max();
    return;
  }
  CZRKSMTPConnection session;
  lock.Release();  // taken again once connected: a connect can take long
  if (!Connect(p, done, account, session)) return;
  if (!p.path.empty()) {
    const OutboxLock::Result again = lock.Acquire(p.path);
    if (again != OutboxLock::Result::Locked) {
      if (again == OutboxLock::Result::Refused) Refused(p.path);
      done = again != OutboxLock::Result::Busy && again != OutboxLock::Result::Failed;
      if (!done) p.due = Steady::now() + options.schedule.PauseAfter(1);
      return;
    }
  }
  std::string error;
  const OutboxMessage& m = p.message;
  try {
    std::unique_ptr<CZRKSMTPMessage> message =
        BuildMailMessage(m.to, m.from, m.from, CcForSending(m.cc), "", m.subject, m.body);
    session.SetOptionalRecipients(true);
    session.SendMessage(*message);
    for (const auto& r : session.RefusedRecipients())
      Write(logline::Outbox(Now(), "the server refused the recipient " + r.address + " of the " + m.kind +
                                       " alarm mail of " + m.sensor + " (" + VisibleServerText(r.reply) +
                                       "); sent to the others"));
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

// Opens the session; false (with the failure handled) when it could not.
bool MailWorker::State::Connect(Pending& p, bool& done, const MailAccount& account, CZRKSMTPConnection& session) {
  ++p.attempts;
  p.unreachable = false;
  p.probe = Steady::time_point::max();
  const std::string key = ServerKey(account.server);
  Write(logline::Header() + logline::Connecting(Now(), p.message.kind, account.server.server));
  if (!account.problem.empty()) {
    // Never an empty login in place of an account that cannot be opened.
    const std::string why = account.problem;
    Write(logline::ConnectFailed(Now(), account.server.server, -1, why));
    Fail(p, done, true, why, true);
    return false;
  }
  session.SetTimeout(options.timeoutMs);
  session.SetCancelToken(cancel);
  try {
    ConnectSession(session, account);
  } catch (const CZRKSMTPException& e) {
    const std::string error = ConnectErrorText(e, "\r\n");
    Write(logline::ConnectFailed(Now(), account.server.server, -1, error));
    if (CutShort(p)) return false;
    p.unreachable = SMTPErrorFacility(e.GetErrorCode()) == FACILITY_WIN32;
    const bool temporary = IsTemporaryFailure(e);
    if (temporary) {
      p.server = key;
      ServerFailed(key, error);
    }
    Fail(p, done, temporary, error, true);
    if (!done && p.unreachable) p.probe = Steady::now() + options.schedule.probeEvery;
    return false;
  }
  Write(logline::ConnectStatus(Now(), account.server.server, 0));
  p.server.clear();
  ServerAnswered(key);
  return true;
}

void MailWorker::State::Probe() {
  const auto now = Steady::now();
  std::map<std::string, bool> knocked;  // one knock per server and round
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
    const std::string key = ServerKey(account.server);
    const auto k = knocked.find(key);
    const bool up = k != knocked.end() ? k->second : (knocked[key] = Reachable(account.server, 5000, cancel));
    if (!up) continue;
    p.due = now;
    const auto t = troubles.find(key);
    if (t != troubles.end()) t->second.nextTry = now;
  }
}

void MailWorker::State::Run() {
  LoadOutbox();
  for (;;) {
    std::deque<OutboxMessage> fresh;
    {
      std::map<std::string, std::size_t> disk = CountOnDisk();
      std::unique_lock<std::mutex> lock(mutex);
      waiting = pending.size();
      onDisk.swap(disk);
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

std::map<std::string, std::size_t> MailWorker::State::CountOnDisk() const {
  std::map<std::string, std::size_t> n;
  for (const Pending& p : pending)
    if (!p.path.empty()) ++n[p.message.sensor];
  return n;
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

std::map<std::string, std::size_t> MailWorker::OnDisk() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->onDisk;
}

}  // namespace km7::alarms
