#include "server/file_user_defaults.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "fakes/log_capture.h"
#include "fakes/temporary_folder.h"

namespace quorin {
namespace {

namespace fs = std::filesystem;

TEST(FileUserDefaults, StoresPrivatelyReadsAfreshAndTakesACorruptFileForEmpty) {
  TemporaryFolder dir;
  const fs::path file = dir.path / "quorin-remote" / "defaults.json";
  FileUserDefaults defaults(file);
  EXPECT_FALSE(defaults.contains("QuorinAutoStart") || defaults.boolValue("QuorinAutoStart"));
  ASSERT_TRUE(defaults.setBool("QuorinAutoStart", false));
  EXPECT_TRUE(defaults.contains("QuorinAutoStart")) << "a stored false is still a value";

  FileUserDefaults again(file);
  EXPECT_TRUE(again.contains("QuorinAutoStart") && !again.boolValue("QuorinAutoStart"));
  ASSERT_TRUE(again.setBool("QuorinAutoStart", true) && again.setString("token", "a\"b"));
  EXPECT_TRUE(defaults.boolValue("QuorinAutoStart")) << "read afresh and kept beside the other value";
  EXPECT_EQ(defaults.stringValue("token"), "a\"b");
  EXPECT_EQ(defaults.stringValue("QuorinAutoStart"), "") << "a Boolean is no text";
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1)
      << "no temporary file is left beside it";

  // Other kinds of values read as Booleans the way the stored preferences always did.
  std::ofstream(file) << R"({"n":2,"z":0,"s":"YES","t":"true","o":"on","null":null,"list":[1]})";
  for (const auto& [key, value] : {std::pair{"n", true}, {"z", false}, {"s", true}, {"t", true},
                                    {"o", false}, {"null", false}, {"list", false}}) {
    EXPECT_EQ(defaults.boolValue(key), value) << key;
  }
  EXPECT_TRUE(defaults.contains("null"));

  // A corrupt file reads empty, is logged once and is replaced by the next write.
  std::ofstream(file) << "{\"QuorinAutoStart\": fal";
  LogCapture log;
  FileUserDefaults corrupt(file);
  EXPECT_FALSE(corrupt.contains("QuorinAutoStart") || corrupt.boolValue("QuorinAutoStart"));
  EXPECT_EQ(log.lines().size(), 1u);
  ASSERT_TRUE(corrupt.setBool("QuorinAutoStart", true));
  EXPECT_TRUE(FileUserDefaults(file).boolValue("QuorinAutoStart"));
}

}  // namespace
}  // namespace quorin
