// The mail worker's attempts: one message over a fresh session, what a
// failure means for it and for its server.
#include "alarms/MailWorkerState.h"

namespace km7::alarms {

bool MailWorker::State::CutShort(const Pending& p) {
  if (!cancel->Cancelled()) return false;
  Write(logline::Attempt(Now(), p.attempts, p.message.kind, p.message.sensor,
                         "cancelled, the program is closing"));
  return true;
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

bool MailWorker::State::KnownAccount(Pending& p, MailAccount& account) {
  {
    std::lock_guard<std::mutex> g(mutex);
    const auto it = servers.find(p.message.sensor);
    if (it != servers.end()) {
      account = it->second;
      return true;
    }
  }
  // Only the settings' owner may read them: ask, and wait for the answer.
  p.needServer = true;
  p.due = Steady::time_point::max();
  Tell({MailEvent::Type::NeedServer, p.message.sensor, p.message.kind, {}, false});
  return false;
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
  if (!KnownAccount(p, account)) return;
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
  Deliver(p, done, session, lock);
}

// Sends the message over the open session, the file locked.
void MailWorker::State::Deliver(Pending& p, bool& done, CZRKSMTPConnection& session, OutboxLock& lock) {
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
    // Another try cannot open it either: given up at once, said once.
    Fail(p, done, false, why, true);
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

}  // namespace km7::alarms
