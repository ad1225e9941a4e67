// The process-wide client table.
#include "client_table.hpp"

#include "mono_clock.hpp"

client_registry client_table;
pthread_mutex_t& client_table_mutex = client_table.mutex;

void set_entry_free(client_entry& entry) {
    entry.fd = -1;
    entry.active = 0;
    entry.last_activity = 0;
    entry.timeout_count = 0;
    entry.connection = 0;
}

void client_registry::clear() {
    client_table_lock lock(*this);
    for (client_entry& entry : entries) set_entry_free(entry);
}

client_entry client_registry::read(int index) {
    client_table_lock lock(*this);
    return entries[index];
}

void client_registry::touch(int fd) {
    client_table_lock lock(*this);
    for (client_entry& entry : entries) {
        if (entry.fd == fd) {
            entry.last_activity = mono_now_s();
            return;
        }
    }
}

int client_registry::connected() {
    client_table_lock lock(*this);
    return connected_locked();
}

// With the mutex held.
int client_registry::connected_locked() const {
    int count = 0;
    for (const client_entry& entry : entries) {
        if (entry.active != 0 && entry.fd > 0) ++count;
    }
    return count;
}

int client_registry::find(int fd, uint32_t* connection) {
    client_table_lock lock(*this);
    for (int i = 0; i < max_clients; ++i) {
        if (entries[i].active != 0 && entries[i].fd == fd) {
            *connection = entries[i].connection;
            return i;
        }
    }
    return -1;
}

void client_registry::mark_alive(int index, int64_t now_s, bool whole_frame) {
    client_table_lock lock(*this);
    entries[index].last_activity = now_s;
    if (whole_frame) entries[index].timeout_count = 0;
}
