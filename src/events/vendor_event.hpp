#pragma once
// The driver's NAN vendor events as `iw event -t -f` prints them: a header naming the
// organisation id 00e04c and the subcommand, then the payload as hexadecimal bytes on lines that
// start with "vendor event: " (older iw), or the header and the first data line joined on one
// line (newer iw). One payload spans many lines, so the bytes are collected between calls and
// decoded once enough have arrived.
#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "mono_clock.hpp"

constexpr size_t mac_text_size = 18;     // "aa:bb:cc:dd:ee:ff" and a NUL
constexpr size_t event_type_size = 32;   // at most 31 characters and a NUL

struct connection_event {
    char mac[mac_text_size];
    char type[event_type_size];
    uint8_t status;   // status (success) or reason code (termination)
    uint8_t ndp_id;   // data-path id (request)
};

constexpr char connection_request_type[] = "connection_request";
constexpr char connection_success_type[] = "connection_success";
constexpr char connection_termination_type[] = "connection_termination";

// Subcommand numbers of the vendor events.
constexpr int vendor_type_none = -1;
constexpr int vendor_confirm = 0;      // connection_success
constexpr int vendor_termination = 1;  // connection_termination
constexpr int vendor_indication = 2;   // connection_request

constexpr int vendor_data_size = 1024;  // payload bytes beyond this are dropped
// A collection holding bytes goes stale after more than this many whole seconds without a data
// line (on the monotonic clock, so a wall-clock step neither drops nor keeps it wrongly).
constexpr int64_t vendor_stale_seconds = 5;

// Results of parse_nan_event.
constexpr int parse_decoded = 0;   // the record holds a complete event
constexpr int parse_ignored = -1;  // no line, not a vendor line, or data with nothing pending
constexpr int parse_pending = -2;  // bytes collected, not (yet) a whole event
// A stale collection was dropped; the line was not looked at, or it ended the dump (a blank
// line, another vendor's header, any other event).
constexpr int parse_stale = -3;

// The pending collection and its lock.
class vendor_event_collector {
public:
    // clock dates the data lines for the stale rule.
    explicit vendor_event_collector(mono_clock_source& clock) : clock_(clock) {}
    vendor_event_collector(const vendor_event_collector&) = delete;
    vendor_event_collector& operator=(const vendor_event_collector&) = delete;

    // Looks at one line (nullptr: only the stale check) and fills event; returns one of the
    // parse_* results. event is zeroed first.
    int parse_nan_event(const char* line, connection_event* event);

    // A collection is pending and holds at least one byte (the idle stale check is worth a call).
    bool has_pending_bytes();

private:
    bool take_stale_collection();
    bool end_collection();
    void start_collection(int subcommand);
    void append_pairs(const char* text);
    void reset_collection();
    void drop_collection();
    // Decodes the pending collection when it is long enough: 0 and the collection reset, or -1
    // and the collection kept.
    int decode(connection_event* event);

    mono_clock_source& clock_;
    pthread_mutex_t vendor_data_mutex_ = PTHREAD_MUTEX_INITIALIZER;
    int current_vendor_type_ = vendor_type_none;
    uint8_t vendor_data_[vendor_data_size] = {};
    int vendor_data_len_ = 0;
    int64_t vendor_data_time_ = 0;  // monotonic whole seconds of the start or the last data line
};
