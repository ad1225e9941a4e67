#pragma once
// The generic service info that srvc_ext, data_req and data_rsp carry in their 255-byte
// service-info area (Wi-Fi Aware generic service protocol: the Wi-Fi Alliance OUI, protocol type
// 2, then sub-attributes), and the comma-separated byte lists of srv_info and srv_id.
#include <cstddef>
#include <cstdint>

constexpr size_t srvc_info_area_size = 255;      // the service-info area of a record
constexpr size_t srv_name_max = 256;             // srv_name
constexpr size_t srv_inst_max = 64;              // srv_inst
constexpr size_t srv_text_max = 256;             // srv_text
constexpr size_t hostname_max = 256;             // hostname
constexpr size_t interface_id_max = 8;           // interface_id

// Sub-attribute ids of the generic service protocol.
constexpr uint8_t nan_gen_srvc_transport_port = 0;
constexpr uint8_t nan_gen_srvc_transport_protocol = 1;  // never written here
constexpr uint8_t nan_gen_srvc_service_name = 2;
constexpr uint8_t nan_gen_srvc_name_of_srvc_inst = 3;
constexpr uint8_t nan_gen_srvc_text_info = 4;

constexpr uint8_t wfa_oui[3] = {0x50, 0x6f, 0x9a};
constexpr uint8_t gen_srvc_protocol_type = 0x02;
constexpr size_t gen_srvc_header_size = 4;      // OUI and protocol type
constexpr size_t sub_attr_header_size = 3;      // id and 16-bit length
constexpr size_t text_info_out_size = 256;      // converted text info
constexpr size_t port_sub_attr_size = sub_attr_header_size + 2;
// Room for every sub-attribute at its largest, so only the final length check decides.
constexpr size_t gen_srvc_scratch_size =
    gen_srvc_header_size + (sub_attr_header_size + srv_name_max) +
    (sub_attr_header_size + srv_inst_max) + (sub_attr_header_size + text_info_out_size) +
    (sub_attr_header_size + hostname_max) + port_sub_attr_size;
static_assert(gen_srvc_scratch_size == 853);

// The service-description keys of a handler call; all zero until a key fills a field.
struct srvc_info_params {
    char service_name[srv_name_max + 1];
    char service_instance[srv_inst_max + 1];
    char text_info[srv_text_max + 1];
    char hostname[hostname_max + 1];
    char interface_id[interface_id_max + 1];  // makes the input non-empty; never written out
    uint16_t port;
};

void clear_srvc_info(srvc_info_params& input);
// True when any key filled the input (a non-zero port counts, port 0 does not).
bool srvc_info_present(const srvc_info_params& input);

// Builds the generic service info into dest (at least srvc_info_area_size bytes). Returns its
// length (4 to 255), or 0 when it would be longer than 255 bytes (nothing is written then).
// The text info of the input is consumed by its conversion.
size_t build_gen_srvc_info(srvc_info_params& input, uint8_t* dest);

// After a handler's last token: when any service-info key filled the input, builds the generic
// service info over the start of the record's area, puts its length (0 when over the limit) in
// the 16-bit length field and prints it.
void finish_service_info(srvc_info_params& input, uint8_t* area, uint8_t* length_field);

// Converts a text info ("0x05|hello|3|abc") into out (text_info_out_size bytes): alternately a
// byte item and a text item, separated by '|'. Returns the bytes stored; the text is cut up.
size_t convert_text_info(char* text, uint8_t* out);

// Reads up to count hexadecimal bytes separated by ',' into dest (count bytes). Returns 0 when
// exactly count values were stored, -1 otherwise; values stored before a failure stay.
int parse_hex_list(const char* text, uint8_t* dest, size_t count);

// Element count of a srv_info value: the ',' count plus one, or 0 when there is no ','.
size_t srv_info_element_count(const char* text);

// Prints the bytes 16 to a line, each as "%02x ", one whole line per call (other threads print
// at the same time). The caller prints the heading line before it.
void dump_gen_srvc_bytes(const uint8_t* bytes, size_t length);
