// Interfaces and NAN operation of the simulated driver: what `iw dev` lists, interface add and
// del, and the `iw wdev` NAN commands. Each command reads and writes the driver state under the
// state lock, so concurrent iw runs see one consistent driver.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver_state.hpp"
#include "iw_commands.hpp"
#include "sim_state.hpp"

namespace wifisim {

namespace {

constexpr int exit_usage = 1;
constexpr int exit_broken_state = 1;

const char* const start_usage = "Usage: iw wdev <idx> nan start pref <pref> [bands [2GHz] [5GHz]]";
const char* const add_func_usage =
    "Usage: iw wdev <idx> nan add_func type <publish|subscribe|followup> [...] name <name> [...]";

int broken_state(const std::string& state) {
    fprintf(stderr, "iw: cannot use the simulated driver state in %s\n", state.c_str());
    return exit_broken_state;
}

std::string joined(int argc, char** argv) {
    std::string text;
    for (int i = 0; i < argc; ++i) {
        if (i > 0) text += ' ';
        text += argv[i];
    }
    return text;
}

bool is_number(const char* text) {
    if (text[0] == '\0') return false;
    char* end = nullptr;
    strtol(text, &end, 0);
    return *end == '\0';
}

// The names iw takes for "type" and the names `iw dev` shows for them.
const char* shown_type(const char* requested) {
    static const char* const types[][2] = {
        {"managed", "managed"}, {"station", "managed"}, {"__nan", "NAN"}, {"nan", "NAN"},
        {"monitor", "monitor"}, {"__ap", "AP"},         {"ibss", "IBSS"}, {"adhoc", "IBSS"},
    };
    for (const auto& t : types)
        if (strcmp(requested, t[0]) == 0) return t[1];
    return nullptr;
}

bool has_nan_interface(const driver_state& d) {
    for (const interface_entry& e : d.interfaces)
        if (e.type == nan_type) return true;
    return false;
}

bool valid_start_args(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[0], "pref") != 0 || !is_number(argv[1])) return false;
    if (argc == 2) return true;
    if (strcmp(argv[2], "bands") != 0) return false;
    for (int i = 3; i < argc; ++i)
        if (strcmp(argv[i], "2GHz") != 0 && strcmp(argv[i], "5GHz") != 0) return false;
    return true;
}

bool valid_add_func_args(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[0], "type") != 0) return false;
    if (strcmp(argv[1], "publish") != 0 && strcmp(argv[1], "subscribe") != 0 &&
        strcmp(argv[1], "followup") != 0)
        return false;
    for (int i = 2; i + 1 < argc; ++i)
        if (strcmp(argv[i], "name") == 0) return true;
    return false;
}

int nan_start(driver_state& d, interface_entry& e, int argc, char** argv) {
    if (!valid_start_args(argc, argv)) return usage_error(start_usage);
    if (e.type != nan_type) return command_failed(EOPNOTSUPP);
    if (d.nan_started) return command_failed(EEXIST);
    d.nan_started = true;
    d.nan_start_args = joined(argc, argv);
    return 0;
}

int nan_add_func(driver_state& d, interface_entry& e, int argc, char** argv) {
    if (!valid_add_func_args(argc, argv)) return usage_error(add_func_usage);
    if (e.type != nan_type) return command_failed(EOPNOTSUPP);
    if (!d.nan_started) return command_failed(ENOTCONN);
    d.functions.push_back({d.next_function++, joined(argc, argv)});
    return 0;
}

int nan_rm_func(driver_state& d, interface_entry& e, int argc, char** argv) {
    if (argc != 1 || !is_number(argv[0])) return usage_error("Usage: iw wdev <idx> nan rm_func <id>");
    if (e.type != nan_type) return command_failed(EOPNOTSUPP);
    const unsigned id = static_cast<unsigned>(strtoul(argv[0], nullptr, 0));
    for (auto it = d.functions.begin(); it != d.functions.end(); ++it) {
        if (it->id != id) continue;
        d.functions.erase(it);
        return 0;
    }
    return command_failed(ENOENT);
}

