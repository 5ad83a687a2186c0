#include "output/temp_output.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TempOutput::~TempOutput() {
    if (fd >= 0) {
        close(fd);
    }
    if (!committed && !tempPath.empty()) {
        unlink(tempPath.c_str());
    }
}

bool openTempOutput(const std::string& path, TempOutput& output) {
    struct stat existing;
    if (stat(path.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            errno = EISDIR;
            return false;
        }
        if (access(path.c_str(), W_OK) != 0) {
            errno = EACCES;
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
            return false;
        }
        output.finalPath = path;
        output.tempPath = tempPath;
        output.fd = fd;
        output.committed = false;
        return true;
    }
    errno = EEXIST;
    return false;
}

bool closeTempOutput(TempOutput& output) {
    const int fd = output.fd;
    output.fd = -1;
    return fd < 0 || close(fd) == 0;
}

bool renameTempOutput(TempOutput& output) {
    if (std::rename(output.tempPath.c_str(), output.finalPath.c_str()) != 0) {
        return false;
    }
    output.committed = true;
    return true;
}
