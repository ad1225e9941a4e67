// The data_end parameter parser and record builder, fed arbitrary parameter texts.
#include "fuzz_handler.hpp"

namespace {
constexpr long data_end_srvc_info_length_offset = -1;  // no service info
constexpr fuzz_keyword data_end_fuzz = {vendor_data_end, data_end_subcmd, data_end_record_size,
                                       data_end_srvc_info_length_offset};
}  // namespace

VENDOR_HANDLER_FUZZER(data_end_fuzz)
