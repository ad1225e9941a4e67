#include "fake_daemon.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t read_size = 4096;

bool send_everything(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

unique_fd listen_on_loopback(fake_family family, uint16_t& port) {
    const int domain = family == fake_family::ipv4 ? AF_INET : AF_INET6;
    unique_fd fd(socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return fd;
    sockaddr_storage storage{};
    socklen_t size = 0;
    if (family == fake_family::ipv4) {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        size = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        size = sizeof *a;
    }
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    if (bind(fd.get(), address, size) != 0 || listen(fd.get(), 4) != 0 ||
        getsockname(fd.get(), address, &size) != 0)
        return unique_fd();
    port =
        ntohs(family == fake_family::ipv4 ? reinterpret_cast<sockaddr_in*>(&storage)->sin_port
                                          : reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
    return fd;
}

}  // namespace

fake_daemon::fake_daemon(fake_family family)
    : port_(0), listen_fd_(listen_on_loopback(family, port_)), stop_fd_(eventfd(0, EFD_CLOEXEC)) {}

fake_daemon::~fake_daemon() {
    stop();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connection_ >= 0) shutdown(connection_, SHUT_RDWR);
    }
    if (thread_.joinable()) thread_.join();
}

void fake_daemon::stop() {
    const uint64_t one = 1;
    (void)!write(stop_fd_.get(), &one, sizeof one);
}

void fake_daemon::serve(fake_script script) {
    thread_ = std::thread([this, script = std::move(script)] { run(script); });
}

std::vector<std::string> fake_daemon::commands() {
    stop();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

void fake_daemon::run(fake_script script) {
    pollfd waits[2] = {{listen_fd_.get(), POLLIN, 0}, {stop_fd_.get(), POLLIN, 0}};
    if (poll(waits, 2, -1) <= 0 || (waits[0].revents & POLLIN) == 0) return;
    unique_fd fd(accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd.valid()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connection_ = fd.get();
    }
    talk(fd.get(), script);
    std::lock_guard<std::mutex> lock(mutex_);
    connection_ = -1;
}

void fake_daemon::talk(int fd, const fake_script& script) {
    if (!send_everything(fd, script.greeting)) return;
    // Closing only our side, and then reading on, ends the stream with a plain end of file:
    // closing with the client's command unread would reset the connection instead.
    if (script.close_after_greeting) shutdown(fd, SHUT_WR);
    size_t next_answer = 0;
    std::string pending;
    for (;;) {
        pollfd waits[2] = {{fd, POLLIN, 0}, {stop_fd_.get(), POLLIN, 0}};
        if (poll(waits, 2, -1) <= 0) return;
        // Once stopped, only what has already arrived is taken.
        const bool stopping = (waits[1].revents & POLLIN) != 0;
        std::vector<std::string> lines;
        const bool open = take_lines(fd, !stopping, pending, lines);
        for (size_t i = 0; i < lines.size(); ++i) {
            if (script.close_after_greeting || stopping || next_answer >= script.answers.size())
                continue;
            if (!send_everything(fd, script.answers[next_answer++])) return;
        }
        if (!open || stopping) return;
    }
}

bool fake_daemon::take_lines(int fd, bool wait, std::string& pending,
                             std::vector<std::string>& lines) {
    bool open = true;
    char buffer[read_size];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) {
            open = n < 0 && (errno == EAGAIN || errno == EINTR);
            break;
        }
        pending.append(buffer, static_cast<size_t>(n));
        if (wait) break;  // answer line by line as they come
    }
    for (size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
        lines.push_back(pending.substr(0, end));
        pending.erase(0, end + 2);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.insert(commands_.end(), lines.begin(), lines.end());
    return open;
}

std::string payload_stream(const payload_plan& plan, uint32_t first, uint32_t count) {
    std::string bytes;
    for (uint32_t frame = first; frame < first + count; ++frame) {
        const std::vector<uint8_t> payload = plan.payload(frame);
        bytes.append(payload.begin(), payload.end());
    }
    return bytes;
}
