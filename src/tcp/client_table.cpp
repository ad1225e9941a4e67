// The client table: plain data of the server thread.
#include "client_table.hpp"

void set_entry_free(client_entry& entry) { entry = client_entry{}; }

void client_registry::clear() {
    for (client_entry& entry : entries) set_entry_free(entry);
}

int client_registry::connected() const {
    int count = 0;
    for (const client_entry& entry : entries) {
        if (entry.active != 0 && entry.fd > 0) ++count;
    }
    return count;
}

int client_registry::find(int fd, uint32_t* connection) const {
    for (int i = 0; i < max_clients; ++i) {
        if (entries[i].active != 0 && entries[i].fd == fd) {
            *connection = entries[i].connection;
            return i;
        }
    }
    return -1;
}

void client_registry::mark_alive(int index, int64_t now_s, bool whole_frame) {
    entries[index].last_activity = now_s;
    if (whole_frame) entries[index].timeout_count = 0;
}
