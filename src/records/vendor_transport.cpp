#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "keyword.hpp"
#include "unique_fd.hpp"
#include "vendor_cmd.hpp"
#include "log.hpp"
#include "mono_clock.hpp"
#include "mutex_hold.hpp"

namespace {

constexpr mode_t vendor_file_mode = 0600;

// The record file of the send in progress, for the signal path: the daemon may be ended while
// iw runs, and the file must not outlive it. The stop runs on a thread of its own, so it may come
// while another thread is creating the file: it waits for the creation to end (a crash on the
// creating thread itself cannot, and removes the name after a short bound), and no file is
// created once it has come.
enum record_state : int { record_idle, record_creating, record_created, record_refused };
constexpr int64_t creation_wait_step_us = 1000;
constexpr int creation_wait_steps = 100;

unsigned long thread_id() { return static_cast<unsigned long>(pthread_self()); }

// Writes the record with one write call; the file is closed before iw reads it.
int write_record(unique_fd file, const uint8_t* record, size_t length) {
    fchmod(file.get(), vendor_file_mode);
    ssize_t written = write(file.get(), record, length);
    file.reset();
    if (written < 0 || static_cast<size_t>(written) != length) {
        log_err("[%lu] Error: Write data failed (wrote %zd/%zu bytes)!\n", thread_id(),
                written, length);
        return -1;
    }
    return 0;
}

}  // namespace

int vendor_record_sender::run_vendor_command(int subcmd, const char* path, size_t length) {
    char command[vendor_command_size];
    memset(command, 0, sizeof command);
    snprintf(command, sizeof command, "iw %s vendor send 0x%x 0x%x %s", vendor_nan_interface,
             vendor_id, static_cast<unsigned>(subcmd), path);
    int status = -1;
    for (int attempt = 1; attempt <= vendor_send_attempts; ++attempt) {
        log_out("[%lu] Executing iw command (retry %d): %s\n", thread_id(), attempt, command);
        status = runner_.status(command);
        if (status == 0) {
            log_out("[%lu] Success: Sent %zu bytes (vendor_id: 0x%x, subcmd: 0x%x)\n", thread_id(),
                   length, vendor_id, static_cast<unsigned>(subcmd));
            return 0;
        }
        pauser_.pause_us(vendor_retry_pause_us);
    }
    log_err("[%lu] Error: iw command failed (exit code: %d, retries: %d)!\n", thread_id(),
            status, vendor_send_attempts);
    return -1;
}

// The record file is created only while no stop has come; false when it has.
bool vendor_record_sender::create_record_file(unique_fd* file) {
    int expected = record_idle;
    if (!pending_state_.compare_exchange_strong(expected, record_creating)) return false;
    memcpy(pending_path_, vendor_temp_template, sizeof vendor_temp_template);
    *file = unique_fd(mkostemp(pending_path_, O_CLOEXEC));
    expected = record_creating;
    const int next = file->valid() ? record_created : record_idle;
    if (pending_state_.compare_exchange_strong(expected, next)) return true;
    // The stop gave up waiting for this creation; the file is this thread's to remove.
    if (file->valid()) unlink(pending_path_);
    file->reset();
    return false;
}

// Everything between lock and unlock: the file exists only inside this call.
int vendor_record_sender::send_locked(int subcmd, const uint8_t* record, size_t length) {
    unique_fd file;
    if (!create_record_file(&file)) {
        log_err("[%lu] Error: Not sending: the daemon is stopping\n", thread_id());
        return -1;
    }
    if (!file.valid()) {
        log_err("[%lu] Error: Create temp file failed (errno: %d)!\n", thread_id(), errno);
        return -1;
    }
    char path[sizeof vendor_temp_template];
    memcpy(path, pending_path_, sizeof path);
    int result = write_record(std::move(file), record, length);
    if (result == 0) result = run_vendor_command(subcmd, path, length);
    unlink(path);
    int expected = record_created;
    pending_state_.compare_exchange_strong(expected, record_idle);
    return result;
}

int vendor_record_sender::send(int subcmd, const uint8_t* record, size_t length) {
    mutex_hold hold(vendor_send_mutex);
    if (hold.lock_error() != 0) {
        log_err("[%lu] Error: Lock mutex failed (errno: %d)!\n", thread_id(), hold.lock_error());
        return -1;
    }
    return send_locked(subcmd, record, length);
}

void vendor_record_sender::refuse_record_files() {
    for (int step = 0;; ++step) {
        int state = pending_state_.load();
        if (state == record_refused) return;
        if (state == record_creating && step < creation_wait_steps) {
            mono_sleep_us(creation_wait_step_us);
            continue;
        }
        if (!pending_state_.compare_exchange_strong(state, record_refused)) continue;
        if (state != record_idle) unlink(pending_path_);
        return;
    }
}
