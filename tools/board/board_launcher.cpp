// nanvideo-board: runs a program (the daemon) on a simulated board. The program gets its own
// mount and network namespaces (and a user namespace when not started as root), so it may bind
// port 554 and find stand-in programs and files at the fixed paths the daemon uses, without
// touching the machine it runs on:
//
//   lo                      up (the new network namespace has nothing else)
//   /run                    STATE/run: the board's own, shared by every program started on it (a
//                           second daemon finds the first one's lock there)
//   /run/nanvideo-board     the state directory STATE (also $NANVIDEO_BOARD)
//   /tmp                    STATE/tmp
//   /etc /usr/bin /usr/sbin overlaid with STATE/root/<dir> where that exists
//   /sys/module             a read-only tmpfs with spidev/parameters/bufsiz only: the board's
//                           spidev driver, booted with bufsiz 8192 (--spidev-bufsiz: another)
//
// With --spidev-lib the program is started with the spidev emulator preloaded; its
// NANVIDEO_SPIDEV_* settings pass through from the launcher's environment, except its bufsiz,
// which is the one the board shows in /sys/module.
//
// With --qemu the program is one for another architecture (the board's 32-bit ARM) and runs
// through that user-mode emulator; the spidev emulator (built for the same architecture) is then
// preloaded into the emulated program only (qemu's -E), never into qemu itself. What the program
// starts (/bin/sh, the stand-ins) runs natively, as on a board whose tools match its daemon.
//
// With --no-ipv6 the board's kernel has no IPv6: socket(AF_INET6, ...) fails with EAFNOSUPPORT
// in the program and all it starts (emulated or not); the launcher's own namespaces keep theirs.
// With --busybox the board is a BusyBox system, as the real one is: that BusyBox binary is
// bind-mounted on /bin/sh, the program's PATH is one directory (/run/busybox/bin) holding a link
// per applet and, taking their place, the board's own programs (STATE/root/usr/{bin,sbin}: the
// stand-ins for the tools a board installs beside BusyBox), and POSIXLY_CORRECT=1 makes the
// applets parse options as a C library without argument permutation (musl, uClibc) does.
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <linux/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "no_ipv6.hpp"
#include "unique_fd.hpp"

