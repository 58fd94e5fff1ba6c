#pragma once
// A real HostServer on port 0 with fakes behind it (an in-memory keyring, preferences and
// advertiser), stopped, with auto-start off, and what the panel over it needs: permission
// services that answer `granted` and count what they were asked, a desktop that lists
// `monitors` (none unless a test sets them), and a login item in memory whose changes can be made to
// fail (tests only). The keyring swap is undone on destruction.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/menu_view_model.h"
#include "desktop/desktop_environment.h"
#include "fakes/fake_secret_backend.h"
#include "fakes/fake_service_advertiser.h"
#include "fakes/fake_user_defaults.h"
#include "identity/keychain_store.h"
#include "server/host_server.h"
#include "transport/secure_channel.h"

namespace quorin {

class FakeLoginItem final : public LoginItem {
 public:
  bool enabled = false;
  bool failChanges = false;
  std::vector<bool> requests;  // every setEnabled, in order

  bool isEnabled() const override { return enabled; }
  bool setEnabled(bool value) override {
    requests.push_back(value);
    enabled = failChanges ? enabled : value;
    return !failChanges;
  }
};

// A desktop that only lists monitors, as the panel needs; it has no session to give.
class ListedDesktop final : public DesktopEnvironment {
 public:
  explicit ListedDesktop(const std::vector<Monitor>& monitors) : monitors_(monitors) {}
  std::vector<Monitor> monitors() override { return monitors_; }
  Result makeSession(const std::string&, const std::atomic<bool>&) override { return {nullptr, noDisplayFoundError()}; }

 private:
  const std::vector<Monitor>& monitors_;
};

struct ServerWithFakes {
  ServerWithFakes(TaskRunner& mainThread, std::string hostName)
      : name(std::move(hostName)),
        mainThread_(mainThread),
        server({.mainThread = &mainThread,
                .identity = &identity,
                .defaults = &defaults,
                .advertiser = &advertiser,
                .desktop = {},
                .hostName = [this] { return name; },
                .port = 0}) {}

  // The panel's view of this server.
  MenuViewModel::Environment environment() {
    PermissionServices permissions{
        .isAccessibilityTrusted = [this](bool prompt) { prompts.push_back(prompt); return granted.load(); },
        .hasScreenRecording = [this] { ++screenProbes; return screenProbe(); },
        .openScreenRecordingSettings = [this] { ++screenSettingsOpened; },
        .openAccessibilitySettings = [this] { ++accessibilitySettingsOpened; }};
    return {&server, &flags, std::move(permissions), &loginItem, &mainThread_, &defaults,
            [this] { return desktop; }, canAskBeforeConnecting};
  }

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

  KeyringSwap keyring{std::make_shared<FakeSecretBackend>()};  // before anything reads a key
  std::string name;
  TaskRunner& mainThread_;
  HostIdentity identity{SecureChannel::generateKey, [this] { return name; }};
  FakeUserDefaults defaults = autoStartOff();
  FakeServiceAdvertiser advertiser;
  HostServer server;
  PermissionFlags flags;
  FakeLoginItem loginItem;
  std::atomic<bool> granted{true};
  std::function<bool()> screenProbe = [this] { return granted.load(); };  // on the probe thread
  std::atomic<int> screenProbes{0};
  std::vector<Monitor> monitors;  // read on the probe thread: set it before the panel shows
  std::shared_ptr<DesktopEnvironment> desktop = std::make_shared<ListedDesktop>(monitors);
  bool canAskBeforeConnecting = false;
  std::vector<bool> prompts;  // of isAccessibilityTrusted, in order
  int screenSettingsOpened = 0;
  int accessibilitySettingsOpened = 0;
};

}  // namespace quorin
