#pragma once
// The AT command worker: one thread that carries out the chunks clients send, one at a time, in
// the order received, so a command that runs a slow shell command holds up neither the video
// nor the other clients. Its replies go to the connection that asked (see reply_outbox).
// The queue's mutex is never held with another lock except after the locks a running command
// holds when it replies (param_mutex, iwset_mutex, vendor_send_mutex), never with the outbox's.
#include <pthread.h>

#include <cstddef>
#include <cstdint>

class client_registry;

constexpr size_t at_job_text_size = 1024;  // the server's receive buffer: 1023 bytes and a NUL
constexpr int at_job_slots = 4;            // one queued command per client at most

// Where the command running on this thread replies: its client's entry and connection.
class at_worker;
struct at_reply_target {
    at_worker* worker;
    client_registry* clients;
    int slot;
    uint32_t connection;
    int fd;
};

// The target of the command running on the calling thread; null on any other thread.
const at_reply_target* current_at_reply_target();

class at_worker {
public:
    explicit at_worker(client_registry& clients);
    ~at_worker();
    at_worker(const at_worker&) = delete;
    at_worker& operator=(const at_worker&) = delete;

    // Starts the thread. Returns 0, or an error number.
    int start();
    // Ends the thread after the command it runs (tests; the daemon's worker runs for ever).
    void stop();

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
        char text[at_job_text_size];
    };

    static void* thread_entry(void* self);
    void run();
    bool next_job();
    void carry_out();

    client_registry& clients_;
    pthread_mutex_t mutex_;
    pthread_cond_t changed_;
    pthread_t thread_{};
    bool started_ = false;
    bool stopping_ = false;
    job queue_[at_job_slots];
    int queued_ = 0;               // jobs at queue_[0 .. queued_)
    uint32_t running_connection_ = 0;  // whose command runs and has not replied; 0: none
    bool running_ = false;
    job current_;                  // the worker thread's copy of the running job
};
