#pragma once
// Runs vendor keyword handlers with a recording transport, or the real one over recording command
// seams so that nothing can reach a real program, and keeps both output streams.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "exec/recording_runner.hpp"
#include "records/recording_transport.hpp"
#include "vendor_cmd.hpp"

using bytes = std::vector<uint8_t>;
// "03 02 11" -> {0x03, 0x02, 0x11}
inline bytes hex_bytes(const std::string& text) {
    bytes result;
    unsigned value = 0;
    int used = 0;
    const char* p = text.c_str();
    while (sscanf(p, "%x%n", &value, &used) == 1) {
        result.push_back(static_cast<uint8_t>(value));
        p += used;
    }
    return result;
}

// A zero record of the given size with some bytes set, each piece at its offset.
inline bytes record_with(size_t size, std::initializer_list<std::pair<size_t, bytes>> pieces) {
    bytes record(size, 0);
    for (const auto& [offset, piece] : pieces) {
        for (size_t i = 0; i < piece.size(); ++i) record.at(offset + i) = piece[i];
    }
    return record;
}

inline bytes chars(const std::string& text) { return bytes(text.begin(), text.end()); }

inline std::string thread_tag() {
    return "[" + std::to_string(static_cast<unsigned long>(pthread_self())) + "]";
}

// The record as the sending line's dump prints it.
inline std::string dump_of(const bytes& record) {
    std::string dump;
    char piece[4];
    for (uint8_t byte : record) {
        snprintf(piece, sizeof piece, "%.2x ", byte);
        dump += piece;
    }
    return dump;
}

inline std::string opening_lines(const std::string& keyword, const char* params) {
    return "\n=== Executing " + keyword + " custom logic ===\nOriginal parameters: " +
           (params != nullptr ? params : "none") + "\n";
}

inline std::string sending_lines(const std::string& keyword, const bytes& record) {
    return "Sending " + keyword + " data (struct size: " + std::to_string(record.size()) +
           " bytes)\n\n" + dump_of(record) + "\n";
}

inline std::string completion_line(const std::string& keyword) {
    return "=== " + keyword + " custom logic execution completed successfully ===\n";
}

// The six keywords as the driver knows them: subcommand and record size.
struct keyword_case {
    const char* keyword;
    const vendor_keyword& table;
    int subcmd;
    size_t size;
};

inline const keyword_case all_keywords[] = {
    {"srvc_ext", vendor_srvc_ext, 0x1900, 402}, {"data_req", vendor_data_req, 0x1901, 410},
    {"data_rsp", vendor_data_rsp, 0x1902, 284}, {"data_end", vendor_data_end, 0x1903, 11},
    {"followup", vendor_followup, 0x1906, 16},  {"pasn_start", vendor_pasn_start, 0x1908, 10},
};

class VendorHandlerTest : public testing::Test {
protected:
    int run(const vendor_keyword& table, const char* params) { return run(table, params, transport); }
    int run(const vendor_keyword& table, const char* params, vendor_transport& through) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = run_vendor_keyword(table, params, through);
        err = testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
        return result;
    }

    // The one record the last run sent.
    bytes sent_record_bytes() const {
        std::vector<sent_record> sent = transport.sent();
        EXPECT_EQ(sent.size(), 1U);
        return sent.empty() ? bytes() : sent.back().bytes;
    }
    int sent_subcmd() const {
        std::vector<sent_record> sent = transport.sent();
        return sent.empty() ? -1 : sent.back().subcmd;
    }
    bool nothing_sent() const { return transport.sent().empty(); }

    // Runs and checks a plain success: exact stdout, empty stderr, the record sent once.
    void expect_sent(const vendor_keyword& table, const std::string& keyword, const char* params,
                     const bytes& record) {
        ASSERT_EQ(run(table, params), 0) << err;
        EXPECT_EQ(err, "");
        EXPECT_EQ(out, opening_lines(keyword, params) + sending_lines(keyword, record) +
                           completion_line(keyword));
        EXPECT_EQ(sent_record_bytes(), record);
    }

    // Runs and checks a parse failure: the message on stderr, only the opening on stdout.
    void expect_refused(const vendor_keyword& table, const std::string& keyword, const char* params,
                        int result, const std::string& message) {
        size_t sent_before = transport.sent().size();
        EXPECT_EQ(run(table, params), result);
        EXPECT_EQ(err, message);
        EXPECT_EQ(out, opening_lines(keyword, params));
        EXPECT_EQ(transport.sent().size(), sent_before);
    }

    recording_exec_seams seams;
    recording_transport transport;
    // The daemon's transport over the recording seams, for tests that go through the file and iw.
    vendor_record_sender driver{seams.runner, seams.pauser};
    std::string out;
    std::string err;
};
