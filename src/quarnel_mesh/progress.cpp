#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include "quarnel_mesh/quarnel_mesh.h"

namespace {

constexpr int kProgressStepPercent = 5;

// A percentage line is on standard error without its newline.
bool gProgressLineOpen = false;

}  // namespace

namespace {

// The same file seen twice. Device and inode say so on one file system; through an alias (a FUSE
// bind mount shows the files of another with a device of its own) the inode, size and both
// change times, to the nanosecond, still match, and so must the first bytes: the input is open,
// so it is compared with what the output's name opens now.
bool sameFile(int inputFd, const struct stat& input, const std::string& path) {
    struct stat output;
    if (stat(path.c_str(), &output) != 0) {
        return false;
    }
    if (input.st_dev == output.st_dev && input.st_ino == output.st_ino) {
        return true;
    }
    if (!S_ISREG(output.st_mode) || input.st_ino != output.st_ino ||
        input.st_size != output.st_size || input.st_mtim.tv_sec != output.st_mtim.tv_sec ||
        input.st_mtim.tv_nsec != output.st_mtim.tv_nsec ||
        input.st_ctim.tv_sec != output.st_ctim.tv_sec ||
        input.st_ctim.tv_nsec != output.st_ctim.tv_nsec) {
        return false;
    }
    const int outputFd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (outputFd < 0) {
        return false;
    }
    char inputBytes[4096];
    char outputBytes[4096];
    const ssize_t inputGot = pread(inputFd, inputBytes, sizeof inputBytes, 0);
    const ssize_t outputGot = pread(outputFd, outputBytes, sizeof outputBytes, 0);
    close(outputFd);
    return inputGot == outputGot && inputGot >= 0 &&
           std::memcmp(inputBytes, outputBytes, static_cast<size_t>(inputGot)) == 0;
}

}  // namespace

bool createOutput(const RecordReader& input, const std::string& path, AtomicOutput& output,
                  std::string& error) {
    struct stat inputFile;
    if (fstat(input.fd, &inputFile) == 0 && sameFile(input.fd, inputFile, path)) {
        error = path + " is the input file " + input.path + "; name another output";
        return false;
    }
    if (!openAtomicOutput(path, output)) {
        error = describeOutputFailure(output);
        return false;
    }
    return true;
}

bool commitOutput(AtomicOutput& output, std::string& error) {
    if (!commitAtomicOutput(output)) {
        error = describeOutputFailure(output);
        return false;
    }
    return true;
}

bool hasExtension(const std::string& path, const char* extension) {
    const size_t length = std::strlen(extension);
    if (path.size() < length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(path[path.size() - length + i]);
        if (std::tolower(c) != std::tolower(static_cast<unsigned char>(extension[i]))) {
            return false;
        }
    }
    return true;
}

Progress startProgress(const std::string& label, int64_t totalUnits, int64_t inputBytes) {
    Progress progress;
    progress.label = label;
    progress.totalUnits = totalUnits;
    progress.shown = inputBytes >= kProgressMinBytes && totalUnits > 0;
    return progress;
}

void advanceProgress(Progress& progress, int64_t doneUnits) {
    if (!progress.shown) {
        return;
    }
    // In double: units times 100 could pass 2^63 for no real file, but the ratio never misleads.
    const int percent = static_cast<int>(100.0 * static_cast<double>(doneUnits) /
                                         static_cast<double>(progress.totalUnits));
    if (percent / kProgressStepPercent != progress.lastPercent / kProgressStepPercent) {
        progress.lastPercent = percent;
        std::fprintf(stderr, "\r%s: %d%%", progress.label.c_str(), percent);
        std::fflush(stderr);
        gProgressLineOpen = true;
    }
}

void finishProgress(Progress& progress) {
    if (progress.shown && progress.lastPercent >= 0) {
        endProgressLine();
    }
    progress.shown = false;
}

void endProgressLine() {
    if (gProgressLineOpen) {
        std::fputc('\n', stderr);
        gProgressLineOpen = false;
    }
}

std::string fileNameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string jsonString(const std::string& text) {
    std::string json = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                json += '\\';
                json += static_cast<char>(c);
            } else if (c < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                json += escaped;
            } else {
                json += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // A well-formed UTF-8 sequence is copied; anything else becomes U+FFFD.
        const size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        bool valid = length > 0 && c < 0xF5 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        }
        if (valid && length == 3) {
            const unsigned char next = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xE0 && next < 0xA0) && !(c == 0xED && next >= 0xA0);
        } else if (valid && length == 4) {
            const unsigned char next = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xF0 && next < 0x90) && !(c == 0xF4 && next >= 0x90);
        }
        if (valid) {
            json.append(text, i, length);
            i += length;
        } else {
            json += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return json + "\"";
}

std::string formatShortestFloat(float value) {
    char text[32];
    const std::to_chars_result result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

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

std::string formatBytes(uint64_t bytes) {
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    }
    return text;
}
