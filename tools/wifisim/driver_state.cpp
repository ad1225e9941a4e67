// The driver model's file form: one "key value..." line per fact, readable in a failed test's
// state directory.
#include "driver_state.hpp"

#include <cstdio>
#include <cstdlib>

#include "sim_state.hpp"

namespace wifisim {

namespace {

std::vector<std::string> split_words(const std::string& line) {
    std::vector<std::string> words;
    size_t start = 0;
    while (start < line.size()) {
        size_t end = line.find(' ', start);
        if (end == std::string::npos) end = line.size();
        if (end > start) words.push_back(line.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

// What follows the first `words` words of the line (the free text of a line).
std::string rest_after(const std::string& line, int words) {
    size_t at = 0;
    for (int i = 0; i < words; ++i) {
        at = line.find(' ', at);
        if (at == std::string::npos) return "";
        ++at;
    }
    return line.substr(at);
}

std::string hex_wdev(unsigned long long wdev) {
    char text[24];
    snprintf(text, sizeof text, "0x%llx", wdev);
    return text;
}

unsigned long long parse_unsigned(const std::string& text) {
    return strtoull(text.c_str(), nullptr, 0);
}

bool parse_line(const std::string& line, driver_state* d) {
    const std::vector<std::string> w = split_words(line);
    if (w.empty()) return true;
    const std::string& key = w[0];
    if (key == "phy" && w.size() == 2) {
        d->phy = w[1] == "none" ? no_phy : atoi(w[1].c_str());
    } else if (key == "event_form" && w.size() == 2) {
        d->newer_event_form = w[1] == "newer";
    } else if (key == "next_ifindex" && w.size() == 2) {
        d->next_ifindex = static_cast<unsigned>(parse_unsigned(w[1]));
    } else if (key == "next_wdev" && w.size() == 2) {
        d->next_wdev = parse_unsigned(w[1]);
    } else if (key == "next_record" && w.size() == 2) {
        d->next_record = static_cast<unsigned>(parse_unsigned(w[1]));
    } else if (key == "next_function" && w.size() == 2) {
        d->next_function = static_cast<unsigned>(parse_unsigned(w[1]));
    } else if (key == "iface" && w.size() == 7) {
        interface_entry e;
        e.name = w[1];
        e.ifindex = static_cast<unsigned>(parse_unsigned(w[2]));
        e.wdev = parse_unsigned(w[3]);
        e.addr = w[4];
        e.type = w[5];
        e.up = w[6] == "up";
        d->interfaces.push_back(e);
    } else if (key == "nan_started") {
        d->nan_started = true;
        d->nan_start_args = rest_after(line, 1);
    } else if (key == "function" && w.size() >= 2) {
        d->functions.push_back({static_cast<unsigned>(parse_unsigned(w[1])), rest_after(line, 2)});
    } else if (key == "peer" && w.size() == 4) {
        d->peers.push_back({static_cast<unsigned>(parse_unsigned(w[1])), w[2], w[3]});
    } else {
        return false;
    }
    return true;
}

}  // namespace

driver_state initial_driver(int phy, unsigned long long first_wdev, bool newer_event_form) {
    driver_state d;
    d.phy = phy < 0 ? no_phy : phy;
    d.newer_event_form = newer_event_form;
    d.next_wdev = first_wdev;
    if (d.phy != no_phy) {
        interface_entry wlan;
        wlan.name = "wlan0";
        wlan.ifindex = wlan_ifindex;
        wlan.wdev = d.next_wdev++;
        wlan.addr = wlan_addr;
        wlan.type = "managed";
        d.interfaces.push_back(wlan);
    }
    return d;
}

std::string serialize_driver(const driver_state& d) {
    std::string text;
    text += "phy " + (d.phy == no_phy ? std::string("none") : std::to_string(d.phy)) + "\n";
    text += std::string("event_form ") + (d.newer_event_form ? "newer" : "older") + "\n";
    text += "next_ifindex " + std::to_string(d.next_ifindex) + "\n";
    text += "next_wdev " + hex_wdev(d.next_wdev) + "\n";
    text += "next_record " + std::to_string(d.next_record) + "\n";
    text += "next_function " + std::to_string(d.next_function) + "\n";
    for (const interface_entry& e : d.interfaces) {
        text += "iface " + e.name + " " + std::to_string(e.ifindex) + " " + hex_wdev(e.wdev) + " " +
                e.addr + " " + e.type + (e.up ? " up" : " down") + "\n";
    }
    if (d.nan_started) text += "nan_started " + d.nan_start_args + "\n";
    for (const nan_function& f : d.functions)
        text += "function " + std::to_string(f.id) + " " + f.args + "\n";
    for (const peer_entry& p : d.peers)
        text += "peer " + std::to_string(p.ndp_id) + " " + p.mac + " " + p.state + "\n";
    return text;
}

bool parse_driver(const std::string& text, driver_state* driver) {
    *driver = driver_state{};
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (!parse_line(text.substr(start, end - start), driver)) return false;
        start = end + 1;
    }
    return true;
}

bool load_driver(const std::string& state, driver_state* driver) {
    std::string text;
    if (!read_whole_file(state_path(state, driver_file), &text)) return false;
    return parse_driver(text, driver);
}

bool save_driver(const std::string& state, const driver_state& driver) {
    return write_file_replacing(state_path(state, driver_file), serialize_driver(driver));
}

std::string format_iw_dev(const driver_state& d) {
    if (d.phy == no_phy) return "";
    std::string text = "phy#" + std::to_string(d.phy) + "\n";
    for (auto it = d.interfaces.rbegin(); it != d.interfaces.rend(); ++it) {
        text += "\tInterface " + it->name + "\n";
        text += "\t\tifindex " + std::to_string(it->ifindex) + "\n";
        text += "\t\twdev " + hex_wdev(it->wdev) + "\n";
        text += "\t\taddr " + it->addr + "\n";
        text += "\t\ttype " + it->type + "\n";
    }
    return text;
}

interface_entry* find_interface(driver_state& driver, const std::string& name) {
    for (interface_entry& e : driver.interfaces)
        if (e.name == name) return &e;
    return nullptr;
}

interface_entry* find_wdev(driver_state& driver, unsigned long long wdev) {
    for (interface_entry& e : driver.interfaces)
        if (e.wdev == wdev) return &e;
    return nullptr;
}

void remove_interface(driver_state& driver, const std::string& name) {
    for (auto it = driver.interfaces.begin(); it != driver.interfaces.end(); ++it) {
        if (it->name != name) continue;
        if (it->type == nan_type) {
            driver.nan_started = false;
            driver.nan_start_args.clear();
            driver.functions.clear();
        }
        driver.interfaces.erase(it);
        return;
    }
}

}  // namespace wifisim
