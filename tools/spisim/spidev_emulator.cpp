// A spidev device for the unchanged daemon binary, loaded with LD_PRELOAD. One configured path
// opens as the device; its settings requests are answered like the kernel's spidev, and each
// SPI_IOC_MESSAGE(1) waits for the video source at the far end of a SOCK_SEQPACKET socket, as a
// slave transfer waits for its master. Everything the daemon hands the device is checked: what
// the kernel's driver refuses with an error (a configuration a user can choose) gets the same
// error; a request the real device would not see from a correct daemon ends the process loudly.
//
// Environment (read once when the library loads):
//   NANVIDEO_SPIDEV_PATH         the path that opens as the device (unset: nothing is emulated)
//   NANVIDEO_SPIDEV_SOCKET       where the video source listens (unset: transfers never complete)
//   NANVIDEO_SPIDEV_MAX_HZ       the controller's fastest clock; faster requests are rounded down
//                                (unset or 0: the requested clock is stored and read back)
//   NANVIDEO_SPIDEV_BUFSIZ       the driver's bufsiz parameter in bytes (default 4096, the stock
//                                kernel's)
//   NANVIDEO_SPIDEV_FAIL         one request that fails: open wr_mode32 rd_mode32 wr_bits rd_bits
//                                wr_speed rd_speed, or transfer (every transfer, a controller
//                                that has broken down)
//   NANVIDEO_SPIDEV_EXPECT_TYPE  0 full duplex, 1 transmit only, 2 receive only (default 0)
//   NANVIDEO_SPIDEV_DT_MODE      the mode bits the device tree set (spi-cs-high, spi-lsb-first,
//                                spi-3wire, ...), in decimal: the device's mode until a program
//                                writes one (default 0)
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/spi/spi.h>
#include <linux/spi/spidev.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "le_bytes.hpp"
#include "spidev_wire.hpp"

static_assert(sizeof(spi_ioc_transfer) == 32, "spi_ioc_transfer is 32 bytes on every target");
static_assert(SPI_IOC_MESSAGE(1) == 0x40206b00);
static_assert(SPI_IOC_WR_MODE32 == 0x40046b05 && SPI_IOC_RD_MODE32 == 0x80046b05);
static_assert(SPI_IOC_WR_BITS_PER_WORD == 0x40016b03 && SPI_IOC_RD_BITS_PER_WORD == 0x80016b03);
static_assert(SPI_IOC_WR_MAX_SPEED_HZ == 0x40046b04 && SPI_IOC_RD_MAX_SPEED_HZ == 0x80046b04);

