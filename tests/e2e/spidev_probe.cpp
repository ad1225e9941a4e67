// spidev_probe: drives a spidev device step by step and prints what each step returned, so the
// emulator's tests can check it from outside, as the daemon meets it.
//
//   spidev_probe PATH STEP...
//
// Steps: open, open_cloexec, open64, openat, cloexec, close, wr_mode32=N, rd_mode32, wr_bits=N,
// rd_bits, wr_speed=N, rd_speed, transfer (a correct full-duplex transfer), transfer_tx_only,
// transfer_rx_only, bad_len, bad_speed, bad_bits, bad_tx_byte, no_tx_buf, no_rx_buf,
// unknown_request, env (LD_PRELOAD as this process and a child shell see it), other_ioctl (an
// ioctl on another file), interfaces (the network interfaces), listen_tcp=PORT (IPv6 any),
// connect_tcp=PORT (127.0.0.1), fork_while_busy=N (N children forked while a thread keeps
// asking the device for its mode, each closing a descriptor before it ends, as a command's
// child does), wait (until killed).
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

constexpr uint32_t transfer_length = 4110;
constexpr size_t shown_bytes = 16;
constexpr unsigned long unknown_request_number = 0x40016b01;  // SPI_IOC_WR_MODE, the 8-bit one

uint8_t tx_buffer[transfer_length];
uint8_t rx_buffer[transfer_length];

struct probe {
    const char* path;
    int fd = -1;
    uint32_t speed = 0;
    uint8_t bits = 0;
};

void report(const char* step, int result) {
    if (result < 0)
        printf("%s: %s\n", step, strerror(errno));
    else
        printf("%s: ok\n", step);
}

bool value_step(const std::string& step, const char* name, unsigned long& value) {
    const std::string prefix = std::string(name) + "=";
    if (step.compare(0, prefix.size(), prefix) != 0) return false;
    value = strtoul(step.c_str() + prefix.size(), nullptr, 0);
    return true;
}

spi_ioc_transfer correct_transfer(probe& p) {
    ioctl(p.fd, SPI_IOC_RD_MAX_SPEED_HZ, &p.speed);
    ioctl(p.fd, SPI_IOC_RD_BITS_PER_WORD, &p.bits);
    spi_ioc_transfer t;
    memset(&t, 0, sizeof t);
    t.tx_buf = reinterpret_cast<uintptr_t>(tx_buffer);
    t.rx_buf = reinterpret_cast<uintptr_t>(rx_buffer);
    t.len = transfer_length;
    t.speed_hz = p.speed;
    t.bits_per_word = p.bits;
    return t;
}

void run_transfer(const char* step, probe& p, const spi_ioc_transfer& t) {
    memset(rx_buffer, 0xEE, sizeof rx_buffer);
    errno = 0;
    const int result = ioctl(p.fd, SPI_IOC_MESSAGE(1), &t);
    printf("%s: %d", step, result);
    if (result <= 0) printf(" %s", strerror(errno));
    printf(" rx");
    for (size_t i = 0; i < shown_bytes; ++i) printf(" %02X", rx_buffer[i]);
    printf("\n");
}

// Transfer steps: a correct descriptor, or one with a single thing wrong.
bool transfer_step(const std::string& step, probe& p) {
    const char* const names[] = {"transfer", "transfer_tx_only", "no_rx_buf", "transfer_rx_only",
                                 "no_tx_buf", "bad_len", "bad_speed", "bad_bits", "bad_tx_byte"};
    if (std::find(std::begin(names), std::end(names), step) == std::end(names)) return false;

    spi_ioc_transfer t = correct_transfer(p);
    if (step == "transfer_tx_only" || step == "no_rx_buf") t.rx_buf = 0;
    if (step == "transfer_rx_only" || step == "no_tx_buf") t.tx_buf = 0;
    if (step == "bad_len") t.len = transfer_length - 1;
    if (step == "bad_speed") t.speed_hz = p.speed + 1;
    if (step == "bad_bits") t.bits_per_word = static_cast<uint8_t>(p.bits + 1);
    if (step == "bad_tx_byte") tx_buffer[100] = 0x01;
    run_transfer(step.c_str(), p, t);
    return true;
}

void open_step(const std::string& step, probe& p) {
    if (step == "open") p.fd = open(p.path, O_RDWR);
    if (step == "open_cloexec") p.fd = open(p.path, O_RDWR | O_CLOEXEC);
    if (step == "open64") p.fd = open64(p.path, O_RDWR | O_CLOEXEC);
    if (step == "openat") p.fd = openat(AT_FDCWD, p.path, O_RDWR | O_CLOEXEC);
    report(step.c_str(), p.fd);
}

