#include "quarnel_mesh/util/memory.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace {

// The headroom under RLIMIT_AS: the limit counts every mapping, reserved or touched.
uint64_t addressSpaceHeadroomBytes() {
    rlimit limit;
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return UINT64_MAX;
    }
    std::ifstream statm("/proc/self/statm");
    uint64_t mappedPages = 0;
    const long pageBytes = sysconf(_SC_PAGE_SIZE);
    if (!(statm >> mappedPages) || pageBytes <= 0) {
        return UINT64_MAX;
    }
    const uint64_t mapped = mappedPages * static_cast<uint64_t>(pageBytes);
    const uint64_t cap = static_cast<uint64_t>(limit.rlim_cur);
    return cap > mapped ? cap - mapped : 0;
}

// The file pages in the cgroup's `statFile` (`prefix` "" for version 2, "total_" for version
// 1): the page cache the kernel drops before it refuses the group memory.
uint64_t cgroupFilePagesBytes(const std::string& statFile, const std::string& prefix) {
    std::ifstream stat(statFile);
    std::string key;
    uint64_t value = 0;
    uint64_t fileBytes = 0;
    while (stat >> key >> value) {
        if (key == prefix + "active_file" || key == prefix + "inactive_file") {
            fileBytes += value;
        }
    }
    return fileBytes;
}

// `limitFile` less what `usageFile` counts beyond the page cache (reading a large input fills
// the cache up to the limit, and the kernel gives that back), all in bytes; UINT64_MAX when the
// files cannot be read or the limit is "max" (v2) or near 2^63 (v1's way of saying none).
uint64_t cgroupHeadroomIn(const std::string& limitFile, const std::string& usageFile,
                          const std::string& statFile, const std::string& statPrefix) {
    std::ifstream limitText(limitFile);
    std::ifstream usageText(usageFile);
    std::string limit;
    uint64_t usage = 0;
    if (!(limitText >> limit) || limit == "max" || !(usageText >> usage)) {
        return UINT64_MAX;
    }
    const uint64_t cap = std::strtoull(limit.c_str(), nullptr, 10);
    if (cap == 0 || cap >= (uint64_t{1} << 62)) {
        return UINT64_MAX;
    }
    const uint64_t cache = std::min(usage, cgroupFilePagesBytes(statFile, statPrefix));
    usage -= cache;
    return cap > usage ? cap - usage : 0;
}

// The headroom under the memory cgroup the process runs in (version 2, or version 1's memory
// controller), where its files can be read.
uint64_t cgroupHeadroomBytes() {
    std::ifstream membership("/proc/self/cgroup");
    std::string line;
    uint64_t headroom = UINT64_MAX;
    while (std::getline(membership, line)) {
        if (line.compare(0, 3, "0::") == 0) {
            const std::string folder = "/sys/fs/cgroup" + line.substr(3);
            headroom = std::min(headroom, cgroupHeadroomIn(folder + "/memory.max",
                                                           folder + "/memory.current",
                                                           folder + "/memory.stat", ""));
        }
        const size_t controller = line.find(":memory:");
        if (controller != std::string::npos) {
            const std::string folder = "/sys/fs/cgroup/memory" + line.substr(controller + 8);
            headroom = std::min(headroom, cgroupHeadroomIn(folder + "/memory.limit_in_bytes",
                                                           folder + "/memory.usage_in_bytes",
                                                           folder + "/memory.stat", "total_"));
        }
    }
    return headroom;
}

}  // namespace

uint64_t processMemoryHeadroomBytes() {
    return std::min(addressSpaceHeadroomBytes(), cgroupHeadroomBytes());
}

uint64_t availableMemoryBytes() {
    const uint64_t headroom = processMemoryHeadroomBytes();
    // MemAvailable counts the page cache the kernel would drop for us; free RAM alone would refuse
    // work that fits on a machine that has read a lot of files.
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t kibibytes = 0;
    std::string unit;
    while (meminfo >> key >> kibibytes >> unit) {
        if (key == "MemAvailable:") {
            return std::min(headroom, kibibytes * 1024);
        }
    }
    struct sysinfo info;
    if (sysinfo(&info) == 0) {
        return std::min(headroom, static_cast<uint64_t>(info.freeram) * info.mem_unit);
    }
    return headroom;
}