namespace {

constexpr uint32_t transfer_length = 4110;  // one whole frame per transfer
constexpr uint8_t default_bits_per_word = 8;
constexpr uint32_t default_speed_hz = 500000;
constexpr int max_open_devices = 8;

// spidev copies each transfer through bounce buffers of `bufsiz` bytes, one per direction, and
// counts a transfer's length rounded up to the DMA alignment; a longer one is EMSGSIZE.
constexpr uint32_t default_bufsiz = 4096;
constexpr uint32_t dma_alignment = 64;

// The mode bits spidev lets a program set (its SPI_MODE_MASK, Linux 6.1); others are EINVAL.
// SPI_CS_WORD is not among them.
constexpr uint32_t driver_mode_mask = SPI_MODE_X_MASK | SPI_CS_HIGH | SPI_LSB_FIRST | SPI_3WIRE |
                                      SPI_LOOP | SPI_NO_CS | SPI_READY | SPI_TX_DUAL |
                                      SPI_TX_QUAD | SPI_TX_OCTAL | SPI_RX_DUAL | SPI_RX_QUAD |
                                      SPI_RX_OCTAL | SPI_RX_CPHA_FLIP;

// The SPI core moves words of up to 8 bits in one byte, up to 16 in two, wider ones in four, and
// refuses a transfer that is no whole number of words.
constexpr uint8_t byte_word_max_bits = 8;
constexpr uint8_t two_byte_word_max_bits = 16;
constexpr uint32_t wide_word_bytes = 4;

uint32_t word_bytes(uint8_t bits_per_word) {
    if (bits_per_word <= byte_word_max_bits) return 1;
    if (bits_per_word <= two_byte_word_max_bits) return 2;
    return wide_word_bytes;
}

enum class failing_request {
    none,
    open,
    wr_mode32,
    rd_mode32,
    wr_bits,
    rd_bits,
    wr_speed,
    rd_speed,
    transfer,
};

struct failure_name {
    const char* name;
    failing_request request;
};

const failure_name failure_names[] = {
    {"open", failing_request::open},         {"wr_mode32", failing_request::wr_mode32},
    {"rd_mode32", failing_request::rd_mode32}, {"wr_bits", failing_request::wr_bits},
    {"rd_bits", failing_request::rd_bits},   {"wr_speed", failing_request::wr_speed},
    {"rd_speed", failing_request::rd_speed}, {"transfer", failing_request::transfer},
};

// Settings are refused the way a controller refuses them; read-backs fail like a device that
// stopped answering. Distinct texts keep each failure recognisable in the daemon's output.
constexpr int open_failure_errno = ENOENT;
constexpr int set_failure_errno = EINVAL;
constexpr int get_failure_errno = EIO;
constexpr int transfer_failure_errno = EIO;

enum transfer_type : int { full_duplex = 0, tx_only = 1, rx_only = 2 };

using open_fn = int (*)(const char*, int, ...);
using openat_fn = int (*)(int, const char*, int, ...);
using open_2_fn = int (*)(const char*, int);
using ioctl_fn = int (*)(int, unsigned long, ...);
using close_fn = int (*)(int);

template <typename Fn>
Fn next_symbol(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

[[noreturn]] void end_loudly(const char* kind, const char* format, va_list args) {
    char what[512];
    vsnprintf(what, sizeof what, format, args);
    fprintf(stderr, "spidev-emu: %s%s\n", kind, what);
    abort();
}

// A request that the real device would not get from a correct daemon.
[[noreturn]] void violation(const char* format, ...) __attribute__((format(printf, 1, 2)));

[[noreturn]] void violation(const char* format, ...) {
    va_list args;
    va_start(args, format);
    end_loudly("VIOLATION: ", format, args);
}

// The simulated board is set up wrongly: nothing the daemon did.
[[noreturn]] void setup_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

[[noreturn]] void setup_error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    end_loudly("", format, args);
}

const char* request_name(unsigned long request) {
    switch (request) {
        case SPI_IOC_WR_MODE32:
            return "SPI_IOC_WR_MODE32";
        case SPI_IOC_RD_MODE32:
            return "SPI_IOC_RD_MODE32";
        case SPI_IOC_WR_BITS_PER_WORD:
            return "SPI_IOC_WR_BITS_PER_WORD";
        case SPI_IOC_RD_BITS_PER_WORD:
            return "SPI_IOC_RD_BITS_PER_WORD";
        case SPI_IOC_WR_MAX_SPEED_HZ:
            return "SPI_IOC_WR_MAX_SPEED_HZ";
        case SPI_IOC_RD_MAX_SPEED_HZ:
            return "SPI_IOC_RD_MAX_SPEED_HZ";
        case SPI_IOC_MESSAGE(1):
            return "SPI_IOC_MESSAGE(1)";
        default:
            return nullptr;
    }
}

struct open_device {
    int fd = -1;
    bool source_gone = false;
};

class spidev_emulator {
public:
    void configure_from_environment();
    // The daemon forks its commands from a threaded process, and the child's close() comes
    // here: the table's lock is taken across the fork so that no other thread can hold it in
    // the child, where nobody would ever let it go.
    void before_fork() { pthread_mutex_lock(&mutex_); }
    void after_fork() { pthread_mutex_unlock(&mutex_); }

