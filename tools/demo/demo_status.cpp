#include "demo_status.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "port_forward.hpp"
#include "reply_scanner.hpp"

namespace {

constexpr int reply_wait_ms = 5000;
constexpr int status_client_slots = 4;
constexpr char status_command[] = "AT+AB status\r\n";

std::string client_key(int slot, const char* field) {
    return "client" + std::to_string(slot) + "_" + field;
}

// The slot the given connection holds, or -1.
int slot_of(const status_reading& daemon, uint32_t connection) {
    for (int slot = 0; slot < status_client_slots; ++slot) {
        if (daemon.get(client_key(slot, "connected")).value_or(0) == 1 &&
            daemon.get(client_key(slot, "connection")).value_or(0) == connection)
            return slot;
    }
    return -1;
}

// One row: what the demo saw, what the daemon counted, and whether they are the same.
std::string row(const char* what, uint64_t seen, uint64_t counted, bool& agree) {
    char text[160];
    snprintf(text, sizeof text, "  %-34s %12" PRIu64 " %12" PRIu64 "  %s\n", what, seen, counted,
             seen == counted ? "same" : "DIFFERENT");
    if (seen != counted) agree = false;
    return text;
}

}  // namespace

std::optional<status_reading> ask_daemon_status(pid_t board_pid, uint16_t port,
                                                std::string& problem) {
    unique_fd fd = connect_in_board(board_pid, port);
    if (!fd.valid()) {
        problem = std::string("cannot connect: ") + strerror(errno);
        return std::nullopt;
    }
    if (send(fd.get(), status_command, sizeof status_command - 1, MSG_NOSIGNAL) !=
        static_cast<ssize_t>(sizeof status_command - 1)) {
        problem = std::string("cannot send the command: ") + strerror(errno);
        return std::nullopt;
    }
    reply_scanner scanner(reply_form::status_lines);
    std::vector<uint8_t> buffer(65536);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(reply_wait_ms);
    while (!scanner.done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd.get(), POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) == 0) {
            problem = "no reply within 5 s";
            return std::nullopt;
        }
        const ssize_t got = recv(fd.get(), buffer.data(), buffer.size(), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            problem = "the daemon closed the connection";
            return std::nullopt;
        }
        scanner.feed(buffer.data(), static_cast<size_t>(got));
    }
    status_reading reading;
    if (!scanner.reply().ok || !parse_status(scanner.reply().text, reading)) {
        problem = scanner.reply().ok ? "the reply cannot be read" : scanner.reply().error;
        return std::nullopt;
    }
    return reading;
}

std::string compare_accounts(const status_reading& daemon, const checker_figures& checker,
                             uint64_t transfers_answered, uint32_t checking_connection,
                             bool& agree) {
    agree = true;
    char head[160];
    snprintf(head, sizeof head, "  %-34s %12s %12s\n", "", "demo saw", "daemon says");
    std::string text = head;
    const auto value = [&daemon](const std::string& key) { return daemon.get(key).value_or(0); };
    text += row("transfers the source answered", transfers_answered, value("spi_transfers"), agree);
    text += row("frames off the bus", checker.frames_off_bus, value("frames_stored"), agree);
    text += row("frames refused or lost on the way", 0,
                value("frames_refused_sync") + value("frames_refused_length") +
                    value("frames_refused_crc") + value("raw_queue_drops") +
                    value("sequence_gap_frames") + value("ring_overwrites"),
                agree);
    const int slot = slot_of(daemon, checking_connection);
    if (slot < 0) {
        agree = false;
        return text + "  the checking client is not among the daemon's clients\n";
    }
    text += row("checking client: frames whole", checker.frames_delivered,
                value(client_key(slot, "frames_sent")), agree);
    text += row("checking client: bytes", checker.bytes_received,
                value(client_key(slot, "bytes_sent")), agree);
    text += row("checking client: frames skipped", 0, value(client_key(slot, "frames_skipped")),
                agree);
    return text;
}
