// Each connection's counters and the daemon's totals, both kept by the server thread as it
// writes, times out and hands over commands.
#include "client_table.hpp"

void client_registry::count_opened(int index, int64_t now_us) {
    entries[index].stats = client_stats{};
    entries[index].stats.connected_us = now_us;
    totals->clients.store(connected(), std::memory_order_relaxed);
}

void client_registry::count_closed() { totals->clients.store(connected(), std::memory_order_relaxed); }

void client_registry::count_sent(int index, uint64_t bytes, bool whole_frame) {
    client_stats& stats = entries[index].stats;
    stats.bytes_sent += bytes;
    totals->bytes_sent.add(bytes);
    if (!whole_frame) return;
    ++stats.frames_sent;
    totals->frames_sent.add();
}

void client_registry::count_frames_sent(int index, uint64_t bytes, uint64_t frames) {
    client_stats& stats = entries[index].stats;
    stats.bytes_sent += bytes;
    stats.frames_sent += frames;
    totals->bytes_sent.add(bytes);
    totals->frames_sent.add(frames);
}

void client_registry::count_skipped(int index, uint64_t frames) {
    entries[index].stats.frames_skipped += frames;
    totals->frames_skipped.add(frames);
}

void client_registry::count_timeout(int index) {
    ++entries[index].stats.timeouts;
    totals->timeouts.add();
}

void client_registry::count_command(int index) {
    ++entries[index].stats.at_commands;
    totals->at_commands.add();
}
