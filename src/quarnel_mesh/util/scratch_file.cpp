#include "quarnel_mesh/util/scratch_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::size_t kScratchBufferBytes = std::size_t{1} << 20;

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

void flushScratchBuffer(ScratchFile& file) {
    const char* next = file.buffer.data();
    std::size_t left = file.bufferedBytes;
    while (left > 0 && file.errorNumber == 0) {
        const ssize_t written = write(file.fd, next, left);
        if (written < 0) {
            if (errno != EINTR) {
                file.errorNumber = errno;
            }
            continue;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    file.bufferedBytes = 0;
}

}  // namespace

ScratchFile::~ScratchFile() {
    if (fd >= 0) {
        close(fd);
    }
}

bool openScratchFile(const AtomicOutput& output, ScratchFile& file) {
    const std::string folder = folderOf(output.finalPath);
    file.fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (file.fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // Unlinked before anything is written: a kill in between leaves an empty file at most.
        std::string name = folder + "/.quarnel-scratch-XXXXXX";
        file.fd = mkostemp(&name[0], O_CLOEXEC);
        if (file.fd >= 0) {
            unlink(name.c_str());
        }
    }
    if (file.fd < 0) {
        file.errorNumber = errno;
        return false;
    }
    file.buffer.resize(kScratchBufferBytes);
    return true;
}

void writeScratchFile(ScratchFile& file, const void* bytes, std::size_t byteCount) {
    const char* next = static_cast<const char*>(bytes);
    file.byteCount += byteCount;
    while (byteCount > 0 && file.errorNumber == 0) {
        const std::size_t taken = std::min(byteCount, file.buffer.size() - file.bufferedBytes);
        std::memcpy(file.buffer.data() + file.bufferedBytes, next, taken);
        file.bufferedBytes += taken;
        next += taken;
        byteCount -= taken;
        if (file.bufferedBytes == file.buffer.size()) {
            flushScratchBuffer(file);
        }
    }
}

bool flushScratchFile(ScratchFile& file) {
    flushScratchBuffer(file);
    return file.errorNumber == 0;
}

bool copyScratchFile(ScratchFile& file, AtomicOutput& output,
                     const std::function<void(uint64_t copiedBytes)>& onCopied) {
    flushScratchBuffer(file);
    uint64_t copied = 0;
    while (copied < file.byteCount && file.errorNumber == 0 &&
           output.failure == OutputFailure::kNone) {
        const std::size_t wanted = static_cast<std::size_t>(
            std::min<uint64_t>(file.buffer.size(), file.byteCount - copied));
        const ssize_t got = pread(file.fd, file.buffer.data(), wanted, static_cast<off_t>(copied));
        if (got <= 0) {
            if (got == 0) {
                file.errorNumber = EIO;  // shorter than what was written to it
            } else if (errno != EINTR) {
                file.errorNumber = errno;
            }
            continue;
        }
        writeAtomicOutput(output, file.buffer.data(), static_cast<std::size_t>(got));
        copied += static_cast<uint64_t>(got);
        if (onCopied) {
            onCopied(copied);
        }
    }
    // The pages are read for the last time: leave the cache to the input.
    posix_fadvise(file.fd, 0, 0, POSIX_FADV_DONTNEED);
    return file.errorNumber == 0 && output.failure == OutputFailure::kNone;
}
