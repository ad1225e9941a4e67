#include "daemon_counters.hpp"

#include "mono_clock.hpp"

daemon_counters::daemon_counters() : started_us(mono_now_us()) {}
