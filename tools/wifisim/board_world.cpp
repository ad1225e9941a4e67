// Populating a board's state directory and the test side's view of it.
#include "board_world.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "event_log.hpp"
#include "sim_state.hpp"
#include "unique_fd.hpp"

#ifndef WIFISIM_BIN_DIR
#error "WIFISIM_BIN_DIR names the directory of the built stand-ins"
#endif

namespace board_world {

namespace {

using wifisim::state_lock;
using wifisim::state_path;

constexpr mode_t dir_mode = 0755;
constexpr mode_t tmp_mode = 01777;
constexpr mode_t program_mode = 0755;
constexpr const char* env_size = "0x2000";
constexpr const char* host_fw_printenv = "/usr/bin/fw_printenv";
constexpr const char* host_fw_setenv = "/usr/bin/fw_setenv";
constexpr const char* host_mkenvimage = "/usr/bin/mkenvimage";
constexpr const char* env_image = "env.bin";
constexpr const char* env_source = "env.txt";
constexpr const char* board_env_config = "root/etc/fw_env.config";
constexpr const char* host_env_config_file = "fw_env.host.config";
constexpr const char* zqversion_file = "root/etc/zqversion";
// Variables a board's environment holds besides vemuparam.
constexpr const char* base_environment = "baudrate=115200\nbootdelay=1\n";

struct standin_install {
    const char* target;
    const char* destinations[2];
};

// reboot and ifconfig live in sbin on the host: both directories are shadowed so that the
// search order cannot reach the host's programs.
constexpr standin_install standins[] = {
    {"nanvideo-sim-ifconfig", {"root/usr/sbin/ifconfig", "root/usr/bin/ifconfig"}},
    {"nanvideo-sim-reboot", {"root/usr/sbin/reboot", "root/usr/bin/reboot"}},
    {"nanvideo-sim-usb-sh", {"root/usr/bin/usb.sh", nullptr}},
};
constexpr standin_install iw_standin = {"nanvideo-sim-iw", {"root/usr/sbin/iw", "root/usr/bin/iw"}};
constexpr standin_install env_standin = {"nanvideo-sim-envtool",
                                         {"root/usr/bin/fw_printenv", "root/usr/bin/fw_setenv"}};

bool fail(std::string* error, const std::string& reason) {
    if (error != nullptr) *error = reason;
    return false;
}

std::string errno_text() { return strerror(errno); }

bool make_dir(const std::string& path, mode_t mode, std::string* error) {
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        return fail(error, "cannot create " + path + ": " + errno_text());
    return true;
}

bool make_dirs(const std::string& path, std::string* error) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (!make_dir(path.substr(0, slash), dir_mode, error)) return false;
    }
    return make_dir(path, dir_mode, error);
}

// Copy, not link: the overlay shows the upper directory's files inside the namespace, and a
// rename keeps a running copy of the old file intact.
bool copy_program(const std::string& from, const std::string& to, std::string* error) {
    std::string data;
    if (!wifisim::read_whole_file(from, &data))
        return fail(error, "cannot read " + from + ": " + errno_text());
    const std::string temporary = to + ".new";
    if (!wifisim::write_file_replacing(temporary, data) ||
        chmod(temporary.c_str(), program_mode) != 0 || rename(temporary.c_str(), to.c_str()) != 0)
        return fail(error, "cannot install " + to + ": " + errno_text());
    return true;
}

bool install(const std::string& state, const std::string& from, const standin_install& s,
             std::string* error) {
    for (const char* destination : s.destinations) {
        if (destination != nullptr && !copy_program(from, state_path(state, destination), error))
            return false;
    }
    return true;
}

void uninstall(const std::string& state, const standin_install& s) {
    for (const char* destination : s.destinations)
        if (destination != nullptr) unlink(state_path(state, destination).c_str());
}

// With iw absent the board must not find the host's iw either: an overlay whiteout hides it.
// Making one needs privilege; without it the host's iw (if any) stays visible.
void hide_from_overlay(const std::string& state, const standin_install& s) {
    for (const char* destination : s.destinations) {
        if (destination == nullptr) continue;
        const std::string path = state_path(state, destination);
        unlink(path.c_str());
        mknod(path.c_str(), S_IFCHR | 0000, makedev(0, 0));
    }
}

std::string resolve_standin_dir(const options& opts) {
    if (!opts.standin_dir.empty()) return opts.standin_dir;
    const char* from_env = getenv(standin_dir_env);
    if (from_env != nullptr && from_env[0] != '\0') return from_env;
    return WIFISIM_BIN_DIR;
}

