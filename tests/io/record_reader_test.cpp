// The record reader's filter: only the kept records, in file order, across chunks and rewinds.
#include <gtest/gtest.h>

#include <vector>

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

}  // namespace
