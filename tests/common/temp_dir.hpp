#pragma once
// Scratch space for tests that write files or stand-in programs.
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

// A private directory, removed with everything in it at the end.
class temp_dir {
public:
    temp_dir() {
        char pattern[] = "/tmp/nanvideo-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made != nullptr ? made : "";
    }
    ~temp_dir() {
        if (!path_.empty()) {
            std::string command = "rm -rf '" + path_ + "'";
            if (system(command.c_str()) != 0) perror("temp_dir cleanup");
        }
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    void write_program(const std::string& name, const std::string& script) const {
        std::ofstream(file(name)) << script;
        chmod(file(name).c_str(), 0755);
    }

private:
    std::string path_;
};