namespace {

constexpr const char* board_mount_point = "/run/nanvideo-board";
constexpr int exit_launch_failure = 125;  // like env(1) and unshare(1): the launcher failed
constexpr int exit_not_found = 127;
constexpr int exit_cannot_run = 126;
constexpr mode_t tmp_mode = 01777;
constexpr mode_t dir_mode = 0755;

// The spidev driver's bufsiz parameter where the kernel shows it; the board boots with
// spidev.bufsiz=8192, a stock kernel has 4096.
constexpr const char* sysfs_modules = "/sys/module";
constexpr const char* spidev_parameters = "spidev/parameters";
constexpr const char* spidev_bufsiz_file = "spidev/parameters/bufsiz";
constexpr unsigned long board_spidev_bufsiz = 8192;
constexpr mode_t parameter_mode = 0444;

// Host directories that the state directory's root/ can overlay.
const char* const overlaid_dirs[] = {"etc", "usr/bin", "usr/sbin"};

const char usage_text[] =
    "Usage: %s --state DIR [--spidev-lib LIB] [--spidev-bufsiz N] [--qemu COMMAND] [--no-ipv6]\n"
    "       [--busybox BUSYBOX] [--] PROGRAM [ARG...]\n"
    "Runs PROGRAM on a simulated board: in private mount and network namespaces (and a user\n"
    "namespace when not root) with lo up, DIR/run at /run, DIR at /run/nanvideo-board and\n"
    "$NANVIDEO_BOARD, DIR/tmp on /tmp, and DIR/root/{etc,usr/bin,usr/sbin} overlaid on the\n"
    "host's directories where they exist.\n"
    "  --state DIR        the board's state directory (created when missing)\n"
    "  --spidev-lib LIB   preload this spidev emulator into PROGRAM; its NANVIDEO_SPIDEV_*\n"
    "                     settings are taken from the environment\n"
    "  --spidev-bufsiz N  the spidev driver's bufsiz in bytes, shown at\n"
    "                     /sys/module/spidev/parameters/bufsiz and given to the emulator\n"
    "                     (default 8192, the board's; a stock kernel has 4096)\n"
    "  --qemu COMMAND     run PROGRAM through this user-mode emulator command, words split at\n"
    "                     blanks (e.g. \"qemu-arm -L /usr/arm-linux-gnueabihf\"); LIB is then\n"
    "                     preloaded into PROGRAM with the emulator's -E\n"
    "  --no-ipv6          a kernel without IPv6: socket(AF_INET6, ...) fails with\n"
    "                     EAFNOSUPPORT in PROGRAM and everything it starts\n"
    "  --busybox BUSYBOX  a BusyBox board: BUSYBOX on /bin/sh, PATH only its applets and the\n"
    "                     board's own programs, POSIXLY_CORRECT=1 (BUSYBOX must not lie below\n"
    "                     /tmp or /run)\n"
    "  --help             show this text\n";

struct launch_options {
    const char* state_dir = nullptr;
    const char* spidev_lib = nullptr;
    const char* qemu = nullptr;
    bool no_ipv6 = false;
    const char* busybox = nullptr;
    unsigned long spidev_bufsiz = board_spidev_bufsiz;
    char** program = nullptr;  // argv of the program, null-terminated
};

[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

[[noreturn]] void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs("nanvideo-board: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    exit(exit_launch_failure);
}

unsigned long parse_bufsiz(const char* text) {
    char* end = nullptr;
    errno = 0;
    const unsigned long bytes = strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || bytes > UINT32_MAX)
        fail("--spidev-bufsiz is not a size in bytes: %s", text);
    return bytes;
}

// The options and the program to run; prints the usage and exits when they are incomplete.
launch_options parse_options(int argc, char* argv[]) {
    enum {
        opt_state = 256,
        opt_spidev_lib,
        opt_spidev_bufsiz,
        opt_qemu,
        opt_no_ipv6,
        opt_busybox,
        opt_help
    };
    const option long_options[] = {
        {"state", required_argument, nullptr, opt_state},
        {"spidev-lib", required_argument, nullptr, opt_spidev_lib},
        {"spidev-bufsiz", required_argument, nullptr, opt_spidev_bufsiz},
        {"qemu", required_argument, nullptr, opt_qemu},
        {"no-ipv6", no_argument, nullptr, opt_no_ipv6},
        {"busybox", required_argument, nullptr, opt_busybox},
        {"help", no_argument, nullptr, opt_help},
        {nullptr, 0, nullptr, 0},
    };
    launch_options options;
    int c;
    // "+": options end at the program name, so the program's own options stay its own.
    while ((c = getopt_long(argc, argv, "+", long_options, nullptr)) != -1) {
        switch (c) {
            case opt_state:
                options.state_dir = optarg;
                break;
            case opt_spidev_lib:
                options.spidev_lib = optarg;
                break;
            case opt_spidev_bufsiz:
                options.spidev_bufsiz = parse_bufsiz(optarg);
                break;
            case opt_qemu:
                options.qemu = optarg;
                break;
            case opt_no_ipv6:
                options.no_ipv6 = true;
                break;
            case opt_busybox:
                options.busybox = optarg;
                break;
            case opt_help:
                printf(usage_text, argv[0]);
                exit(EXIT_SUCCESS);
            default:
                fprintf(stderr, usage_text, argv[0]);
                exit(exit_launch_failure);
        }
    }
    if (options.state_dir == nullptr || optind >= argc) {
        fprintf(stderr, usage_text, argv[0]);
        exit(exit_launch_failure);
    }
    options.program = argv + optind;
    return options;
}

void make_dir(int at_fd, const char* path, mode_t mode) {
    if (mkdirat(at_fd, path, mode) != 0 && errno != EEXIST)
        fail("cannot create %s: %s", path, strerror(errno));
}

// mkdir -p below at_fd.
void make_dirs(int at_fd, const std::string& path) {
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        make_dir(at_fd, path.substr(0, slash).c_str(), dir_mode);
    make_dir(at_fd, path.c_str(), dir_mode);
}

bool is_dir_at(int at_fd, const char* path) {
    struct stat st{};
    return fstatat(at_fd, path, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

void prepare_state_dir(const char* path) {
    if (mkdir(path, dir_mode) != 0 && errno != EEXIST)
        fail("cannot create the state directory %s: %s", path, strerror(errno));
    const std::string tmp = std::string(path) + "/tmp";
    make_dir(AT_FDCWD, tmp.c_str(), tmp_mode);
    // mkdir's mode passes the umask; /tmp must be writable by everyone, sticky.
    if (chmod(tmp.c_str(), tmp_mode) != 0) fail("cannot chmod %s: %s", tmp.c_str(), strerror(errno));
}

// The state directory is reached through a descriptor (/proc/self/fd/N) from here on, so it
// stays reachable when it lies below /run or /tmp, which the board replaces. Opened inside the
// new mount namespace: overlay and bind mounts take only paths of their own namespace.
unique_fd open_state_dir(const char* path) {
    unique_fd fd(open(path, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) fail("cannot open the state directory %s: %s", path, strerror(errno));
    return fd;
}

std::string state_path(int state_fd, const char* below = nullptr) {
    std::string path = "/proc/self/fd/" + std::to_string(state_fd);
    if (below != nullptr) path += std::string("/") + below;
    return path;
}

void write_file(const char* path, const std::string& text) {
    unique_fd fd(open(path, O_WRONLY | O_CLOEXEC));
    if (!fd.valid() || write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        fail("cannot write %s: %s", path, strerror(errno));
}

// As root the mount and network namespaces are enough; otherwise a user namespace makes the
// caller root inside, mapped to itself outside.
void enter_namespaces() {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    int flags = CLONE_NEWNS | CLONE_NEWNET;
    if (uid != 0) flags |= CLONE_NEWUSER;
    if (unshare(flags) != 0) {
        fail("cannot create private namespaces: %s%s", strerror(errno),
             uid != 0 ? " (are user namespaces enabled?)" : "");
    }
    if (uid == 0) return;
    write_file("/proc/self/setgroups", "deny");
    write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

void mount_or_fail(const char* source, const char* target, const char* type, unsigned long flags,
                   const char* data) {
    if (mount(source, target, type, flags, data) != 0)
        fail("cannot mount %s on %s: %s", source ? source : "(none)", target, strerror(errno));
}

void bring_up_loopback() {
    unique_fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) fail("cannot open a socket for lo: %s", strerror(errno));
    ifreq request{};
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(fd.get(), SIOCGIFFLAGS, &request) != 0)
        fail("cannot read the flags of lo: %s", strerror(errno));
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (ioctl(fd.get(), SIOCSIFFLAGS, &request) != 0)
        fail("cannot bring lo up: %s", strerror(errno));
}

void overlay_board_dirs(int state_fd) {
    for (const char* dir : overlaid_dirs) {
        const std::string upper = std::string("root/") + dir;
        if (!is_dir_at(state_fd, upper.c_str())) continue;
        const std::string work = std::string("work/") + dir;
        make_dirs(state_fd, work);
        const std::string target = std::string("/") + dir;
        const std::string options = "lowerdir=" + target + ",upperdir=" +
                                    state_path(state_fd, upper.c_str()) +
                                    ",workdir=" + state_path(state_fd, work.c_str());
        mount_or_fail("overlay", target.c_str(), "overlay", 0, options.c_str());
    }
}

void mount_board_state(int state_fd) {
    make_dir(state_fd, "run", dir_mode);
    mount_or_fail(state_path(state_fd, "run").c_str(), "/run", nullptr, MS_BIND, nullptr);
    make_dir(AT_FDCWD, board_mount_point, dir_mode);
    mount_or_fail(state_path(state_fd).c_str(), board_mount_point, nullptr, MS_BIND, nullptr);
    mount_or_fail(state_path(state_fd, "tmp").c_str(), "/tmp", nullptr, MS_BIND, nullptr);
}

// The kernel's module parameters are read-only files; here only spidev's bufsiz exists, so the
// program reads the board's value, never the host's.
void show_spidev_parameters(unsigned long bufsiz) {
    mount_or_fail("tmpfs", sysfs_modules, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755");
    unique_fd modules(open(sysfs_modules, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!modules.valid()) fail("cannot open %s: %s", sysfs_modules, strerror(errno));
    make_dirs(modules.get(), spidev_parameters);
    const std::string text = std::to_string(bufsiz) + "\n";
    {
        // Closed before the remount: a file open for writing keeps it from becoming read-only.
        unique_fd file(openat(modules.get(), spidev_bufsiz_file, O_WRONLY | O_CREAT | O_CLOEXEC,
                              parameter_mode));
        if (!file.valid() ||
            write(file.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            fail("cannot write %s/%s: %s", sysfs_modules, spidev_bufsiz_file, strerror(errno));
    }
    mount_or_fail(nullptr, sysfs_modules, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID |
                  MS_NODEV | MS_NOEXEC, nullptr);
}

std::vector<std::string> split_words(const char* text) {
    std::vector<std::string> words;
    std::string word;
    for (const char* c = text;; ++c) {
        if (*c == '\0' || *c == ' ' || *c == '\t') {
            if (!word.empty()) words.push_back(word);
            word.clear();
            if (*c == '\0') break;
        } else {
            word += *c;
        }
    }
    return words;
}

// ---- a BusyBox board ----

constexpr const char* busybox_dir = "/run/busybox";
constexpr const char* busybox_bin_dir = "/run/busybox/bin";
constexpr const char* board_shell = "/bin/sh";
// The board's own programs, by where its PATH would find them first: a name in both directories
// is linked to the sbin one, which is linked last.
const char* const board_program_dirs[] = {"usr/bin", "usr/sbin"};

struct busybox_board {
    std::string binary;                // its real path, the same inside the board
    std::vector<std::string> applets;  // `BUSYBOX --list`
};

std::string program_output(const std::string& program, const char* argument) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) fail("pipe: %s", strerror(errno));
    unique_fd read_end(fds[0]);
    unique_fd write_end(fds[1]);
    const pid_t pid = fork();
    if (pid < 0) fail("fork: %s", strerror(errno));
    if (pid == 0) {
        dup2(write_end.get(), STDOUT_FILENO);
        execl(program.c_str(), program.c_str(), argument, static_cast<char*>(nullptr));
        _exit(exit_not_found);
    }
    write_end.reset();
    std::string text;
    char buffer[4096];
    ssize_t count;
    while ((count = read(read_end.get(), buffer, sizeof buffer)) != 0) {
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) break;
        text.append(buffer, static_cast<size_t>(count));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("%s %s failed", program.c_str(), argument);
    return text;
}

// Read before the namespaces exist. The links name the binary by its path, which must therefore
// be one the board does not replace.
busybox_board read_busybox(const char* busybox) {
    char resolved[PATH_MAX];
    if (realpath(busybox, resolved) == nullptr)
        fail("cannot find BusyBox %s: %s", busybox, strerror(errno));
    busybox_board board{resolved, {}};
    if (board.binary.rfind("/tmp/", 0) == 0 || board.binary.rfind("/run/", 0) == 0)
        fail("BusyBox %s lies below /tmp or /run, which the board replaces", resolved);
    const std::string list = program_output(board.binary, "--list");
    size_t start = 0;
    for (size_t end; (end = list.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string name = list.substr(start, end - start);
        if (!name.empty() && name.find('/') == std::string::npos) board.applets.push_back(name);
    }
    if (board.applets.empty()) fail("%s lists no applets", resolved);
    return board;
}

void link_or_fail(const std::string& target, const std::string& link) {
    unlink(link.c_str());
    if (symlink(target.c_str(), link.c_str()) != 0)
        fail("cannot link %s to %s: %s", link.c_str(), target.c_str(), strerror(errno));
}

// Links the board's own programs (regular files: an overlay whiteout hides a tool, and stays
// hidden) over the applets of the same name.
void link_board_programs(int state_fd) {
    for (const char* dir : board_program_dirs) {
        const std::string below = std::string("root/") + dir;
        DIR* listing = opendir(state_path(state_fd, below.c_str()).c_str());
        if (listing == nullptr) continue;
        while (const dirent* entry = readdir(listing)) {
            struct stat st{};
            const std::string name = entry->d_name;
            if (fstatat(state_fd, (below + "/" + name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISREG(st.st_mode))
                continue;
            link_or_fail(std::string("/") + dir + "/" + name,
                         std::string(busybox_bin_dir) + "/" + name);
        }
        closedir(listing);
    }
}

void make_busybox_board(const busybox_board& board, int state_fd) {
    // This program's own: another one on the same board may be started without BusyBox.
    make_dir(AT_FDCWD, busybox_dir, dir_mode);
    mount_or_fail("tmpfs", busybox_dir, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
    make_dir(AT_FDCWD, busybox_bin_dir, dir_mode);
    for (const std::string& applet : board.applets)
        link_or_fail(board.binary, std::string(busybox_bin_dir) + "/" + applet);
    link_board_programs(state_fd);
    mount_or_fail(board.binary.c_str(), board_shell, nullptr, MS_BIND, nullptr);
}

// The program and the emulator library may lie below /tmp or /run (a build tree there), which the
// board replaces: both are opened before the mounts and reached through their descriptors, which
// the program inherits (the daemon keeps inherited descriptors from its own children).
struct held_files {
    std::string program;     // path to exec, or the bare name to look up on PATH
    std::string spidev_lib;  // empty: none
};

// Kept above the standard descriptors, so a program started with one of them closed finds it
// closed, not holding its own binary.
int above_standard(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

held_files hold_files(const launch_options& options) {
    held_files held;
    held.program = options.program[0];
    // On a BusyBox board /bin/sh is BusyBox's; the name it is started by picks its shell applet.
    const char* path = options.program[0];
    if (options.busybox != nullptr && strcmp(path, board_shell) == 0) path = options.busybox;
    if (held.program.find('/') != std::string::npos) {
        int fd = above_standard(open(path, O_PATH));
        if (fd < 0) {
            const int error = errno;
            fprintf(stderr, "nanvideo-board: cannot run %s: %s\n", options.program[0], strerror(error));
            exit(error == ENOENT ? exit_not_found : exit_cannot_run);
        }
        held.program = "/proc/self/fd/" + std::to_string(fd);
    }
    if (options.spidev_lib != nullptr) {
        int fd = above_standard(open(options.spidev_lib, O_RDONLY));
        if (fd < 0) fail("cannot read the spidev emulator %s: %s", options.spidev_lib, strerror(errno));
        held.spidev_lib = "/proc/self/fd/" + std::to_string(fd);
    }
    return held;
}

// The emulator's words, the spidev emulator for the emulated program only, then the program
// under the name it was given.
std::vector<std::string> emulated_command(const launch_options& options, const held_files& held) {
    std::vector<std::string> command = split_words(options.qemu);
    if (command.empty()) fail("--qemu names no command");
    if (!held.spidev_lib.empty()) {
        command.push_back("-E");
        command.push_back("LD_PRELOAD=" + held.spidev_lib);
    }
    command.push_back("-0");
    command.push_back(options.program[0]);
    command.push_back(held.program);
    for (char** arg = options.program + 1; *arg != nullptr; ++arg) command.push_back(*arg);
    return command;
}

// The program's environment: ours, and on a BusyBox board its own PATH and option parsing. The
// program itself is still looked up on our PATH (execvpe searches the caller's): an emulator is a
// host program.
std::vector<std::string> program_environment(const launch_options& options) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (options.busybox != nullptr &&
            (text.rfind("PATH=", 0) == 0 || text.rfind("POSIXLY_CORRECT=", 0) == 0))
            continue;
        environment.push_back(text);
    }
    if (options.busybox != nullptr) {
        environment.push_back(std::string("PATH=") + busybox_bin_dir);
        environment.push_back("POSIXLY_CORRECT=1");
    }
    return environment;
}

[[noreturn]] void run_program(const launch_options& options, const held_files& held) {
    const bool preload_here = !held.spidev_lib.empty() && options.qemu == nullptr;
    if (setenv("NANVIDEO_BOARD", board_mount_point, 1) != 0 ||
        setenv("NANVIDEO_SPIDEV_BUFSIZ", std::to_string(options.spidev_bufsiz).c_str(), 1) != 0 ||
        (preload_here && setenv("LD_PRELOAD", held.spidev_lib.c_str(), 1) != 0))
        fail("cannot set the environment: %s", strerror(errno));
    std::vector<std::string> command;
    std::vector<char*> argv;
    const char* file = held.program.c_str();
    if (options.qemu != nullptr) {
        command = emulated_command(options, held);
        for (std::string& word : command) argv.push_back(word.data());
        file = argv[0];
    } else {
        for (char** arg = options.program; *arg != nullptr; ++arg) argv.push_back(*arg);
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment = program_environment(options);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    // Last, so that only what runs on the board is without IPv6.
    if (options.no_ipv6 && refuse_ipv6_sockets() != 0)
        fail("cannot refuse IPv6 sockets: %s", strerror(errno));
    execvpe(file, argv.data(), envp.data());
    const int error = errno;
    fprintf(stderr, "nanvideo-board: cannot run %s: %s\n", argv[0], strerror(error));
    exit(error == ENOENT ? exit_not_found : exit_cannot_run);
}

}  // namespace

int main(int argc, char* argv[]) {
    const launch_options options = parse_options(argc, argv);
    const held_files held = hold_files(options);
    const busybox_board busybox = options.busybox != nullptr ? read_busybox(options.busybox)
                                                            : busybox_board{};
    prepare_state_dir(options.state_dir);

    enter_namespaces();
    // Nothing mounted from here on may reach the host's mount table.
    mount_or_fail(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
    unique_fd state = open_state_dir(options.state_dir);
    bring_up_loopback();
    overlay_board_dirs(state.get());
    mount_board_state(state.get());
    if (options.busybox != nullptr) make_busybox_board(busybox, state.get());
    show_spidev_parameters(options.spidev_bufsiz);
    run_program(options, held);
}
