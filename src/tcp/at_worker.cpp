// Commands run here, off the server thread. Each client's queue is bounded, so the work a client
// can ask for at once is too.
#include "at_worker.hpp"

#include <cstring>

#include "log.hpp"
#include "mutex_hold.hpp"
#include "named_thread.hpp"

// The reply handle of the command that runs: its replies join those of the connection that
// asked, after what that connection is already owed.
class at_worker::command_reply : public at_reply {
public:
    command_reply(at_worker& worker, const job& asked) : worker_(worker), asked_(asked) {}

    int send(const char* text) override {
        if (text == nullptr) return -1;
        return worker_.clients_.post_or_report(asked_.index, asked_.connection, asked_.fd, text,
                                               static_cast<uint32_t>(strlen(text)),
                                               worker_.clock_.now_us());
    }
    void suspend_video() override { worker_.suspended_.store(1); }
    int send_status() override {
        return worker_.clients_.post_status(asked_.index, asked_.connection, asked_.fd,
                                            worker_.suspended_.load() != 0,
                                            worker_.clock_.now_us());
    }

private:
    at_worker& worker_;
    const job& asked_;
};

at_worker::at_worker(client_table& clients, std::atomic<int>& suspended,
                     mono_clock_source& clock)
    : clients_(clients), suspended_(suspended), clock_(clock) {}

at_worker::~at_worker() { stop(); }

int at_worker::start() {
    if (started_) return 0;
    {
        mutex_hold hold(clients_.lock());
        stopping_ = false;
    }
    void* (*const body)(void*) = run_member<at_worker, &at_worker::run>;
    if (start_named_thread(body, this, "at-commands", &thread_) != 0) return -1;
    started_ = true;
    return 0;
}

void at_worker::stop() {
    if (!started_) return;
    {
        mutex_hold hold(clients_.lock());
        stopping_ = true;
        pthread_cond_broadcast(&clients_.commands_changed());
    }
    pthread_join(thread_, nullptr);
    started_ = false;
}

bool at_worker::submit(int index, uint32_t connection, int fd, const char* data, size_t length) {
    if (length > at_chunk_max) length = at_chunk_max;
    mutex_hold hold(clients_.lock());
    client& c = clients_.at(index);
    if (c.owner != connection) return true;  // closed meanwhile: nothing to run, nobody to tell
    if (!c.commands.push(fd, data, static_cast<uint32_t>(length))) return false;
    pthread_cond_broadcast(&clients_.commands_changed());
    return true;
}

bool at_worker::idle(int index) {
    mutex_hold hold(clients_.lock());
    return clients_.at(index).commands.idle();
}

void at_worker::run() {
    while (next_job()) {
        carry_out();
        answer_busy();
        finished();
    }
}

// Takes the next waiting command into current_, from the first slot with one at or after the
// slot whose turn it is; false when the worker is to stop.
bool at_worker::next_job() {
    mutex_hold hold(clients_.lock());
    for (;;) {
        if (stopping_) return false;
        for (int k = 0; k < max_clients; ++k) {
            const int index = (next_turn_ + k) % max_clients;
            client& c = clients_.at(index);
            if (c.commands.count == 0) continue;
            current_.index = index;
            current_.connection = c.owner;
            current_.command = c.commands.take();
            current_.fd = current_.command.fd;
            next_turn_ = (index + 1) % max_clients;
            return true;
        }
        pthread_cond_wait(&clients_.commands_changed(), &clients_.lock());
    }
}

void at_worker::carry_out() {
    at_command_handler* const handler = handler_.load();
    if (handler == nullptr) return;
    command_reply reply(*this, current_);
    const int result =
        handler->handle(reply, current_.command.text, static_cast<int>(current_.command.length));
    if (result != 0 && failure_lines_[static_cast<size_t>(current_.index)].allow()) {
        log_err("AT command execution failed (fd %d), error code: %d\n", current_.fd, result);
    }
}

// The chunks refused while this command waited; their lines were printed when they came. A
// connection that went meanwhile is owed nothing.
void at_worker::answer_busy() {
    for (uint32_t i = 0; i < current_.command.busy_after; ++i) {
        if (clients_.post_reply(current_.index, current_.connection, at_busy_reply,
                                sizeof(at_busy_reply) - 1, clock_.now_us(), false) != 0) {
            return;
        }
    }
}

void at_worker::finished() {
    mutex_hold hold(clients_.lock());
    client& c = clients_.at(current_.index);
    if (c.owner == current_.connection) c.commands.running = false;
}
