// How much memory a command may count on.
#pragma once

#include <cstdint>

// Memory the system could give this process now without swapping: MemAvailable of /proc/meminfo,
// else the free RAM, and never more than a limit on the process leaves it (see
// processMemoryHeadroomBytes); UINT64_MAX when none can be read.
uint64_t availableMemoryBytes();

// What a limit set on the process leaves it: its address-space limit (RLIMIT_AS, as ulimit -v or
// prlimit --as sets it) less the address space it maps, and its cgroup's memory.max less
// memory.current, whichever is less; UINT64_MAX when neither is set or readable.
uint64_t processMemoryHeadroomBytes();
