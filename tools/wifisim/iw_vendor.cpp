// `iw NAME vendor send OUI SUBCMD FILE`: the driver's NAN vendor interface. Every record that
// reaches an existing interface is kept, numbered, in STATE/records (also the refused ones, with
// the reason in the index) so tests can read the exact bytes the daemon sent. An accepting
// data_rsp for a requested data path makes the driver report the connection as established.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver_state.hpp"
#include "event_log.hpp"
#include "iw_commands.hpp"
#include "sim_state.hpp"
#include "vendor_records.hpp"

namespace wifisim {

namespace {

constexpr int exit_broken_state = 1;
constexpr const char* vendor_usage =
    "Usage: iw dev <devname> vendor send <oui> <subcmd> <filename|->";

bool parse_number(const char* text, unsigned* value) {
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text, &end, 0);
    if (text[0] == '\0' || *end != '\0' || errno != 0 || v > 0xffffffffUL) return false;
    *value = static_cast<unsigned>(v);
    return true;
}

// Reads the record: the named file, or standard input for "-". Returns 0 or an errno value.
int read_record(const char* name, std::vector<unsigned char>* bytes) {
    std::string data;
    if (strcmp(name, "-") == 0) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(STDIN_FILENO, buffer, sizeof buffer)) > 0)
            data.append(buffer, static_cast<size_t>(n));
        if (n < 0) return errno;
    } else if (!read_whole_file(name, &data)) {
        return errno != 0 ? errno : EIO;
    }
    bytes->assign(data.begin(), data.end());
    return 0;
}

const char* judge_record(unsigned vendor_id, unsigned subcmd, size_t size) {
    if (vendor_id != realtek_vendor_id) return record_unknown_vendor;
    const size_t expected = expected_record_size(subcmd);
    if (expected == 0) return record_unknown_subcmd;
    return expected == size ? record_taken : record_bad_size;
}

bool keep_record(const std::string& state, unsigned number, unsigned vendor_id, unsigned subcmd,
                 const std::vector<unsigned char>& bytes, const char* verdict) {
    char name[64];
    snprintf(name, sizeof name, "%s/%04u-%04x.bin", records_dir, number, subcmd);
    const std::string data(bytes.begin(), bytes.end());
    if (!write_file_replacing(state_path(state, name), data)) return false;
    char line[128];
    snprintf(line, sizeof line, "%u 0x%x 0x%x %zu %s\n", number, vendor_id, subcmd, bytes.size(),
             verdict);
    return append_to_file(state_path(state, records_index_file), line);
}

// The driver's side of a data_rsp: the first peer still waiting with that data-path id.
void answer_peer(const std::string& state, driver_state& d, const interface_entry& iface,
                 const std::vector<unsigned char>& record) {
    const unsigned char ndl_rsp = record[data_rsp_ndl_rsp_offset];
    const unsigned char ndp_id = record[data_rsp_ndp_id_offset];
    for (peer_entry& peer : d.peers) {
        if (peer.state != "requested" || peer.ndp_id != ndp_id) continue;
        if (ndl_rsp == ndl_rsp_reject) {
            peer.state = "rejected";
            return;
        }
        if (ndl_rsp != ndl_rsp_accept) return;
        peer.state = "connected";
        unsigned char peer_mac[6];
        unsigned char own_mac[6] = {};
        if (!parse_mac_text(peer.mac, peer_mac)) return;
        parse_mac_text(iface.addr, own_mac);
        event_entry e;
        e.newer_form = d.newer_event_form;
        e.subcmd = event_connection_success;
        e.iface = iface.name;
        e.phy = d.phy;
        e.payload = success_payload(peer_mac, 0, ndp_id, own_mac, success_default_payload);
        append_event_locked(state, e);
        return;
    }
}

}  // namespace

int iw_vendor_send(const std::string& state, const std::string& ifname, int argc, char** argv) {
    unsigned vendor_id = 0;
    unsigned subcmd = 0;
    if (argc != 3 || !parse_number(argv[0], &vendor_id) || !parse_number(argv[1], &subcmd))
        return usage_error(vendor_usage);
    std::vector<unsigned char> record;
    const int read_error = read_record(argv[2], &record);
    if (read_error != 0) return command_failed(read_error);

    state_lock lock(state);
    driver_state d;
    if (!lock.held() || !load_driver(state, &d)) {
        fprintf(stderr, "iw: cannot use the simulated driver state in %s\n", state.c_str());
        return exit_broken_state;
    }
    interface_entry* iface = find_interface(d, ifname);
    if (iface == nullptr) return command_failed(ENODEV);
    const char* verdict = judge_record(vendor_id, subcmd, record.size());
    const unsigned number = d.next_record++;
    if (!keep_record(state, number, vendor_id, subcmd, record, verdict)) {
        fprintf(stderr, "iw: cannot keep the vendor record in %s\n", state.c_str());
        return exit_broken_state;
    }
    int result = 0;
    if (verdict == record_unknown_vendor || verdict == record_unknown_subcmd) {
        result = command_failed(EOPNOTSUPP);
    } else if (verdict == record_bad_size) {
        result = command_failed(EINVAL);
    } else if (subcmd == data_rsp_subcmd) {
        answer_peer(state, d, *iface, record);
    }
    return save_driver(state, d) ? result : exit_broken_state;
}

}  // namespace wifisim
