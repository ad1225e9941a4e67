// The srvc_ext parameter parser and record builder, fed arbitrary parameter texts.
#include "fuzz_handler.hpp"

namespace {
constexpr long srvc_ext_srvc_info_length_offset = 394;
constexpr fuzz_keyword srvc_ext_fuzz = {vendor_srvc_ext, srvc_ext_subcmd, srvc_ext_record_size,
                                       srvc_ext_srvc_info_length_offset};
}  // namespace

VENDOR_HANDLER_FUZZER(srvc_ext_fuzz)
