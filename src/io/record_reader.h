// Streaming reader for the triangle file (see triangle_record.h): opens it, checks that it holds
// a whole number of records, and hands them out a chunk at a time in constant memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "io/triangle_record.h"

// Records per chunk: 64 Ki records, 3 MiB.
constexpr int64_t kRecordChunkCount = 65536;

// An open triangle file. `chunk` is allocated once when the file opens (kRecordChunkCount
// records, fewer for a smaller file) and reused by every read; the destructor closes the file.
struct RecordReader {
    std::string path;
    int fd = -1;
    int64_t fileBytes = 0;
    int64_t recordCount = 0;  // records the reads hand out: the file's, or those `kept` lets by
    int64_t nextRecord = 0;  // index of the first record the next read returns
    std::vector<TriangleRecord> chunk;
    // Empty, or one bit per record of the file (record i: bit i % 64 of word i / 64): then the
    // reads hand out only the records whose bit is set, in file order (see keepRecords).
    std::vector<uint64_t> kept;
    int64_t fileRecordCount = 0;
    int64_t nextFileRecord = 0;
    struct stat opened = {};  // the file when it was opened: its identity, size and times

    RecordReader() = default;
    ~RecordReader();
    RecordReader(const RecordReader&) = delete;
    RecordReader& operator=(const RecordReader&) = delete;
};

// Opens `path` for reading. Fails, with one line in `error` naming the file, when it is missing or
// unreadable, is not a regular file, or its size is not a multiple of 48 bytes.
bool openRecordFile(const std::string& path, RecordReader& reader, std::string& error);

// openRecordFile on a copy of the open descriptor `fd` (a scratch file of records, say), read
// from its start and named `path` in messages; `fd` stays the caller's.
bool openRecordDescriptor(int fd, const std::string& path, RecordReader& reader,
                          std::string& error);

// Reads the next records into reader.chunk and returns how many (at most chunk.size(); 0 once all
// records were read), or -1 with `error` set when the read fails, or when the file got shorter
// or, at the end of the pass, changed (see rewindRecordFile).
int64_t readRecordChunk(RecordReader& reader, std::string& error);

// Reads the `count` records from the file's record `firstRecord` on into reader.chunk (count at
// most chunk.size(); a reader that keeps every record, see keepRecords), for a pass that reads
// only parts of the file; the next readRecordChunk reads on where it would have. False with `error`
// set as readRecordChunk's when the read fails or the file is shorter.
bool readRecordsAt(RecordReader& reader, int64_t firstRecord, int64_t count, std::string& error);

// Starts the next readRecordChunk at the first record again. Fails with "PATH changed while it
// was read" when the open file's device, inode, size, modification or change time is not what it
// was when opened: a pass would read other records than the last (a rewrite in place, in the same
// order and size, included, when the file system's clock moved on in between).
bool rewindRecordFile(RecordReader& reader, std::string& error);

// From now on the reads of `reader` hand out only the records whose bit is set in `kept` (one bit
// per record of the file, as RecordReader::kept), and recordCount counts them; the next read
// starts at the first record again. An edit that drops triangles hands its result on this way, so
// every later pass reads the edited file as if it were the whole file.
bool keepRecords(RecordReader& reader, std::vector<uint64_t> kept, std::string& error);
