#include "service_info_keys.hpp"
#include "log.hpp"

#include <cstddef>

extern constexpr field_key service_info_keys[service_info_key_count] = {
    {.key = "hostname", .kind = field_kind::text, .offset = offsetof(srvc_info_params, hostname),
     .max_length = hostname_max},
    {.key = "interface_id", .kind = field_kind::text,
     .offset = offsetof(srvc_info_params, interface_id), .max_length = interface_id_max},
    {.key = "port_num", .kind = field_kind::port},
};

size_t announce_srv_info_count(const char* value) {
    size_t count = srv_info_element_count(value);
    log_out("Info: srv_info element count = %d\n", static_cast<int>(count));
    return count;
}

void report_invalid_srv_info(const char* value) {
    log_err("Error: Invalid srv_info: %s\n", value);
}
