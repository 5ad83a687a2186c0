#include <cerrno>
#include <charconv>
#include <cstring>

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
        writeAll(output.file.fd, output.buffer.data(), output.bufferedBytes, output.error,
                 output.file.finalPath);
    }
    output.bufferedBytes = 0;
    return output.error.empty();
}

}  // namespace

bool createOutput(const std::string& path, PendingOutput& output, std::string& error) {
    if (!openTempOutput(path, output.file)) {
        error = errno == EISDIR ? "cannot write " + path + ": it is a folder"
                                : "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    output.buffer.resize(kOutputBufferBytes);
    output.bufferedBytes = 0;
    output.error.clear();
    return true;
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
    if (!closeTempOutput(output.file) && output.error.empty()) {
        output.error = "cannot write " + output.file.finalPath + ": " + std::strerror(errno);
    }
    if (!output.error.empty()) {
        error = output.error;
        return false;
    }
    if (!renameTempOutput(output.file)) {
        error = "cannot rename the output onto " + output.file.finalPath + ": " +
                std::strerror(errno);
        return false;
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
