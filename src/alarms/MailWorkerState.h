#pragma once
// The mail worker's insides, shared by its two source files: the state its
// thread keeps, and small helpers. Nothing outside the worker includes this.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "alarms/AlarmMessage.h"
#include "alarms/EmailErrorLog.h"
#include "alarms/MailWorker.h"
#include "platform/Clock.h"
#include "platform/TextFileWriter.h"
#include "settings/ProfileStore.h"
#include "smtp/Socket.h"

namespace km7::alarms {

using Steady = std::chrono::steady_clock;

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

inline Pending NewPending(std::string path, OutboxMessage message) {
  const auto now = Steady::now();
  Pending p;
  p.path = std::move(path);
  p.message = std::move(message);
  p.since = now;
  p.due = now;
  return p;
}

inline std::int64_t WaitedMs(const Pending& p, Steady::time_point now) {
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
inline std::string CcForSending(const std::string& cc) {
  const auto first = cc.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  for (const km7::profile::Value* v : {&km7::profile::EmailTempCC, &km7::profile::EmailHumCC})
    for (const char* placeholder : {v->defaultText, v->dispatchDefault, v->seedDefault})
      if (placeholder != nullptr && cc == placeholder) return {};
  return cc;
}

inline std::string ServerKey(const ServerSettings& s) { return s.server + ":" + std::to_string(s.port); }

// Whether a connection to the server can be opened now.
inline bool Reachable(const ServerSettings& server, unsigned timeoutMs, const km7::smtp::SharedCancelToken& cancel) {
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

inline std::string Now() { return LogTimestamp(NowSeconds()); }

inline std::string PauseText(RetrySchedule::Duration d) {
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(d).count();
  if (s >= 60 && s % 60 == 0) return std::to_string(s / 60) + " min";
  if (s >= 1) return std::to_string(s) + " s";
  return std::to_string(d.count()) + " ms";
}

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
  void Deliver(Pending& p, bool& done, CZRKSMTPConnection& session, OutboxLock& lock);
  void ServerFailed(const std::string& key, const std::string& error);
  void ServerAnswered(const std::string& key);
  void Refused(const std::string& path);
  void Dropped(const std::string& sensor, const std::string& kind, const std::string& what);
  std::map<std::string, std::size_t> CountOnDisk() const;
  // The sensor's server settings, or false after asking for them.
  bool KnownAccount(Pending& p, MailAccount& account);
  void Fail(Pending& p, bool& done, bool temporary, const std::string& error, bool connectFailed);
  // After a failed step: true (with a log line) when it failed because the
  // worker is stopping; the message then simply waits for the next start.
  bool CutShort(const Pending& p);
};

}  // namespace km7::alarms