    bool is_device_path(const char* path) const {
        return enabled_ && path != nullptr && strcmp(path, device_path_) == 0;
    }
    int open_device_file(int flags);
    bool owns(int fd);
    void forget(int fd);
    int control(int fd, unsigned long request, void* arg);

private:
    int change_setting(unsigned long request, void* arg);
    int store_setting(unsigned long request, void* arg);
    int transfer(int fd, const spi_ioc_transfer& descriptor);
    void check_descriptor(const spi_ioc_transfer& descriptor);
    int driver_refusal(const spi_ioc_transfer& descriptor) const;
    int exchange_with_source(int fd, const spi_ioc_transfer& descriptor);
    int source_gone(int fd);
    bool fails(failing_request request) const { return failing_ == request; }

    bool enabled_ = false;
    char device_path_[PATH_MAX] = {};
    char socket_path_[sizeof(sockaddr_un::sun_path)] = {};
    uint32_t max_speed_hz_ = 0;  // 0: no limit
    uint32_t bufsiz_ = default_bufsiz;
    failing_request failing_ = failing_request::none;
    int expected_type_ = full_duplex;

    // The device's settings, shared by every open descriptor as on the kernel's spidev.
    uint32_t mode_ = 0;
    uint8_t bits_per_word_ = default_bits_per_word;
    uint32_t speed_hz_ = default_speed_hz;

    open_device devices_[max_open_devices];
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;  // devices_ and the settings
    // One transfer at a time on the bus: each request is paired with the next reply.
    pthread_mutex_t bus_mutex_ = PTHREAD_MUTEX_INITIALIZER;
    uint8_t reply_[wire_reply_max_size] = {};  // under bus_mutex_
};

constinit spidev_emulator emulator;  // the one device of the process

void copy_setting(char* dest, size_t size, const char* name) {
    const char* value = getenv(name);
    if (value == nullptr) return;
    if (strlen(value) >= size) setup_error("%s is too long", name);
    strcpy(dest, value);
}

uint32_t number_setting(const char* name, uint32_t fallback, const char* meaning) {
    const char* value = getenv(name);
    if (value == nullptr) return fallback;
    char* end = nullptr;
    unsigned long number = strtoul(value, &end, 10);
    if (*value == '\0' || *end != '\0' || number > UINT32_MAX)
        setup_error("%s is not %s: %s", name, meaning, value);
    return static_cast<uint32_t>(number);
}

void spidev_emulator::configure_from_environment() {
    copy_setting(device_path_, sizeof device_path_, "NANVIDEO_SPIDEV_PATH");
    copy_setting(socket_path_, sizeof socket_path_, "NANVIDEO_SPIDEV_SOCKET");
    enabled_ = device_path_[0] != '\0';

    max_speed_hz_ = number_setting("NANVIDEO_SPIDEV_MAX_HZ", 0, "a clock in Hz");
    bufsiz_ = number_setting("NANVIDEO_SPIDEV_BUFSIZ", default_bufsiz, "a size in bytes");
    if (const char* value = getenv("NANVIDEO_SPIDEV_FAIL"); value != nullptr && *value != '\0') {
        for (const failure_name& entry : failure_names)
            if (strcmp(value, entry.name) == 0) failing_ = entry.request;
        if (failing_ == failing_request::none)
            setup_error("NANVIDEO_SPIDEV_FAIL names no request: %s", value);
    }
    if (const char* value = getenv("NANVIDEO_SPIDEV_EXPECT_TYPE"); value != nullptr) {
        if (strcmp(value, "0") != 0 && strcmp(value, "1") != 0 && strcmp(value, "2") != 0)
            setup_error("NANVIDEO_SPIDEV_EXPECT_TYPE must be 0, 1 or 2: %s", value);
        expected_type_ = value[0] - '0';
    }
    mode_ = number_setting("NANVIDEO_SPIDEV_DT_MODE", 0, "a mode in decimal");
    if ((mode_ & ~driver_mode_mask) != 0)
        setup_error("NANVIDEO_SPIDEV_DT_MODE holds bits spidev does not know: %u", mode_);
    if (max_speed_hz_ != 0 && speed_hz_ > max_speed_hz_) speed_hz_ = max_speed_hz_;
}

// The descriptor is the socket to the video source, so the daemon holds a real descriptor with
// the close-on-exec flag it asked for, and close() needs nothing special.
int spidev_emulator::open_device_file(int flags) {
    if (fails(failing_request::open)) {
        errno = open_failure_errno;
        return -1;
    }
    int type = SOCK_SEQPACKET | ((flags & O_CLOEXEC) ? SOCK_CLOEXEC : 0);
    int fd = socket(AF_UNIX, type, 0);
    if (fd < 0) return -1;
    if (socket_path_[0] != '\0') {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, socket_path_);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            setup_error("cannot reach the video source at %s: %s", socket_path_, strerror(errno));
    }

