// Commands run here, off the server thread. Each client's queue is bounded, so the work a client
// can ask for at once is too; among clients, commands run in the order they arrived.
#include "at_worker.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.hpp"
#include "mono_clock.hpp"
#include "mutex_hold.hpp"
#include "reply_outbox.hpp"

// The reply handle of the command that runs: its replies join the outbox of the connection that
// asked, after what that connection is already owed.
class at_worker::command_reply : public at_reply {
public:
    command_reply(at_worker& worker, int slot, const job& asked)
        : worker_(worker), slot_(slot), asked_(asked) {}

    int send(const char* text) override {
        if (text == nullptr) return -1;
        const uint32_t length = static_cast<uint32_t>(strlen(text));
        int error = EINVAL;
        if (length != 0) {
            error = worker_.replies_.post(slot_, asked_.connection, text, length, mono_now_us(),
                                          true);
        }
        return finish(error);
    }
    void suspend_video() override { worker_.suspended_.store(1); }
    // The server thread writes the text when the reply starts.
    int send_status() override {
        return finish(worker_.replies_.post(slot_, asked_.connection, "", 0, mono_now_us(), true,
                                            reply_kind::status));
    }

private:
    int finish(int error) {
        if (error == 0) return 0;
        log_err("Failed to send AT response to (fd %d): %s\n", asked_.fd, strerror(error));
        return -1;
    }

    at_worker& worker_;
    int slot_;
    const job& asked_;
};

at_worker::at_worker(reply_outbox& replies, std::atomic<int>& suspended)
    : replies_(replies), suspended_(suspended) {
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
    if (error == 0) {
        started_ = true;
        pthread_setname_np(thread_, "at-commands");
    }
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
    for (client_queue& queue : queues_) queue = client_queue{};
}

bool at_worker::submit(int slot, uint32_t connection, int fd, const char* data, size_t length) {
    mutex_hold lock(mutex_);
    client_queue& queue = queues_[slot];
    if (queue.connection != connection) {
        queue = client_queue{};
        queue.connection = connection;
    }
    if (queue.count == at_waiting_limit) {
        // Answered right after the last waiting command, so replies keep the order sent.
        job& last = queue.jobs[(queue.first + queue.count - 1) % at_waiting_limit];
        if (last.busy_after < UINT32_MAX) ++last.busy_after;
        return false;
    }
    job& added = queue.jobs[(queue.first + queue.count) % at_waiting_limit];
    if (length > at_chunk_max) length = at_chunk_max;
    added.order = next_order_++;
    added.connection = connection;
    added.fd = fd;
    added.busy_after = 0;
    added.length = static_cast<uint32_t>(length);
    memcpy(added.text, data, length);
    added.text[length] = '\0';
    ++queue.count;
    pthread_cond_broadcast(&changed_);
    return true;
}

void at_worker::cancel(int slot, uint32_t connection) {
    mutex_hold lock(mutex_);
    if (queues_[slot].connection == connection) queues_[slot] = client_queue{};
}

bool at_worker::idle() {
    mutex_hold lock(mutex_);
    if (running_) return false;
    for (const client_queue& queue : queues_) {
        if (queue.count != 0) return false;
    }
    return true;
}

int at_worker::waiting() {
    mutex_hold lock(mutex_);
    int count = 0;
    for (const client_queue& queue : queues_) count += queue.count;
    return count;
}

void* at_worker::thread_entry(void* self) {
    static_cast<at_worker*>(self)->run();
    return nullptr;
}

void at_worker::run() {
    while (next_job()) {
        carry_out();
        answer_busy();
        mutex_hold lock(mutex_);
        running_ = false;
        pthread_cond_broadcast(&changed_);
    }
}

// Takes the oldest waiting command of all clients into current_; false when the worker is to
// stop.
bool at_worker::next_job() {
    mutex_hold lock(mutex_);
    for (;;) {
        if (stopping_) return false;
        int oldest = -1;
        for (int i = 0; i < max_clients; ++i) {
            const client_queue& queue = queues_[i];
            if (queue.count == 0) continue;
            if (oldest < 0 ||
                queue.jobs[queue.first].order < queues_[oldest].jobs[queues_[oldest].first].order) {
                oldest = i;
            }
        }
        if (oldest >= 0) {
            client_queue& queue = queues_[oldest];
            current_ = queue.jobs[queue.first];
            current_slot_ = oldest;
            queue.first = (queue.first + 1) % at_waiting_limit;
            --queue.count;
            running_ = true;
            return true;
        }
        pthread_cond_wait(&changed_, &mutex_);
    }
}

void at_worker::carry_out() {
    const at_command_handler handler = handler_.load();
    if (handler == nullptr) return;
    command_reply reply(*this, current_slot_, current_);
    const int result = handler(reply, current_.text, static_cast<int>(current_.length));
    if (result != 0 && failure_lines_[static_cast<size_t>(current_slot_)].allow()) {
        log_err("AT command execution failed (fd %d), error code: %d\n", current_.fd, result);
    }
}

// The chunks refused while this command waited; their lines were printed when they came. A
// connection that went meanwhile is owed nothing.
void at_worker::answer_busy() {
    for (uint32_t i = 0; i < current_.busy_after; ++i) {
        if (replies_.post(current_slot_, current_.connection, at_busy_reply,
                          sizeof(at_busy_reply) - 1, mono_now_us(), false) != 0) {
            return;
        }
    }
}
