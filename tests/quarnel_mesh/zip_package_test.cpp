// The zip package behind 3MF, read back by independent readers (Info-ZIP's unzip, and libzip,
// which lib3mf reads with, asked to check that every local header agrees with the directory):
// members of one and of several deflate segments, in memory and in scratch files, empty, beyond
// the 32-bit sizes and beyond the 16-bit count.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

#include "io/atomic_output.h"
#include "quarnel_mesh/formats/zip_package.h"
#include "quarnel_mesh/util/scratch_file.h"
#include "support/mesh_test_util.h"
#include "support/process.h"

namespace {

// libzip, found at run time: no headers are installed with it. Null when it is missing.
struct Libzip {
    void* library = dlopen("libzip.so.4", RTLD_NOW);
    template <typename Function>
    Function get(const char* name) const {
        return reinterpret_cast<Function>(dlsym(library, name));
    }
    ~Libzip() {
        if (library != nullptr) {
            dlclose(library);
        }
    }
};

constexpr int kZipReadOnlyCheckingConsistency = 16 | 4;  // ZIP_RDONLY | ZIP_CHECKCONS

// What libzip reads of `member` in `path`, or "libzip: error N" when it refuses the package.
std::string readWithLibzip(const Libzip& libzip, const std::string& path, const char* member,
                           int64_t& entryCount) {
    int error = 0;
    void* archive = libzip.get<void* (*)(const char*, int, int*)>("zip_open")(
        path.c_str(), kZipReadOnlyCheckingConsistency, &error);
    if (archive == nullptr) {
        return "libzip: error " + std::to_string(error);
    }
    entryCount = libzip.get<int64_t (*)(void*, uint32_t)>("zip_get_num_entries")(archive, 0);
    void* file = libzip.get<void* (*)(void*, const char*, uint32_t)>("zip_fopen")(archive, member, 0);
    std::string text(256, '\0');
    const int64_t got = file == nullptr ? -1
                                        : libzip.get<int64_t (*)(void*, void*, uint64_t)>(
                                              "zip_fread")(file, &text[0], text.size());
    text.resize(got < 0 ? 0 : static_cast<size_t>(got));
    if (file != nullptr) {
        libzip.get<int (*)(void*)>("zip_fclose")(file);
    }
    libzip.get<void (*)(void*)>("zip_discard")(archive);
    return text;
}

uint64_t uint64At(const std::string& bytes, size_t offset) {
    return uint32At(bytes, offset) | (uint64_t{uint32At(bytes, offset + 4)} << 32);
}

}  // namespace

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
    std::vector<ZipMember> members = {{"empty", {&empty}},
                                      {"dir/split.txt", {&split[0], &split[1], &split[2]}},
                                      {"large.model", {&large}},
                                      {"after.txt", {&split[2]}}};
    // Past 65535 members the count needs the ZIP64 end record, and its locator.
    for (int m = 0; m < 65536; ++m) {
        members.push_back({"many/" + std::to_string(m), {&empty}});
    }
    ASSERT_TRUE(writeZipPackage(members, output, {}, error)) << error;
    ASSERT_TRUE(commitAtomicOutput(output));

    // The fields themselves: the locator points at the ZIP64 end record, which counts every
    // member; the large member's local header gives both sizes, uncompressed first.
    const std::string bytes = readFile(path);
    const size_t locator = bytes.size() - 22 - 20;
    ASSERT_EQ(uint32At(bytes, locator), 0x07064B50u);
    const uint64_t record = uint64At(bytes, locator + 8);
    EXPECT_EQ(record, locator - 56);
    EXPECT_EQ(uint32At(bytes, static_cast<size_t>(record)), 0x06064B50u);
    EXPECT_EQ(uint64At(bytes, static_cast<size_t>(record) + 32), 65540u);
    const size_t local = bytes.find("large.model") - 30;
    ASSERT_EQ(uint32At(bytes, local), 0x04034B50u);
    EXPECT_EQ(uint32At(bytes, local + 18), 0xFFFFFFFFu);  // compressed, then uncompressed
    EXPECT_EQ(uint32At(bytes, local + 22), 0xFFFFFFFFu);
    EXPECT_EQ(bytes.substr(local + 41, 4), bytesFromHex("01 00 10 00"));
    EXPECT_EQ(uint64At(bytes, local + 45), largeBytes);
    EXPECT_EQ(uint64At(bytes, local + 53), large.outBytes);

    const Libzip libzip;
    if (libzip.library != nullptr) {
        int64_t entryCount = 0;
        EXPECT_EQ(readWithLibzip(libzip, path, "dir/split.txt", entryCount),
                  "first, and then the rest of it\n");
        EXPECT_EQ(entryCount, 65540);
    }

    const ProcessResult test = runProcess(unzip, {"-t", path});
    EXPECT_EQ(test.exitStatus, 0) << test.out << test.err;
    EXPECT_NE(test.out.find("No errors detected in compressed data"), std::string::npos)
        << test.out.substr(0, 1000);
    const ProcessResult list = runProcess(unzip, {"-l", path});
    EXPECT_NE(list.out.find("4296015872"), std::string::npos) << list.out.substr(0, 1000);
    EXPECT_NE(list.out.find("65540 files"), std::string::npos) << list.out.substr(0, 1000);
    for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
             {"empty", ""},
             {"dir/split.txt", "first, and then the rest of it\n"},
             {"after.txt", "and then the rest of it\n"}}) {
        const ProcessResult member = runProcess(unzip, {"-p", path, name});
        EXPECT_EQ(member.exitStatus, 0) << name << member.err;
        EXPECT_EQ(member.out, text) << name;
    }
}
