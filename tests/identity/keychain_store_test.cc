#include "identity/keychain_store.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "fakes/log_capture.h"
#include "identity/system_secret_backend.h"

namespace quorin {
namespace {

TEST(KeychainStore, WithoutSessionBusChoosesTheFileStoreAndSaysSo) {
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ::setenv("XDG_RUNTIME_DIR", "/nonexistent-runtime", 1);
  ::setenv("XDG_DATA_HOME", "/tmp/quorin-data", 1);
  LogCapture log;
  const auto backend = KeychainStore::chooseBackend();
  EXPECT_NE(dynamic_cast<SystemSecretBackend*>(backend.get()), nullptr);
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "QuorinRemote: KeychainStore using the file "
                             "/tmp/quorin-data/quorin-remote/keychain.json "
                             "(no Secret Service on the session bus)"});
}

}  // namespace
}  // namespace quorin
