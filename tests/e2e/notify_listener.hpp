#pragma once
// The service manager's end of the notification protocol, for tests: a datagram socket in the
// board's state directory, which the daemon on the board reaches by the state directory's path
// inside the board (its own network namespace and /tmp cannot see a socket elsewhere). The host
// side binds through its descriptor of the directory, whose path may be longer than a socket
// address holds.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "board_world.hpp"
#include "unique_fd.hpp"

class notify_listener {
public:
    static constexpr const char* socket_name = "notify";

    explicit notify_listener(const std::string& state_dir)
        : dir_(open(state_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)),
          socket_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        unlink((state_dir + "/" + socket_name).c_str());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/%s", dir_.get(),
                 socket_name);
        bound_ = dir_.valid() && socket_.valid() &&
                 bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address),
                      sizeof address) == 0;
    }

    bool bound() const { return bound_; }

    // NOTIFY_SOCKET for the daemon on the board.
    std::pair<std::string, std::string> variable() const {
        return {"NOTIFY_SOCKET", std::string(board_world::board_mount_point) + "/" + socket_name};
    }

    // The next message, or nothing when none came within the timeout.
    std::optional<std::string> next(std::chrono::milliseconds timeout) {
        pollfd ready{socket_.get(), POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
        char buffer[4096];
        const ssize_t got = recv(socket_.get(), buffer, sizeof buffer, 0);
        if (got < 0) return std::nullopt;
        return std::string(buffer, static_cast<size_t>(got));
    }

    // Messages until one equal to `last` (included), each within the timeout; the ones that came
    // when it did not.
    std::vector<std::string> until(const std::string& last, std::chrono::milliseconds timeout) {
        std::vector<std::string> messages;
        while (std::optional<std::string> message = next(timeout)) {
            messages.push_back(*message);
            if (*message == last) break;
        }
        return messages;
    }

private:
    unique_fd dir_;
    unique_fd socket_;
    bool bound_ = false;
};