    pthread_mutex_lock(&mutex_);
    open_device* slot = nullptr;
    for (open_device& device : devices_)
        if (device.fd < 0 && slot == nullptr) slot = &device;
    if (slot == nullptr) {
        pthread_mutex_unlock(&mutex_);
        violation("more than %d descriptors open on %s", max_open_devices, device_path_);
    }
    *slot = open_device{fd, false};
    pthread_mutex_unlock(&mutex_);
    return fd;
}

bool spidev_emulator::owns(int fd) {
    if (!enabled_ || fd < 0) return false;
    pthread_mutex_lock(&mutex_);
    bool found = false;
    for (const open_device& device : devices_) found = found || device.fd == fd;
    pthread_mutex_unlock(&mutex_);
    return found;
}

void spidev_emulator::forget(int fd) {
    if (!enabled_ || fd < 0) return;
    pthread_mutex_lock(&mutex_);
    for (open_device& device : devices_)
        if (device.fd == fd) device = open_device{};
    pthread_mutex_unlock(&mutex_);
}

int spidev_emulator::control(int fd, unsigned long request, void* arg) {
    const char* name = request_name(request);
    if (name == nullptr) violation("unknown request 0x%lx on %s", request, device_path_);
    if (arg == nullptr) violation("%s without an argument", name);
    if (request != SPI_IOC_MESSAGE(1)) return change_setting(request, arg);

    spi_ioc_transfer descriptor;
    memcpy(&descriptor, arg, sizeof descriptor);
    return transfer(fd, descriptor);
}

int spidev_emulator::change_setting(unsigned long request, void* arg) {
    struct rule {
        unsigned long request;
        failing_request failure;
        int failure_errno;
    };
    const rule rules[] = {
        {SPI_IOC_WR_MODE32, failing_request::wr_mode32, set_failure_errno},
        {SPI_IOC_RD_MODE32, failing_request::rd_mode32, get_failure_errno},
        {SPI_IOC_WR_BITS_PER_WORD, failing_request::wr_bits, set_failure_errno},
        {SPI_IOC_RD_BITS_PER_WORD, failing_request::rd_bits, get_failure_errno},
        {SPI_IOC_WR_MAX_SPEED_HZ, failing_request::wr_speed, set_failure_errno},
        {SPI_IOC_RD_MAX_SPEED_HZ, failing_request::rd_speed, get_failure_errno},
    };
    for (const rule& r : rules) {
        if (r.request == request && fails(r.failure)) {
            errno = r.failure_errno;
            return -1;
        }
    }

    return store_setting(request, arg);
}

// As the driver: a refused setting leaves the one in force.
int spidev_emulator::store_setting(unsigned long request, void* arg) {
    uint32_t requested = 0;
    if (request == SPI_IOC_WR_MODE32 || request == SPI_IOC_WR_MAX_SPEED_HZ)
        memcpy(&requested, arg, sizeof requested);
    if ((request == SPI_IOC_WR_MODE32 && (requested & ~driver_mode_mask) != 0) ||
        (request == SPI_IOC_WR_MAX_SPEED_HZ && requested == 0)) {
        errno = EINVAL;
        return -1;
    }

    pthread_mutex_lock(&mutex_);
    switch (request) {
        case SPI_IOC_WR_MODE32:
            mode_ = requested;
            break;
        case SPI_IOC_RD_MODE32:
            memcpy(arg, &mode_, sizeof mode_);
            break;
        case SPI_IOC_WR_BITS_PER_WORD:
            memcpy(&bits_per_word_, arg, sizeof bits_per_word_);
            // As spi_setup does: no word size means bytes.
            if (bits_per_word_ == 0) bits_per_word_ = default_bits_per_word;
            break;
        case SPI_IOC_RD_BITS_PER_WORD:
            memcpy(arg, &bits_per_word_, sizeof bits_per_word_);
            break;
        case SPI_IOC_WR_MAX_SPEED_HZ:
            // The driver keeps the requested clock and reads it back; a controller that rounds
            // it down is the clock-limit setting.
            speed_hz_ = requested;
            if (max_speed_hz_ != 0 && speed_hz_ > max_speed_hz_) speed_hz_ = max_speed_hz_;
            break;
        case SPI_IOC_RD_MAX_SPEED_HZ:
            memcpy(arg, &speed_hz_, sizeof speed_hz_);
            break;
    }
    pthread_mutex_unlock(&mutex_);
    return 0;
}

