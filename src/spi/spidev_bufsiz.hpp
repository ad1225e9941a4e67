#pragma once
// The spidev driver's bounce buffer, checked against what a transfer needs.
#include <cstddef>

#include "frame_format.hpp"

// spidev copies every transfer through a buffer of `bufsiz` bytes per direction, a module
// parameter fixed at boot (4096 unless the kernel is told otherwise), and counts a transfer's
// length rounded up to the kernel's DMA alignment: a longer transfer is refused with EMSGSIZE,
// every time. The alignment is 64 bytes on many ARMv7 SoCs and 128 on a 64-bit kernel under the
// board's 32-bit userland (arm64's ARCH_DMA_MINALIGN); the need is counted with the larger one,
// so a bufsiz that passes holds a transfer on either.
constexpr size_t spidev_dma_alignment = 128;
constexpr size_t spidev_bufsiz_needed =
    (spi_transfer_size + spidev_dma_alignment - 1) / spidev_dma_alignment * spidev_dma_alignment;
constexpr const char* spidev_bufsiz_parameter = "/sys/module/spidev/parameters/bufsiz";
// What the fixes set: the next power of two above the need.
constexpr unsigned spidev_bufsiz_fix = 8192;
static_assert(spidev_bufsiz_fix >= spidev_bufsiz_needed);

// True when the driver's bufsiz, read from parameter_path, holds a transfer, or when there is
// no such value to read (no sysfs, or no spidev parameters: the transfers will tell). Otherwise
// prints one line naming the value, the need and the fixes, and returns false.
bool spidev_bufsiz_fits(const char* parameter_path);
// Prints one line: the cause (at most spidev_bufsiz_cause_max bytes), then both fixes.
constexpr size_t spidev_bufsiz_cause_max = 160;
void log_spidev_bufsiz_fixes(const char* cause);
