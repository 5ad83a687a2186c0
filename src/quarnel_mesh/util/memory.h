// How much memory a command may count on.
#pragma once

#include <cstdint>

// Memory the system could give this process now without swapping: MemAvailable of /proc/meminfo,
// else the free RAM; UINT64_MAX when neither can be read.
uint64_t availableMemoryBytes();
