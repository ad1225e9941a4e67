#pragma once
// The service manager's notification protocol, as a program without the manager's library
// speaks it: one datagram of "KEY=value" lines to the socket named by $NOTIFY_SOCKET (a path,
// or an abstract name written with a leading '@'). Without the variable the notifier stays
// silent, as on a board whose init knows nothing of it.
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "unique_fd.hpp"

constexpr char notify_socket_variable[] = "NOTIFY_SOCKET";

class service_notifier {
public:
    // Prepares the socket and the address, so that sending is one system call. False, and
    // silent from then on, for an empty or unusable address.
    bool open(const char* address);
    bool active() const { return fd_.valid(); }

    // One datagram, never waiting for room. False when not sent.
    bool send(const char* text);
    // The same for the messages sent while the daemon runs: none leaves once the stop began.
    bool send_while_running(const char* text);
    // The stop begins. Returns once no message sent while running is on its way, so that what
    // the stop sends comes last.
    void begin_stop();

private:
    unique_fd fd_;
    sockaddr_un address_{};
    socklen_t address_size_ = 0;
    // Held only around one non-blocking send.
    pthread_mutex_t stop_mutex_ = PTHREAD_MUTEX_INITIALIZER;
    bool stopping_ = false;
};
