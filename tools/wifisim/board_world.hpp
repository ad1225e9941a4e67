#pragma once
// The outside world of the simulated board: what the end-to-end fixture puts into a board's
// state directory STATE before nanvideo-board launches the daemon on it, and what a test reads
// back or injects while the daemon runs.
//
// STATE after populate():
//   root/usr/bin/   iw ifconfig reboot usb.sh fw_printenv fw_setenv   (stand-ins, copied)
//   root/usr/sbin/  iw ifconfig reboot                                 (shadow the host's)
//   root/etc/       fw_env.config (-> /run/nanvideo-board/env.bin), zqversion
//   real/           the host's fw_printenv and fw_setenv, run by the logging stand-ins
//   env.bin         boot environment image (mkenvimage -s 0x2000), env.txt its source
//   fw_env.host.config   the same image by its host path, for read_boot_env()
//   tmp/            the board's /tmp
//   calls.log       every stand-in call, one escaped argv per line
//   failures        injected failures, "<remaining> <exit_status> <pattern>" per line
//   wifi/driver     the simulated Wi-Fi driver (phy, interfaces, NAN, peers)
//   wifi/events     the driver's event log: every `iw event` prints it from the start (or
//                   the last clear) and follows it
//   records/        every vendor record iw was given: NNNN-SSSS.bin and the index
//   .lock           the one lock every reader and writer of the above takes
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver_state.hpp"

namespace board_world {

constexpr const char* default_vemuparam =
    "name:NanCam pmk: password:secret123 hostname:nancam.local";
constexpr const char* default_zqversion = "NANCAM_V1.1.0_SIM";
constexpr const char* board_mount_point = "/run/nanvideo-board";
constexpr const char* standin_dir_env = "NANVIDEO_STANDIN_DIR";

enum class boot_env {
    record,       // vemuparam holds options::vemuparam
    no_variable,  // the image has no vemuparam
    empty_value,  // vemuparam=
    no_image,     // no env.bin at all: the boot-environment tools fail
};

enum class event_form {
    older,  // header line alone, data lines, one empty line
    newer,  // header and first data line joined, data lines, two empty lines
};

// A command made to fail. The pattern (fnmatch) is matched against the program's base name and
// its arguments joined by single blanks, e.g. "iw phy* interface add *" or "reboot".
struct failure {
    std::string pattern;
    int times = 1;        // calls that fail; < 0: every call
    int exit_status = 1;  // < 0: the program dies by signal -exit_status instead
    // A hung tool: the call is logged, then hangs until release_stalls() (or until it is
    // killed); after that it fails as told, or with exit_status 0 does its work (and so do
    // later calls: the rule goes with the release).
    bool stall = false;
};

struct options {
    boot_env env = boot_env::record;
    std::string vemuparam = default_vemuparam;
    bool zqversion_present = true;
    std::string zqversion = default_zqversion;
    int phy = 0;                          // phy#N; < 0: no Wi-Fi device at all
    unsigned long long first_wdev = 1;    // wlan0's wdev; an added nan0 takes the next
    bool iw_present = true;               // false: no iw on the board at all
    bool log_env_tools = true;            // fw_printenv/fw_setenv logged and failable
    event_form form = event_form::older;  // how the driver's events are printed
    std::vector<failure> failures;
    // Where the built stand-ins are; empty: $NANVIDEO_STANDIN_DIR, else this build's bin dir.
    std::string standin_dir;
};

// Makes STATE a freshly booted board (earlier calls, records, events and failures are gone).
// Returns 0, or -1 with the reason in *error (when given).
int populate(const std::string& state, const options& opts = options(),
             std::string* error = nullptr);

// ---- reading back ----

struct call {
    std::vector<std::string> argv;
    std::string line() const;  // argv joined by single blanks
};
std::vector<call> read_calls(const std::string& state);
// The calls as lines; with a program name, only that program's calls (argv[0]'s base name).
std::vector<std::string> read_call_lines(const std::string& state,
                                         const std::string& program = "");

// Waits until a call whose program base name and arguments (joined by single blanks, as failure
// patterns see them) match the fnmatch pattern has been logged, at or after call number `from`
// (0 = the first call). Returns that call's number, or -1 when timeout_ms passed first.
int wait_for_call(const std::string& state, const std::string& pattern, int timeout_ms,
                  size_t from = 0);

struct vendor_record {
    unsigned number = 0;
    unsigned vendor_id = 0;
    unsigned subcmd = 0;
    std::string verdict;  // "ok", "bad_size", "unknown_subcmd", "unknown_vendor"
    std::vector<uint8_t> bytes;
    bool taken() const { return verdict == "ok"; }
};
std::vector<vendor_record> read_vendor_records(const std::string& state);

using driver_view = wifisim::driver_state;
int read_driver(const std::string& state, driver_view* driver);

// The failure rules as they stand (remaining counts go down as calls fail).
std::vector<failure> read_failures(const std::string& state);

// ---- changing the world while the daemon runs ----

int add_failure(const std::string& state, const failure& rule);
int clear_failures(const std::string& state);  // also releases every stalled call
int release_stalls(const std::string& state);
int set_event_form(const std::string& state, event_form form);

struct event_options {
    std::optional<event_form> form;  // default: the driver's form
    size_t payload_length = 0;       // 0: the driver's usual length for the kind
    std::string iface = "nan0";
    unsigned vendor_id = 0xe04c;  // inject_vendor_event: another vendor's events share the stream
};

// A peer asks for a data path: prints connection_request (subcommand 2) with the data-path id
// at byte 2 and the peer at bytes 4..9. An accepting data_rsp for that id later makes the driver
// print connection_success (subcommand 0) for the peer.
int inject_peer_request(const std::string& state, const std::string& peer_mac, unsigned ndp_id,
                        const event_options& opts = event_options());
int inject_connection_success(const std::string& state, const std::string& peer_mac,
                              unsigned status, const event_options& opts = event_options());
int inject_termination(const std::string& state, const std::string& peer_mac, unsigned reason,
                       const event_options& opts = event_options());
int inject_vendor_event(const std::string& state, unsigned subcmd,
                        const std::vector<uint8_t>& payload,
                        const event_options& opts = event_options());

enum class other_event { new_station, del_station, scan_started, scan_finished, scan_aborted };
// Events that the daemon must ignore, with the usual prefixes ("wlan0 (phy #0): new station ...").
int inject_other_event(const std::string& state, other_event kind,
                       const std::string& mac = "02:11:22:33:44:55",
                       const std::string& iface = "wlan0");
// A line printed as it is (no time stamp, no prefix); it must not hold a line feed.
int inject_raw_line(const std::string& state, const std::string& text);
// Streams started from now on print only later events; running streams go on as they are.
int clear_events(const std::string& state);

// ---- boot environment, from the host side ----

// Runs the host's fw_printenv -c STATE/fw_env.host.config. Returns 0 with the value when the
// variable is set, 1 when it is not, -1 when the tool fails (no image, ...).
int read_boot_env(const std::string& state, const std::string& name, std::string* value);
int write_boot_env(const std::string& state, const std::string& name, const std::string& value);
std::string host_env_config(const std::string& state);

}  // namespace board_world
