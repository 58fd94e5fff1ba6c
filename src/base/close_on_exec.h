#pragma once
// Keeps the host's descriptors out of the programs it starts: a child that outlives the host
// (a slow loginctl) would otherwise hold its listening socket, so that a restarted host could
// not bind its port. Callable from any thread.

namespace quorin {

// Sets FD_CLOEXEC on `fd`; false when that failed.
bool setCloseOnExec(int fd);

// Sets FD_CLOEXEC on every descriptor above standard error. For libraries that make
// descriptors without it (Avahi's threaded poll makes its wake-up pipe with plain pipe());
// nothing the host holds is meant for a child.
void setCloseOnExecAboveStandardError();

}  // namespace quorin
