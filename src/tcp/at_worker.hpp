#pragma once
// The command thread: carries out the chunks clients send, one at a time, so a command that
// runs a slow shell command holds up neither the video nor the other clients. Each client's
// commands run in the order sent, with up to at_waiting_limit waiting behind the one that runs;
// their replies join the reply outbox in that order, and the command thread never waits for a
// client to take one. It shares two things with the server thread, each under its own lock:
// this queue (the server submits and cancels) and the reply outbox. It never touches a socket
// or the client table. The queue's mutex is never held with another lock.
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "at_reply.hpp"
#include "client_table.hpp"
#include "log.hpp"

class reply_outbox;

constexpr int at_waiting_limit = 8;  // commands a client may have waiting behind a running one
// What a chunk beyond that gets, in its place among the client's replies.
constexpr char at_busy_reply[] = "ERROR: Command execution failed\r\n";
constexpr int at_busy_code = -9;

class at_worker {
public:
    // suspended: the server's video switch, which a command may turn off through its reply.
    at_worker(reply_outbox& replies, std::atomic<int>& suspended);
    ~at_worker();
    at_worker(const at_worker&) = delete;
    at_worker& operator=(const at_worker&) = delete;

    // Starts the thread. Returns 0, or an error number.
    int start();
    // Ends the thread after the command it runs (tests; the daemon's worker runs for ever).
    void stop();
    // Runs chunks through handler (null: they are dropped).
    void set_handler(at_command_handler handler) { handler_.store(handler); }
    bool has_handler() const { return handler_.load() != nullptr; }

    // Queues a chunk of the connection in `slot` behind its waiting commands. False when it
    // already has at_waiting_limit waiting: nothing runs then, and the busy reply goes out
    // after the replies of the commands before it.
    bool submit(int slot, uint32_t connection, int fd, const char* data, size_t length);
    // Drops the waiting commands (and busy replies) of a connection that closed; one already
    // running finishes.
    void cancel(int slot, uint32_t connection);
    // True when no command is waiting or running.
    bool idle();
    // Commands waiting, all clients together (tests).
    int waiting();

private:
    struct job {
        uint64_t order;           // arrival among all clients' commands
        uint32_t connection;
        int fd;
        uint32_t busy_after;      // chunks refused after this one, answered once it ran
        uint32_t length;
        char text[at_chunk_max + 1];
    };
    // One client's waiting commands, oldest first.
    struct client_queue {
        uint32_t connection = 0;
        int first = 0;
        int count = 0;
        job jobs[at_waiting_limit];
    };
    class command_reply;

    static void* thread_entry(void* self);
    void run();
    bool next_job();
    void carry_out();
    void answer_busy();

    reply_outbox& replies_;
    std::atomic<int>& suspended_;
    std::atomic<at_command_handler> handler_{nullptr};
    pthread_mutex_t mutex_;
    pthread_cond_t changed_;
    pthread_t thread_{};
    bool started_ = false;
    bool stopping_ = false;
    client_queue queues_[max_clients];
    uint64_t next_order_ = 0;
    bool running_ = false;
    int current_slot_ = -1;  // the worker thread's running command and where it came from
    job current_;
    // A client that sends junk every few milliseconds must not fill the log with its failures.
    log_repeat_limits<max_clients> failure_lines_{"failed commands of client"};
};
