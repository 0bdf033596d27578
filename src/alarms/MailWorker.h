#pragma once
// The mail worker: sends composed alarm mail on a thread of its own, with a
// fresh session per attempt, so that whoever composes (the display tick, the
// service's loop) never waits on the network or the disk. Every message is
// stored in the outbox before its first attempt and stays there until the
// server took it; temporary failures are tried again on the retry schedule.
// The worker writes the diagnostic log itself.
//
// Use:
//   MailWorker worker(options, notify);   // notify is called on the worker
//   worker.SetServer("Lab", account);     //   thread: forward it to your own
//   worker.Start();                       //   (messages left from last time)
//   worker.Enqueue(message);              // any time, from any thread
//   worker.SetServer("Lab", changed); worker.RetryNow();   // settings saved
//   worker.Stop();                        // at most about a second
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "alarms/MailSession.h"
#include "alarms/Outbox.h"
#include "alarms/RetrySchedule.h"

namespace km7::alarms {

struct MailEvent {
  enum class Type {
    Sent,           // the server took the message
    Failed,         // an attempt failed; it will be tried again
    GivenUp,        // a permanent failure, or a day of temporary ones
    OutboxProblem,  // the outbox cannot be written: sent without it (said once per run of failures)
    LogProblem,     // the diagnostic log cannot be opened (said once)
    NeedServer,     // a waiting message's sensor has no server settings yet: SetServer
    Dropped,        // a message was lost: the outbox was full, or its file unreadable or refused
    ServerFailing,  // a server cannot be reached: once, then every ten minutes while it lasts
    ServerBack,     // a server that was failing took a connection again
  };
  Type type = Type::Sent;
  std::string sensor;
  std::string kind;
  // The error text (what the warning box says), or the problem.
  std::string text;
  // The failure was in connecting (not in sending).
  bool connectFailed = false;
  // ServerFailing: messages waiting for that server.
  std::size_t waiting = 0;
};

class MailWorker {
 public:
  struct Options {
    std::string outboxFolder = Outbox::DefaultFolder();  // "" = keep nothing on disk
    std::string logPath = "default";                    // "" = no diagnostic log
    RetrySchedule schedule;
    // While a server keeps failing, how often that is said again.
    std::chrono::milliseconds failingReportEvery = std::chrono::minutes(10);
    unsigned timeoutMs = 60000;  // per server reply
    std::size_t capacity = kOutboxCapacity;
  };
  using Notify = std::function<void(const MailEvent&)>;

  MailWorker(Options options, Notify notify);
  ~MailWorker();
  MailWorker(const MailWorker&) = delete;
  MailWorker& operator=(const MailWorker&) = delete;

  // Starts the thread; the messages already in the outbox are tried first.
  void Start();
  // Ends the thread: an attempt in progress is cancelled at once, whatever
  // the server does (its message stays in the outbox), and the thread is
  // waited for at most `waitMs`, then left to finish on its own. No event is
  // delivered after Stop returns.
  void Stop(unsigned waitMs = 1000);

  // The server settings and account a sensor's mail goes out with from now
  // on. Each attempt uses the latest one.
  void SetServer(const std::string& sensor, const MailAccount& account);
  // Stores (outbox) and sends the message.
  void Enqueue(OutboxMessage message);
  // Every waiting message is tried at once.
  void RetryNow();
  // Messages waiting for a next attempt (tests, status).
  std::size_t Waiting() const;
  // Per sensor, the messages of this worker waiting in files on disk
  // (messages another program holds are not counted).
  std::map<std::string, std::size_t> OnDisk() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace km7::alarms
