#include "status_reply.hpp"

size_t format_server_status(const client_registry& clients, bool video_suspended,
                            int64_t now_us, char* out, size_t size) {
    status_snapshot s = read_status(counters, now_us);
    s.video_suspended = video_suspended;
    s.clients = clients.connected();
    for (int i = 0; i < max_clients; ++i) {
        const client_entry& entry = clients.entries[i];
        if (entry.active == 0 || entry.fd <= 0) continue;
        s.client[i] = {true, entry.connection, entry.stats};
    }
    return format_status_reply(s, out, size);
}
