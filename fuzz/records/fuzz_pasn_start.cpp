// The pasn_start parameter parser and record builder, fed arbitrary parameter texts.
#include "fuzz_handler.hpp"

namespace {
constexpr long pasn_start_srvc_info_length_offset = -1;  // no service info
constexpr fuzz_keyword pasn_start_fuzz = {vendor_pasn_start, pasn_start_subcmd, pasn_start_record_size,
                                       pasn_start_srvc_info_length_offset};
}  // namespace

VENDOR_HANDLER_FUZZER(pasn_start_fuzz)