bool setting_step(const std::string& step, probe& p) {
    unsigned long value = 0;
    if (value_step(step, "wr_mode32", value)) {
        uint32_t mode = static_cast<uint32_t>(value);
        report("wr_mode32", ioctl(p.fd, SPI_IOC_WR_MODE32, &mode));
    } else if (value_step(step, "wr_bits", value)) {
        uint8_t bits = static_cast<uint8_t>(value);
        report("wr_bits", ioctl(p.fd, SPI_IOC_WR_BITS_PER_WORD, &bits));
    } else if (value_step(step, "wr_speed", value)) {
        uint32_t speed = static_cast<uint32_t>(value);
        report("wr_speed", ioctl(p.fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed));
    } else if (step == "rd_mode32" || step == "rd_speed") {
        uint32_t read_back = 0;
        const unsigned long request = step == "rd_mode32" ? SPI_IOC_RD_MODE32 : SPI_IOC_RD_MAX_SPEED_HZ;
        if (ioctl(p.fd, request, &read_back) < 0)
            report(step.c_str(), -1);
        else
            printf("%s: %u\n", step.c_str(), read_back);
    } else if (step == "rd_bits") {
        uint8_t read_back = 0;
        if (ioctl(p.fd, SPI_IOC_RD_BITS_PER_WORD, &read_back) < 0)
            report("rd_bits", -1);
        else
            printf("rd_bits: %u\n", read_back);
    } else {
        return false;
    }
    return true;
}

// The network interfaces this process sees, from /proc/net/dev (its own namespace's).
void interfaces_step() {
    FILE* dev = fopen("/proc/net/dev", "re");
    std::string names;
    char line[512];
    for (int number = 0; dev != nullptr && fgets(line, sizeof line, dev) != nullptr; ++number) {
        if (number < 2) continue;  // two heading lines
        const char* name = line + strspn(line, " ");
        names += " " + std::string(name, strcspn(name, ":"));
    }
    if (dev != nullptr) fclose(dev);
    printf("interfaces:%s\n", names.c_str());
}

void connect_step(unsigned long port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    report("connect_tcp", connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
}

void listen_step(unsigned long port) {
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    address.sin6_addr = in6addr_any;
    report("listen_tcp",
           bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? listen(fd, 1) : -1);
}

// A child that does not end within the limit is stuck (it never will): it is reported and killed.
void fork_while_busy_step(unsigned long children, const probe& p) {
    constexpr auto child_limit = std::chrono::seconds(5);
    std::atomic<bool> done{false};
    std::thread asker([&] {
        uint32_t mode = 0;
        while (!done.load()) ioctl(p.fd, SPI_IOC_RD_MODE32, &mode);
    });
    unsigned long stuck = 0;
    for (unsigned long n = 0; n < children; ++n) {
        const pid_t child = fork();
        if (child == 0) _exit(close(dup(STDIN_FILENO)) == 0 ? 0 : 1);
        const auto deadline = std::chrono::steady_clock::now() + child_limit;
        int status = 0;
        while (waitpid(child, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
                continue;
            }
            ++stuck;
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
    }
    done.store(true);
    asker.join();
    printf("fork_while_busy: %lu of %lu children stuck\n", stuck, children);
}

bool other_step(const std::string& step, probe& p) {
    unsigned long value = 0;
    if (step == "cloexec") {
        printf("cloexec: %d\n", (fcntl(p.fd, F_GETFD) & FD_CLOEXEC) ? 1 : 0);
    } else if (step == "close") {
        report("close", close(p.fd));
    } else if (step == "unknown_request") {
        uint8_t mode = 0;
        report("unknown_request", ioctl(p.fd, unknown_request_number, &mode));
    } else if (step == "env") {
        const char* preload = getenv("LD_PRELOAD");
        printf("env: LD_PRELOAD=%s\n", preload != nullptr ? preload : "(unset)");
        fflush(stdout);
        if (system("echo \"child: LD_PRELOAD=${LD_PRELOAD-(unset)}\"") != 0) printf("child: failed\n");
    } else if (step == "other_ioctl") {
        const int other = open("/dev/null", O_RDONLY | O_CLOEXEC);
        int pending = 0;
        report("other_ioctl", ioctl(other, FIONREAD, &pending));
        close(other);
    } else if (step == "interfaces") {
        interfaces_step();
    } else if (value_step(step, "listen_tcp", value)) {
        listen_step(value);
    } else if (value_step(step, "connect_tcp", value)) {
        connect_step(value);
    } else if (value_step(step, "fork_while_busy", value)) {
        fork_while_busy_step(value, p);
    } else if (step == "wait") {
        fflush(stdout);
        for (;;) pause();
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        fprintf(stderr, "Usage: %s PATH STEP...\n", argv[0]);
        return 2;
    }
    probe p{argv[1]};
    for (int i = 2; i < argc; ++i) {
        const std::string step = argv[i];
        if (step.compare(0, 4, "open") == 0) {
            open_step(step, p);
        } else if (!setting_step(step, p) && !transfer_step(step, p) && !other_step(step, p)) {
            fprintf(stderr, "unknown step %s\n", step.c_str());
            return 2;
        }
    }
    return 0;
}
