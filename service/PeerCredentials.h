#pragma once

#include <sys/types.h>

#include <optional>

// Who owns the other end of a loopback TCP connection. Loopback TCP is open to every account on
// the machine; the kernel knows which account created the connecting socket.
namespace PeerCredentials {

// The user id that owns the peer socket of the connected TCP socket `fd`, looked up by the
// connection's exact addresses and ports while `fd` holds this end open (so the peer cannot be
// swapped for another socket meanwhile). Nothing when the owner cannot be known: the peer is in
// another network namespace, its socket is already closed (a time-wait or orphaned socket has
// no owner), or the kernel cannot be asked.
std::optional<uid_t> tcpPeerOwner(int fd);

// The two ways of asking, each on its own (tests compare them): the socket-diagnostics netlink
// family, and the /proc/net/tcp and tcp6 tables that tcpPeerOwner falls back to.
std::optional<uid_t> tcpPeerOwnerByNetlink(int fd);
std::optional<uid_t> tcpPeerOwnerByProcTable(int fd);

}  // namespace PeerCredentials