int nan_stop(driver_state& d, interface_entry& e) {
    if (e.type != nan_type) return command_failed(EOPNOTSUPP);
    d.nan_started = false;
    d.nan_start_args.clear();
    d.functions.clear();
    return 0;
}

int wdev_nan_command(driver_state& d, interface_entry& e, int argc, char** argv) {
    const std::string verb = argc > 0 ? argv[0] : "";
    if (verb == "start") return nan_start(d, e, argc - 1, argv + 1);
    if (verb == "stop" && argc == 1) return nan_stop(d, e);
    if (verb == "add_func") return nan_add_func(d, e, argc - 1, argv + 1);
    if (verb == "rm_func") return nan_rm_func(d, e, argc - 1, argv + 1);
    return usage_error("Usage: iw wdev <idx> nan start|stop|add_func|rm_func ...");
}

}  // namespace

int command_failed(int error_number) {
    fprintf(stderr, "command failed: %s (%d)\n", strerror(error_number), -error_number);
    return -error_number & 0xff;
}

int usage_error(const char* usage) {
    fprintf(stderr, "%s\n", usage);
    return exit_usage;
}

int iw_dev_list(const std::string& state) {
    driver_state d;
    {
        state_lock lock(state);
        if (!lock.held() || !load_driver(state, &d)) return broken_state(state);
    }
    const std::string text = format_iw_dev(d);
    fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

int iw_interface_add(const std::string& state, const std::string& phy_name, int argc, char** argv) {
    if (argc < 3 || strcmp(argv[1], "type") != 0)
        return usage_error("Usage: iw phy <phyname> interface add <name> type <type> [...]");
    const char* type = shown_type(argv[2]);
    if (type == nullptr) {
        fprintf(stderr, "invalid interface type %s\n", argv[2]);
        return exit_usage;
    }
    state_lock lock(state);
    driver_state d;
    if (!lock.held() || !load_driver(state, &d)) return broken_state(state);
    if (d.phy == no_phy || phy_name != "phy" + std::to_string(d.phy)) return command_failed(ENODEV);
    if (find_interface(d, argv[0]) != nullptr) return command_failed(EEXIST);
    if (strcmp(type, nan_type) == 0 && has_nan_interface(d)) return command_failed(EBUSY);
    interface_entry e;
    e.name = argv[0];
    e.ifindex = d.next_ifindex++;
    e.wdev = d.next_wdev++;
    e.type = type;
    if (strcmp(type, nan_type) == 0) {
        e.addr = nan_addr;
    } else {
        char addr[18];
        snprintf(addr, sizeof addr, "02:00:00:00:%02x:00", e.ifindex & 0xffu);
        e.addr = addr;
    }
    d.interfaces.push_back(e);
    return save_driver(state, d) ? 0 : broken_state(state);
}

int iw_interface_del(const std::string& state, const std::string& ifname) {
    state_lock lock(state);
    driver_state d;
    if (!lock.held() || !load_driver(state, &d)) return broken_state(state);
    if (find_interface(d, ifname) == nullptr) return command_failed(ENODEV);
    remove_interface(d, ifname);
    return save_driver(state, d) ? 0 : broken_state(state);
}

int iw_wdev_command(const std::string& state, const std::string& wdev_text, int argc, char** argv) {
    char* end = nullptr;
    const unsigned long long wdev = strtoull(wdev_text.c_str(), &end, 0);
    if (wdev_text.empty() || *end != '\0') return usage_error("Usage: iw wdev <idx> <command>");
    state_lock lock(state);
    driver_state d;
    if (!lock.held() || !load_driver(state, &d)) return broken_state(state);
    interface_entry* e = find_wdev(d, wdev);
    if (e == nullptr) return command_failed(ENODEV);
    int result = 0;
    if (argc == 1 && strcmp(argv[0], "del") == 0) {
        remove_interface(d, e->name);
    } else if (argc >= 1 && strcmp(argv[0], "nan") == 0) {
        result = wdev_nan_command(d, *e, argc - 1, argv + 1);
    } else {
        return usage_error("Usage: iw wdev <idx> nan ...|del");
    }
    if (result != 0) return result;
    return save_driver(state, d) ? 0 : broken_state(state);
}

}  // namespace wifisim
