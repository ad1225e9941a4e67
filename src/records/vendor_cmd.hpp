#pragma once
// NAN vendor commands: six keywords (srvc_ext, data_req, data_rsp, data_end, followup,
// pasn_start) turn their parameter text into a fixed-size packed record, and the transport hands
// the record to the Wi-Fi driver with "iw nan0 vendor send 0xe04c <subcmd> <file>".
//
// Records are byte arrays filled field by field at fixed offsets, multi-byte fields
// little-endian, so the board (32-bit ARM) and a host send the same bytes.
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "keyword.hpp"
#include "srvc_info.hpp"
#include "unique_fd.hpp"
#include "vendor_values.hpp"

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

constexpr char vendor_temp_template[] = "/tmp/nan_vendor_data_XXXXXX";
constexpr size_t vendor_command_size = 1024;  // at most 1023 characters
constexpr int vendor_send_attempts = 3;
constexpr unsigned vendor_retry_pause_us = 500000;  // after every failed attempt, the last too

// Where the keyword handlers send their records; tests and fuzzers hand them a recorder that
// keeps the bytes.
class vendor_transport {
public:
    virtual ~vendor_transport() = default;
    virtual int send(int subcmd, const uint8_t* record, size_t length) = 0;
};

// The daemon's transport: writes the record to a fresh private temporary file (close-on-exec,
// mode 0600) and runs the vendor send command through runner, three attempts with a 500 ms pause
// after each failure. The file is removed on every path. send returns 0 when iw took the
// command, else -1.
class vendor_record_sender final : public vendor_transport {
public:
    vendor_record_sender(command_runner& runner, exec_pauser& pauser)
        : runner_(runner), pauser_(pauser) {}
    vendor_record_sender(const vendor_record_sender&) = delete;
    vendor_record_sender& operator=(const vendor_record_sender&) = delete;

    int send(int subcmd, const uint8_t* record, size_t length) override;

    // Async-signal-safe, for a process being ended by a signal: removes the record file of a
    // send in progress and makes every later send fail without creating one.
    void refuse_record_files();

private:
    int send_locked(int subcmd, const uint8_t* record, size_t length);
    bool create_record_file(unique_fd* file);
    int run_vendor_command(int subcmd, const char* path, size_t length);

    command_runner& runner_;
    exec_pauser& pauser_;
    // Held from the record file's creation to its removal, so two sends never share a file or
    // overlap their iw runs. Lock order: param_mutex, iwset_mutex, vendor_send_mutex.
    pthread_mutex_t vendor_send_mutex = PTHREAD_MUTEX_INITIALIZER;
    // The record file of the send in progress, for the signal path (vendor_transport.cpp says
    // how the two meet).
    std::atomic<int> pending_state_{0};  // 0: no send in progress
    char pending_path_[sizeof vendor_temp_template] = {};
    static_assert(std::atomic<int>::is_always_lock_free, "the signal path needs a lock-free state");
};

// Results of every handler.
constexpr int vendor_result_sent = 0;       // record built and sent
constexpr int vendor_result_syntax = -1;    // syntax error, or the send failed
constexpr int vendor_result_rejected = 2;   // a value rejected on its content

// A vendor keyword's key table and record layout (vendor_frame.hpp), one per keyword.
struct vendor_keyword;
extern const vendor_keyword vendor_srvc_ext;
extern const vendor_keyword vendor_data_req;
extern const vendor_keyword vendor_data_rsp;
extern const vendor_keyword vendor_data_end;
extern const vendor_keyword vendor_followup;
extern const vendor_keyword vendor_pasn_start;

// Parses the parameter text (may be nullptr) into a zeroed record and sends it through
// transport. Returns vendor_result_sent, or the first failing key's result (nothing is sent
// and no file is created then), or the transport's result.
int run_vendor_keyword(const vendor_keyword& keyword, const char* params,
                       vendor_transport& transport);

// One vendor keyword on its row of the keyword table. The handlers build and send records at
// once and never add a command to the dispatcher's batch.
class vendor_keyword_handler final : public keyword_handler {
public:
    vendor_keyword_handler(const vendor_keyword& keyword, vendor_transport& transport)
        : keyword_(keyword), transport_(transport) {}
    int collect(const char* params, command_batch&, int*) override {
        return run_vendor_keyword(keyword_, params, transport_);
    }

private:
    const vendor_keyword& keyword_;
    vendor_transport& transport_;
};

// The six rows, all sending through one transport.
struct vendor_keywords {
    explicit vendor_keywords(vendor_transport& transport)
        : srvc_ext(vendor_srvc_ext, transport),
          data_req(vendor_data_req, transport),
          data_rsp(vendor_data_rsp, transport),
          data_end(vendor_data_end, transport),
          followup(vendor_followup, transport),
          pasn_start(vendor_pasn_start, transport) {}

    vendor_keyword_handler srvc_ext;
    vendor_keyword_handler data_req;
    vendor_keyword_handler data_rsp;
    vendor_keyword_handler data_end;
    vendor_keyword_handler followup;
    vendor_keyword_handler pasn_start;
};
