#include "status/SensorSnapshot.h"

#include <algorithm>

namespace km7::status {

namespace {
SensorList::iterator Find(SensorList& list, const std::string& serial) {
  return std::lower_bound(list.begin(), list.end(), serial,
                          [](const SensorSnapshot& s, const std::string& key) { return s.serial < key; });
}
}  // namespace

void SnapshotStore::Publish(SensorSnapshot sensor) {
  std::lock_guard lock(mutex_);
  auto next = std::make_shared<SensorList>(*sensors_);
  auto it = Find(*next, sensor.serial);
  if (it != next->end() && it->serial == sensor.serial)
    *it = std::move(sensor);
  else
    next->insert(it, std::move(sensor));
  sensors_ = std::move(next);
}

void SnapshotStore::UpdateMail(const std::string& serial, std::uint64_t outboxMessages,
                               std::uint64_t mailsSentTotal) {
  std::lock_guard lock(mutex_);
  auto next = std::make_shared<SensorList>(*sensors_);
  auto it = Find(*next, serial);
  if (it == next->end() || it->serial != serial) return;
  it->mailOutboxMessages = outboxMessages;
  it->mailsSentTotal = mailsSentTotal;
  sensors_ = std::move(next);
}

void SnapshotStore::Remove(const std::string& serial) {
  std::lock_guard lock(mutex_);
  auto next = std::make_shared<SensorList>(*sensors_);
  auto it = Find(*next, serial);
  if (it == next->end() || it->serial != serial) return;
  next->erase(it);
  sensors_ = std::move(next);
}

std::shared_ptr<const SensorList> SnapshotStore::Current() const {
  std::lock_guard lock(mutex_);
  return sensors_;
}

}  // namespace km7::status
