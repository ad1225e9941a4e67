// The generic service info builder and its sub-attribute writer.
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

size_t write_text_sub_attr(uint8_t id, uint8_t* pos, const char* text) {
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

size_t append_gen_sub_attr(uint8_t id, uint8_t* pos, srvc_info_params& input,
                           srvc_inst_source source) {
    switch (id) {
    case nan_gen_srvc_service_name:
        log_out("append_gen_sub_attr NAN_GEN_SRVC_SERVICE_NAME[%d]\n", id);
        log_out("service_name:%s\n", input.service_name);
        return write_text_sub_attr(id, pos, input.service_name);
    case nan_gen_srvc_name_of_srvc_inst:
        log_out("append_gen_sub_attr NAN_GEN_SRVC_NAME_OF_SRVC_INST[%d]\n", id);
        if (source == srvc_inst_source::hostname) {
            log_out("hostname:%s\n", input.hostname);
            return write_text_sub_attr(id, pos, input.hostname);
        }
        log_out("service inst:%s\n", input.service_instance);
        return write_text_sub_attr(id, pos, input.service_instance);
    case nan_gen_srvc_text_info:
        return append_text_info(pos, input);
    case nan_gen_srvc_transport_port:
        return append_port(pos, input);
    default:
        return 0;
    }
}

size_t build_gen_srvc_info(srvc_info_params& input, uint8_t* dest) {
    uint8_t scratch[gen_srvc_scratch_size];
    memcpy(scratch, wfa_oui, sizeof wfa_oui);
    scratch[sizeof wfa_oui] = gen_srvc_protocol_type;
    size_t length = gen_srvc_header_size;
    const srvc_inst_source inst = srvc_inst_source::service_instance;
    if (text_present(input.service_name))
        length += append_gen_sub_attr(nan_gen_srvc_service_name, scratch + length, input, inst);
    if (text_present(input.service_instance))
        length += append_gen_sub_attr(nan_gen_srvc_name_of_srvc_inst, scratch + length, input, inst);
    if (text_present(input.text_info))
        length += append_gen_sub_attr(nan_gen_srvc_text_info, scratch + length, input, inst);
    if (text_present(input.hostname))
        length += append_gen_sub_attr(nan_gen_srvc_name_of_srvc_inst, scratch + length, input,
                                      srvc_inst_source::hostname);
    if (input.port != 0)
        length += append_gen_sub_attr(nan_gen_srvc_transport_port, scratch + length, input, inst);
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
