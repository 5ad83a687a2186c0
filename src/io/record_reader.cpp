#include "io/record_reader.h"

#include <cassert>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/process_setup.h"

RecordReader::~RecordReader() {
    if (fd >= 0) {
        close(fd);
    }
}

namespace {

// Checks the open `fd` as openRecordFile does and hands it to `reader`, or closes it.
bool adoptRecordFd(int fd, const std::string& path, RecordReader& reader, std::string& error) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    // The size decides the record count before anything is read, so only a regular file will do.
    if (!S_ISREG(info.st_mode)) {
        error = "cannot read " + path + ": not a regular file";
        close(fd);
        return false;
    }
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    // Files under /proc and /sys report a size of 0 and still yield bytes: the size would say
    // "no records" of a file that is not a mesh at all.
    char probe;
    if (info.st_size == 0 && read(fd, &probe, 1) > 0) {
        error = "cannot read " + path + ": not a regular file (its size reads 0, yet it has bytes)";
        close(fd);
        return false;
    }
    const int64_t fileBytes = static_cast<int64_t>(info.st_size);
    const int64_t recordBytes = static_cast<int64_t>(sizeof(TriangleRecord));
    if (fileBytes % recordBytes != 0) {
        error = path + ": size " + std::to_string(fileBytes) +
                " bytes is not a whole number of 48-byte records (" +
                std::to_string(fileBytes / recordBytes) + " records and " +
                std::to_string(fileBytes % recordBytes) + " bytes over)";
        close(fd);
        return false;
    }
    if (reader.fd >= 0) {
        close(reader.fd);
    }
    reader.path = path;
    reader.fd = fd;
    reader.opened = info;
    reader.fileBytes = fileBytes;
    reader.recordCount = fileBytes / recordBytes;
    reader.nextRecord = 0;
    reader.kept.clear();
    reader.fileRecordCount = reader.recordCount;
    reader.nextFileRecord = 0;
    // A small file needs no more than its own records.
    const int64_t chunkCount =
        reader.recordCount < kRecordChunkCount ? reader.recordCount : kRecordChunkCount;
    reader.chunk.resize(static_cast<size_t>(chunkCount));
    return true;
}

}  // namespace

bool openRecordFile(const std::string& path, RecordReader& reader, std::string& error) {
    // O_NONBLOCK: opening a FIFO would otherwise wait, deaf to signals, for a writer that may
    // never come. It is cleared again once the file is known to be regular.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    return adoptRecordFd(fd, path, reader, error);
}

bool openRecordDescriptor(int fd, const std::string& path, RecordReader& reader,
                          std::string& error) {
    // A copy of the descriptor shares the file's offset: the reads start from the first record.
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0 || lseek(copy, 0, SEEK_SET) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        if (copy >= 0) {
            close(copy);
        }
        return false;
    }
    return adoptRecordFd(copy, path, reader, error);
}

namespace {

bool sameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Each pass must read the records the first one read: the open file may not have been resized or
// written since it was opened (which moves its modification and change times), nor be another.
bool unchangedSinceOpened(const RecordReader& reader, std::string& error) {
    struct stat now;
    if (fstat(reader.fd, &now) != 0) {
        error = "cannot read " + reader.path + ": " + std::strerror(errno);
        return false;
    }
    const struct stat& opened = reader.opened;
    if (now.st_dev != opened.st_dev || now.st_ino != opened.st_ino ||
        now.st_size != opened.st_size || !sameTime(now.st_mtim, opened.st_mtim) ||
        !sameTime(now.st_ctim, opened.st_ctim)) {
        error = reader.path + " changed while it was read";
        return false;
    }
    return true;
}

// The next records of the file itself into reader.chunk: their count, or -1 with `error` set.
int64_t readFileChunk(RecordReader& reader, std::string& error) {
    int64_t wanted = reader.fileRecordCount - reader.nextFileRecord;
    const int64_t capacity = static_cast<int64_t>(reader.chunk.size());
    if (wanted > capacity) {
        wanted = capacity;
    }
    char* bytes = reinterpret_cast<char*>(reader.chunk.data());
    const size_t wantedBytes = static_cast<size_t>(wanted) * sizeof(TriangleRecord);
    size_t gotBytes = 0;
    while (gotBytes < wantedBytes) {
        const ssize_t got = read(reader.fd, bytes + gotBytes, wantedBytes - gotBytes);
        if (got < 0) {
            if (errno == EINTR && !stopWasRequested()) {
                continue;
            }
            if (errno == EINTR) {
                error = "interrupted";
                return -1;
            }
            error = "cannot read " + reader.path + ": " + std::strerror(errno);
            return -1;
        }
        if (got == 0) {
            error = "cannot read " + reader.path + ": the file got shorter while it was read";
            return -1;
        }
        gotBytes += static_cast<size_t>(got);
    }
    reader.nextFileRecord += wanted;
    return wanted;
}

}  // namespace