void spidev_emulator::check_descriptor(const spi_ioc_transfer& d) {
    pthread_mutex_lock(&mutex_);
    const uint32_t speed_hz = speed_hz_;
    const uint8_t bits_per_word = bits_per_word_;
    pthread_mutex_unlock(&mutex_);

    if (d.len != transfer_length)
        violation("transfer len %u, expected %u", d.len, transfer_length);
    if (d.speed_hz != speed_hz)
        violation("transfer speed_hz %u, the device reads back %u", d.speed_hz, speed_hz);
    if (d.bits_per_word != bits_per_word)
        violation("transfer bits_per_word %u, the device reads back %u", d.bits_per_word,
                  bits_per_word);
    if (d.cs_change != 0 || d.tx_nbits != 0 || d.rx_nbits != 0 || d.word_delay_usecs != 0 ||
        d.pad != 0)
        violation("transfer cs_change, tx_nbits, rx_nbits, word_delay_usecs or pad not 0");

    const bool want_tx = expected_type_ != rx_only;
    const bool want_rx = expected_type_ != tx_only;
    if ((d.tx_buf != 0) != want_tx)
        violation("transfer tx_buf %s for transfer type %d", d.tx_buf ? "set" : "0",
                  expected_type_);
    if ((d.rx_buf != 0) != want_rx)
        violation("transfer rx_buf %s for transfer type %d", d.rx_buf ? "set" : "0",
                  expected_type_);

    if (d.tx_buf != 0) {
        const uint8_t* tx = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(d.tx_buf));
        for (uint32_t i = 0; i < d.len; ++i)
            if (tx[i] != 0) violation("transmitted byte %u is 0x%02X, not 0", i, tx[i]);
    }
}

// The errors of a well-formed descriptor that the driver and the SPI core refuse, in their
// order: the bounce buffers first (spidev), then the word size (the core); 0 when none.
int spidev_emulator::driver_refusal(const spi_ioc_transfer& d) const {
    const uint64_t aligned_len = (uint64_t{d.len} + dma_alignment - 1) / dma_alignment * dma_alignment;
    if (aligned_len > bufsiz_) return EMSGSIZE;
    if (d.len % word_bytes(d.bits_per_word) != 0) return EINVAL;
    return 0;
}

int spidev_emulator::transfer(int fd, const spi_ioc_transfer& descriptor) {
    check_descriptor(descriptor);
    if (const int refusal = driver_refusal(descriptor); refusal != 0) {
        errno = refusal;
        return -1;
    }
    // At once, like a controller that has broken down: the caller must not spin on it.
    if (fails(failing_request::transfer)) {
        errno = transfer_failure_errno;
        return -1;
    }
    pthread_mutex_lock(&bus_mutex_);
    int result = exchange_with_source(fd, descriptor);
    int saved_errno = errno;
    pthread_mutex_unlock(&bus_mutex_);
    errno = saved_errno;
    return result;
}

int spidev_emulator::source_gone(int fd) {
    pthread_mutex_lock(&mutex_);
    for (open_device& device : devices_)
        if (device.fd == fd) device.source_gone = true;
    pthread_mutex_unlock(&mutex_);
    errno = EIO;
    return -1;
}

