// The followup parameter parser and record builder, fed arbitrary parameter texts.
#include "fuzz_handler.hpp"

namespace {
constexpr long followup_srvc_info_length_offset = -1;  // no service info
constexpr fuzz_keyword followup_fuzz = {vendor_followup, followup_subcmd, followup_record_size,
                                       followup_srvc_info_length_offset};
}  // namespace

VENDOR_HANDLER_FUZZER(followup_fuzz)
