#include <cerrno>
#include <charconv>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/mesh_tool.h"

namespace {

constexpr size_t kOutputBufferBytes = size_t{1} << 20;
constexpr int kProgressStepPercent = 5;

bool writeAll(int fd, const char* bytes, size_t byteCount, std::string& error,
              const std::string& path) {
    while (byteCount > 0) {
        const ssize_t written = write(fd, bytes, byteCount);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = "cannot write " + path + ": " + std::strerror(errno);
            return false;
        }
        bytes += written;
        byteCount -= static_cast<size_t>(written);
    }
    return true;
}

bool flushOutput(PendingOutput& output) {
    if (output.error.empty() && output.bufferedBytes > 0) {
        writeAll(output.fd, output.buffer.data(), output.bufferedBytes, output.error,
                 output.finalPath);
    }
    output.bufferedBytes = 0;
    return output.error.empty();
}

}  // namespace

PendingOutput::~PendingOutput() {
    if (fd >= 0) {
        close(fd);
    }
    if (!committed && !tempPath.empty()) {
        unlink(tempPath.c_str());
    }
}

bool createOutput(const std::string& path, PendingOutput& output, std::string& error) {
    // A folder under the final name would only fail at the rename, after all the work.
    struct stat existing;
    if (stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
        error = "cannot write " + path + ": it is a folder";
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string tempPath = path + "." + std::to_string(getpid()) + "-" +
                                     std::to_string(attempt) + ".tmp";
        const int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            error = "cannot create " + path + ": " + std::strerror(errno);
            return false;
        }
        output.finalPath = path;
        output.tempPath = tempPath;
        output.fd = fd;
        output.buffer.resize(kOutputBufferBytes);
        output.bufferedBytes = 0;
        output.error.clear();
        return true;
    }
    error = "cannot create " + path + ": no free temporary name beside it";
    return false;
}

void writeOutput(PendingOutput& output, const void* bytes, size_t byteCount) {
    const char* next = static_cast<const char*>(bytes);
    while (byteCount > 0 && output.error.empty()) {
        if (output.bufferedBytes == output.buffer.size()) {
            flushOutput(output);
            continue;
        }
        size_t taken = output.buffer.size() - output.bufferedBytes;
        if (taken > byteCount) {
            taken = byteCount;
        }
        std::memcpy(output.buffer.data() + output.bufferedBytes, next, taken);
        output.bufferedBytes += taken;
        next += taken;
        byteCount -= taken;
    }
}

bool commitOutput(PendingOutput& output, std::string& error) {
    flushOutput(output);
    // close reports write-back errors some file systems hold until then.
    const int closed = close(output.fd);
    output.fd = -1;
    if (closed != 0 && output.error.empty()) {
        output.error = "cannot write " + output.finalPath + ": " + std::strerror(errno);
    }
    if (!output.error.empty()) {
        error = output.error;
        return false;
    }
    if (std::rename(output.tempPath.c_str(), output.finalPath.c_str()) != 0) {
        error = "cannot rename the output onto " + output.finalPath + ": " + std::strerror(errno);
        return false;
    }
    output.committed = true;
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
    }
}

void finishProgress(Progress& progress) {
    if (progress.shown && progress.lastPercent >= 0) {
        std::fputc('\n', stderr);
    }
    progress.shown = false;
}

std::string formatShortestFloat(float value) {
    char text[32];
    const std::to_chars_result result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}
