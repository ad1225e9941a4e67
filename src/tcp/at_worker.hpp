#pragma once
// The command thread: carries out the chunks clients send, one at a time, in the order
// received, so a command that runs a slow shell command holds up neither the video nor the
// other clients. It shares two things with the server thread, each under its own lock: its
// queue (the server submits and cancels) and the reply outbox (its replies go there, for the
// connection that asked). It never touches a socket or the client table.
// The queue's mutex is never held with another lock.
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "at_reply.hpp"
#include "client_table.hpp"

class reply_outbox;

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

    // Queues a chunk from the client in `slot`. False when that connection already has a
    // command queued or running: nothing is queued then.
    bool submit(int slot, uint32_t connection, int fd, const char* data, size_t length);
    // Forgets a queued command of a connection that closed (one already running finishes).
    void cancel(int slot, uint32_t connection);
    // True when no command is queued or running.
    bool idle();
    // The running command's reply has been dealt with: its client may send the next command,
    // which queues while this one finishes.
    void replied();

private:
    struct job {
        int slot;
        uint32_t connection;
        int fd;
        uint32_t length;
        char text[at_chunk_max + 1];
    };
    class command_reply;

    static void* thread_entry(void* self);
    void run();
    bool next_job();
    void carry_out();

    reply_outbox& replies_;
    std::atomic<int>& suspended_;
    std::atomic<at_command_handler> handler_{nullptr};
    pthread_mutex_t mutex_;
    pthread_cond_t changed_;
    pthread_t thread_{};
    bool started_ = false;
    bool stopping_ = false;
    job queue_[max_clients];       // one queued command per client at most
    int queued_ = 0;               // jobs at queue_[0 .. queued_)
    uint32_t running_connection_ = 0;  // whose command runs and has not replied; 0: none
    bool running_ = false;
    job current_;                  // the worker thread's copy of the running job
};
