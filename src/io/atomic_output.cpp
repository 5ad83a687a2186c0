#include "io/atomic_output.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/process_setup.h"

namespace {

constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
constexpr long long kFlushBehindBytes = 64ll << 20;

void fail(AtomicOutput& output, OutputFailure failure, int errorNumber) {
    if (output.failure == OutputFailure::kNone) {
        output.failure = failure;
        output.errorNumber = errorNumber;
    }
}

// Every 64 MiB written: starts the write-back of those bytes without waiting, then waits for the
// range started one call before and drops it from the page cache. Without it the kernel lets
// gigabytes of dirty pages pile up and then throttles every write (most of a 17 GB run's system
// time); with a wait on the newest range instead, the writer (and behind it every mesher) stood
// still while each range went to the disk. One range behind, the disk writes while the next range
// is produced. The final fsync still makes the file durable. The wait covers the range's write-back
// started earlier, so the dropped pages are clean. A write-back error would be consumed by the wait
// and not seen again by fsync: it is a write failure. A file system without the call just keeps
// the kernel's own write-back.
bool syncRange(AtomicOutput& output, long long from, long long byteCount, unsigned int flags) {
    int result;
    do {
        result = sync_file_range(output.fd, from, byteCount, flags);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        if (errno == EINVAL || errno == ESPIPE || errno == ENOSYS || errno == EOPNOTSUPP) {
            output.flushBehind = false;
        } else {
            fail(output, OutputFailure::kWrite, errno);
        }
        return false;
    }
    return true;
}

void flushBehind(AtomicOutput& output) {
    const long long pending = output.writtenBytes - output.startedBytes;
    if (!output.flushBehind || pending < kFlushBehindBytes ||
        output.failure != OutputFailure::kNone) {
        return;
    }
    if (!syncRange(output, output.startedBytes, pending, SYNC_FILE_RANGE_WRITE)) {
        return;
    }
    const long long behind = output.startedBytes - output.droppedBytes;
    output.startedBytes = output.writtenBytes;
    if (behind == 0) {
        return;
    }
    if (!syncRange(output, output.droppedBytes, behind,
                   SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                       SYNC_FILE_RANGE_WAIT_AFTER)) {
        return;
    }
    posix_fadvise(output.fd, output.droppedBytes, behind, POSIX_FADV_DONTNEED);
    output.droppedBytes += behind;
}

// write() at the end of the file (`offset` negative, counted in writtenBytes) or pwrite() at
// `offset`, until every byte is written or a failure is kept. Checked once per buffer or block,
// an atomic load: every writer of both tools stops within a megabyte of a stop request, whatever
// loop it writes from.
void writeFully(AtomicOutput& output, const char* bytes, std::size_t byteCount, long long offset) {
    if (stopWasRequested()) {
        fail(output, OutputFailure::kInterrupted, EINTR);
    }
    while (byteCount > 0 && output.failure == OutputFailure::kNone) {
        const ssize_t written = offset < 0 ? write(output.fd, bytes, byteCount)
                                           : pwrite(output.fd, bytes, byteCount, offset);
        if (written < 0) {
            if (errno != EINTR) {
                fail(output, OutputFailure::kWrite, errno);
            } else if (stopWasRequested()) {
                fail(output, OutputFailure::kInterrupted, EINTR);
            }
            continue;
        }
        bytes += written;
        byteCount -= static_cast<std::size_t>(written);
        if (offset < 0) {
            output.writtenBytes += written;
        } else {
            offset += written;
        }
    }
}

void writeAll(AtomicOutput& output, const char* bytes, std::size_t byteCount) {
    writeFully(output, bytes, byteCount, -1);
    flushBehind(output);
}

void flushBuffer(AtomicOutput& output) {
    if (output.bufferedBytes > 0) {
        writeAll(output, output.buffer.data(), output.bufferedBytes);
    }
    output.bufferedBytes = 0;
}

// The folder that holds `path`: what precedes its last slash, "." when it has none.
std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Gives the unnamed file `fd` the name `name`. Through /proc any process may; AT_EMPTY_PATH is the
// way where /proc is not mounted (it needs CAP_DAC_READ_SEARCH).
int linkUnnamedFile(int fd, const std::string& name) {
    const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
    if (linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return fd;
    }
    if (errno == ENOENT && linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) {
        return fd;
    }
    return -1;
}

// The first 200 bytes of the final file name: what a temporary's name starts with, so that the
// suffix never pushes a legal name past the 255-byte limit.
std::string temporaryStem(const std::string& finalPath) {
    const std::size_t slash = finalPath.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    return finalPath.substr(nameStart, 200);
}

// Finds a free "<name>.<pid>-<n>.tmp" beside the final path and makes it with `create(name)`,
// which returns a descriptor or -1 with errno set (EEXIST: try the next n). The name is
// registered for removal should a signal end the process before `create` runs, so that the file
// never has a name that a fatal signal would leave behind. Returns the descriptor, or -1.
template <typename Create>
int createNamedTemporary(AtomicOutput& output, Create&& create) {
    // The process id and a counter make the name unique; O_EXCL and link make sure of it.
    const std::size_t slash = output.finalPath.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::string stem =
        output.finalPath.substr(0, nameStart) + temporaryStem(output.finalPath);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string tempPath =
            stem + "." + std::to_string(getpid()) + "-" + std::to_string(attempt) + ".tmp";
        const int slot = registerTemporaryPath(tempPath.c_str());
        const int fd = create(tempPath);
        if (fd < 0) {
            const int reason = errno;
            forgetTemporaryPath(slot);
            if (reason == EEXIST) {
                continue;
            }
            errno = reason;
            return -1;
        }
        output.tempPath = tempPath;
        output.tempSlot = slot;
        return fd;
    }
    errno = EEXIST;
    return -1;
}

