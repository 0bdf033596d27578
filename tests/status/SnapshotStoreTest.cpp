#include "status/SensorSnapshot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace km7::status {
namespace {

SensorSnapshot Sensor(const std::string& serial, double t) {
  SensorSnapshot s;
  s.serial = serial;
  s.name = "n" + serial;
  s.up = true;
  s.temperatureC = t;
  return s;
}

TEST(SnapshotStoreTest, KeepsOneEntryPerSerialInOrder) {
  SnapshotStore store;
  EXPECT_TRUE(store.Current()->empty());
  store.Publish(Sensor("B", 1));
  store.Publish(Sensor("A", 2));
  store.Publish(Sensor("B", 3));
  auto list = store.Current();
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0].serial, "A");
  EXPECT_EQ((*list)[1].temperatureC, 3);

  store.UpdateMail("B", 4, 9);
  store.UpdateMail("Z", 1, 1);  // unknown: nothing happens
  EXPECT_EQ(store.Current()->at(1).mailOutboxMessages, 4u);
  EXPECT_EQ(store.Current()->at(1).mailsSentTotal, 9u);
  EXPECT_EQ(store.Current()->size(), 2u);
  // A copy taken before a change stays as it was.
  EXPECT_EQ((*list)[1].mailsSentTotal, 0u);

  store.Remove("A");
  store.Remove("nope");
  ASSERT_EQ(store.Current()->size(), 1u);
  EXPECT_EQ(store.Current()->at(0).serial, "B");
}

// Writers on several threads, readers never see a torn entry: each reading
// writes the same number into every field.
TEST(SnapshotStoreTest, ReadersSeeWholeEntriesWhileWritersPublish) {
  SnapshotStore store;
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 3000; ++i) {
        SensorSnapshot s = Sensor("S" + std::to_string(w), i);
        s.humidityPercent = i;
        s.crcErrorsTotal = static_cast<std::uint64_t>(i);
        store.Publish(s);
        if (i % 7 == 0) store.UpdateMail(s.serial, static_cast<std::uint64_t>(i), static_cast<std::uint64_t>(i));
      }
    });
  }
  std::thread reader([&] {
    while (!stop) {
      auto list = store.Current();
      for (const auto& s : *list) {
        ASSERT_EQ(s.temperatureC, s.humidityPercent);
        ASSERT_EQ(static_cast<double>(s.crcErrorsTotal), s.temperatureC);
      }
    }
  });
  for (auto& t : writers) t.join();
  stop = true;
  reader.join();
  auto list = store.Current();
  ASSERT_EQ(list->size(), 3u);
  for (const auto& s : *list) EXPECT_EQ(s.temperatureC, 2999);
}

}  // namespace
}  // namespace km7::status
