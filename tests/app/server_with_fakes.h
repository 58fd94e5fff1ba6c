#pragma once
// A real HostServer on port 0 with fakes behind it (an in-memory keyring, preferences and
// advertiser), stopped, with auto-start off (tests only). The keyring swap is undone on
// destruction.

#include <memory>
#include <string>

#include "fakes/fake_secret_backend.h"
#include "fakes/fake_service_advertiser.h"
#include "fakes/fake_user_defaults.h"
#include "identity/keychain_store.h"
#include "server/host_server.h"
#include "transport/secure_channel.h"

namespace quorin {

struct ServerWithFakes {
  ServerWithFakes(TaskRunner& mainThread, std::string hostName)
      : name(std::move(hostName)),
        server({.mainThread = &mainThread,
                .identity = &identity,
                .defaults = &defaults,
                .advertiser = &advertiser,
                .hostName = [this] { return name; },
                .port = 0}) {}

  struct KeyringSwap {
    explicit KeyringSwap(std::shared_ptr<SecretBackend> backend) { KeychainStore::setBackend(std::move(backend)); }
    ~KeyringSwap() { KeychainStore::setBackend(nullptr); }
  };
  static FakeUserDefaults autoStartOff() {
    FakeUserDefaults off;
    off.setBool(HostServer::kAutoStartKey, false);
    off.writes = 0;
    return off;
  }

  std::shared_ptr<FakeSecretBackend> secrets = std::make_shared<FakeSecretBackend>();
  KeyringSwap keyring{secrets};  // before anything reads a key
  std::string name;
  HostIdentity identity{SecureChannel::generateKey, [this] { return name; }};
  FakeUserDefaults defaults = autoStartOff();
  FakeServiceAdvertiser advertiser;
  HostServer server;
};

}  // namespace quorin
