#include "alarms/MailWorker.h"

#include <thread>

#include "alarms/MailWorkerState.h"

namespace km7::alarms {

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