// The process id in a temporary's name "<stem>.<pid>-<n>.tmp", or 0 when `entry` is not one.
pid_t temporaryOwner(const std::string& entry, const std::string& stem) {
    const std::string suffix = ".tmp";
    if (entry.size() <= stem.size() + 1 + suffix.size() ||
        entry.compare(0, stem.size(), stem) != 0 || entry[stem.size()] != '.' ||
        entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return 0;
    }
    const std::string middle =
        entry.substr(stem.size() + 1, entry.size() - stem.size() - 1 - suffix.size());
    const std::size_t dash = middle.find('-');
    if (dash == 0 || dash == std::string::npos || dash > 9 || dash + 1 == middle.size() ||
        middle.find_first_not_of("0123456789-") != std::string::npos ||
        middle.find('-', dash + 1) != std::string::npos) {
        return 0;
    }
    return static_cast<pid_t>(std::stol(middle.substr(0, dash)));
}

// A SIGKILL between a replacement's link and its rename leaves a complete temporary that no
// handler could remove: the next run that writes the same name removes those whose process no
// longer exists. A live process (kill says anything but ESRCH) keeps its own.
void removeStaleTemporaries(const std::string& finalPath) {
    DIR* folder = opendir(folderOf(finalPath).c_str());
    if (folder == nullptr) {
        return;
    }
    const std::string stem = temporaryStem(finalPath);
    while (const dirent* entry = readdir(folder)) {
        const pid_t owner = temporaryOwner(entry->d_name, stem);
        struct stat info;
        if (owner > 0 && owner != getpid() && kill(owner, 0) != 0 && errno == ESRCH &&
            fstatat(dirfd(folder), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode)) {
            unlinkat(dirfd(folder), entry->d_name, 0);
        }
    }
    closedir(folder);
}

