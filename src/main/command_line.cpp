// The command line: SPI role, devices and bus settings. There is no configuration file.
#include "command_line.hpp"
#include "log.hpp"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>

namespace {

const char short_options[] = "R:M:S:T:s:d:b:v:HOVh";

const option long_options[] = {
    {"role(MASTER/SLAVE)", required_argument, nullptr, 'R'},
    {"masterdevice", required_argument, nullptr, 'M'},
    {"slavedevice", required_argument, nullptr, 'S'},
    {"transfertype", required_argument, nullptr, 'T'},
    {"speed", required_argument, nullptr, 's'},
    {"delay", required_argument, nullptr, 'd'},
    {"bpw", required_argument, nullptr, 'b'},
    {"cpha", no_argument, nullptr, 'H'},
    {"cpol", no_argument, nullptr, 'O'},
    {"verbose", required_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

const char* const help_lines[] = {
    "  -R --role(MASTER/SLAVE) SPI Master or Slave (default MASTER)",
    "  -M --masterdevice       device to use for SPI Master (default /dev/spidev0.0)",
    "  -S --slavedevice        device to use for SPI Slave (default /dev/spidev1.0)",
    "  -T --transfertype       0 for fullduplex(default); 1 for tx-only; 2 for rx-only",
    "  -s --speed              max speed (Hz) (default 1MHz)",
    "  -d --delay              delay (usec) (default 100usec)",
    "  -b --bpw                bits per word (default 8)",
    "  -H --cpha               clock phase (default 0)",
    "  -O --cpol               clock polarity (default 0)",
    "  -v --verbose            Verbose (show tx buffer) (default OFF)",
    "  -h --help               show this help text",
    "  -V --version            show version",
};

// Decimal with the string-to-long rules (blanks, sign, stop at the first non-digit, 0 without
// digits), read 64 bits wide on every target so the cut to the field's width gives the same value
// on the 32-bit board as on a 64-bit host.
long long option_number(const char* text) { return strtoll(text, nullptr, 10); }

void print_help(const char* program) {
    log_out("Usage: %s [-RMSTsbdHOvplI]\n", program);
    for (const char* line : help_lines) log_puts(line);
    putchar('\n');
}

}  // namespace

command_line_result parse_command_line(int argc, char* argv[], spi_settings& config) {
    optind = 0;  // a fresh scan, also when called more than once (tests)
    int c;
    while ((c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        switch (c) {
            case 'R':
                config.role = optarg;
                break;
            case 'M':
                config.master_device = optarg;
                break;
            case 'S':
                config.slave_device = optarg;
                break;
            case 'T':
                config.transfer_type = static_cast<uint8_t>(option_number(optarg));
                break;
            case 's':
                config.speed = static_cast<uint32_t>(option_number(optarg));
                break;
            case 'd':
                config.delay = static_cast<uint16_t>(option_number(optarg));
                break;
            case 'b':
                config.bits_per_word = static_cast<uint8_t>(option_number(optarg));
                break;
            case 'H':
                config.mode |= spi_mode_cpha;
                break;
            case 'O':
                config.mode |= spi_mode_cpol;
                break;
            case 'v':
                config.verbose = static_cast<int32_t>(option_number(optarg));
                break;
            case 'V':
                log_out("%s: %s\n", argv[0], nanvideod_version);
                return command_line_result::exit_info;
            case 'h':
                print_help(argv[0]);
                return command_line_result::exit_info;
            default:
                // The parser has already named the unknown option or missing argument.
                break;
        }
    }
    return command_line_result::start;
}
