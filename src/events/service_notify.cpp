#include "service_notify.hpp"

#include <sys/socket.h>

#include <cstddef>
#include <cstring>

#include "mutex_hold.hpp"

namespace {

constexpr char abstract_marker = '@';

}  // namespace

bool service_notifier::open(const char* address) {
    fd_.reset();
    if (address == nullptr || address[0] == '\0') return false;
    const size_t length = strlen(address);
    // An abstract name has no terminating NUL; a path has one, which must fit too.
    const bool abstract = address[0] == abstract_marker;
    if (length + (abstract ? 0 : 1) > sizeof address_.sun_path) return false;
    if (address[0] != '/' && !abstract) return false;
    address_ = {};
    address_.sun_family = AF_UNIX;
    memcpy(address_.sun_path, address, length);
    if (abstract) address_.sun_path[0] = '\0';
    address_size_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length +
                                           (abstract ? 0 : 1));
    fd_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return fd_.valid();
}

bool service_notifier::send(const char* text) {
    if (!fd_.valid()) return false;
    const ssize_t sent = sendto(fd_.get(), text, strlen(text), MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address_), address_size_);
    return sent >= 0;
}

bool service_notifier::send_while_running(const char* text) {
    mutex_hold hold(stop_mutex_);
    return !stopping_ && send(text);
}

void service_notifier::begin_stop() {
    mutex_hold hold(stop_mutex_);
    stopping_ = true;
}
