#pragma once
// Stand-ins for the keyword rows other rooms build, for any room's tests that need a table.
#include <functional>
#include <string>
#include <vector>

#include "keyword.hpp"

// A row another room builds, doing what the test gives it; it notes the parameters of each call.
class scripted_keyword : public keyword_handler {
public:
    using body_type = std::function<int(const char*, command_batch&, int*)>;
    int collect(const char* params, command_batch& batch, int* count) override {
        calls.emplace_back(params != nullptr ? params : "<none>");
        return body ? body(params, batch, count) : 0;
    }
    body_type body;  // unset: adds nothing and succeeds
    std::vector<std::string> calls;
};

struct scripted_rooms {
    scripted_keyword srvc_ext, data_req, data_rsp, data_end, followup, pasn_start, config_write;
    room_keyword_handlers handlers() {
        return {srvc_ext, data_req, data_rsp, data_end, followup, pasn_start, config_write};
    }
};