// Why the entry under the final name cannot be replaced by a rename, or null when it can: the
// rename would fail at the very end (immutable, append-only, or in an append-only folder), or a
// FIFO or device there is almost certainly not meant to be replaced by a file.
const char* replaceProblem(const std::string& path, const struct stat& entry) {
    if (S_ISFIFO(entry.st_mode)) {
        return "it is a FIFO; remove it or name another output";
    }
    if (S_ISCHR(entry.st_mode) || S_ISBLK(entry.st_mode)) {
        return "it is a device; name another output";
    }
    if (S_ISSOCK(entry.st_mode)) {
        return "it is a socket; remove it or name another output";
    }
    const auto flagsOf = [](const std::string& name, int openFlags, int& flags) {
        const int fd = open(name.c_str(), openFlags | O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        const bool known = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (fd >= 0) {
            close(fd);
        }
        return known;  // a file system without these flags has neither
    };
    int flags = 0;
    if (S_ISREG(entry.st_mode) && flagsOf(path, O_NOFOLLOW, flags)) {
        if (flags & FS_IMMUTABLE_FL) {
            return "it is immutable (chattr -i removes that)";
        }
        if (flags & FS_APPEND_FL) {
            return "it is append-only (chattr -a removes that)";
        }
    }
    if (flagsOf(folderOf(path), O_DIRECTORY, flags) && (flags & FS_APPEND_FL)) {
        return "its folder is append-only, so no file in it can be replaced";
    }
    return nullptr;
}

// Gives the new file the permission bits of the regular file it will replace, as an editor
// does: a private file stays private. A symbolic link there is replaced itself and lends none.
void keepEarlierMode(const std::string& finalPath, int fd) {
    struct stat earlier;
    if (lstat(finalPath.c_str(), &earlier) == 0 && S_ISREG(earlier.st_mode)) {
        fchmod(fd, earlier.st_mode & 0777);
    }
}

// Writes what is buffered, syncs the file and names it: straight under the final name when
// `mayLinkInPlace` and nothing holds that name (`linkedInPlace` then says so), else under a
// temporary name; then closes it. False with output.failure set (a file linked in place whose
// close failed is unlinked again: its data may not be there).
bool nameFile(AtomicOutput& output, bool mayLinkInPlace, bool& linkedInPlace) {
    linkedInPlace = false;
    if (output.fd >= 0) {
        flushBuffer(output);
        const int fd = output.fd;
        keepEarlierMode(output.finalPath, fd);
        if (output.failure == OutputFailure::kNone && fsync(fd) != 0) {
            fail(output, OutputFailure::kWrite, errno);
        }
        if (output.failure == OutputFailure::kNone && output.tempPath.empty()) {
            // Where nothing has the final name, linking the unnamed file there is atomic and
            // leaves no temporary name at any moment. linkat cannot replace a file, so an existing
            // one is replaced by a link under a temporary name and a rename.
            struct stat existing;
            if (mayLinkInPlace && lstat(output.finalPath.c_str(), &existing) != 0 &&
                errno == ENOENT) {
                linkedInPlace = linkUnnamedFile(fd, output.finalPath) >= 0;
                if (!linkedInPlace && errno != EEXIST) {
                    fail(output, OutputFailure::kRename, errno);
                }
            }
            if (!linkedInPlace && output.failure == OutputFailure::kNone &&
                createNamedTemporary(output, [fd](const std::string& name) {
                    return linkUnnamedFile(fd, name);
                }) < 0) {
                fail(output, OutputFailure::kRename, errno);
            }
        }
        output.fd = -1;
        // close reports write-back errors some file systems hold until then.
        if (close(fd) != 0) {
            fail(output, OutputFailure::kWrite, errno);
        }
    }
    if (output.failure != OutputFailure::kNone) {
        if (linkedInPlace) {
            unlink(output.finalPath.c_str());
        }
        return false;
    }
    return true;
}

void markCommitted(AtomicOutput& output) {
    output.committed = true;
    forgetTemporaryPath(output.tempSlot);
    output.tempSlot = -1;
}

// The new names are durable only once the folder is synced. The files are complete and in place
// by now, so a folder that cannot be synced (some file systems refuse) is not a failure.
void syncFolder(int folder) {
    if (folder >= 0) {
        fsync(folder);
    }
}

// The commit of one output once no stop can intervene (see beginCommit).
bool commitClaimed(AtomicOutput& output) {
    bool linkedInPlace = false;
    if (!nameFile(output, true, linkedInPlace)) {
        return false;
    }
    if (!linkedInPlace && std::rename(output.tempPath.c_str(), output.finalPath.c_str()) != 0) {
        fail(output, OutputFailure::kRename, errno);
        return false;
    }
    markCommitted(output);
    const int folder = open(folderOf(output.finalPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    syncFolder(folder);
    if (folder >= 0) {
        close(folder);
    }
    return true;
}

// The commit of an output and its companion once no stop can intervene: both are complete under
// temporary names before either takes its own. The companion is exchanged with its earlier file,
// which waits under the temporary name until the output's rename has succeeded, and goes back
// if it fails. A lock on the folder keeps two runs' pairs from interleaving their renames.
bool commitPairClaimed(AtomicOutput& output, AtomicOutput& companion) {
    bool inPlace = false;
    if (!nameFile(companion, false, inPlace) || !nameFile(output, false, inPlace)) {
        return false;
    }
    const int folder = open(folderOf(output.finalPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        flock(folder, LOCK_EX);  // a file system without locks just goes on
    }
    struct stat earlier;
    const bool hadEarlier = lstat(companion.finalPath.c_str(), &earlier) == 0;
    // Without RENAME_EXCHANGE (some FUSE mounts) the earlier companion cannot be kept aside.
    const bool exchanged =
        hadEarlier && renameat2(AT_FDCWD, companion.tempPath.c_str(), AT_FDCWD,
                                companion.finalPath.c_str(), RENAME_EXCHANGE) == 0;
    bool committed = true;
    if (!exchanged && std::rename(companion.tempPath.c_str(), companion.finalPath.c_str()) != 0) {
        fail(companion, OutputFailure::kRename, errno);
        committed = false;
    } else if (std::rename(output.tempPath.c_str(), output.finalPath.c_str()) != 0) {
        fail(output, OutputFailure::kRename, errno);
        committed = false;
        if (exchanged) {
            renameat2(AT_FDCWD, companion.tempPath.c_str(), AT_FDCWD,
                      companion.finalPath.c_str(), RENAME_EXCHANGE);
        } else if (!hadEarlier) {
            unlink(companion.finalPath.c_str());
        }
    }
    if (committed) {
        if (exchanged) {
            unlink(companion.tempPath.c_str());  // the earlier companion
        }
        markCommitted(companion);
        markCommitted(output);
        syncFolder(folder);
    }
    if (folder >= 0) {
        close(folder);  // and the lock with it
    }
    return committed;
}

}  // namespace

AtomicOutput::~AtomicOutput() {
    if (fd >= 0) {
        close(fd);
    }
    if (!committed && !tempPath.empty()) {
        unlink(tempPath.c_str());
    }
    forgetTemporaryPath(tempSlot);
}

bool openAtomicOutput(const std::string& path, AtomicOutput& output) {
    output.finalPath = path;
    struct stat target;
    const bool exists = stat(path.c_str(), &target) == 0;
    if (exists && S_ISDIR(target.st_mode)) {
        fail(output, OutputFailure::kCreate, EISDIR);
        return false;
    }
    // lstat: a symbolic link under the final name is replaced itself, whatever it points to.
    struct stat entry;
    if (lstat(path.c_str(), &entry) == 0) {
        if (const char* problem = replaceProblem(path, entry)) {
            output.replaceProblem = problem;
            fail(output, OutputFailure::kReplace, EPERM);
            return false;
        }
    }
    if (exists && access(path.c_str(), W_OK) != 0) {
        fail(output, OutputFailure::kCreate, errno);
        return false;
    }
    // The unnamed file needs no name until the end, where one too long would fail after all the
    // work.
    const std::size_t slash = path.rfind('/');
    const std::size_t nameBytes =
        slash == std::string::npos ? path.size() : path.size() - slash - 1;
    const long nameMax = pathconf(folderOf(path).c_str(), _PC_NAME_MAX);
    if (path.size() >= PATH_MAX ||
        (nameMax > 0 && nameBytes > static_cast<std::size_t>(nameMax))) {
        fail(output, OutputFailure::kCreate, ENAMETOOLONG);
        return false;
    }
    removeStaleTemporaries(path);
    int fd = open(folderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    // A kernel without O_TMPFILE reads it as O_DIRECTORY (EISDIR); a file system without it says
    // EOPNOTSUPP. Only those fall back to a named file; the rest are the folder's own faults.
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        fd = createNamedTemporary(output, [](const std::string& name) {
            return open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        });
    }
    if (fd < 0) {
        // An unnamed file in a folder that was removed is refused with EPERM; a named one would
        // say what is wrong.
        struct stat folder;
        const int reason = errno;
        const bool removed = stat(folderOf(path).c_str(), &folder) == 0 && folder.st_nlink == 0;
        fail(output, OutputFailure::kCreate, removed ? ENOENT : reason);
        return false;
    }
    output.fd = fd;
    output.buffer.resize(kBufferBytes);
    output.bufferedBytes = 0;
    return true;
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

void rewriteAtomicOutput(AtomicOutput& output, long long offset, const void* bytes,
                         std::size_t byteCount) {
    flushBuffer(output);
    assert(output.failure != OutputFailure::kNone ||
           (offset >= 0 && offset + static_cast<long long>(byteCount) <= output.writtenBytes));
    writeFully(output, static_cast<const char*>(bytes), byteCount, offset);
}

bool commitAtomicOutput(AtomicOutput& output) {
    AtomicOutput* const companion = output.companion;
    if (output.failure == OutputFailure::kNone &&
        (companion == nullptr || companion->failure == OutputFailure::kNone) && !beginCommit()) {
        fail(output, OutputFailure::kInterrupted, EINTR);
    }
    const bool claimed = output.failure == OutputFailure::kNone &&
                         (companion == nullptr || companion->failure == OutputFailure::kNone);
    if (!claimed) {
        return false;  // the destructors remove what has a temporary name
    }
    const bool committed =
        companion == nullptr ? commitClaimed(output) : commitPairClaimed(output, *companion);
    endCommit(committed);
    return committed;
}

std::string describeOutputFailure(const AtomicOutput& output) {
    if (output.failure == OutputFailure::kNone && output.companion != nullptr) {
        return describeOutputFailure(*output.companion);
    }
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
        case OutputFailure::kReplace:
            return "cannot replace " + path + ": " + output.replaceProblem;
        case OutputFailure::kRename:
            return "cannot rename the output onto " + path + ": " + reason;
        case OutputFailure::kInterrupted:
            return "interrupted";
        case OutputFailure::kNone:
            break;
    }
    return "";
}
