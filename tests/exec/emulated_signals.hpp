#pragma once
// A child that is a host program, started by a program that qemu-user runs, inherits the
// emulator's own host signals (qemu keeps real-time ones for itself), which the emulated program
// can neither see nor reset. Under an emulator only the standard signals, 1 to 31, of a /proc
// "SigIgn:" line are compared.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

inline std::string without_emulator_signals(std::string state) {
    const std::string tag = "SigIgn:\t";
    constexpr size_t digits = 16;
    constexpr uint64_t standard_signals = 0x7fffffffu;
    const size_t at = state.find(tag);
    if (at == std::string::npos || state.size() < at + tag.size() + digits) return state;
    const uint64_t ignored = strtoull(state.substr(at + tag.size(), digits).c_str(), nullptr, 16);
    char hex[digits + 1];
    snprintf(hex, sizeof(hex), "%016" PRIx64, ignored & standard_signals);
    state.replace(at + tag.size(), digits, hex);
    return state;
}
