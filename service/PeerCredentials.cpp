#include "PeerCredentials.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace PeerCredentials {
namespace {

// One end of the connection: address bytes as they travel, port in network order.
struct Endpoint {
    int family = AF_UNSPEC;
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;

    int addressSize() const { return family == AF_INET ? 4 : 16; }
};

// An IPv4 client of a dual-stack listener shows up as ::ffff:a.b.c.d; its own socket is IPv4.
Endpoint fromSockaddr(const sockaddr_storage& storage) {
    Endpoint out;
    if (storage.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(storage);
        out.family = AF_INET;
        std::memcpy(out.address.data(), &in.sin_addr, 4);
        out.port = in.sin_port;
    } else if (storage.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(storage);
        out.port = in6.sin6_port;
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            out.family = AF_INET;
            std::memcpy(out.address.data(), in6.sin6_addr.s6_addr + 12, 4);
        } else {
            out.family = AF_INET6;
            std::memcpy(out.address.data(), in6.sin6_addr.s6_addr, 16);
        }
    }
    return out;
}

// This end (`local`) and the peer's end (`peer`) of a connected TCP socket.
bool endpoints(int fd, Endpoint* local, Endpoint* peer) {
    sockaddr_storage ours{};
    sockaddr_storage theirs{};
    socklen_t oursSize = sizeof ours;
    socklen_t theirsSize = sizeof theirs;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &oursSize) != 0) return false;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &theirsSize) != 0) return false;
    *local = fromSockaddr(ours);
    *peer = fromSockaddr(theirs);
    return local->family != AF_UNSPEC && local->family == peer->family;
}

// A socket that still belongs to a process: not a time-wait or half-open request entry (those
// carry no owner), and still attached to a file.
bool ownedState(unsigned state, unsigned long inode) {
    constexpr unsigned kNewSynReceived = 12;  // TCP_NEW_SYN_RECV, a request entry
    return inode != 0 && state != TCP_TIME_WAIT && state != kNewSynReceived;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

std::optional<uid_t> tcpPeerOwnerByNetlink(int fd) {
    Endpoint local;
    Endpoint peer;
    if (!endpoints(fd, &local, &peer)) return std::nullopt;

    const FileDescriptor netlink(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (netlink.get() < 0) return std::nullopt;
    const timeval timeout{1, 0};  // the kernel answers at once; never hang the service on it
    ::setsockopt(netlink.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    // An exact lookup: the socket whose own side is the peer's end of this connection.
    struct {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.body.sdiag_family = static_cast<std::uint8_t>(peer.family);
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = ~0U;
    request.body.id.idiag_sport = peer.port;
    request.body.id.idiag_dport = local.port;
    std::memcpy(request.body.id.idiag_src, peer.address.data(), peer.addressSize());
    std::memcpy(request.body.id.idiag_dst, local.address.data(), local.addressSize());
    request.body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(netlink.get(), &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<ssize_t>(sizeof request))
        return std::nullopt;

    alignas(nlmsghdr) std::array<char, 8192> buffer{};
    const ssize_t received = ::recv(netlink.get(), buffer.data(), buffer.size(), 0);
    if (received <= 0) return std::nullopt;
    int remaining = static_cast<int>(received);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, remaining);
         header = NLMSG_NEXT(header, remaining)) {
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) return std::nullopt;  // an error: no such socket
        if (header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return std::nullopt;
        const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
        const bool same = found->idiag_family == peer.family && found->id.idiag_sport == peer.port &&
                          found->id.idiag_dport == local.port &&
                          std::memcmp(found->id.idiag_src, peer.address.data(), peer.addressSize()) == 0 &&
                          std::memcmp(found->id.idiag_dst, local.address.data(), local.addressSize()) == 0;
        if (!same || !ownedState(found->idiag_state, found->idiag_inode)) return std::nullopt;
        return static_cast<uid_t>(found->idiag_uid);
    }
    return std::nullopt;
}

std::optional<uid_t> tcpPeerOwnerByProcTable(int fd) {
    Endpoint local;
    Endpoint peer;
    if (!endpoints(fd, &local, &peer)) return std::nullopt;

    // The tables print each address as the 32-bit words it is stored in, in hexadecimal, and
    // the port in host order.
    const auto text = [](const Endpoint& end) {
        std::string out;
        char word[16];
        for (int at = 0; at < end.addressSize(); at += 4) {
            std::uint32_t value = 0;
            std::memcpy(&value, end.address.data() + at, 4);
            std::snprintf(word, sizeof word, "%08X", value);
            out += word;
        }
        std::snprintf(word, sizeof word, ":%04X", ntohs(end.port));
        return out + word;
    };
    const std::string peerText = text(peer);
    const std::string localText = text(local);

    std::ifstream table(peer.family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6");
    std::string line;
    std::getline(table, line);  // the column names
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, own, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> own >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        if (own != peerText || remote != localText) continue;
        try {
            if (!ownedState(std::stoul(state, nullptr, 16), std::stoul(inode))) return std::nullopt;
            return static_cast<uid_t>(std::stoul(uid));
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<uid_t> tcpPeerOwner(int fd) {
    if (const auto owner = tcpPeerOwnerByNetlink(fd)) return owner;
    return tcpPeerOwnerByProcTable(fd);
}

}  // namespace PeerCredentials
