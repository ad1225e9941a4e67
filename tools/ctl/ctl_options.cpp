#include "ctl_options.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// The daemon takes at most this many bytes of a client in one piece; a longer command would
// reach it cut, and a cut parameter text could be stored as such.
constexpr size_t daemon_receive_limit = 1023;
constexpr size_t config_command_overhead = sizeof("AT+AB config ") - 1 + sizeof("\r\n") - 1;
constexpr size_t longest_config_text = daemon_receive_limit - config_command_overhead;
constexpr double longest_wait_s = 86400.0 * 365;

struct option_spec {
    const char* name;
    bool takes_value;
};

const option_spec known_options[] = {
    {"help", false},
    {"port", true},
    {"timeout", true},
    {"seconds", true},
    {"bytes", true},
    {"frames", true},
    {"seed", true},
    {"length", true},
    {"derived-length", false},
    {"json", false},
    {"watch", true},
};

const option_spec* find_option(const std::string& name) {
    for (const option_spec& known : known_options)
        if (name == known.name) return &known;
    return nullptr;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Plain decimal (or, with base 0, also 0x hexadecimal) without sign or blanks.
bool parse_unsigned(const std::string& text, uint64_t largest, uint64_t& out, int base = 10) {
    if (text.empty() || !is_digit(text[0])) return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long value = strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || value > largest) return false;
    out = value;
    return true;
}

bool parse_seconds(const std::string& text, double& out) {
    if (text.empty() || !(is_digit(text[0]) || text[0] == '.')) return false;
    char* end = nullptr;
    double value = strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value) || value <= 0 || value > longest_wait_s) return false;
    out = value;
    return true;
}

bool apply_option(const std::string& name, const std::string& value, ctl_options& options,
                  std::string& error) {
    uint64_t number = 0;
    bool good = true;
    if (name == "port") {
        good = parse_unsigned(value, UINT16_MAX, number) && number > 0;
        options.port = static_cast<uint16_t>(number);
    } else if (name == "timeout") {
        good = parse_seconds(value, options.timeout_s);
    } else if (name == "seconds") {
        good = parse_seconds(value, options.seconds);
    } else if (name == "bytes") {
        good = parse_unsigned(value, UINT64_MAX, options.bytes) && options.bytes > 0;
    } else if (name == "frames") {
        good = parse_unsigned(value, UINT64_MAX, options.frames) && options.frames > 0;
    } else if (name == "seed") {
        good = parse_unsigned(value, UINT64_MAX, options.seed, 0);
    } else if (name == "length") {
        good =
            parse_unsigned(value, largest_payload, number) && number >= smallest_checkable_length;
        options.length = static_cast<uint32_t>(number);
    } else if (name == "derived-length") {
        options.derived_length = true;
    } else if (name == "json") {
        options.json = true;
    } else if (name == "watch") {
        good = parse_seconds(value, options.watch_s);
    }
    if (!good) error = "bad value for --" + name + ": " + value;
    return good;
}

bool command_of(const std::string& word, size_t argument_count, ctl_options& options,
                std::string& error) {
    if (word == "config") {
        options.command = argument_count == 0 ? ctl_command::config_show : ctl_command::config_set;
        if (argument_count <= 1) return true;
        error = "config takes one parameter text (quote it)";
        return false;
    }
    if (word == "record") {
        options.command = ctl_command::record;
        if (argument_count == 1) return true;
        error = "record takes one FILE";
        return false;
    }
    if (word == "version") {
        options.command = ctl_command::version;
    } else if (word == "reset") {
        options.command = ctl_command::reset;
    } else if (word == "updatefw") {
        options.command = ctl_command::updatefw;
    } else if (word == "check") {
        options.command = ctl_command::check;
    } else if (word == "status") {
        options.command = ctl_command::status;
    } else {
        error = "unknown command: " + word;
        return false;
    }
    if (argument_count == 0) return true;
    error = word + " takes no argument";
    return false;
}

bool given(const std::vector<std::string>& names, const char* name) {
    for (const std::string& n : names)
        if (n == name) return true;
    return false;
}

// Options that belong to one command only.
bool options_fit_command(const std::vector<std::string>& names, const ctl_options& options,
                         std::string& error) {
    const bool record = options.command == ctl_command::record;
    const bool check = options.command == ctl_command::check;
    const bool status = options.command == ctl_command::status;
    struct rule {
        const char* name;
        bool allowed;
    };
    const rule rules[] = {
        {"seconds", record || check},
        {"bytes", record},
        {"frames", check},
        {"seed", check},
        {"length", check},
        {"derived-length", check},
        {"json", status},
        {"watch", status},
    };
    for (const rule& r : rules) {
        if (given(names, r.name) && !r.allowed) {
            error = std::string("--") + r.name + " does not apply to this command";
            return false;
        }
    }
    if (record && given(names, "seconds") && given(names, "bytes")) {
        error = "give --seconds or --bytes, not both";
        return false;
    }
    if (check && !given(names, "seed")) {
        error = "check needs --seed";
        return false;
    }
    if (check && given(names, "length") && options.derived_length) {
        error = "give --length or --derived-length, not both";
        return false;
    }
    return true;
}

bool config_text_fits(const std::string& text, std::string& error) {
    // With nothing after the word the daemon would take it as the query, which stops video.
    if (text.find_first_not_of(" \t\v\f") == std::string::npos) {
        error = "the parameter text is empty (to show the parameters, give config alone)";
        return false;
    }
    if (text.find_first_of("\r\n") != std::string::npos) {
        error = "the parameter text must be one line";
        return false;
    }
    if (text.size() > longest_config_text) {
        error = "the parameter text is longer than " + std::to_string(longest_config_text) +
                " characters";
        return false;
    }
    return true;
}

}  // namespace

bool parse_command_line(const std::vector<std::string>& args, ctl_options& options,
                        std::string& error) {
    std::vector<std::string> positional;
    std::vector<std::string> names;
    bool options_ended = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            return true;
        }
        const size_t equals = arg.find('=');
        const std::string name =
            arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        const option_spec* known = arg.compare(0, 2, "--") == 0 ? find_option(name) : nullptr;
        if (known == nullptr) {
            error = "unknown option: " + arg;
            return false;
        }
        std::string value;
        if (known->takes_value && equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (known->takes_value && i + 1 < args.size()) {
            value = args[++i];
        } else if (known->takes_value || equals != std::string::npos) {
            error = known->takes_value ? "--" + name + " needs a value"
                                      : "--" + name + " takes no value";
            return false;
        }
        if (!apply_option(name, value, options, error)) return false;
        names.push_back(name);
    }
    if (positional.size() < 2) {
        error = positional.empty() ? "missing HOST and COMMAND" : "missing COMMAND";
        return false;
    }
    options.host = positional[0];
    const size_t argument_count = positional.size() - 2;
    if (!command_of(positional[1], argument_count, options, error)) return false;
    if (options.command == ctl_command::config_set) {
        options.config_text = positional[2];
        if (!config_text_fits(options.config_text, error)) return false;
    }
    if (options.command == ctl_command::record) options.record_path = positional[2];
    if (options.command == ctl_command::check && options.seconds == 0)
        options.seconds = default_check_seconds;
    return options_fit_command(names, options, error);
}
