#pragma once
// The handlers of the keyword rows this library builds itself. Used inside nanvideo_exec only;
// other rooms go through keyword.hpp.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "keyword.hpp"

namespace exec_internal {

int init_handler(const nan_interface_state& nan, const char* params, command_batch& batch,
                 int* count);
int start_handler(const nan_interface_state& nan, const char* params, command_batch& batch,
                  int* count);
int add_func_handler(const nan_interface_state& nan, const char* params, command_batch& batch,
                     int* count);
int reset_handler(const nan_interface_state& nan, const char* params, command_batch& batch,
                  int* count);
int updatefw_handler(const nan_interface_state& nan, const char* params, command_batch& batch,
                     int* count);

// Appends as much of text as still fits in dest (of size bytes, NUL-terminated); never overflows.
inline void append_bounded(char* dest, size_t size, const char* text) {
    size_t used = strnlen(dest, size);
    if (used + 1 >= size) return;
    snprintf(dest + used, size - used, "%s", text);
}

}  // namespace exec_internal
