// The stand-in `iw`: the command line forms the daemon uses, on the simulated Wi-Fi driver.
//   iw dev
//   iw phyN interface add NAME type TYPE        (also: iw phy phyN interface add ...)
//   iw dev NAME del
//   iw wdev W nan start|stop|add_func|rm_func ...   iw wdev W del
//   iw [dev] NAME vendor send OUI SUBCMD FILE|-
//   iw event [-t] [-f]
#include <cstring>
#include <string>

#include "iw_commands.hpp"
#include "standin.hpp"

namespace {

constexpr const char* iw_failure_message = "command failed: Input/output error (-5)";
constexpr const char* iw_usage = "Usage: iw [dev NAME|phy PHY|wdev W|NAME] COMMAND ...";

int interface_command(const std::string& state, const std::string& ifname, int argc, char** argv) {
    if (argc == 1 && strcmp(argv[0], "del") == 0) return wifisim::iw_interface_del(state, ifname);
    if (argc >= 2 && strcmp(argv[0], "vendor") == 0 && strcmp(argv[1], "send") == 0)
        return wifisim::iw_vendor_send(state, ifname, argc - 2, argv + 2);
    return wifisim::usage_error(iw_usage);
}

int phy_command(const std::string& state, const std::string& phy_name, int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[0], "interface") == 0 && strcmp(argv[1], "add") == 0)
        return wifisim::iw_interface_add(state, phy_name, argc - 2, argv + 2);
    return wifisim::usage_error(iw_usage);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string state = wifisim::standin_start(argc, argv, iw_failure_message);
    if (argc < 2) return wifisim::usage_error(iw_usage);
    const std::string first = argv[1];
    if (first == "dev") {
        if (argc == 2) return wifisim::iw_dev_list(state);
        return interface_command(state, argv[2], argc - 3, argv + 3);
    }
    if (first == "phy" && argc >= 3) return phy_command(state, argv[2], argc - 3, argv + 3);
    if (first.rfind("phy", 0) == 0 && first.size() > 3)
        return phy_command(state, first, argc - 2, argv + 2);
    if (first == "wdev" && argc >= 3)
        return wifisim::iw_wdev_command(state, argv[2], argc - 3, argv + 3);
    if (first == "event") return wifisim::iw_event_stream(state, argc - 2, argv + 2);
    if (argc >= 3) return interface_command(state, first, argc - 2, argv + 2);
    return wifisim::usage_error(iw_usage);
}
