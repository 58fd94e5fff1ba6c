#include "identity/file_secret_backend.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include "fakes/log_capture.h"
#include "fakes/temporary_folder.h"
#include "identity/secret_backend_contract.h"

namespace quorin {
namespace {

namespace fs = std::filesystem;

std::unique_ptr<SecretBackend> makeFileBackend() {
  static const TemporaryFolder folder;
  return std::make_unique<FileSecretBackend>(folder.path / "store" / "keychain.json");
}

INSTANTIATE_TEST_SUITE_P(File, SecretBackendContract, testing::Values(&makeFileBackend),
                         [](const auto&) { return std::string("file"); });

class FileSecretBackendTest : public testing::Test {
 protected:
  void write(const std::string& contents) {
    fs::create_directories(file_.parent_path());
    std::ofstream(file_) << contents;
  }

  const TemporaryFolder folder_;
  const fs::path file_ = folder_.path / "quorin-remote" / "keychain.json";
  FileSecretBackend backend_{file_};
  LogCapture log_;
};

TEST_F(FileSecretBackendTest, StoreIsPrivateAndReplacedWhole) {
  const mode_t previousMask = ::umask(0);
  ASSERT_TRUE(backend_.save(bytesOf("old"), "host-key"));
  ::umask(previousMask);
  EXPECT_EQ(fs::status(file_.parent_path()).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(file_).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  // A file size limit makes the next write fail halfway: the old store must survive intact.
  rlimit original{};
  ::getrlimit(RLIMIT_FSIZE, &original);
  const rlimit small{16, original.rlim_max};
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &small);
  const bool saved = backend_.save(Bytes(200, 0x42), "host-key");
  ::setrlimit(RLIMIT_FSIZE, &original);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_FALSE(saved);
  EXPECT_EQ(backend_.load("host-key"), bytesOf("old"));
  EXPECT_EQ(std::distance(fs::directory_iterator(file_.parent_path()), {}), 1) << "a temporary was left behind";
}

TEST_F(FileSecretBackendTest, DamagedStoreReadsAsAbsentAndIsKeptAside) {
  for (const char* damaged : {"\x89PNG\r\n", "[\"host-key\"]", "{\"host-key\":"}) {
    write(damaged);
    EXPECT_FALSE(backend_.load("host-key")) << damaged;
    EXPECT_TRUE(backend_.allAccounts().empty()) << damaged;
  }
  ASSERT_TRUE(backend_.save(bytesOf("fresh"), "host-key"));
  EXPECT_EQ(backend_.load("host-key"), bytesOf("fresh"));
  std::ifstream aside(file_.string() + ".unreadable");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(aside), {}), "{\"host-key\":");

  write(R"({"host-key":"not base64!","other":"AAE="})");
  EXPECT_FALSE(backend_.load("host-key"));
  EXPECT_EQ(backend_.load("other"), (Bytes{0x00, 0x01}));
}

// Only a regular file of this user is read, never through a link, and never by waiting on a
// FIFO; one that others may read is made private first.
TEST_F(FileSecretBackendTest, ReadsOnlyThisUsersRegularFile) {
  write(R"({"host-key":"AAE="})");
  fs::permissions(file_, fs::perms(0644));
  EXPECT_EQ(backend_.load("host-key"), (Bytes{0x00, 0x01}));
  EXPECT_EQ(fs::status(file_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(log_.contains("QuorinRemote: " + file_.string() + " was readable by others; its mode is now 0600"));

  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(file_.c_str(), 4242, 4242), 0);
    EXPECT_FALSE(backend_.load("host-key"));
  }

  const fs::path real = folder_.path / "elsewhere.json";
  fs::rename(file_, real);
  fs::create_symlink(real, file_);
  EXPECT_FALSE(backend_.load("host-key"));

  fs::remove(file_);
  ASSERT_EQ(::mkfifo(file_.c_str(), 0600), 0);
  EXPECT_FALSE(backend_.load("host-key"));
}

}  // namespace
}  // namespace quorin
