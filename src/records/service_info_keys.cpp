// Service-info keys shared by data_req and data_rsp.
#include "service_info_keys.hpp"
#include "log.hpp"

#include <cstdio>
#include <cstring>


int read_service_info_key(vendor_frame& frame, const char* key, srvc_info_params& input) {
    if (strcmp(key, "hostname") == 0) {
        return read_text_value(frame, input.hostname, hostname_max,
                               "Error: Invalid hostname (len: %ld > %d)\n");
    }
    if (strcmp(key, "interface_id") == 0) {
        return read_text_value(frame, input.interface_id, interface_id_max,
                               "Error: Invalid interface_id (len: %ld > %d)\n");
    }
    if (strcmp(key, "port_num") == 0) {
        const char* value = frame.next_token();
        if (value == nullptr) return missing_value("Error: port_num requires an integer value!\n");
        input.port = static_cast<uint16_t>(static_cast<uint32_t>(parse_int_value(value)));
        return 0;
    }
    return key_not_in_table;
}

size_t announce_srv_info_count(const char* value) {
    size_t count = srv_info_element_count(value);
    log_out("Info: srv_info element count = %d\n", static_cast<int>(count));
    return count;
}

void report_invalid_srv_info(const char* value) {
    log_err("Error: Invalid srv_info: %s\n", value);
}
