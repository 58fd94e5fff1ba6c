#pragma once
// Lets TCP notice a peer that vanished without a word (a phone that walked out of Wi-Fi).
// On a still screen the host writes nothing and the client's ping has no cadence to rely
// on, so only the kernel's keepalive probes can tell; TCP_USER_TIMEOUT bounds both the
// probes and data the peer stops acknowledging. A dead peer's connection then fails with
// ETIMEDOUT within kUserTimeout (plus one probe interval at most).
// Thread: any; call on a connected socket before its reads start.

#include <chrono>

namespace quorin {

inline constexpr std::chrono::seconds kKeepAliveIdle{10};
inline constexpr std::chrono::seconds kKeepAliveInterval{5};
inline constexpr int kKeepAliveProbes = 3;
inline constexpr std::chrono::seconds kUserTimeout =
    kKeepAliveIdle + kKeepAliveProbes * kKeepAliveInterval;

// False when the socket refused an option (then the others may be set or not).
bool watchPeerLiveness(int fd);

}  // namespace quorin
