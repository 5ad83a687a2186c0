#include <gtest/gtest.h>

#include <string>

#include "io/atomic_output.h"
#include "support/process.h"

TEST(AtomicOutput, NothingIsVisibleBeforeTheCommitAndAllOfItAfter) {
    TempDir dir;
    // The longest legal name: the temporary must never add to it past the 255-byte limit.
    const std::string path = dir.file(std::string(255, 'n'));
    writeFile(path, "earlier");
    {
        AtomicOutput output;
        ASSERT_TRUE(openAtomicOutput(path, output)) << describeOutputFailure(output);
        writeAtomicOutput(output, "abc", 3);
        writeAtomicOutput(output, std::string(3 << 20, 'x').data(), 3 << 20);
        EXPECT_EQ(listDir(dir.path), std::vector<std::string>{std::string(255, 'n')});
        EXPECT_EQ(readFile(path), "earlier");
        ASSERT_TRUE(commitAtomicOutput(output)) << describeOutputFailure(output);
    }
    EXPECT_EQ(readFile(path), "abc" + std::string(3 << 20, 'x'));
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{std::string(255, 'n')});
    {
        AtomicOutput abandoned;
        ASSERT_TRUE(openAtomicOutput(path, abandoned));
        writeAtomicOutput(abandoned, "partial", 7);
    }
    EXPECT_EQ(readFile(path), "abc" + std::string(3 << 20, 'x'));
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{std::string(255, 'n')});
}

TEST(AtomicOutput, OpenFailuresKeepTheirReason) {
    TempDir dir;
    AtomicOutput missing;
    EXPECT_FALSE(openAtomicOutput(dir.file("gone/out.stl"), missing));
    EXPECT_EQ(describeOutputFailure(missing),
              "cannot create " + dir.file("gone/out.stl") + ": No such file or directory");
    AtomicOutput folder;
    EXPECT_FALSE(openAtomicOutput(dir.path, folder));
    EXPECT_EQ(describeOutputFailure(folder), "cannot write " + dir.path + ": it is a folder");
}

TEST(AtomicOutput, OutputsPastTheFlushBehindStepKeepEveryByteAndTheirMends) {
    TempDir dir;
    // Writes of odd sizes, buffered and direct, across two 64 MiB write-backs.
    std::string expected;
    {
        AtomicOutput output;
        ASSERT_TRUE(openAtomicOutput(dir.file("long.bin"), output));
        for (int n = 0; expected.size() < (150u << 20); ++n) {
            const std::string chunk(n % 3 == 0 ? 4099 : (5 << 20) + 7,
                                    static_cast<char>('a' + n % 26));
            writeAtomicOutput(output, chunk.data(), chunk.size());
            expected += chunk;
        }
        // Mended in place: in pages written back and dropped, and at the end, still buffered.
        for (const size_t at : {size_t{5}, size_t{70} << 20, expected.size() - 3}) {
            rewriteAtomicOutput(output, static_cast<long long>(at), "MND", 3);
            expected.replace(at, 3, "MND");
        }
        ASSERT_TRUE(commitAtomicOutput(output)) << describeOutputFailure(output);
    }
    EXPECT_TRUE(readFile(dir.file("long.bin")) == expected);
}
