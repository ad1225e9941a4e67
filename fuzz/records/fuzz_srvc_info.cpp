// The generic service info builder, the text-info conversion, byte lists and MAC addresses,
// each writing into a heap buffer of exactly its documented size so any overrun is caught.
//
// Input: five NUL-separated texts (service name, instance, text info, hostname, interface id)
// cut to their field sizes, then two bytes of port; the whole input is also read as a byte
// list and as a MAC address.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_seams.hpp"
#include "srvc_info.hpp"

namespace {

constexpr size_t fuzz_text_fields = 5;
constexpr size_t fuzz_input_max = 4096;

// Copies the next NUL-separated piece into a field of max_length characters.
size_t take_field(const uint8_t* data, size_t size, size_t at, char* field, size_t max_length) {
    size_t end = at;
    while (end < size && data[end] != 0) ++end;
    size_t length = end - at < max_length ? end - at : max_length;
    memcpy(field, data + at, length);
    field[length] = '\0';
    return end < size ? end + 1 : end;
}

void fuzz_builder(const uint8_t* data, size_t size) {
    srvc_info_params input;
    clear_srvc_info(input);
    char* fields[fuzz_text_fields] = {input.service_name, input.service_instance, input.text_info,
                                      input.hostname, input.interface_id};
    const size_t limits[fuzz_text_fields] = {srv_name_max, srv_inst_max, srv_text_max,
                                             hostname_max, interface_id_max};
    size_t at = 0;
    for (size_t i = 0; i < fuzz_text_fields; ++i) at = take_field(data, size, at, fields[i], limits[i]);
    if (at + 1 < size) input.port = static_cast<uint16_t>(data[at] | (data[at + 1] << 8));

    std::unique_ptr<uint8_t[]> area(new uint8_t[srvc_info_area_size]);
    size_t length = build_gen_srvc_info(input, area.get());
    fuzz_check(length == 0 || (length >= gen_srvc_header_size && length <= srvc_info_area_size),
               "service info length out of range");
}

void fuzz_text_info(const std::string& text) {
    std::string copy = text.substr(0, srv_text_max);
    std::unique_ptr<uint8_t[]> out(new uint8_t[text_info_out_size]);
    size_t length = convert_text_info(copy.data(), out.get());
    fuzz_check(length <= text_info_out_size, "text info longer than its buffer");
}

void fuzz_lists(const std::string& text) {
    size_t count = srv_info_element_count(text.c_str());
    if (count > srvc_info_area_size) count = srvc_info_area_size;
    std::unique_ptr<uint8_t[]> list(new uint8_t[count + 1]);
    parse_hex_list(text.c_str(), list.get(), count);
    std::unique_ptr<uint8_t[]> mac(new uint8_t[mac_addr_octets]);
    parse_mac_addr(mac.get(), text.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_seams();
    quiet_standard_output();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > fuzz_input_max) size = fuzz_input_max;
    fuzz_builder(data, size);
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.c_str();  // as a parameter text: up to its first NUL
    fuzz_text_info(text);
    fuzz_lists(text);
    return 0;
}
