#pragma once
// What every vendor fuzzer hands the code under test: records go to a recorder, and the command
// runner and pauser refuse to run or wait, so no fuzz input can reach a real program.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keyword.hpp"
#include "vendor_cmd.hpp"

inline void fuzz_check(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "vendor fuzz: %s\n", what);
        abort();
    }
}

class refusing_runner : public command_runner {
public:
    int capture(const char*, char* output, size_t len) override {
        fuzz_check(false, "a fuzz input reached the captured runner");
        if (len > 0) output[0] = '\0';
        return -1;
    }
    int status(const char*) override {
        fuzz_check(false, "a fuzz input reached the status runner");
        return -1;
    }
};

class no_wait_pauser : public exec_pauser {
public:
    void pause_us(unsigned) override {}
};

// Keeps the last record; the fuzzer checks it after each call.
class fuzz_recording_transport : public vendor_transport {
public:
    int send(int subcmd, const uint8_t* record, size_t length) override {
        ++sends;
        last_subcmd = subcmd;
        last_length = length;
        fuzz_check(length <= sizeof last_record, "record larger than any vendor record");
        memcpy(last_record, record, length);
        return 0;
    }

    int sends = 0;
    int last_subcmd = 0;
    size_t last_length = 0;
    uint8_t last_record[512] = {};
};

struct vendor_fuzz_seams {
    refusing_runner runner;
    no_wait_pauser pauser;
    fuzz_recording_transport transport;
};

// One set for the whole fuzzing process; the progress lines go to /dev/null to keep it fast.
inline vendor_fuzz_seams& fuzz_seams() {
    static vendor_fuzz_seams seams;
    return seams;
}

inline void quiet_standard_output() {
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        fflush(stdout);
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
}
