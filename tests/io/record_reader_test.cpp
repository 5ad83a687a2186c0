// The record reader's filter: only the kept records, in file order, across chunks and rewinds.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/record_reader.h"
#include "support/mesh_test_util.h"

namespace {

TEST(RecordReader, KeptRecordsAloneAreReadInFileOrderAfterEveryRewind) {
    TempDir dir;
    std::vector<TriangleRecord> records;
    for (int i = 0; i < 200; ++i) {
        const float x = static_cast<float>(i);
        records.push_back(makeRecord({x, 0, 0}, {x, 1, 0}, {x, 0, 1}));
    }
    const std::string path = writeMeshFile(dir, "r.v3c1", records);
    RecordReader reader;
    std::string error;
    ASSERT_TRUE(openRecordFile(path, reader, error)) << error;
    reader.chunk.resize(7);  // chunks of 7: some hold no kept record at all
    // Every third record of the first 130, and bits beyond the file that must keep nothing.
    std::vector<uint64_t> kept(5, 0);
    kept[4] = ~uint64_t{0};
    for (int i = 0; i < 130; i += 3) {
        kept[static_cast<size_t>(i / 64)] |= uint64_t{1} << (i % 64);
    }
    ASSERT_TRUE(keepRecords(reader, kept, error)) << error;
    EXPECT_EQ(reader.recordCount, 44);
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<int> seen;
        for (int64_t count; (count = readRecordChunk(reader, error)) > 0;) {
            for (int64_t i = 0; i < count; ++i) {
                seen.push_back(static_cast<int>(reader.chunk[static_cast<size_t>(i)].vertices[0].x));
            }
        }
        ASSERT_EQ(seen.size(), 44u);
        for (size_t k = 0; k < seen.size(); ++k) {
            EXPECT_EQ(seen[k], 3 * static_cast<int>(k));
        }
        EXPECT_EQ(reader.nextRecord, 44);
        ASSERT_TRUE(rewindRecordFile(reader, error)) << error;
    }
    // Nothing kept: the first read is the end.
    ASSERT_TRUE(keepRecords(reader, {}, error)) << error;
    EXPECT_EQ(reader.recordCount, 0);
    EXPECT_EQ(readRecordChunk(reader, error), 0);
}

TEST(RecordReader, APassOverAFileThatChangedSinceItOpenedIsRefused) {
    TempDir dir;
    const std::string path = dir.file("r.v3c1");
    std::vector<TriangleRecord> records(10, makeRecord({1, 0, 0}, {0, 1, 0}, {0, 0, 1}));
    std::vector<TriangleRecord> tripled = records;
    tripled[4].vertices[0].x = 3;
    // Each change is made after a first pass, or in the middle of one (chunks of 3 records).
    const std::vector<std::pair<const char*, std::string>> changes = {
        {"rewritten in place, same size", recordBytes(tripled)},
        {"appended to", recordBytes(records) + recordBytes(records).substr(0, 48)},
        {"cut short", recordBytes(records).substr(0, 5 * 48)},
    };
    for (const auto& [label, bytes] : changes) {
        for (const bool midPass : {false, true}) {
            writeFile(path, recordBytes(records));
            // Written long ago: the change moves the modification time on any clock.
            const timespec longAgo[2] = {{1000, 0}, {1000, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), longAgo, 0), 0);
            RecordReader reader;
            std::string error;
            ASSERT_TRUE(openRecordFile(path, reader, error)) << error;
            reader.chunk.resize(3);
            ASSERT_EQ(readRecordChunk(reader, error), 3);
            while (!midPass && readRecordChunk(reader, error) > 0) {
            }
            // In place, as dd conv=notrunc does.
            const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
            ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
            ASSERT_EQ(ftruncate(fd, static_cast<off_t>(bytes.size())), 0);
            close(fd);
            int64_t count = 0;
            while (midPass && (count = readRecordChunk(reader, error)) > 0) {
            }
            const bool refused = midPass ? count < 0 : !rewindRecordFile(reader, error);
            EXPECT_TRUE(refused) << label << midPass;
            EXPECT_EQ(error, midPass && bytes.size() < 480
                                 ? "cannot read " + path + ": the file got shorter while it was read"
                                 : path + " changed while it was read")
                << label << midPass;
        }
    }
}

}  // namespace
