#pragma once
// The shared body of the six keyword-handler fuzzers: the input is the parameter text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_seams.hpp"
#include "le_bytes.hpp"

// Longer than the 1023-character work copy, so the cut is exercised too.
constexpr size_t fuzz_params_max = 2048;
constexpr uint16_t srvc_info_length_max = 255;

struct fuzz_keyword {
    const vendor_keyword& table;
    int subcmd;
    size_t record_size;
    long srvc_info_length_offset;  // -1: the record has no service info
};

inline int fuzz_one_handler(const fuzz_keyword& keyword, const uint8_t* data, size_t size) {
    vendor_fuzz_seams& seams = fuzz_seams();
    if (size > fuzz_params_max) size = fuzz_params_max;
    std::string params(reinterpret_cast<const char*>(data), size);
    int sends_before = seams.transport.sends;
    int result = run_vendor_keyword(keyword.table, params.c_str(), seams.transport);
    fuzz_check(result == 0 || result == -1 || result == 2, "result outside 0, -1, 2");
    if (result != 0) {
        fuzz_check(seams.transport.sends == sends_before, "a refused text was sent");
        return 0;
    }
    fuzz_check(seams.transport.sends == sends_before + 1, "an accepted text was not sent once");
    fuzz_check(seams.transport.last_subcmd == keyword.subcmd, "wrong subcommand");
    fuzz_check(seams.transport.last_length == keyword.record_size, "wrong record size");
    if (keyword.srvc_info_length_offset >= 0) {
        uint16_t length = get_le16(seams.transport.last_record + keyword.srvc_info_length_offset);
        fuzz_check(length <= srvc_info_length_max, "service-info length beyond its area");
    }
    return 0;
}

#define VENDOR_HANDLER_FUZZER(keyword)                                               \
    extern "C" int LLVMFuzzerInitialize(int*, char***) {                             \
        fuzz_seams();                                                                \
        quiet_standard_output();                                                     \
        return 0;                                                                    \
    }                                                                                \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {        \
        return fuzz_one_handler(keyword, data, size);                                \
    }
