#include "no_ipv6.hpp"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>

namespace {

// The filter checks the architecture the launcher itself is built for: a call made through
// another system call table (an x86-64 program's 32-bit calls) passes untouched.
#if defined(__x86_64__)
constexpr unsigned native_audit_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned native_audit_arch = AUDIT_ARCH_AARCH64;
#else
constexpr unsigned native_audit_arch = 0;  // unknown: refuse_ipv6_sockets fails with ENOSYS
#endif

constexpr unsigned arch_offset = offsetof(seccomp_data, arch);
constexpr unsigned nr_offset = offsetof(seccomp_data, nr);
// The low 32 bits of the first argument (the domain) on a little-endian machine.
constexpr unsigned domain_offset = offsetof(seccomp_data, args);

}  // namespace

int refuse_ipv6_sockets() {
    if (native_audit_arch == 0) {
        errno = ENOSYS;
        return -1;
    }
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arch_offset),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, native_audit_arch, 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, nr_offset),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_socket, 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, domain_offset),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EAFNOSUPPORT & SECCOMP_RET_DATA)),
    };
    sock_fprog filter{};
    filter.len = static_cast<unsigned short>(sizeof(program) / sizeof(program[0]));
    filter.filter = program;
    // Required of a process without CAP_SYS_ADMIN; the board's programs gain no privilege by
    // exec anyway.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter);
}
