#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "app/front_end.h"
#include "support/process.h"

namespace {

const std::string kBanner =
    "Quarnel 1.0\n"
    "Power-8 triplex fractal to triangle mesh, by marching cubes\n"
    "\n";

const std::string kUsage =
    "Usage: Quarnel <resolution>\n"
    "\n"
    "Resolution:\n"
    "   0:   0.04M triangles\n"
    "   1:   0.51M triangles\n"
    "   2:   0.97M triangles\n"
    "   3:   1.59M triangles\n"
    "   4:   3.31M triangles\n"
    "   5:   5.71M triangles\n"
    "   6:  10.61M triangles\n"
    "   7:  22.28M triangles\n"
    "   8:  46.12M triangles\n"
    "   9:  89.79M triangles\n"
    "  10: 179.11M triangles\n"
    "  11: 354.26M triangles\n"
    "\n"
    "Output file format: array of struct {Vec3f vertices[3]; Vec3f color;}\n";

const char kFormatLine[] = "Output file format: array of struct {Vec3f vertices[3]; Vec3f color;}\n";

}  // namespace

TEST(FrontEnd, WrongArgumentCountPrintsUsageOnly) {
    const std::vector<std::vector<std::string>> argumentLists = {{}, {"1", "2"}, {"1", "2", "3"}};
    for (const auto& args : argumentLists) {
        const ProcessResult run = runProcess(QUARNEL_EXE, args);
        EXPECT_EQ(run.out, kBanner + kUsage) << args.size() << " arguments";
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exitStatus, 1);
    }
}

TEST(FrontEnd, InvalidPresetPrintsErrorThenUsage) {
    // 4294967296 and -4294967295 would wrap to 0 and 1 in an unsigned 32-bit comparison.
    const std::vector<std::string> rejected = {
        "12", "-1", "abc", "", "+", "-", " ", "4294967296", "-4294967295", "4294967307",
        "99999999999999999999", "-99999999999999999999", "2147483648"};
    for (const std::string& argument : rejected) {
        const ProcessResult run = runProcess(QUARNEL_EXE, {argument});
        EXPECT_EQ(run.out, kBanner + "Error: invalid resolution!\n\n" + kUsage)
            << "argument '" << argument << "'";
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(parsePresetIndex(argument.c_str()), -1) << "argument '" << argument << "'";
    }
}

TEST(FrontEnd, AcceptsWhatBase10ConversionReads) {
    const std::vector<std::pair<std::string, int>> accepted = {
        {"0", 0},  {"11", 11}, {"-0", 0},  {"+3", 3},   {"5abc", 5},
        {"0x3", 0}, {" 7", 7},  {"\t 2", 2}, {"007", 7}, {"1.9", 1}};
    for (const auto& [argument, index] : accepted) {
        EXPECT_EQ(parsePresetIndex(argument.c_str()), index) << "argument '" << argument << "'";
    }
}

TEST(FrontEnd, HeaderNamesPresetAndFileBeforeAnyWork) {
    // A folder under the output name stops the run right after the header, so even the large
    // presets are checked without meshing anything.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"0", "Resolution 0: 0.04M triangles\nOutput file: quarnel_0.04m.v3c1\n"},
        {"+3", "Resolution 3: 1.59M triangles\nOutput file: quarnel_1.59m.v3c1\n"},
        {"5abc", "Resolution 5: 5.71M triangles\nOutput file: quarnel_5.71m.v3c1\n"},
        {" 7", "Resolution 7: 22.28M triangles\nOutput file: quarnel_22.28m.v3c1\n"},
        {"11", "Resolution 11: 354.26M triangles\nOutput file: quarnel_354.26m.v3c1\n"},
    };
    for (const auto& [argument, header] : cases) {
        TempDir dir;
        const std::string name = header.substr(header.find("quarnel_"));
        const std::string outputName = name.substr(0, name.size() - 1);
        ASSERT_EQ(mkdir(dir.file(outputName).c_str(), 0755), 0);
        const ProcessResult run = runProcess(QUARNEL_EXE, {argument}, dir.path);
        EXPECT_EQ(run.out, kBanner + header + kFormatLine + "\nError: could not open file! Is a directory\n")
            << "argument '" << argument << "'";
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(listDir(dir.path), std::vector<std::string>{outputName});
    }
}

TEST(FrontEnd, PresetTableHoldsItsSingleValues) {
    const uint32_t expectedBits[kPresetCount] = {
        0x3D23D70A, 0x3F028F5C, 0x3F7851EC, 0x3FCB851F, 0x4053D70A, 0x40B6B852,
        0x4129C28F, 0x41B23D71, 0x42387AE1, 0x42B3947B, 0x43331C29, 0x43B12148};
    const int32_t expectedResolution[kPresetCount] = {64,  192, 256,  320,  448,  576,
                                                      768, 1088, 1536, 2112, 2944, 4096};
    for (int i = 0; i < kPresetCount; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &kResolutionPresets[i].millionTriangles, 4);
        EXPECT_EQ(bits, expectedBits[i]) << "preset " << i;
        EXPECT_EQ(kResolutionPresets[i].resolution, expectedResolution[i]) << "preset " << i;
    }
}
