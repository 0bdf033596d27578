#include "metrics/Textfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Harness.h"
#include "MetricsTestData.h"
#include "metrics/Exposition.h"

namespace km7::metrics {
namespace {

namespace fs = std::filesystem;

TEST(TextfileTest, WritesTheExpositionAndReplacesItWhole) {
  it::TempDir dir;
  std::string error;
  status::SensorList sensors{test::UpSensor("Lab", "KM7A01", 20, 50)};
  ASSERT_TRUE(WriteTextfile(dir.path(), sensors, error)) << error;
  EXPECT_EQ(it::ReadFile(dir / "km7.prom"), RenderExposition(sensors));
  struct stat st{};
  ASSERT_EQ(::stat((dir / "km7.prom").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  sensors[0].up = false;
  ASSERT_TRUE(WriteTextfile(dir.path(), sensors, error)) << error;
  EXPECT_EQ(it::ReadFile(dir / "km7.prom"), RenderExposition(sensors));
  // Nothing but the file is left behind.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(TextfileTest, AFolderThatCannotBeWrittenIsAnErrorAndKeepsTheOldFile) {
  it::TempDir dir;
  std::string error;
  EXPECT_FALSE(WriteTextfile(dir / "missing", {}, error));
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;

  // km7.prom being a folder: the rename fails, the temporary file is removed.
  fs::create_directory(dir / "km7.prom");
  EXPECT_FALSE(WriteTextfile(dir.path(), {}, error));
  EXPECT_NE(error.find("cannot replace"), std::string::npos) << error;
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1);
}

}  // namespace
}  // namespace km7::metrics
