#include "identity/file_secret_backend.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include "identity/secret_backend_contract.h"

namespace quorin {
namespace {

namespace fs = std::filesystem;

// A fresh folder, removed with the object.
struct TemporaryFolder {
  TemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "quorin-secrets.XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~TemporaryFolder() { fs::remove_all(path); }
  fs::path path;
};

std::unique_ptr<SecretBackend> makeFileBackend() {
  static const TemporaryFolder folder;
  return std::make_unique<FileSecretBackend>(folder.path / "store" / "keychain.json");
}

INSTANTIATE_TEST_SUITE_P(File, SecretBackendContract, testing::Values(&makeFileBackend),
                         [](const auto&) { return std::string("file"); });

class FileSecretBackendTest : public testing::Test {
 protected:
  std::size_t filesInFolder() const {
    return std::distance(fs::directory_iterator(file_.parent_path()), fs::directory_iterator());
  }

  const TemporaryFolder folder_;
  const fs::path file_ = folder_.path / "quorin-remote" / "keychain.json";
  FileSecretBackend backend_{file_};
};

TEST_F(FileSecretBackendTest, StoreIsPrivateAndReplacedWhole) {
  const mode_t previousMask = ::umask(0);
  ASSERT_TRUE(backend_.save(bytesOf("old"), "host-key"));
  ::umask(previousMask);
  struct stat folder {}, file {};
  ASSERT_EQ(::stat(file_.parent_path().c_str(), &folder), 0);
  ASSERT_EQ(::stat(file_.c_str(), &file), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);
  EXPECT_EQ(file.st_mode & 0777, 0600u);

  // A file size limit makes the next write fail halfway: the old store must survive intact.
  rlimit original{};
  ::getrlimit(RLIMIT_FSIZE, &original);
  rlimit small = original;
  small.rlim_cur = 16;
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &small);
  const bool saved = backend_.save(Bytes(200, 0x42), "host-key");
  ::setrlimit(RLIMIT_FSIZE, &original);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_FALSE(saved);
  EXPECT_EQ(backend_.load("host-key"), bytesOf("old"));
  EXPECT_EQ(filesInFolder(), 1u);  // no temporary left behind
}

TEST_F(FileSecretBackendTest, DamagedStoreReadsAsAbsent) {
  fs::create_directories(file_.parent_path());
  for (const char* damaged : {"\x89PNG\r\n", "[\"host-key\"]", "{\"host-key\":"}) {
    std::ofstream(file_) << damaged;
    EXPECT_FALSE(backend_.load("host-key")) << damaged;
    EXPECT_TRUE(backend_.allAccounts().empty()) << damaged;
  }
  std::ofstream(file_) << R"({"host-key":"not base64!","other":"AAE="})";
  EXPECT_FALSE(backend_.load("host-key"));
  EXPECT_EQ(backend_.load("other"), (Bytes{0x00, 0x01}));
  ASSERT_TRUE(backend_.save(bytesOf("fresh"), "host-key"));
  EXPECT_EQ(backend_.load("host-key"), bytesOf("fresh"));

  // A folder where the file should be cannot be read or replaced, even by root.
  fs::remove(file_);
  fs::create_directories(file_ / "inside");
  EXPECT_FALSE(backend_.load("host-key"));
  EXPECT_FALSE(backend_.save(bytesOf("value"), "host-key"));
  EXPECT_TRUE(fs::exists(file_ / "inside"));
}

}  // namespace
}  // namespace quorin
