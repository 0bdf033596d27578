#include "metrics/Textfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Another account that may write the folder plants links where a temporary
// file could go (the name of an earlier release among them) and at the
// target: no file outside the folder is written or made readable.
TEST(TextfileTest, LinksPlantedInTheFolderAreNotFollowed) {
  it::TempDir dir;
  it::TempDir elsewhere;
  const fs::path secret = elsewhere / "secret";
  it::WriteFile(secret, "root's own\n");
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  for (const std::string& name : {".km7.prom." + std::to_string(::getpid()) + ".tmp", std::string(".km7.prom.tmp")})
    fs::create_symlink(secret, dir / name);
  const status::SensorList sensors{test::UpSensor("Lab", "KM7A01", 20, 50)};
  std::string error;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(WriteTextfile(dir.path(), sensors, error)) << error;
  EXPECT_EQ(it::ReadFile(secret), "root's own\n");
  struct stat st{};
  ASSERT_EQ(::stat(secret.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A link as the textfile itself is replaced, not written through.
  fs::remove(dir / "km7.prom");
  fs::create_symlink(secret, dir / "km7.prom");
  ASSERT_TRUE(WriteTextfile(dir.path(), sensors, error)) << error;
  EXPECT_FALSE(fs::is_symlink(dir / "km7.prom"));
  EXPECT_EQ(it::ReadFile(dir / "km7.prom"), RenderExposition(sensors));
  EXPECT_EQ(it::ReadFile(secret), "root's own\n");
  // Only the planted links and the textfile are there: no temporary file left.
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 3);
}

TEST(TextfileTest, AtAStopEverySensorIsMarkedDown) {
  it::TempDir dir;
  std::string error;
  const status::SensorList sensors{test::UpSensor("Lab", "KM7A01", 20, 50), test::UpSensor("Cellar", "KM7B02", 9, 80)};
  ASSERT_TRUE(WriteTextfileDown(dir.path(), sensors, error)) << error;
  const std::string text = it::ReadFile(dir / "km7.prom");
  EXPECT_NE(text.find("km7_sensor_up{sensor=\"Lab\",serial=\"KM7A01\"} 0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("km7_sensor_up{sensor=\"Cellar\",serial=\"KM7B02\"} 0\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("km7_temperature_celsius{"), std::string::npos) << text;
}

}  // namespace
}  // namespace km7::metrics
