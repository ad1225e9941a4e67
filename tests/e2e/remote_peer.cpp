#include "remote_peer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

namespace {

constexpr const char* board_link = "nvboard0";
constexpr const char* peer_link = "nvpeer0";
constexpr const char* link_netmask = "255.255.255.0";

// Runs `step` on a thread in the given network namespace (or, for -1, a new one); returns its
// result, with errno carried over.
bool in_network_namespace(int ns_fd, const std::function<bool()>& step) {
    bool ok = false;
    int error = 0;
    std::thread worker([&] {
        const bool entered =
            ns_fd < 0 ? unshare(CLONE_NEWNET) == 0 : setns(ns_fd, CLONE_NEWNET) == 0;
        ok = entered && step();
        if (!ok) error = errno;
    });
    worker.join();
    errno = error;
    return ok;
}

// Appends an attribute to a netlink message; returns where it starts (for nesting).
rtattr* add_attribute(nlmsghdr* message, size_t capacity, uint16_t type, const void* data,
                      size_t length) {
    const size_t size = RTA_LENGTH(length);
    if (NLMSG_ALIGN(message->nlmsg_len) + RTA_ALIGN(size) > capacity) return nullptr;
    auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(message) +
                                                NLMSG_ALIGN(message->nlmsg_len));
    attribute->rta_type = type;
    attribute->rta_len = static_cast<uint16_t>(size);
    if (length > 0) memcpy(RTA_DATA(attribute), data, length);
    message->nlmsg_len = static_cast<uint32_t>(NLMSG_ALIGN(message->nlmsg_len) + RTA_ALIGN(size));
    return attribute;
}

void end_nest(nlmsghdr* message, rtattr* nest) {
    nest->rta_len = static_cast<uint16_t>(reinterpret_cast<char*>(message) + message->nlmsg_len -
                                          reinterpret_cast<char*>(nest));
}

// In the calling thread's namespace: a veth pair whose second end goes to peer_ns.
bool add_veth_pair(int peer_ns) {
    alignas(nlmsghdr) char buffer[512] = {};
    auto* message = reinterpret_cast<nlmsghdr*>(buffer);
    message->nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    message->nlmsg_type = RTM_NEWLINK;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL | NLM_F_ACK;
    message->nlmsg_seq = 1;
    add_attribute(message, sizeof buffer, IFLA_IFNAME, board_link, strlen(board_link) + 1);
    rtattr* link_info = add_attribute(message, sizeof buffer, IFLA_LINKINFO, nullptr, 0);
    add_attribute(message, sizeof buffer, IFLA_INFO_KIND, "veth", 4);
    rtattr* info_data = add_attribute(message, sizeof buffer, IFLA_INFO_DATA, nullptr, 0);
    rtattr* peer = add_attribute(message, sizeof buffer, VETH_INFO_PEER, nullptr, 0);
    const ifinfomsg peer_info{};
    message->nlmsg_len += NLMSG_ALIGN(sizeof peer_info);  // zeroed already
    add_attribute(message, sizeof buffer, IFLA_IFNAME, peer_link, strlen(peer_link) + 1);
    const uint32_t ns = static_cast<uint32_t>(peer_ns);
    if (add_attribute(message, sizeof buffer, IFLA_NET_NS_FD, &ns, sizeof ns) == nullptr) {
        errno = ENOSPC;
        return false;
    }
    end_nest(message, peer);
    end_nest(message, info_data);
    end_nest(message, link_info);

    unique_fd route(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!route.valid() || send(route.get(), message, message->nlmsg_len, 0) < 0) return false;
    alignas(nlmsghdr) char answer[1024];
    const ssize_t got = recv(route.get(), answer, sizeof answer, 0);
    if (got < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr)))) {
        errno = EPROTO;
        return false;
    }
    const auto* reply = reinterpret_cast<const nlmsghdr*>(answer);
    if (reply->nlmsg_type != NLMSG_ERROR) {
        errno = EPROTO;
        return false;
    }
    const int error = static_cast<const nlmsgerr*>(NLMSG_DATA(reply))->error;
    errno = -error;
    return error == 0;
}

bool set_address(int fd, const char* link, unsigned long request, const char* text) {
    ifreq item{};
    strncpy(item.ifr_name, link, IFNAMSIZ - 1);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, text, &address.sin_addr);
    memcpy(&item.ifr_addr, &address, sizeof address);
    return ioctl(fd, request, &item) == 0;
}

bool set_up(int fd, const char* link, bool up) {
    ifreq item{};
    strncpy(item.ifr_name, link, IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFFLAGS, &item) != 0) return false;
    item.ifr_flags = static_cast<short>(up ? item.ifr_flags | IFF_UP : item.ifr_flags & ~IFF_UP);
    return ioctl(fd, SIOCSIFFLAGS, &item) == 0;
}

// In the calling thread's namespace: the link gets its address and comes up.
bool bring_up(const char* link, const char* address) {
    unique_fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return fd.valid() && set_address(fd.get(), link, SIOCSIFADDR, address) &&
           set_address(fd.get(), link, SIOCSIFNETMASK, link_netmask) &&
           set_up(fd.get(), link, true);
}

}  // namespace

std::unique_ptr<remote_peer> remote_peer::create(pid_t board_pid, std::string* error) {
    const auto failed = [error](const std::string& what) {
        *error = what + ": " + strerror(errno);
        return nullptr;
    };
    unique_fd peer_ns;
    if (!in_network_namespace(-1, [&] {
            peer_ns.reset(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
            return peer_ns.valid();
        }))
        return failed("a network namespace for the peer");
    const std::string board_path = "/proc/" + std::to_string(board_pid) + "/ns/net";
    unique_fd board_ns(open(board_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!board_ns.valid()) return failed(board_path);
    if (!in_network_namespace(board_ns.get(), [&] {
            return add_veth_pair(peer_ns.get()) && bring_up(board_link, board_address);
        }))
        return failed("the board's end of the link");
    if (!in_network_namespace(peer_ns.get(), [] { return bring_up(peer_link, peer_address); }))
        return failed("the peer's end of the link");
    return std::unique_ptr<remote_peer>(new remote_peer(std::move(peer_ns)));
}

unique_fd remote_peer::connect(uint16_t port) const {
    unique_fd result;
    in_network_namespace(ns_.get(), [&] {
        result.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        inet_pton(AF_INET, board_address, &address.sin_addr);
        if (result.valid() &&
            ::connect(result.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return true;
        result.reset();
        return false;
    });
    return result;
}

bool remote_peer::vanish() const {
    return in_network_namespace(ns_.get(), [] {
        unique_fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        return fd.valid() && set_up(fd.get(), peer_link, false);
    });
}
