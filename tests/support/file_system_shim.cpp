// Test shim, loaded into the tools with LD_PRELOAD. With QUARNEL_SHIM_NO_TMPFILE set it refuses
// unnamed files (O_TMPFILE) as a file system without them does, so the named-temporary fallback
// runs; with QUARNEL_SHIM_LOG set it appends "rename", "link" or "fsync-folder" to that file at
// each such call, so a test can see how the output took its name and that its folder was synced.
// QUARNEL_SHIM_FAULT plants one fault: "rename-onto:SUFFIX" fails with EIO every rename onto a
// name ending in SUFFIX; "pause-after-rename-onto:SUFFIX" waits half a second after such a
// rename; "signal-after-link:N" raises signal N just after a link to a temporary ("*.tmp") is
// made, where a signal that strace injects at the call is taken.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void logCall(const char* line) {
    if (const char* log = std::getenv("QUARNEL_SHIM_LOG")) {
        const int fd = real<int (*)(const char*, int, ...)>("open")(
            log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const ssize_t ignored = write(fd, line, std::strlen(line));
            (void)ignored;
            close(fd);
        }
    }
}

bool refused(int flags) {
    if ((flags & O_TMPFILE) == O_TMPFILE && std::getenv("QUARNEL_SHIM_NO_TMPFILE") != nullptr) {
        errno = EOPNOTSUPP;
        return true;
    }
    return false;
}

// The argument of the planted fault `kind`, or null when another (or none) is planted.
const char* plantedFault(const char* kind) {
    const char* fault = std::getenv("QUARNEL_SHIM_FAULT");
    const size_t length = std::strlen(kind);
    return fault != nullptr && std::strncmp(fault, kind, length) == 0 && fault[length] == ':'
               ? fault + length + 1
               : nullptr;
}

bool endsWith(const char* text, const char* suffix) {
    const size_t textLength = std::strlen(text);
    const size_t suffixLength = std::strlen(suffix);
    return textLength >= suffixLength && std::strcmp(text + textLength - suffixLength, suffix) == 0;
}

mode_t modeArgument(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return refused(flags) ? -1 : real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return refused(flags) ? -1 : real<int (*)(const char*, int, ...)>("open64")(path, flags, mode);
}

int rename(const char* from, const char* to) noexcept {
    logCall("rename\n");
    if (const char* suffix = plantedFault("rename-onto")) {
        if (endsWith(to, suffix)) {
            errno = EIO;
            return -1;
        }
    }
    const int result = real<int (*)(const char*, const char*)>("rename")(from, to);
    if (const char* suffix = plantedFault("pause-after-rename-onto")) {
        if (result == 0 && endsWith(to, suffix)) {
            usleep(500000);
        }
    }
    return result;
}

int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) noexcept {
    logCall("link\n");
    const int result = real<int (*)(int, const char*, int, const char*, int)>("linkat")(
        fromFolder, from, toFolder, to, flags);
    if (const char* signalNumber = plantedFault("signal-after-link")) {
        if (result == 0 && endsWith(to, ".tmp")) {
            raise(std::atoi(signalNumber));
        }
    }
    return result;
}

int fsync(int fd) {
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        logCall("fsync-folder\n");
    }
    return real<int (*)(int)>("fsync")(fd);
}

}  // extern "C"
