#include <cstring>

#include "le_bytes.hpp"
#include "srvc_info.hpp"
#include "vendor_values.hpp"
#include "log.hpp"

namespace {

constexpr size_t dump_bytes_per_line = 16;

bool text_present(const char* text) { return text[0] != '\0'; }

// id, 16-bit length, value; then the "len" line and the dump every sub-attribute prints.
size_t write_sub_attr(uint8_t id, uint8_t* pos, const uint8_t* value, size_t length) {
    pos[0] = id;
    put_le16(pos + 1, static_cast<uint16_t>(length));
    memcpy(pos + sub_attr_header_size, value, length);
    size_t size = sub_attr_header_size + length;
    log_out("len = %d\n", static_cast<int>(size));
    dump_gen_srvc_bytes(pos, size);
    return size;
}

// A text sub-attribute: its heading and the labelled text, then the lines of every one.
size_t append_text(uint8_t id, const char* heading, const char* label, const char* text,
                   uint8_t* pos) {
    log_out("append_gen_sub_attr %s[%d]\n", heading, id);
    log_out("%s:%s\n", label, text);
    return write_sub_attr(id, pos, reinterpret_cast<const uint8_t*>(text), strlen(text));
}

size_t append_text_info(uint8_t* pos, srvc_info_params& input) {
    log_out("append_gen_sub_attr NAN_GEN_SRVC_TEXT_INFO[%d]\n", nan_gen_srvc_text_info);
    log_out("text info:%s\n", input.text_info);
    uint8_t converted[text_info_out_size];
    size_t length = convert_text_info(input.text_info, converted);
    if (length == 0) {
        log_out("attr_len = 0, skip\n");
        log_out("len = %d\n", 0);
        return 0;
    }
    return write_sub_attr(nan_gen_srvc_text_info, pos, converted, length);
}

size_t append_port(uint8_t* pos, const srvc_info_params& input) {
    log_out("append_gen_sub_attr NAN_GEN_SRVC_TRANSPORT_PORT[%d]\n", nan_gen_srvc_transport_port);
    log_out("port_number:%d\n", input.port);
    uint8_t value[2];
    put_le16(value, input.port);
    return write_sub_attr(nan_gen_srvc_transport_port, pos, value, sizeof value);
}

}  // namespace

void clear_srvc_info(srvc_info_params& input) { memset(&input, 0, sizeof input); }

bool srvc_info_present(const srvc_info_params& input) {
    return text_present(input.service_name) || text_present(input.service_instance) ||
           text_present(input.text_info) || text_present(input.hostname) ||
           text_present(input.interface_id) || input.port != 0;
}

void dump_gen_srvc_bytes(const uint8_t* bytes, size_t length) {
    char line[dump_bytes_per_line * hex_dump_chars_per_byte + 1];
    for (size_t i = 0; i < length; i += dump_bytes_per_line) {
        size_t count = length - i < dump_bytes_per_line ? length - i : dump_bytes_per_line;
        format_hex_bytes(line, sizeof line, bytes + i, count);
        log_out("%s\n", line);
    }
}

size_t build_gen_srvc_info(srvc_info_params& input, uint8_t* dest) {
    uint8_t scratch[gen_srvc_scratch_size];
    memcpy(scratch, wfa_oui, sizeof wfa_oui);
    scratch[sizeof wfa_oui] = gen_srvc_protocol_type;
    size_t length = gen_srvc_header_size;
    const char* name_of_inst = "NAN_GEN_SRVC_NAME_OF_SRVC_INST";
    if (text_present(input.service_name)) {
        length += append_text(nan_gen_srvc_service_name, "NAN_GEN_SRVC_SERVICE_NAME",
                              "service_name", input.service_name, scratch + length);
    }
    if (text_present(input.service_instance)) {
        length += append_text(nan_gen_srvc_name_of_srvc_inst, name_of_inst, "service inst",
                              input.service_instance, scratch + length);
    }
    if (text_present(input.text_info)) length += append_text_info(scratch + length, input);
    if (text_present(input.hostname)) {
        length += append_text(nan_gen_srvc_name_of_srvc_inst, name_of_inst, "hostname",
                              input.hostname, scratch + length);
    }
    if (input.port != 0) length += append_port(scratch + length, input);
    if (length > srvc_info_area_size) {
        log_out("service info length(%d) is out of limit\n", static_cast<int>(length));
        return 0;
    }
    memcpy(dest, scratch, length);
    log_out("generic service info (len=%d)\n", static_cast<int>(length));
    dump_gen_srvc_bytes(dest, length);
    return length;
}

void finish_service_info(srvc_info_params& input, uint8_t* area, uint8_t* length_field) {
    if (!srvc_info_present(input)) return;
    size_t length = build_gen_srvc_info(input, area);
    put_le16(length_field, static_cast<uint16_t>(length));
    log_out("Constructed service info length: %d\n", static_cast<int>(length));
}
