#pragma once
// The service-info keys that data_req and data_rsp share: the raw srv_info byte list and the
// hostname, port_num and interface_id that build a generic service info.
#include <cstddef>

#include "srvc_info.hpp"
#include "vendor_frame.hpp"

constexpr size_t service_info_key_count = 3;
extern const field_key service_info_keys[service_info_key_count];

// Prints "Info: srv_info element count = %d" and returns the count.
size_t announce_srv_info_count(const char* value);

// The one line that both keywords print for a refused srv_info list.
void report_invalid_srv_info(const char* value);
