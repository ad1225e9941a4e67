// The data_req parameter parser and record builder, fed arbitrary parameter texts.
#include "fuzz_handler.hpp"

namespace {
constexpr long data_req_srvc_info_length_offset = 278;
constexpr fuzz_keyword data_req_fuzz = {vendor_data_req, data_req_subcmd, data_req_record_size,
                                       data_req_srvc_info_length_offset};
}  // namespace

VENDOR_HANDLER_FUZZER(data_req_fuzz)
