#include "server/file_user_defaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "fakes/log_capture.h"

namespace quorin {
namespace {

class FileUserDefaultsTest : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(dir); }
  void write(const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
      ("quorin-defaults-" + std::to_string(getpid()) + "-" +
       ::testing::UnitTest::GetInstance()->current_test_info()->name());
  const std::filesystem::path file = dir / "quorin-remote" / "defaults.json";
};

TEST_F(FileUserDefaultsTest, StoresPrivatelyAndSurvivesANewInstance) {
  FileUserDefaults defaults(file);
  EXPECT_FALSE(defaults.contains("QuorinAutoStart"));
  EXPECT_FALSE(defaults.boolValue("QuorinAutoStart"));
  ASSERT_TRUE(defaults.setBool("QuorinAutoStart", false));
  EXPECT_TRUE(defaults.contains("QuorinAutoStart")) << "a stored false is still a value";

  FileUserDefaults again(file);
  EXPECT_TRUE(again.contains("QuorinAutoStart"));
  EXPECT_FALSE(again.boolValue("QuorinAutoStart"));
  ASSERT_TRUE(again.setBool("QuorinAutoStart", true));
  EXPECT_TRUE(defaults.boolValue("QuorinAutoStart")) << "read afresh, not cached";
  ASSERT_TRUE(again.setString("token", "a\"b"));
  EXPECT_EQ(defaults.stringValue("token"), "a\"b");
  EXPECT_TRUE(defaults.boolValue("QuorinAutoStart")) << "each value is kept beside the others";
  EXPECT_EQ(defaults.stringValue("QuorinAutoStart"), "") << "a Boolean is no text";

  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()),
                          std::filesystem::directory_iterator()),
            1) << "no temporary file is left beside it";
}

TEST_F(FileUserDefaultsTest, ReadsOtherValueKindsAsBooleansAndACorruptFileAsEmpty) {
  write(R"({"n":2,"z":0,"s":"YES","t":"true","o":"on","null":null,"list":[1]})");
  FileUserDefaults defaults(file);
  for (const auto& [key, value] : {std::pair{"n", true}, {"z", false}, {"s", true}, {"t", true},
                                    {"o", false}, {"null", false}, {"list", false}}) {
    EXPECT_EQ(defaults.boolValue(key), value) << key;
  }
  EXPECT_TRUE(defaults.contains("null"));

  // A corrupt file reads empty, is logged once and is replaced by the next write.
  write("{\"QuorinAutoStart\": fal");
  LogCapture log;
  FileUserDefaults corrupt(file);
  EXPECT_FALSE(corrupt.contains("QuorinAutoStart"));
  EXPECT_FALSE(corrupt.boolValue("QuorinAutoStart"));
  EXPECT_EQ(log.lines().size(), 1u);
  ASSERT_TRUE(corrupt.setBool("QuorinAutoStart", true));
  EXPECT_TRUE(FileUserDefaults(file).boolValue("QuorinAutoStart"));
}

}  // namespace
}  // namespace quorin
