#include "io/atomic_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kBufferBytes = std::size_t{1} << 20;

void fail(AtomicOutput& output, OutputFailure failure, int errorNumber) {
    if (output.failure == OutputFailure::kNone) {
        output.failure = failure;
        output.errorNumber = errorNumber;
    }
}

void writeAll(AtomicOutput& output, const char* bytes, std::size_t byteCount) {
    while (byteCount > 0 && output.failure == OutputFailure::kNone) {
        const ssize_t written = write(output.fd, bytes, byteCount);
        if (written < 0) {
            if (errno != EINTR) {
                fail(output, OutputFailure::kWrite, errno);
            }
            continue;
        }
        bytes += written;
        byteCount -= static_cast<std::size_t>(written);
    }
}

void flushBuffer(AtomicOutput& output) {
    if (output.bufferedBytes > 0) {
        writeAll(output, output.buffer.data(), output.bufferedBytes);
    }
    output.bufferedBytes = 0;
}

}  // namespace

AtomicOutput::~AtomicOutput() {
    if (fd >= 0) {
        close(fd);
    }
    if (!committed && !tempPath.empty()) {
        unlink(tempPath.c_str());
    }
}

bool openAtomicOutput(const std::string& path, AtomicOutput& output) {
    output.finalPath = path;
    struct stat existing;
    if (stat(path.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            fail(output, OutputFailure::kCreate, EISDIR);
            return false;
        }
        if (access(path.c_str(), W_OK) != 0) {
            fail(output, OutputFailure::kCreate, EACCES);
            return false;
        }
    }
    // The process id and a counter make the name unique; O_EXCL makes sure of it.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string tempPath = path + "." + std::to_string(getpid()) + "-" +
                                     std::to_string(attempt) + ".tmp";
        const int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            fail(output, OutputFailure::kCreate, errno);
            return false;
        }
        output.tempPath = tempPath;
        output.fd = fd;
        output.buffer.resize(kBufferBytes);
        output.bufferedBytes = 0;
        return true;
    }
    fail(output, OutputFailure::kCreate, EEXIST);
    return false;
}

void writeAtomicOutput(AtomicOutput& output, const void* bytes, std::size_t byteCount) {
    const char* next = static_cast<const char*>(bytes);
    if (output.failure != OutputFailure::kNone) {
        return;
    }
    // A whole block of records is far larger than the buffer: copying it through would only cost.
    if (byteCount >= output.buffer.size()) {
        flushBuffer(output);
        writeAll(output, next, byteCount);
        return;
    }
    if (output.bufferedBytes + byteCount > output.buffer.size()) {
        flushBuffer(output);
    }
    std::memcpy(output.buffer.data() + output.bufferedBytes, next, byteCount);
    output.bufferedBytes += byteCount;
}

bool commitAtomicOutput(AtomicOutput& output) {
    if (output.fd >= 0) {
        flushBuffer(output);
        // close reports write-back errors some file systems hold until then.
        const int fd = output.fd;
        output.fd = -1;
        if (close(fd) != 0) {
            fail(output, OutputFailure::kWrite, errno);
        }
    }
    if (output.failure != OutputFailure::kNone) {
        return false;
    }
    if (std::rename(output.tempPath.c_str(), output.finalPath.c_str()) != 0) {
        fail(output, OutputFailure::kRename, errno);
        return false;
    }
    output.committed = true;
    return true;
}

std::string describeOutputFailure(const AtomicOutput& output) {
    const std::string& path = output.finalPath;
    const std::string reason = std::strerror(output.errorNumber);
    switch (output.failure) {
        case OutputFailure::kCreate:
            if (output.errorNumber == EISDIR) {
                return "cannot write " + path + ": it is a folder";
            }
            return "cannot create " + path + ": " + reason;
        case OutputFailure::kWrite:
            return "cannot write " + path + ": " + reason;
        case OutputFailure::kRename:
            return "cannot rename the output onto " + path + ": " + reason;
        case OutputFailure::kNone:
            break;
    }
    return "";
}
