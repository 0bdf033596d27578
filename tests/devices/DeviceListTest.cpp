// Listing the attached modules, against a stand-in for the driver library.
#include "devices/DeviceList.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// What the stand-in library reports.
struct Fake {
  FT_STATUS countStatus = 0;
  DWORD count = 0;                       // answer of the count query
  std::vector<std::string> modules;      // descriptions; "" = cannot describe
  bool describeLeavesCountAlone = false; // the second call writes no count
  DWORD describedCount = ~0u;            // count the second call writes (~0: modules written)
  bool fillWholeBuffer = false;          // writes 64 bytes without a terminator
  unsigned slotsSeen = 0;                // non-null slots before the null one
} g_fake;

FT_STATUS FakeList(void* arg1, void* arg2, DWORD flags) {
  if (flags == kFtListNumberOnly) {
    *static_cast<DWORD*>(arg1) = g_fake.count;
    return g_fake.countStatus;
  }
  EXPECT_EQ(flags, kFtListAllByDescription);
  char** table = static_cast<char**>(arg1);
  unsigned slot = 0;
  for (const auto& m : g_fake.modules) {
    if (table[slot] == nullptr) break;  // the table ends here
    if (g_fake.fillWholeBuffer) {
      std::memset(table[slot], 'x', km7::kDescriptionSize);
    } else if (!m.empty()) {
      std::strcpy(table[slot], m.c_str());
    }
    ++slot;
  }
  g_fake.slotsSeen = 0;
  while (table[g_fake.slotsSeen] != nullptr) ++g_fake.slotsSeen;
  if (!g_fake.describeLeavesCountAlone)
    *static_cast<DWORD*>(arg2) = g_fake.describedCount == ~0u ? slot : g_fake.describedCount;
  return 0;
}

class DeviceListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fake = Fake{};
    lib.entry.FT_ListDevices = &FakeList;
  }
  D2xxLibrary lib;
};

using Outcome = km7::DeviceListing::Outcome;

TEST_F(DeviceListTest, ListsDescriptionsAndLeavesCurrentlyActiveForModulesInUse) {
  g_fake.count = 3;
  g_fake.modules = {"Lab", "", "Cellar"};
  auto list = km7::ListDevices(lib);
  EXPECT_EQ(list.outcome, Outcome::Listed);
  EXPECT_EQ(list.count, 3u);
  EXPECT_EQ(list.descriptions, (std::vector<std::string>{"Lab", "Currently Active", "Cellar"}));
  EXPECT_EQ(g_fake.slotsSeen, 3u);
}

TEST_F(DeviceListTest, CountFailureAndNoModulesAreToldApart) {
  g_fake.countStatus = 4;
  g_fake.count = 2;
  EXPECT_EQ(km7::ListDevices(lib).outcome, Outcome::CountFailed);
  g_fake.countStatus = 0;
  g_fake.count = 0;
  EXPECT_EQ(km7::ListDevices(lib).outcome, Outcome::NoneAttached);
}

TEST_F(DeviceListTest, ModulesGoneBetweenTheTwoQueriesAreNoneAvailable) {
  g_fake.count = 2;
  g_fake.modules = {};
  EXPECT_EQ(km7::ListDevices(lib).outcome, Outcome::NoneAvailable);
}

TEST_F(DeviceListTest, DescriptionQueryWithoutACountKeepsTheFirstCount) {
  g_fake.count = 2;
  g_fake.modules = {"", ""};
  g_fake.describeLeavesCountAlone = true;
  auto list = km7::ListDevices(lib);
  EXPECT_EQ(list.outcome, Outcome::Listed);
  EXPECT_EQ(list.descriptions, (std::vector<std::string>{"Currently Active", "Currently Active"}));
}

TEST_F(DeviceListTest, MoreThanSixtyThreeModulesAreBoundedByTheTable) {
  g_fake.count = 70;
  // Appended, not a literal plus a temporary: that draws a false -Wrestrict
  // from GCC 12's optimiser.
  for (int i = 0; i < 70; ++i) g_fake.modules.push_back(std::string(1, 'M').append(std::to_string(i)));
  g_fake.describedCount = 70;  // a library that reports them all
  auto list = km7::ListDevices(lib);
  EXPECT_EQ(g_fake.slotsSeen, 63u);
  EXPECT_EQ(list.count, 63u);
  ASSERT_EQ(list.descriptions.size(), 63u);
  EXPECT_EQ(list.descriptions.back(), "M62");
}

TEST_F(DeviceListTest, AFullBufferWithoutTerminatorIsCutToSixtyThree) {
  g_fake.count = 1;
  g_fake.modules = {"whatever"};
  g_fake.fillWholeBuffer = true;
  auto list = km7::ListDevices(lib);
  ASSERT_EQ(list.descriptions.size(), 1u);
  EXPECT_EQ(list.descriptions[0], std::string(63, 'x'));
}

}  // namespace
