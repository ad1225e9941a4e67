#pragma once
// NAN vendor commands: six keywords (srvc_ext, data_req, data_rsp, data_end, followup,
// pasn_start) turn their parameter text into a fixed-size packed record, and the transport hands
// the record to the Wi-Fi driver with "iw nan0 vendor send 0xe04c <subcmd> <file>".
//
// Records are byte arrays filled field by field at fixed offsets, multi-byte fields
// little-endian, so the board (32-bit ARM) and a host send the same bytes.
#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "srvc_info.hpp"
#include "vendor_values.hpp"

// ---- driver interface ----

constexpr const char* vendor_nan_interface = "nan0";
constexpr unsigned vendor_id = 0xe04c;

constexpr int srvc_ext_subcmd = 0x1900;
constexpr int data_req_subcmd = 0x1901;
constexpr int data_rsp_subcmd = 0x1902;
constexpr int data_end_subcmd = 0x1903;
constexpr int followup_subcmd = 0x1906;
constexpr int pasn_start_subcmd = 0x1908;

constexpr size_t srvc_ext_record_size = 402;
constexpr size_t data_req_record_size = 410;
constexpr size_t data_rsp_record_size = 284;
constexpr size_t data_end_record_size = 11;
constexpr size_t followup_record_size = 16;
constexpr size_t pasn_start_record_size = 10;
// The data-path request is the longest record; every record's dump line fits a buffer this big.
constexpr size_t largest_record_size = data_req_record_size;
static_assert(largest_record_size >= srvc_ext_record_size &&
              largest_record_size >= data_rsp_record_size &&
              largest_record_size >= data_end_record_size &&
              largest_record_size >= followup_record_size &&
              largest_record_size >= pasn_start_record_size);

// ---- transport ----

constexpr char vendor_temp_template[] = "/tmp/nan_vendor_data_XXXXXX";
constexpr size_t vendor_command_size = 1024;  // at most 1023 characters
constexpr int vendor_send_attempts = 3;
constexpr unsigned vendor_retry_pause_us = 500000;  // after every failed attempt, the last too

// Held from the record file's creation to its removal, so two sends never share a file or
// overlap their iw runs. Lock order: param_mutex, iwset_mutex, vendor_send_mutex.
extern pthread_mutex_t vendor_send_mutex;

// Writes the record to a fresh private temporary file (close-on-exec, mode 0600) and runs the
// vendor send command through active_command_runner(), three attempts with a 500 ms pause after
// each failure. The file is removed on every path. Returns 0 when iw took the command, else -1.
int send_vendor_data(int subcmd, const uint8_t* record, size_t length);

// Async-signal-safe, for a process being ended by a signal: removes the record file of a send in
// progress and makes every later send fail without creating one.
void refuse_record_files();

// Test seam: the keyword handlers send through the active transport, which is send_vendor_data
// unless a test or fuzzer installed a recorder that keeps the bytes.
class vendor_transport {
public:
    virtual ~vendor_transport() = default;
    virtual int send(int subcmd, const uint8_t* record, size_t length) = 0;
};

vendor_transport& active_vendor_transport();

// Installs a transport for its lifetime and puts the previous one back afterwards.
class scoped_vendor_transport {
public:
    explicit scoped_vendor_transport(vendor_transport& transport);
    ~scoped_vendor_transport();
    scoped_vendor_transport(const scoped_vendor_transport&) = delete;
    scoped_vendor_transport& operator=(const scoped_vendor_transport&) = delete;

private:
    vendor_transport* previous_;
};

// ---- keyword handlers ----

// Results of every handler.
constexpr int vendor_result_sent = 0;       // record built and sent
constexpr int vendor_result_syntax = -1;    // syntax error, or the send failed
constexpr int vendor_result_rejected = 2;   // a value rejected on its content

// Each takes the parameter text (may be nullptr) and returns one of the results above. Nothing
// is sent, and no file is created, when parsing fails.
int handle_srvc_ext(const char* params);
int handle_data_req(const char* params);
int handle_data_rsp(const char* params);
int handle_data_end(const char* params);
int handle_followup(const char* params);
int handle_pasn_start(const char* params);

// Installs the six handlers on their rows of the keyword table. Called once at start-up, before
// any thread dispatches keywords, and never from a handler (it takes iwset_mutex).
void vendor_register_keywords();
