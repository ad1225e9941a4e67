#pragma once
// The rest of the board's life during the soak, each on a thread of its own until the stop:
//   at_prober         a connection that comes and goes asking "AT+AB version" (never a
//                     configuration query: that stops video for good, by design)
//   peer_requester    NAN peers asking for data paths every few seconds
//   failure_injector  the driver's vendor send failing now and then, once at a time, so the
//                     daemon's retry always gets it through
#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "soak_common.hpp"

struct at_report {
    uint64_t asked = 0;
    uint64_t answered = 0;
    uint64_t unanswered = 0;   // no reply before the deadline or the connection's end
    uint64_t turned_away = 0;  // ended by the daemon before any byte came (table full)
    uint64_t connect_failures = 0;
};

class at_prober {
public:
    at_prober(pid_t daemon, stop_flag& stop, uint64_t seed);
    ~at_prober();
    at_prober(const at_prober&) = delete;
    at_prober& operator=(const at_prober&) = delete;
    at_report report() const;
    void join();  // after the stop

private:
    void run();
    void one_visit();

    const pid_t daemon_;
    stop_flag& stop_;
    random_source random_;
    mutable std::mutex mutex_;
    at_report report_;
    std::thread thread_;
};

class peer_requester {
public:
    peer_requester(const std::string& state, stop_flag& stop, uint64_t seed);
    ~peer_requester();
    peer_requester(const peer_requester&) = delete;
    peer_requester& operator=(const peer_requester&) = delete;
    // The data-path ids asked for, in order; injection failures counted apart.
    std::vector<unsigned> requested() const;
    uint64_t injection_failures() const;
    void join();  // after the stop

private:
    void run();

    const std::string state_;
    stop_flag& stop_;
    random_source random_;
    mutable std::mutex mutex_;
    std::vector<unsigned> requested_;
    uint64_t injection_failures_ = 0;
    std::thread thread_;
};

class failure_injector {
public:
    failure_injector(const std::string& state, stop_flag& stop, uint64_t seed);
    ~failure_injector();
    failure_injector(const failure_injector&) = delete;
    failure_injector& operator=(const failure_injector&) = delete;
    // Failures set up so far, and of those the ones a call has met.
    uint64_t injected() const;
    uint64_t met() const;
    void join();  // after the stop

private:
    void run();
    bool one_pending() const;

    const std::string state_;
    stop_flag& stop_;
    random_source random_;
    mutable std::mutex mutex_;
    uint64_t injected_ = 0;
    std::thread thread_;
};

// The data-path response records the driver took that accept one of the requested ids: each
// request matched with at most one record.
uint64_t accepted_data_paths(const std::string& state, const std::vector<unsigned>& requested);

// The pattern the failures are set on, as the stand-ins see the call.
constexpr const char* vendor_send_pattern = "iw nan0 vendor send*";
