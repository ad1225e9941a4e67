// The vendor keywords on their rows of the keyword table. The handlers build and send records
// at once and never add a command to the dispatcher's batch.
#include "keyword.hpp"
#include "vendor_cmd.hpp"

namespace {

int srvc_ext_keyword(const char* params, command_batch&, int*) { return handle_srvc_ext(params); }
int data_req_keyword(const char* params, command_batch&, int*) { return handle_data_req(params); }
int data_rsp_keyword(const char* params, command_batch&, int*) { return handle_data_rsp(params); }
int data_end_keyword(const char* params, command_batch&, int*) { return handle_data_end(params); }
int followup_keyword(const char* params, command_batch&, int*) { return handle_followup(params); }
int pasn_start_keyword(const char* params, command_batch&, int*) {
    return handle_pasn_start(params);
}

}  // namespace

void vendor_register_keywords() {
    set_keyword_handler("srvc_ext", srvc_ext_keyword);
    set_keyword_handler("data_req", data_req_keyword);
    set_keyword_handler("data_rsp", data_rsp_keyword);
    set_keyword_handler("data_end", data_end_keyword);
    set_keyword_handler("followup", followup_keyword);
    set_keyword_handler("pasn_start", pasn_start_keyword);
}
