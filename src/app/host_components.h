#pragma once
// The real backends of the host, made once by the composition root (the tray application or
// the headless runner) and kept for the life of the process: the identity on the system's
// keyring, the preferences file and the Avahi advertiser. Thread: the main thread.

#include <memory>

#include "base/task_runner.h"
#include "identity/host_identity.h"
#include "server/avahi_advertiser.h"
#include "server/file_user_defaults.h"
#include "server/host_server.h"

namespace quorin {

class HostComponents {
 public:
  explicit HostComponents(TaskRunner& mainThread);

  HostIdentity& identity() { return identity_; }
  // The one server of the process; construction may start it (the auto-start preference).
  std::unique_ptr<HostServer> makeServer();

 private:
  TaskRunner& mainThread_;
  HostIdentity identity_;
  FileUserDefaults defaults_;
  std::unique_ptr<AvahiAdvertiser> advertiser_;  // made with the server: it talks to Avahi
};

}  // namespace quorin