int64_t readRecordChunk(RecordReader& reader, std::string& error) {
    for (;;) {
        const int64_t first = reader.nextFileRecord;
        const int64_t count = readFileChunk(reader, error);
        if (count == 0 && !unchangedSinceOpened(reader, error)) {
            return -1;
        }
        if (count <= 0 || reader.kept.empty()) {
            if (count > 0) {
                reader.nextRecord += count;
            }
            return count;
        }
        // The kept records close up in place; a chunk with none of them reads on.
        int64_t keptCount = 0;
        for (int64_t i = 0; i < count; ++i) {
            const uint64_t record = static_cast<uint64_t>(first + i);
            if ((reader.kept[record / 64] >> (record % 64)) & 1) {
                reader.chunk[static_cast<size_t>(keptCount++)] = reader.chunk[static_cast<size_t>(i)];
            }
        }
        if (keptCount > 0) {
            reader.nextRecord += keptCount;
            return keptCount;
        }
    }
}

bool readRecordsAt(RecordReader& reader, int64_t firstRecord, int64_t count, std::string& error) {
    assert(reader.kept.empty() && count <= static_cast<int64_t>(reader.chunk.size()));
    char* bytes = reinterpret_cast<char*>(reader.chunk.data());
    const size_t wantedBytes = static_cast<size_t>(count) * sizeof(TriangleRecord);
    const off_t offset =
        static_cast<off_t>(firstRecord) * static_cast<off_t>(sizeof(TriangleRecord));
    size_t gotBytes = 0;
    while (gotBytes < wantedBytes) {
        const ssize_t got = pread(reader.fd, bytes + gotBytes, wantedBytes - gotBytes,
                                  offset + static_cast<off_t>(gotBytes));
        if (got < 0) {
            if (errno == EINTR && !stopWasRequested()) {
                continue;
            }
            error = errno == EINTR ? "interrupted"
                                   : "cannot read " + reader.path + ": " + std::strerror(errno);
            return false;
        }
        if (got == 0) {
            error = "cannot read " + reader.path + ": the file got shorter while it was read";
            return false;
        }
        gotBytes += static_cast<size_t>(got);
    }
    return true;
}

bool rewindRecordFile(RecordReader& reader, std::string& error) {
    if (!unchangedSinceOpened(reader, error)) {
        return false;
    }
    if (lseek(reader.fd, 0, SEEK_SET) != 0) {
        error = "cannot read " + reader.path + ": " + std::strerror(errno);
        return false;
    }
    reader.nextRecord = 0;
    reader.nextFileRecord = 0;
    return true;
}

bool keepRecords(RecordReader& reader, std::vector<uint64_t> kept, std::string& error) {
    // Bits beyond the file, or missing words, keep nothing.
    kept.resize(static_cast<size_t>((reader.fileRecordCount + 63) / 64), 0);
    if (reader.fileRecordCount % 64 != 0 && !kept.empty()) {
        kept.back() &= (uint64_t{1} << (reader.fileRecordCount % 64)) - 1;
    }
    int64_t keptCount = 0;
    for (const uint64_t word : kept) {
        keptCount += __builtin_popcountll(word);
    }
    reader.kept = std::move(kept);
    reader.recordCount = keptCount;
    return rewindRecordFile(reader, error);
}
