#include "identity/file_secret_backend.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <map>

#include "fakes/log_capture.h"
#include "fakes/temporary_folder.h"
#include "identity/atomic_file.h"
#include "identity/host_identity.h"
#include "identity/keychain_store.h"
#include "identity/secret_backend_contract.h"
#include "identity/system_secret_backend.h"

namespace quorin {
namespace {

namespace fs = std::filesystem;

std::unique_ptr<SecretBackend> makeFileBackend() {
  static const TemporaryFolder folder;
  return std::make_unique<FileSecretBackend>(folder.path / "store" / "keychain.json");
}

INSTANTIATE_TEST_SUITE_P(File, SecretBackendContract, testing::Values(&makeFileBackend),
                         [](const auto&) { return std::string("file"); });

std::string contentsOf(const fs::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

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

// A store read whole that is not one holds nothing; each such file is kept aside, none over another.
TEST_F(FileSecretBackendTest, DamagedStoresReadAsAbsentAndEachIsKeptAside) {
  for (const char* damaged : {"\x89PNG\r\n", "[\"host-key\"]", "{\"host-key\":"}) {
    write(damaged);
    EXPECT_FALSE(backend_.load("host-key")) << damaged;
    EXPECT_FALSE(backend_.whyUnreadable("host-key")) << damaged;
    EXPECT_TRUE(backend_.allAccounts().empty()) << damaged;
    ASSERT_TRUE(backend_.save(bytesOf("fresh"), "host-key"));
  }
  EXPECT_EQ(backend_.load("host-key"), bytesOf("fresh"));
  const auto aside = [&](const char* suffix) { return contentsOf(file_.string() + suffix); };
  EXPECT_EQ(aside(".damaged"), "\x89PNG\r\n");
  EXPECT_EQ(aside(".damaged.2"), "[\"host-key\"]");
  EXPECT_EQ(aside(".damaged.3"), "{\"host-key\":");

  write(R"({"host-key":"not base64!","other":"AAE="})");
  EXPECT_FALSE(backend_.load("host-key"));
  EXPECT_EQ(backend_.load("other"), (Bytes{0x00, 0x01}));
}

// A link (as dotfile managers make) is followed to the private file, which a change replaces
// while the link stays; one that others may read is made private first.
TEST_F(FileSecretBackendTest, LinkIsFollowedToThisUsersFile) {
  const fs::path real = folder_.path / "dotfiles" / "keychain.json";
  fs::create_directories(real.parent_path());
  std::ofstream(real) << R"({"host-key":"AAE="})";
  fs::permissions(real, fs::perms(0644));
  fs::create_directories(file_.parent_path());
  fs::create_symlink(real, file_);
  EXPECT_EQ(backend_.load("host-key"), (Bytes{0x00, 0x01}));
  EXPECT_EQ(fs::status(real).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(log_.contains("QuorinRemote: " + file_.string() + " was readable by others; its mode is now 0600"));
  ASSERT_TRUE(backend_.save(bytesOf("new"), "host-key"));
  EXPECT_TRUE(fs::is_symlink(file_));
  EXPECT_EQ(FileSecretBackend(real).load("host-key"), bytesOf("new"));
}

// A damaged store behind a link is copied aside beside the link, and the store it is replaced
// by is written where the link leads, relative or not; the link stays.
TEST_F(FileSecretBackendTest, DamagedStoreBehindALinkIsKeptAsideAndTheLinkStays) {
  const fs::path real = folder_.path / "dotfiles" / "keychain.json";
  fs::create_directories(real.parent_path());
  std::ofstream(real) << "{\"host-key\":";
  fs::create_directories(file_.parent_path());
  fs::create_symlink(fs::path("..") / "dotfiles" / "keychain.json", file_);
  EXPECT_FALSE(backend_.load("host-key"));
  ASSERT_TRUE(backend_.save(bytesOf("fresh"), "host-key"));
  EXPECT_TRUE(fs::is_symlink(file_));
  EXPECT_EQ(FileSecretBackend(real).load("host-key"), bytesOf("fresh"));
  EXPECT_EQ(contentsOf(file_.string() + ".damaged"), "{\"host-key\":");
  EXPECT_TRUE(log_.contains("QuorinRemote: the store " + file_.string() + " is damaged; a copy of the store is kept at " +
                            file_.string() + ".damaged"));
}

// A change replaces the file a chain of links ends at, made when it is missing; the links stay.
TEST(AtomicFile, ReplacementGoesWhereLinksLead) {
  const TemporaryFolder folder;
  const fs::path end = folder.path / "real" / "file";
  fs::create_directories(end.parent_path());
  fs::create_symlink(fs::path("real") / "file", folder.path / "middle");
  fs::create_symlink(folder.path / "middle", folder.path / "link");
  ASSERT_TRUE(writeFileAtomically(folder.path / "link", bytesOf("first"), 0600));
  ASSERT_TRUE(writeFileAtomically(folder.path / "link", bytesOf("second"), 0600));
  EXPECT_EQ(contentsOf(end), "second");
  EXPECT_TRUE(fs::is_symlink(folder.path / "link"));
  EXPECT_TRUE(fs::is_symlink(folder.path / "middle"));
}

// An entry that is no value, or a value that is no key, is kept aside with the whole store
// before it is replaced, each copy beside the others; a damaged entry of another account
// stays where it is.
TEST_F(FileSecretBackendTest, DamagedEntryIsKeptAsideBeforeItIsReplaced) {
  KeychainStore::setBackend(std::make_shared<SystemSecretBackend>(nullptr, std::make_shared<FileSecretBackend>(file_)));
  int generated = 0;
  HostIdentity identity([&]() -> std::optional<Bytes> { return Bytes(32, static_cast<std::uint8_t>(++generated)); },
                        [] { return "host"; });
  const std::string notBase64 = R"({"host-key":"not base64!","other":"AAE="})";
  write(notBase64);
  EXPECT_EQ(identity.loadOrCreateKey(), Bytes(32, 1));
  const std::string shortKey = R"({"host-key":"AAE="})";
  write(shortKey);
  EXPECT_EQ(identity.loadOrCreateKey(), Bytes(32, 2));
  EXPECT_EQ(identity.loadOrCreateKey(), Bytes(32, 2));
  KeychainStore::setBackend(nullptr);

  EXPECT_EQ(contentsOf(file_.string() + ".damaged"), notBase64);
  EXPECT_EQ(contentsOf(file_.string() + ".damaged.2"), shortKey);
  EXPECT_FALSE(fs::exists(file_.string() + ".damaged.3"));
  EXPECT_TRUE(log_.contains("QuorinRemote: the entry host-key of the store " + file_.string() +
                            " is damaged (neither a Base64 value nor a note); a copy of the store is kept at " +
                            file_.string() + ".damaged"));
  EXPECT_TRUE(log_.contains("QuorinRemote: the entry host-key of the store " + file_.string() +
                            " is to be replaced; a copy of the store is kept at " + file_.string() + ".damaged.2"));

  // A change of another account leaves the damaged entry in the store; deleting it keeps a copy.
  write(notBase64);
  ASSERT_TRUE(backend_.save(bytesOf("new"), "other"));
  EXPECT_FALSE(fs::exists(file_.string() + ".damaged.3"));
  EXPECT_NE(contentsOf(file_).find(R"("host-key":"not base64!")"), std::string::npos);
  EXPECT_TRUE(backend_.deleteItem("host-key"));
  EXPECT_NE(contentsOf(file_.string() + ".damaged.3").find(R"("host-key":"not base64!")"), std::string::npos);
}

// The lowest file descriptor number that is free: a limit at it makes the next open fail.
rlim_t lowestFreeDescriptor() {
  rlim_t fd = 0;
  while (::fcntl(static_cast<int>(fd), F_GETFD) != -1) ++fd;
  return fd;
}

// Every entry of the folder with its inode: a file replaced or moved aside changes it.
std::map<std::string, ino_t> entries(const fs::path& folder) {
  std::map<std::string, ino_t> found;
  for (const auto& entry : fs::directory_iterator(folder)) {
    struct stat info {};
    ::lstat(entry.path().c_str(), &info);
    found[entry.path().filename()] = info.st_ino;
  }
  return found;
}

// Only a missing file means no key. Whatever else keeps the file from being read, the host
// makes no key (which would unpair every device), changes nothing, and says what to fix.
TEST_F(FileSecretBackendTest, StoreThatCannotBeReadIsNeitherReplacedNorMovedAside) {
  const std::string key = R"({"host-key":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="})";
  const bool root = ::geteuid() == 0;
  struct Case {
    const char* name;
    std::function<void()> make;
    std::string says;
    bool tooManyFiles = false;
  };
  const fs::path other = folder_.path / "other.json";
  const std::vector<Case> cases = {
      {"another user's", [&] { write(key); ASSERT_EQ(::chown(file_.c_str(), 4242, 4242), 0); },
       "belongs to another user (uid 4242); make it yours with chown"},
      {"mode 000", [&] { write(key); fs::permissions(file_, fs::perms::none); },
       root ? "may not be read by its owner; run chmod 600 " + file_.string()
            : "may not be read (Permission denied); run chmod 600 " + file_.string()},
      {"a folder", [&] { fs::create_directories(file_); }, "is a folder, not a file"},
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(file_.c_str(), 0600), 0); }, "is not a regular file"},
      {"over 1 MiB", [&] { write(key + std::string(1 << 20, ' ')); }, "more than a key store ever does"},
      {"a link to nothing", [&] { fs::create_symlink(folder_.path / "unmounted" / "keychain.json", file_); },
       "is a link to a file that does not exist"},
      {"a link to another user's file",
       [&] {
         std::ofstream(other) << key;
         ASSERT_EQ(::chown(other.c_str(), 4242, 4242), 0);
         fs::create_symlink(other, file_);
       },
       "belongs to another user (uid 4242)"},
      {"too many open files", [&] { write(key); }, "too many files are open (Too many open files)", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!root && std::string(c.says).find("uid 4242") != std::string::npos) continue;  // needs chown
    fs::remove_all(file_.parent_path());
    fs::remove(other);
    fs::create_directories(file_.parent_path());
    c.make();
    const auto before = entries(file_.parent_path());
    int generated = 0;
    HostIdentity identity([&]() -> std::optional<Bytes> { return Bytes(32, static_cast<std::uint8_t>(++generated)); },
                          [] { return "host"; });
    KeychainStore::setBackend(std::make_shared<SystemSecretBackend>(nullptr, std::make_shared<FileSecretBackend>(file_)));

    rlimit original{};
    ::getrlimit(RLIMIT_NOFILE, &original);
    if (c.tooManyFiles) {
      const rlimit few{lowestFreeDescriptor(), original.rlim_max};
      ::setrlimit(RLIMIT_NOFILE, &few);
    }
    const auto loaded = identity.loadOrCreateKey();
    const bool saved = backend_.save(bytesOf("other"), "host-key");
    ::setrlimit(RLIMIT_NOFILE, &original);
    KeychainStore::setBackend(nullptr);

    EXPECT_FALSE(loaded);
    EXPECT_FALSE(saved);
    EXPECT_EQ(generated, 0);
    EXPECT_NE(identity.problem().find(c.says), std::string::npos) << identity.problem();
    EXPECT_TRUE(identity.problem().starts_with("The host key cannot be read now: " + file_.string()))
        << identity.problem();
    EXPECT_EQ(entries(file_.parent_path()), before);
  }
}

}  // namespace
}  // namespace quorin
