// The zip package behind 3MF, read back by an independent reader (Info-ZIP's unzip): members
// of one and of several deflate segments, in memory and in scratch files, empty and beyond the
// 32-bit sizes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <unistd.h>

#include "io/atomic_output.h"
#include "quarnel_mesh/formats/zip_package.h"
#include "quarnel_mesh/util/scratch_file.h"
#include "support/process.h"

TEST(ZipPackage, EveryKindOfMemberReadsBackWithUnzip) {
    const std::string unzip = "/usr/bin/unzip";
    if (access(unzip.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "unzip is not installed (make test installs it)";
    }
    TempDir dir;
    const std::string path = dir.file("package.zip");
    AtomicOutput output;
    ASSERT_TRUE(openAtomicOutput(path, output));
    // Just past 4 GiB of spaces, which deflate to 4 MB in seconds: its size needs the ZIP64 fields.
    const std::string block(1 << 20, ' ');
    const uint64_t largeBytes = (uint64_t{1} << 32) + (1 << 20);
    ScratchFile largeFile;
    ASSERT_TRUE(openScratchFile(output, largeFile));
    DeflateSegment large;
    ASSERT_TRUE(startDeflateSegment(large, &largeFile));
    for (uint64_t fed = 0; fed < largeBytes; fed += block.size()) {
        deflateBytes(large, block.data(), std::min<uint64_t>(block.size(), largeBytes - fed));
    }
    endDeflateSegment(large, true);
    // Three segments of one member, each begun afresh: the same bytes as one.
    const std::string parts[3] = {"first, ", "", "and then the rest of it\n"};
    DeflateSegment split[3];
    for (int s = 0; s < 3; ++s) {
        ASSERT_TRUE(startDeflateSegment(split[s], nullptr));
        deflateBytes(split[s], parts[s].data(), parts[s].size());
        endDeflateSegment(split[s], s == 2);
    }
    DeflateSegment empty;
    ASSERT_TRUE(startDeflateSegment(empty, nullptr));
    endDeflateSegment(empty, true);
    std::string error;
    ASSERT_TRUE(writeZipPackage({{"empty", {&empty}},
                                 {"dir/split.txt", {&split[0], &split[1], &split[2]}},
                                 {"large.model", {&large}},
                                 {"after.txt", {&split[2]}}},
                                output, {}, error))
        << error;
    ASSERT_TRUE(commitAtomicOutput(output));

    const ProcessResult test = runProcess(unzip, {"-t", path});
    EXPECT_EQ(test.exitStatus, 0) << test.out << test.err;
    EXPECT_NE(test.out.find("No errors detected in compressed data"), std::string::npos)
        << test.out;
    const ProcessResult list = runProcess(unzip, {"-l", path});
    EXPECT_NE(list.out.find("4296015872"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("4 files"), std::string::npos) << list.out;
    for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
             {"empty", ""},
             {"dir/split.txt", "first, and then the rest of it\n"},
             {"after.txt", "and then the rest of it\n"}}) {
        const ProcessResult member = runProcess(unzip, {"-p", path, name});
        EXPECT_EQ(member.exitStatus, 0) << name << member.err;
        EXPECT_EQ(member.out, text) << name;
    }
}
