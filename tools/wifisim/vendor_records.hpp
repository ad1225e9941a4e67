#pragma once
// The NAN vendor commands the simulated driver takes: subcommand and exact record size, and the
// data_rsp bytes it looks at to answer a peer.
#include <cstddef>

namespace wifisim {

struct vendor_command_size {
    unsigned subcmd;
    size_t size;
};

constexpr vendor_command_size vendor_command_sizes[] = {
    {0x1900, 402},  // srvc_ext
    {0x1901, 410},  // data_req
    {0x1902, 284},  // data_rsp
    {0x1903, 11},   // data_end
    {0x1906, 16},   // followup
    {0x1908, 10},   // pasn_start
};

constexpr unsigned data_rsp_subcmd = 0x1902;
constexpr size_t data_rsp_ndl_rsp_offset = 1;
constexpr size_t data_rsp_ndp_id_offset = 2;
constexpr unsigned char ndl_rsp_reject = 1;
constexpr unsigned char ndl_rsp_accept = 2;

// The record size the driver expects for a subcommand, or 0 for one it does not know.
constexpr size_t expected_record_size(unsigned subcmd) {
    for (const vendor_command_size& c : vendor_command_sizes)
        if (c.subcmd == subcmd) return c.size;
    return 0;
}

// Status words of STATE/records/index.
constexpr const char* record_taken = "ok";
constexpr const char* record_bad_size = "bad_size";
constexpr const char* record_unknown_subcmd = "unknown_subcmd";
constexpr const char* record_unknown_vendor = "unknown_vendor";

}  // namespace wifisim
