#include "status_reply.hpp"


#include "mutex_hold.hpp"

size_t format_server_status(client_table& clients, bool video_suspended, int64_t now_us,
                            char* out, size_t size) {
    status_snapshot s = read_status(clients.counts(), now_us);
    s.video_suspended = video_suspended;
    s.clients = 0;
    for (int i = 0; i < max_clients; ++i) {
        uint32_t connection = 0;
        {
            // Read under the lock: the server thread may be opening or closing the slot.
            mutex_hold hold(clients.lock());
            connection = clients.at(i).owner;
        }
        if (connection == 0) continue;
        ++s.clients;
        s.client[i] = {true, connection, clients.at(i).figures.reading()};
    }
    return format_status_reply(s, out, size);
}

int answer_status(client_table& clients, bool video_suspended, int index, uint32_t connection,
                  int fd, int64_t now_us) {
    char text[status_reply_size];
    const size_t length = format_server_status(clients, video_suspended, now_us, text, sizeof text);
    return clients.post_or_report(index, connection, fd, text, static_cast<uint32_t>(length),
                                  now_us);
}
