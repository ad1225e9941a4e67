// Commands run here, off the server thread; the queue holds at most one job per connection, so
// the work a client can ask for at once is bounded.
#include "at_worker.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client_table.hpp"
#include "mutex_hold.hpp"
#include "tcp_server.hpp"
#include "log.hpp"

namespace {

thread_local const at_reply_target* running_target = nullptr;

}  // namespace

const at_reply_target* current_at_reply_target() { return running_target; }

at_worker::at_worker(client_registry& clients) : clients_(clients) {
    pthread_mutex_init(&mutex_, nullptr);
    pthread_cond_init(&changed_, nullptr);
}

at_worker::~at_worker() {
    stop();
    pthread_cond_destroy(&changed_);
    pthread_mutex_destroy(&mutex_);
}

int at_worker::start() {
    if (started_) return 0;
    int error = pthread_create(&thread_, nullptr, thread_entry, this);
    if (error == 0) started_ = true;
    return error;
}

void at_worker::stop() {
    if (!started_) return;
    {
        mutex_hold lock(mutex_);
        stopping_ = true;
        pthread_cond_broadcast(&changed_);
    }
    pthread_join(thread_, nullptr);
    started_ = false;
    mutex_hold lock(mutex_);
    stopping_ = false;
    queued_ = 0;
}

bool at_worker::submit(int slot, uint32_t connection, int fd, const char* data, size_t length) {
    mutex_hold lock(mutex_);
    if (running_connection_ == connection) return false;
    for (int i = 0; i < queued_; ++i) {
        if (queue_[i].connection == connection) return false;
    }
    // One job per table entry: a full queue means an entry holds a job of a closed connection
    // that cancel() missed, which cannot happen; refuse rather than overrun.
    if (queued_ == at_job_slots) return false;
    job& added = queue_[queued_];
    if (length >= at_job_text_size) length = at_job_text_size - 1;
    added.slot = slot;
    added.connection = connection;
    added.fd = fd;
    added.length = static_cast<uint32_t>(length);
    memcpy(added.text, data, length);
    added.text[length] = '\0';
    ++queued_;
    pthread_cond_broadcast(&changed_);
    return true;
}

void at_worker::cancel(int slot, uint32_t connection) {
    mutex_hold lock(mutex_);
    for (int i = 0; i < queued_; ++i) {
        if (queue_[i].slot != slot || queue_[i].connection != connection) continue;
        memmove(&queue_[i], &queue_[i + 1], sizeof(job) * static_cast<size_t>(queued_ - i - 1));
        --queued_;
        return;
    }
}

bool at_worker::idle() {
    mutex_hold lock(mutex_);
    return queued_ == 0 && !running_;
}

void at_worker::replied() {
    mutex_hold lock(mutex_);
    running_connection_ = 0;
}

void* at_worker::thread_entry(void* self) {
    static_cast<at_worker*>(self)->run();
    return nullptr;
}

void at_worker::run() {
    while (next_job()) {
        carry_out();
        mutex_hold lock(mutex_);
        running_connection_ = 0;
        running_ = false;
        pthread_cond_broadcast(&changed_);
    }
}

// Takes the oldest job into current_; false when the worker is to stop.
bool at_worker::next_job() {
    mutex_hold lock(mutex_);
    while (!stopping_ && queued_ == 0) pthread_cond_wait(&changed_, &mutex_);
    if (stopping_) return false;
    current_ = queue_[0];
    memmove(&queue_[0], &queue_[1], sizeof(job) * static_cast<size_t>(queued_ - 1));
    --queued_;
    running_connection_ = current_.connection;
    running_ = true;
    return true;
}

void at_worker::carry_out() {
    at_command_handler handler = tcp_at_command_handler();
    if (handler == nullptr) return;
    const at_reply_target target{this, &clients_, current_.slot, current_.connection, current_.fd};
    running_target = &target;
    int result = handler(current_.fd, current_.text, static_cast<int>(current_.length));
    running_target = nullptr;
    if (result != 0) {
        log_err("AT command execution failed (fd %d), error code: %d\n", current_.fd,
                result);
    }
}
