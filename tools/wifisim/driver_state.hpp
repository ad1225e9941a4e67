#pragma once
// The simulated Wi-Fi driver: one wiphy (or none), its interfaces, NAN operation, and the
// peers that asked for a data path. Kept as a small text file in the state directory.
#include <string>
#include <vector>

namespace wifisim {

constexpr int no_phy = -1;

// Index and wdev counters as a freshly booted board shows them (see `iw dev` in board.md).
constexpr unsigned wlan_ifindex = 5;
constexpr unsigned first_added_ifindex = 7;
constexpr unsigned long long default_first_wdev = 1;
constexpr const char* wlan_addr = "02:00:00:00:00:00";
constexpr const char* nan_addr = "02:00:00:00:01:00";
constexpr const char* nan_type = "NAN";

struct interface_entry {
    std::string name;
    unsigned ifindex = 0;
    unsigned long long wdev = 0;
    std::string addr;
    std::string type;  // as `iw dev` prints it: managed, NAN, monitor, AP, IBSS
    bool up = false;
};

// A peer's data path as the driver sees it: "requested" until a data_rsp answers it, then
// "connected" (accepted), "rejected" or, after a termination, "terminated".
struct peer_entry {
    unsigned ndp_id = 0;
    std::string mac;
    std::string state;
};

struct nan_function {
    unsigned id = 0;
    std::string args;
};

struct driver_state {
    int phy = no_phy;
    bool newer_event_form = false;  // how `iw event -f` prints vendor data (board.md)
    unsigned next_ifindex = first_added_ifindex;
    unsigned long long next_wdev = default_first_wdev + 1;
    unsigned next_record = 1;
    unsigned next_function = 1;
    std::vector<interface_entry> interfaces;  // oldest first
    bool nan_started = false;
    std::string nan_start_args;
    std::vector<nan_function> functions;
    std::vector<peer_entry> peers;
};

// A fresh board: wlan0 on the phy (or nothing at all without a phy).
driver_state initial_driver(int phy, unsigned long long first_wdev, bool newer_event_form);

std::string serialize_driver(const driver_state& driver);
bool parse_driver(const std::string& text, driver_state* driver);

// The caller holds the state lock.
bool load_driver(const std::string& state, driver_state* driver);
bool save_driver(const std::string& state, const driver_state& driver);

// `iw dev`, byte for byte: phy#N, then the interfaces newest first, tab-indented.
std::string format_iw_dev(const driver_state& driver);

interface_entry* find_interface(driver_state& driver, const std::string& name);
interface_entry* find_wdev(driver_state& driver, unsigned long long wdev);
// Drops the interface and, for the NAN one, NAN operation with its functions.
void remove_interface(driver_state& driver, const std::string& name);

}  // namespace wifisim
