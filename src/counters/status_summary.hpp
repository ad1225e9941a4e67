#pragma once
// Short summaries of the counters over a recent window: the notify protocol's "STATUS=" line
// every few seconds, and one log line a minute while anything changed (on a board without
// systemd, and with all four client slots taken, the log is the only view left).
#include <cstddef>
#include <cstdint>

#include "status_snapshot.hpp"

constexpr int64_t status_summary_span_s = 10;
constexpr int64_t status_log_period_s = 60;
// The transfer thread legitimately waits as long as the camera sends nothing; past this the
// summary says so.
constexpr int64_t bus_idle_shown_s = 5;

// Figures over a window that ends now and begins at an earlier reading about span_s old.
class status_window {
public:
    // The window's first reading: nothing yet, at the daemon's start.
    status_window(int64_t span_s, int64_t started_us);

    // "4 clients, 90.0 frames/s in, 0 lost, 0 bad in the last 10 s" and, when the bus has
    // brought nothing for bus_idle_shown_s, ", bus idle N s". Returns the length (cut to size).
    size_t summary(const status_snapshot& now, char* out, size_t size);
    // The log's line: the summary, frames out, and the losses and refusals by kind.
    size_t log_line(const status_snapshot& now, char* out, size_t size);

private:
    static constexpr int history_size = 16;

    // Records now and returns the reading the window starts at.
    status_snapshot window_start(const status_snapshot& now);
    // What moved over the window that ends at s (now_us: the window's length).
    status_snapshot over_window(const status_snapshot& s);

    int64_t span_us_;
    status_snapshot history_[history_size];
    int newest_ = 0;
    int count_ = 1;
};

// Writes the log's summary line every status_log_period_s while any counter moved.
class status_log {
public:
    explicit status_log(int64_t started_us);
    // Called every second or so; returns true when it printed a line.
    bool tick(const status_snapshot& now);

private:
    status_window window_;
    int64_t next_us_;
    status_snapshot last_;
};
