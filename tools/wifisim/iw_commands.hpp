#pragma once
// The stand-in `iw`: the commands of the simulated Wi-Fi driver.
#include <string>

namespace wifisim {

// iw's way of ending a failed netlink command: "command failed: <text> (-errno)" on standard
// error and the negative error number as exit status.
int command_failed(int error_number);
// A command line that iw cannot parse: a short usage line on standard error, status 1.
int usage_error(const char* usage);

int iw_dev_list(const std::string& state);
int iw_interface_add(const std::string& state, const std::string& phy_name, int argc, char** argv);
int iw_interface_del(const std::string& state, const std::string& ifname);
int iw_wdev_command(const std::string& state, const std::string& wdev_text, int argc, char** argv);
int iw_vendor_send(const std::string& state, const std::string& ifname, int argc, char** argv);
int iw_event_stream(const std::string& state, int argc, char** argv);

}  // namespace wifisim
