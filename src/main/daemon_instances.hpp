#pragma once
// The daemon's process-wide instances, made once by main and handed to the threads that use
// them. Nothing else in the daemon holds state for the life of the process.
#include "daemon_counters.hpp"
#include "spi_device.hpp"
#include "video_ring.hpp"

struct daemon_instances {
    daemon_instances() : spi(video_ring, counters) {}
    daemon_instances(const daemon_instances&) = delete;
    daemon_instances& operator=(const daemon_instances&) = delete;

    frame_ring video_ring;
    spi_intake spi;
};