void remove_dir_files(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (dirent* entry = readdir(d)) {
        if (entry->d_name[0] == '.') continue;
        unlink((dir + "/" + entry->d_name).c_str());
    }
    closedir(d);
}

// Runs a program without a shell; its standard output into *out. Returns the exit status, or -1
// when it could not run or died by a signal. The boot-environment readers' complaints (no image)
// are the caller's result, not the test's output: quiet sends standard error to /dev/null.
int run_program(const std::vector<std::string>& argv, std::string* out, bool quiet = false) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    unique_fd read_end(fds[0]);
    unique_fd write_end(fds[1]);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        dup2(write_end.get(), STDOUT_FILENO);
        if (quiet) {
            const int null_fd = open("/dev/null", O_WRONLY);
            if (null_fd >= 0) dup2(null_fd, STDERR_FILENO);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    write_end.reset();
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(read_end.get(), buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (out != nullptr) *out = text;
    return WIFSIGNALED(status) ? -1 : WEXITSTATUS(status);
}

bool make_boot_env(const std::string& state, const options& opts, std::string* error) {
    const std::string image = state_path(state, env_image);
    unlink(image.c_str());
    const std::string image_line = std::string(board_mount_point) + "/" + env_image + " 0x0 " +
                                   env_size + "\n";
    const std::string host_line = image + " 0x0 " + env_size + "\n";
    if (!wifisim::write_file_replacing(state_path(state, board_env_config), image_line) ||
        !wifisim::write_file_replacing(state_path(state, host_env_config_file), host_line))
        return fail(error, "cannot write the fw_env.config files: " + errno_text());
    if (opts.env == boot_env::no_image) return true;
    if (opts.vemuparam.find('\n') != std::string::npos)
        return fail(error, "a vemuparam text cannot hold a line feed");
    std::string text = base_environment;
    if (opts.env == boot_env::record) text += "vemuparam=" + opts.vemuparam + "\n";
    if (opts.env == boot_env::empty_value) text += "vemuparam=\n";
    const std::string source = state_path(state, env_source);
    if (!wifisim::write_file_replacing(source, text))
        return fail(error, "cannot write " + source + ": " + errno_text());
    if (run_program({host_mkenvimage, "-s", env_size, "-o", image, source}, nullptr) != 0)
        return fail(error, std::string(host_mkenvimage) + " failed (Debian u-boot-tools)");
    return true;
}

bool install_env_tools(const std::string& state, const std::string& bin, const options& opts,
                       std::string* error) {
    if (!opts.log_env_tools) {
        uninstall(state, env_standin);
        return true;
    }
    if (access(host_fw_printenv, X_OK) != 0 || access(host_fw_setenv, X_OK) != 0)
        return fail(error, std::string(host_fw_printenv) + " or " + host_fw_setenv +
                               " missing (Debian libubootenv-tool)");
    const std::string real = state_path(state, wifisim::real_tools_dir);
    return copy_program(host_fw_printenv, real + "/fw_printenv", error) &&
           copy_program(host_fw_setenv, real + "/fw_setenv", error) &&
           install(state, bin + "/" + env_standin.target, env_standin, error);
}

bool install_standins(const std::string& state, const options& opts, std::string* error) {
    const std::string bin = resolve_standin_dir(opts);
    for (const standin_install& s : standins)
        if (!install(state, bin + "/" + s.target, s, error)) return false;
    if (opts.iw_present) {
        if (!install(state, bin + "/" + iw_standin.target, iw_standin, error)) return false;
    } else {
        hide_from_overlay(state, iw_standin);
    }
    return install_env_tools(state, bin, opts, error);
}

bool write_zqversion(const std::string& state, const options& opts, std::string* error) {
    const std::string path = state_path(state, zqversion_file);
    if (!opts.zqversion_present) {
        unlink(path.c_str());
        return true;
    }
    if (!wifisim::write_file_replacing(path, opts.zqversion + "\n"))
        return fail(error, "cannot write " + path + ": " + errno_text());
    return true;
}

std::vector<wifisim::failure_rule> to_rules(const std::vector<failure>& failures) {
    std::vector<wifisim::failure_rule> rules;
    for (const failure& f : failures) {
        wifisim::failure_rule r;
        r.remaining = f.times;
        r.exit_status = f.exit_status;
        r.stall = f.stall;
        r.pattern = f.pattern;
        rules.push_back(r);
    }
    return rules;
}

bool fresh_state_files(const std::string& state, const options& opts, std::string* error) {
    for (const failure& f : opts.failures)
        if (f.pattern.find('\n') != std::string::npos) return fail(error, "a pattern holds a line feed");
    const wifisim::driver_state driver =
        wifisim::initial_driver(opts.phy, opts.first_wdev, opts.form == event_form::newer);
    remove_dir_files(state_path(state, wifisim::records_dir));
    if (!wifisim::save_driver(state, driver) ||
        !wifisim::write_file_replacing(state_path(state, wifisim::events_file), "") ||
        !wifisim::write_file_replacing(state_path(state, wifisim::call_log_file), "") ||
        !wifisim::write_file_replacing(state_path(state, wifisim::failures_file),
                                       wifisim::format_failure_rules(to_rules(opts.failures))))
        return fail(error, "cannot write the board state in " + state + ": " + errno_text());
    return true;
}

bool make_layout(const std::string& state, std::string* error) {
    const char* const dirs[] = {"root/etc", "root/usr/bin", "root/usr/sbin", wifisim::wifi_dir,
                                wifisim::records_dir, wifisim::real_tools_dir};
    if (!make_dirs(state, error)) return false;
    for (const char* dir : dirs)
        if (!make_dirs(state_path(state, dir), error)) return false;
    const std::string tmp = state_path(state, "tmp");
    if (!make_dir(tmp, tmp_mode, error)) return false;
    if (chmod(tmp.c_str(), tmp_mode) != 0) return fail(error, "cannot chmod " + tmp);
    return true;
}

std::string absolute(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

const char* base_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string read_locked(const std::string& state, const char* file) {
    state_lock lock(state);
    std::string text;
    wifisim::read_whole_file(state_path(state, file), &text);
    return text;
}

// Appends one event with the driver's phy, and its form unless the caller chose one.
int append_event(const std::string& state, wifisim::event_entry entry,
                 const std::optional<event_form>& form) {
    state_lock lock(state);
    wifisim::driver_state d;
    if (!lock.held() || !wifisim::load_driver(state, &d)) return -1;
    entry.phy = d.phy == wifisim::no_phy ? 0 : d.phy;
    entry.newer_form = form.has_value() ? *form == event_form::newer : d.newer_event_form;
    return wifisim::append_event_locked(state, entry) ? 0 : -1;
}

// Records what the driver now knows about a peer, then prints the event.
int peer_event(const std::string& state, const std::string& mac_text, unsigned ndp_id,
               const char* new_state, wifisim::event_entry entry, const event_options& opts) {
    {
        state_lock lock(state);
        wifisim::driver_state d;
        if (!lock.held() || !wifisim::load_driver(state, &d)) return -1;
        bool known = false;
        for (wifisim::peer_entry& p : d.peers) {
            if (p.mac != mac_text || strcmp(new_state, "requested") == 0) continue;
            p.state = new_state;
            known = true;
        }
        if (!known && strcmp(new_state, "requested") == 0)
            d.peers.push_back({ndp_id & 0xffu, mac_text, new_state});
        if (!wifisim::save_driver(state, d)) return -1;
    }
    entry.iface = opts.iface;
    return append_event(state, entry, opts.form);
}

std::string lower_mac(const std::string& text, unsigned char mac[6], bool* ok) {
    *ok = wifisim::parse_mac_text(text, mac);
    return *ok ? wifisim::format_mac(mac) : std::string();
}

}  // namespace

std::string call::line() const {
    std::string text;
    for (size_t i = 0; i < argv.size(); ++i) {
        if (i > 0) text += ' ';
        text += argv[i];
    }
    return text;
}

int populate(const std::string& state_arg, const options& opts, std::string* error) {
    if (state_arg.empty()) {
        fail(error, "no state directory given");
        return -1;
    }
    if (!make_layout(state_arg, error)) return -1;
    const std::string state = absolute(state_arg);
    state_lock lock(state);
    if (!lock.held()) {
        fail(error, "cannot lock " + state);
        return -1;
    }
    const bool ok = install_standins(state, opts, error) && make_boot_env(state, opts, error) &&
                    write_zqversion(state, opts, error) && fresh_state_files(state, opts, error);
    return ok ? 0 : -1;
}

std::vector<call> read_calls(const std::string& state) {
    std::vector<call> calls;
    for (const std::string& line : lines_of(read_locked(state, wifisim::call_log_file)))
        calls.push_back({wifisim::split_escaped_line(line)});
    return calls;
}

std::vector<std::string> read_call_lines(const std::string& state, const std::string& program) {
    std::vector<std::string> lines;
    for (const call& c : read_calls(state)) {
        if (!program.empty() && (c.argv.empty() || program != base_name(c.argv[0]))) continue;
        lines.push_back(c.line());
    }
    return lines;
}

int wait_for_call(const std::string& state, const std::string& pattern, int timeout_ms,
                  size_t from) {
    constexpr int poll_interval_ms = 10;
    for (int waited = 0;; waited += poll_interval_ms) {
        const std::vector<call> calls = read_calls(state);
        for (size_t i = from; i < calls.size(); ++i) {
            std::string text = calls[i].argv.empty() ? "" : base_name(calls[i].argv[0]);
            for (size_t a = 1; a < calls[i].argv.size(); ++a) text += " " + calls[i].argv[a];
            if (fnmatch(pattern.c_str(), text.c_str(), 0) == 0) return static_cast<int>(i);
        }
        if (waited >= timeout_ms) return -1;
        usleep(poll_interval_ms * 1000);
    }
}

std::vector<vendor_record> read_vendor_records(const std::string& state) {
    std::vector<vendor_record> records;
    state_lock lock(state);
    std::string index;
    wifisim::read_whole_file(state_path(state, wifisim::records_index_file), &index);
    for (const std::string& line : lines_of(index)) {
        vendor_record r;
        size_t size = 0;
        char verdict[32];
        if (sscanf(line.c_str(), "%u %x %x %zu %31s", &r.number, &r.vendor_id, &r.subcmd, &size,
                   verdict) != 5)
            continue;
        r.verdict = verdict;
        char name[64];
        snprintf(name, sizeof name, "%s/%04u-%04x.bin", wifisim::records_dir, r.number, r.subcmd);
        std::string data;
        wifisim::read_whole_file(state_path(state, name), &data);
        r.bytes.assign(data.begin(), data.end());
        records.push_back(r);
    }
    return records;
}

int read_driver(const std::string& state, driver_view* driver) {
    state_lock lock(state);
    return lock.held() && wifisim::load_driver(state, driver) ? 0 : -1;
}

std::vector<failure> read_failures(const std::string& state) {
    std::vector<failure> failures;
    for (const wifisim::failure_rule& r :
         wifisim::parse_failure_rules(read_locked(state, wifisim::failures_file)))
        failures.push_back({r.pattern, static_cast<int>(r.remaining), r.exit_status, r.stall});
    return failures;
}

int add_failure(const std::string& state, const failure& rule) {
    if (rule.pattern.find('\n') != std::string::npos) return -1;
    state_lock lock(state);
    const std::vector<wifisim::failure_rule> rules = to_rules({rule});
    return lock.held() && wifisim::append_to_file(state_path(state, wifisim::failures_file),
                                                  wifisim::format_failure_rules(rules))
               ? 0
               : -1;
}

int clear_failures(const std::string& state) {
    state_lock lock(state);
    return lock.held() && wifisim::write_file_replacing(
                              state_path(state, wifisim::failures_file), "")
               ? 0
               : -1;
}

int release_stalls(const std::string& state) {
    state_lock lock(state);
    if (!lock.held()) return -1;
    std::string text;
    wifisim::read_whole_file(state_path(state, wifisim::failures_file), &text);
    std::vector<wifisim::failure_rule> rules = wifisim::parse_failure_rules(text);
    // A hang that was to end in the tool's own work has nothing left to do once released; kept,
    // it would make every later call exit 0 without working.
    std::erase_if(rules, [](const wifisim::failure_rule& rule) {
        return rule.stall && rule.exit_status == 0;
    });
    for (wifisim::failure_rule& rule : rules) rule.stall = false;
    return wifisim::write_file_replacing(state_path(state, wifisim::failures_file),
                                         wifisim::format_failure_rules(rules))
               ? 0
               : -1;
}

int set_event_form(const std::string& state, event_form form) {
    state_lock lock(state);
    wifisim::driver_state d;
    if (!lock.held() || !wifisim::load_driver(state, &d)) return -1;
    d.newer_event_form = form == event_form::newer;
    return wifisim::save_driver(state, d) ? 0 : -1;
}

int inject_peer_request(const std::string& state, const std::string& peer_mac, unsigned ndp_id,
                        const event_options& opts) {
    unsigned char peer[6];
    unsigned char own[6];
    bool ok = false;
    const std::string mac = lower_mac(peer_mac, peer, &ok);
    if (!ok) return -1;
    wifisim::parse_mac_text(wifisim::nan_addr, own);
    wifisim::event_entry e;
    e.subcmd = wifisim::event_connection_request;
    e.payload = wifisim::request_payload(
        peer, static_cast<unsigned char>(ndp_id), own,
        opts.payload_length != 0 ? opts.payload_length : wifisim::request_default_payload);
    return peer_event(state, mac, ndp_id, "requested", e, opts);
}

int inject_connection_success(const std::string& state, const std::string& peer_mac,
                              unsigned status, const event_options& opts) {
    unsigned char peer[6];
    unsigned char own[6];
    bool ok = false;
    const std::string mac = lower_mac(peer_mac, peer, &ok);
    if (!ok) return -1;
    wifisim::parse_mac_text(wifisim::nan_addr, own);
    wifisim::event_entry e;
    e.subcmd = wifisim::event_connection_success;
    e.payload = wifisim::success_payload(
        peer, static_cast<unsigned char>(status), 0, own,
        opts.payload_length != 0 ? opts.payload_length : wifisim::success_default_payload);
    return peer_event(state, mac, 0, "connected", e, opts);
}

int inject_termination(const std::string& state, const std::string& peer_mac, unsigned reason,
                       const event_options& opts) {
    unsigned char peer[6];
    bool ok = false;
    const std::string mac = lower_mac(peer_mac, peer, &ok);
    if (!ok) return -1;
    wifisim::event_entry e;
    e.subcmd = wifisim::event_connection_termination;
    e.payload = wifisim::termination_payload(
        peer, static_cast<unsigned char>(reason), 0,
        opts.payload_length != 0 ? opts.payload_length : wifisim::termination_default_payload);
    return peer_event(state, mac, 0, "terminated", e, opts);
}

int inject_vendor_event(const std::string& state, unsigned subcmd,
                        const std::vector<uint8_t>& payload, const event_options& opts) {
    wifisim::event_entry e;
    e.subcmd = subcmd;
    e.vendor_id = opts.vendor_id;
    e.iface = opts.iface;
    e.payload.assign(payload.begin(), payload.end());
    return append_event(state, e, opts.form);
}

int inject_other_event(const std::string& state, other_event kind, const std::string& mac,
                       const std::string& iface) {
    static const char scan_frequencies[] = "2412 2437 2462, \"\"";
    wifisim::event_entry e;
    e.kind = wifisim::entry_kind::prefixed;
    e.iface = iface;
    switch (kind) {
        case other_event::new_station: e.text = "new station " + mac; break;
        case other_event::del_station: e.text = "del station " + mac; break;
        case other_event::scan_started: e.text = "scan started"; break;
        case other_event::scan_finished: e.text = std::string("scan finished: ") + scan_frequencies; break;
        case other_event::scan_aborted: e.text = std::string("scan aborted: ") + scan_frequencies; break;
    }
    if (e.text.find('\n') != std::string::npos) return -1;
    return append_event(state, e, std::nullopt);
}

int inject_raw_line(const std::string& state, const std::string& text) {
    if (text.find('\n') != std::string::npos) return -1;
    wifisim::event_entry e;
    e.kind = wifisim::entry_kind::raw;
    e.text = text;
    return append_event(state, e, std::nullopt);
}

int clear_events(const std::string& state) {
    state_lock lock(state);
    return lock.held() && wifisim::append_to_file(state_path(state, wifisim::events_file),
                                                  wifisim::clear_mark)
               ? 0
               : -1;
}

std::string host_env_config(const std::string& state) {
    return state_path(state, host_env_config_file);
}

int read_boot_env(const std::string& state, const std::string& name, std::string* value) {
    const std::string config = host_env_config(state);
    std::string listing;
    if (run_program({host_fw_printenv, "-c", config}, &listing, true) != 0) return -1;
    bool present = false;
    for (const std::string& line : lines_of(listing))
        if (line.compare(0, name.size() + 1, name + "=") == 0) present = true;
    if (!present) return 1;
    std::string text;
    if (run_program({host_fw_printenv, "-c", config, "-n", name}, &text, true) != 0) return -1;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    *value = text;
    return 0;
}

int write_boot_env(const std::string& state, const std::string& name, const std::string& value) {
    return run_program({host_fw_setenv, "-c", host_env_config(state), name, value}, nullptr) == 0
               ? 0
               : -1;
}

}  // namespace board_world
