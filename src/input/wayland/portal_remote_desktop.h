#pragma once
// RemoteDesktopInput through the desktop portal (org.freedesktop.portal.RemoteDesktop), for
// a session someone else created, selected devices for and started. Main thread only, on the
// connection that created the session: the portal accepts calls from that connection alone.

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <string>

#include "input/wayland/remote_desktop_input.h"

namespace quorin {

// `session` is the session handle; `streamNode` the PipeWire node id of the started stream
// whose pixels pointer positions refer to.
std::unique_ptr<RemoteDesktopInput> makePortalRemoteDesktop(sd_bus* bus, std::string session,
                                                            std::uint32_t streamNode);

}  // namespace quorin