int spidev_emulator::exchange_with_source(int fd, const spi_ioc_transfer& d) {
    if (socket_path_[0] == '\0') {
        // Nothing at the far end: a slave transfer that no master ever clocks.
        for (;;) pause();
    }
    bool gone = false;
    pthread_mutex_lock(&mutex_);
    for (const open_device& device : devices_)
        if (device.fd == fd) gone = device.source_gone;
    pthread_mutex_unlock(&mutex_);
    if (gone) return source_gone(fd);

    uint8_t request[wire_request_size] = {};
    put_le32(request + wire_request_len_offset, d.len);
    put_le32(request + wire_request_speed_offset, d.speed_hz);
    request[wire_request_bits_offset] = d.bits_per_word;
    request[wire_request_has_tx_offset] = d.tx_buf != 0;
    request[wire_request_has_rx_offset] = d.rx_buf != 0;
    if (send(fd, request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request))
        return source_gone(fd);

    ssize_t got;
    do {
        got = recv(fd, reply_, sizeof reply_, MSG_TRUNC);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return source_gone(fd);
    if (got < static_cast<ssize_t>(wire_reply_header_size) ||
        got > static_cast<ssize_t>(sizeof reply_))
        setup_error("the video source sent a reply of %zd bytes", got);

    const int32_t result = static_cast<int32_t>(get_le32(reply_));
    if (result < 0) {
        errno = -result;
        return -1;
    }
    if (result == 0) {
        errno = EIO;
        return 0;
    }
    size_t copy = static_cast<size_t>(got) - wire_reply_header_size;
    if (copy > static_cast<uint32_t>(result)) copy = static_cast<uint32_t>(result);
    if (copy > d.len) copy = d.len;
    if (d.rx_buf != 0)
        memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(d.rx_buf)),
               reply_ + wire_reply_header_size, copy);
    return result;
}

// Children of the daemon (a shell, stand-in programs; host programs under qemu on armhf) must
// never load the emulator, so it removes itself from the environment before anything runs.
__attribute__((constructor)) void start_emulator() {
    unsetenv("LD_PRELOAD");
    emulator.configure_from_environment();
    pthread_atfork([] { emulator.before_fork(); }, [] { emulator.after_fork(); },
                   [] { emulator.after_fork(); });
}

int open_mode(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, int) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    static const open_fn real = next_symbol<open_fn>("open");
    if (emulator.is_device_path(path)) return emulator.open_device_file(flags);
    va_list args;
    va_start(args, flags);
    int mode = open_mode(flags, args);
    va_end(args);
    return real(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    static const open_fn real = next_symbol<open_fn>("open64");
    if (emulator.is_device_path(path)) return emulator.open_device_file(flags);
    va_list args;
    va_start(args, flags);
    int mode = open_mode(flags, args);
    va_end(args);
    return real(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    static const openat_fn real = next_symbol<openat_fn>("openat");
    if (emulator.is_device_path(path)) return emulator.open_device_file(flags);
    va_list args;
    va_start(args, flags);
    int mode = open_mode(flags, args);
    va_end(args);
    return real(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    static const openat_fn real = next_symbol<openat_fn>("openat64");
    if (emulator.is_device_path(path)) return emulator.open_device_file(flags);
    va_list args;
    va_start(args, flags);
    int mode = open_mode(flags, args);
    va_end(args);
    return real(dirfd, path, flags, mode);
}

int __open_2(const char* path, int flags) {
    static const open_2_fn real = next_symbol<open_2_fn>("__open_2");
    if (emulator.is_device_path(path)) return emulator.open_device_file(flags);
    return real(path, flags);
}

int __open64_2(const char* path, int flags) {
    static const open_2_fn real = next_symbol<open_2_fn>("__open64_2");
    if (emulator.is_device_path(path)) return emulator.open_device_file(flags);
    return real(path, flags);
}

int ioctl(int fd, unsigned long request, ...) {
    static const ioctl_fn real = next_symbol<ioctl_fn>("ioctl");
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (emulator.owns(fd)) return emulator.control(fd, request, arg);
    return real(fd, request, arg);
}

int close(int fd) {
    static const close_fn real = next_symbol<close_fn>("close");
    emulator.forget(fd);
    return real(fd);
}

}  // extern "C"
