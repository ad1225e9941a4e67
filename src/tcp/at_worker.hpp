#pragma once
// The command thread: carries out the chunks clients send, one at a time, so a command that
// runs a slow shell command holds up neither the video nor the server. Clients take turns: the
// next command comes from the next client with one waiting, so a client waits for at most the
// command running and one of each other client's. Each client's commands run in the order sent,
// with up to at_waiting_limit waiting behind the one that runs; their replies join the client's
// in that order, and the command thread never waits for a client to take one. It touches only
// the clients' commands and replies, under the table's lock, and never a socket.
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "at_reply.hpp"
#include "client_table.hpp"
#include "log.hpp"
#include "mono_clock.hpp"

// What a chunk beyond the waiting limit gets, in its place among the client's replies.
constexpr char at_busy_reply[] = "ERROR: Command execution failed\r\n";
constexpr int at_busy_code = -9;

class at_worker {
public:
    // suspended: the server's video switch, which a command may turn off through its reply.
    // clock: when each reply was posted, and what the status reply counts from.
    at_worker(client_table& clients, std::atomic<int>& suspended, mono_clock_source& clock);
    ~at_worker();
    at_worker(const at_worker&) = delete;
    at_worker& operator=(const at_worker&) = delete;

    // Starts the thread. Returns 0, or -1 with errno.
    int start();
    // Ends the thread after the command it runs (tests; the daemon's worker runs for ever).
    void stop();
    // Runs chunks through handler (null: they are dropped).
    void set_handler(at_command_handler* handler) { handler_.store(handler); }
    at_command_handler* handler() const { return handler_.load(); }

    // Queues a chunk of the connection in slot index behind its waiting commands. False when it
    // already has at_waiting_limit waiting: nothing runs then, and the busy reply goes out after
    // the replies of the commands before it.
    bool submit(int index, uint32_t connection, int fd, const char* data, size_t length);
    // True when the connection in slot index has no command waiting or running.
    bool idle(int index);

private:
    struct job {
        int index;
        uint32_t connection;
        int fd;
        waiting_command command;
    };
    class command_reply;

    void run();
    bool next_job();
    void carry_out();
    void answer_busy();
    void finished();

    client_table& clients_;
    std::atomic<int>& suspended_;
    mono_clock_source& clock_;
    std::atomic<at_command_handler*> handler_{nullptr};
    bool started_ = false;
    pthread_t thread_{};
    bool stopping_ = false;   // under the table's lock
    int next_turn_ = 0;       // the slot asked first for the next command
    job current_;             // the command thread's own
    // A client that sends junk every few milliseconds must not fill the log with its failures.
    log_repeat_limits<max_clients> failure_lines_{"failed commands of client"};
};
