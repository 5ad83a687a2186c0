#include "quarnel_mesh/util/output_file.h"

#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
