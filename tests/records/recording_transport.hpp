#pragma once
// A vendor transport that keeps every record instead of handing it to the driver, for handler
// tests and fuzzers:
//
//     recording_transport transport;
//     transport.set_result(-1);                     // every send "fails"
//     ... run_vendor_keyword(vendor_data_rsp, "rsp_mode peer", transport) ...
//     EXPECT_EQ(transport.sent()[0].bytes, expected);
#include <cstdint>
#include <mutex>
#include <vector>

#include "vendor_cmd.hpp"

struct sent_record {
    int subcmd;
    std::vector<uint8_t> bytes;
};

class recording_transport : public vendor_transport {
public:
    int send(int subcmd, const uint8_t* record, size_t length) override {
        std::lock_guard<std::mutex> guard(lock_);
        sent_.push_back({subcmd, std::vector<uint8_t>(record, record + length)});
        return result_;
    }
    void set_result(int result) {
        std::lock_guard<std::mutex> guard(lock_);
        result_ = result;
    }
    std::vector<sent_record> sent() const {
        std::lock_guard<std::mutex> guard(lock_);
        return sent_;
    }

private:
    mutable std::mutex lock_;
    std::vector<sent_record> sent_;
    int result_ = 0;
};
