#pragma once
// What every client socket is set to when it is taken in, and how a vanished peer is found.
//
// A phone that leaves Wi-Fi range sends no FIN or RST. While video flows, unacknowledged data
// and the send time-out and silence rules find it; while video is suspended or the ring is empty
// nothing is sent, so the kernel probes the idle connection (keepalive), and a peer that stops
// acknowledging, probes and data alike, is given up after the user time-out. Keepalive alone is
// not enough: no probe goes out while unacknowledged data waits, so a peer that vanished
// mid-stream would hold its slot through minutes of retransmissions. A live client answers the
// probes in its kernel, whatever its program does, so an idle viewer is never closed by this.

constexpr int client_send_buffer_size = 65536;

// When a peer that stopped acknowledging is given up.
struct dead_peer_timing {
    int idle_s;           // quiet time before the first keepalive probe
    int interval_s;       // between probes
    int probes;           // probes before giving up, without a user time-out
    int user_timeout_ms;  // unacknowledged data or probes for this long: the connection ends
};

// About 30 s from the peer's last acknowledgement to the close.
constexpr dead_peer_timing dead_peer_default{10, 5, 4, 30000};

// Tests shorten the time (the kernel's times are whole seconds, at least 1): the daemon reads
// this many milliseconds of user time-out from the environment variable below, and probes after
// a third of it, then every sixth.
constexpr const char* dead_peer_timeout_variable = "NANVIDEOD_DEAD_PEER_TIMEOUT_MS";
dead_peer_timing dead_peer_timing_for(int user_timeout_ms);
// The environment's timing when it holds a whole number of milliseconds from 1000 to the
// default, else the default.
dead_peer_timing dead_peer_timing_from_environment();

// Non-blocking, a 64 KiB send buffer, no Nagle delay, keepalive and the user time-out. Returns
// -1 (after a line) only when the socket cannot be made non-blocking; the others are best effort.
int set_client_socket_options(int fd, const dead_peer_timing& timing);

// Of the `count` sockets in fds, those that already show a hang-up or an error (without waiting)
// go to hung_up, in order; returns how many.
int sockets_hung_up(const int* fds, int count, int* hung_up);
