#include "accept_errors.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

after_accept_error what_after_accept_error(int error) {
    switch (error) {
        // Linux hands a new connection's pending network error to accept, and the connection
        // is gone with it; so is one aborted or refused by a firewall before it was taken.
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            return after_accept_error::next;
        case EMFILE:
        case ENFILE:
            return after_accept_error::refuse_spare;
        default:
            return after_accept_error::later;
    }
}

void accept_error_log::report(int error) {
    log_repeat_limit* limit = &other_;
    if (error == EMFILE) limit = &process_descriptors_;
    if (error == ENFILE) limit = &system_descriptors_;
    if (error == ENOBUFS) limit = &buffers_;
    if (error == ENOMEM) limit = &memory_;
    if (!limit->allow()) return;
    errno = error;
    log_perror("accept failed");
}

bool spare_descriptor::open() {
    if (!fd_.valid()) fd_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    return fd_.valid();
}

spare_descriptor::refusal spare_descriptor::refuse_one(int listen_fd) {
    if (!open()) return refusal::failed;
    fd_.reset();
    const int connection = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    const int error = errno;
    if (connection >= 0) ::close(connection);
    open();
    if (connection >= 0) return refusal::refused;
    return error == EAGAIN ? refusal::none_waiting : refusal::failed;
}
