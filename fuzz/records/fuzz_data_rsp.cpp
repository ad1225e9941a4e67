// The data_rsp parameter parser and record builder, fed arbitrary parameter texts.
#include "fuzz_handler.hpp"

namespace {
constexpr long data_rsp_srvc_info_length_offset = 282;
constexpr fuzz_keyword data_rsp_fuzz = {vendor_data_rsp, data_rsp_subcmd, data_rsp_record_size,
                                       data_rsp_srvc_info_length_offset};
}  // namespace

VENDOR_HANDLER_FUZZER(data_rsp_fuzz)
