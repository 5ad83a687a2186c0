#include "quarnel_mesh/util/memory.h"

#include <fstream>
#include <string>

#include <sys/sysinfo.h>

uint64_t availableMemoryBytes() {
    // MemAvailable counts the page cache the kernel would drop for us; free RAM alone would refuse
    // work that fits on a machine that has read a lot of files.
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t kibibytes = 0;
    std::string unit;
    while (meminfo >> key >> kibibytes >> unit) {
        if (key == "MemAvailable:") {
            return kibibytes * 1024;
        }
    }
    struct sysinfo info;
    if (sysinfo(&info) == 0) {
        return static_cast<uint64_t>(info.freeram) * info.mem_unit;
    }
    return UINT64_MAX;
}
