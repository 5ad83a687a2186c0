#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "output/interval_timer.h"
#include "output/tessellate.h"
#include "process.h"

namespace {

const Box3d kBox = {{-1.2, -1.2, -1.2}, {1.2, 1.2, 1.2}};

// Fake clocks: a counter that advances 250 ms per read at 1000 ticks per second, and failures.
int64_t gFakeTicks = 0;
bool fakeFrequency(int64_t* ticksPerSecond) {
    *ticksPerSecond = 1000;
    return true;
}
bool failingFrequency(int64_t*) {
    return false;
}
bool fakeCounter(int64_t* ticks) {
    gFakeTicks += 250;
    *ticks = gFakeTicks;
    return true;
}
bool failingCounter(int64_t*) {
    return false;
}
// Succeeds on the first read only, so the timer starts but cannot be read at the end.
int gReadsLeft = 0;
bool counterThatDies(int64_t* ticks) {
    if (gReadsLeft-- <= 0) {
        return false;
    }
    *ticks = 0;
    return true;
}

std::string runtimeErrorOf(const TickClock& clock) {
    try {
        IntervalTimer timer(clock);
        timer.elapsedSeconds();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

}  // namespace

TEST(IntervalTimer, MeasuresFromConstructionWithTheClocksRate) {
    const TickClock clock = {fakeFrequency, fakeCounter};
    gFakeTicks = 0;
    IntervalTimer timer(clock);
    EXPECT_EQ(timer.elapsedSeconds(), 0.25);
    EXPECT_EQ(timer.elapsedSeconds(), 0.5);  // same start, never smaller
    IntervalTimer real;
    const double first = real.elapsedSeconds();
    EXPECT_GE(first, 0.0);
    EXPECT_GE(real.elapsedSeconds(), first);
}

TEST(IntervalTimer, ClockFailuresRaiseTheirMessages) {
    EXPECT_EQ(runtimeErrorOf({failingFrequency, fakeCounter}), "timer is not supported");
    EXPECT_EQ(runtimeErrorOf({fakeFrequency, failingCounter}), "could not query counter");
    gReadsLeft = 1;
    EXPECT_EQ(runtimeErrorOf({fakeFrequency, counterThatDies}), "could not query counter");
}

TEST(BlockDecomposition, EveryPresetGivesItsGrid) {
    struct Row {
        int32_t resolution;
        double edge;
        int32_t perAxis;
    };
    const Row rows[] = {{64, 2.4, 1},
                        {192, 0.7999999999999999, 3},
                        {256, 0.6, 4},
                        {320, 0.48, 5},
                        {448, 0.34285714285714286, 7},
                        {576, 0.26666666666666666, 9},
                        {768, 0.19999999999999998, 12},
                        {1088, 0.1411764705882353, 17},
                        {1536, 0.09999999999999999, 24},
                        {2112, 0.07272727272727272, 33},
                        {2944, 0.05217391304347826, 46},
                        {4096, 0.0375, 64},
                        {100, 2.4, 1}};  // not a multiple of 64: rounded down
    for (const Row& row : rows) {
        const BlockGrid grid = decomposeBox(kBox, row.resolution);
        EXPECT_EQ(grid.blockEdge, row.edge) << row.resolution;
        EXPECT_EQ(grid.blocksX, row.perAxis) << row.resolution;
        EXPECT_EQ(grid.blocksY, row.perAxis) << row.resolution;
        EXPECT_EQ(grid.blocksZ, row.perAxis) << row.resolution;
        EXPECT_EQ(grid.totalBlocks, int64_t{row.perAxis} * row.perAxis * row.perAxis);
    }
}

TEST(BlockDecomposition, UnusualBoxesAndResolutions) {
    // Fewer than 64 (and negative) resolutions give no blocks at all.
    for (int32_t resolution : {63, 1, 0, -1, -63, -64, -640}) {
        EXPECT_EQ(decomposeBox(kBox, resolution).totalBlocks, 0) << resolution;
    }
    // Extents 2, 1 and 0.5: edge 1, the z block reaches beyond the box.
    const BlockGrid flat = decomposeBox({{0, 0, 0}, {2, 1, 0.5}}, 128);
    EXPECT_EQ(flat.blockEdge, 1.0);
    EXPECT_EQ(flat.blocksX, 2);
    EXPECT_EQ(flat.blocksY, 1);
    EXPECT_EQ(flat.blocksZ, 1);
    // 1 / (1 / 49) is 49.00000000000001 in doubles, so the longest side gets 50 blocks.
    const BlockGrid unit = decomposeBox({{0, 0, 0}, {1, 1, 1}}, 49 * 64);
    EXPECT_EQ(unit.blocksX, 50);
    EXPECT_EQ(unit.totalBlocks, 50 * 50 * 50);
}

TEST(BlockDecomposition, BlockMinimumComesFromItsOwnIndex) {
    const double edge = decomposeBox(kBox, 256).blockEdge;
    const Box3d second = blockBox(kBox, edge, 1, 2, 3);
    EXPECT_EQ(second.min.x, -1.2 + 1.0 * 0.6);
    EXPECT_EQ(second.min.y, -1.2 + 2.0 * 0.6);
    EXPECT_EQ(second.min.z, -1.2 + 3.0 * 0.6);
    EXPECT_EQ(second.max.x, second.min.x + 0.6);
    // The first block's maximum and the second's minimum differ at one of the three inner
    // boundaries with four blocks per axis.
    int differing = 0;
    for (int32_t i = 0; i < 3; ++i) {
        differing += blockBox(kBox, edge, i, 0, 0).max.x != blockBox(kBox, edge, i + 1, 0, 0).min.x;
    }
    EXPECT_EQ(differing, 1);
}

TEST(Tessellate, RunWithoutBlocksLeavesAnEmptyFile) {
    TempDir dir;
    const std::string name = dir.file("empty.v3c1");
    for (int32_t resolution : {0, 63, -64}) {
        const TessellationResult result = tessellate(kDefaultFieldParams, resolution, 0.5, name, kBox);
        EXPECT_EQ(result.status, TessellationStatus::kDone);
        EXPECT_EQ(result.triangles, 0);
        EXPECT_TRUE(fileExists(name));
        EXPECT_EQ(readFile(name), "");
    }
    // A box where the field never crosses the level: blocks are meshed, none yields a triangle.
    const TessellationResult far =
        tessellate(kDefaultFieldParams, 128, 0.5, name, {{5, 5, 5}, {6, 6, 6}});
    EXPECT_EQ(far.triangles, 0);
    EXPECT_EQ(readFile(name), "");
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"empty.v3c1"});
}

TEST(Tessellate, ClockFailuresLeaveNoFile) {
    TempDir dir;
    const std::string name = dir.file("out.v3c1");
    writeFile(name, "earlier");
    TessellationOptions options;
    const TickClock noFrequency = {failingFrequency, fakeCounter};
    options.clock = &noFrequency;
    EXPECT_THROW(tessellate(kDefaultFieldParams, 64, 0.5, name, kBox, options), std::runtime_error);
    const TickClock noCounter = {fakeFrequency, failingCounter};
    options.clock = &noCounter;
    EXPECT_THROW(tessellate(kDefaultFieldParams, 64, 0.5, name, kBox, options), std::runtime_error);
    EXPECT_EQ(readFile(name), "earlier");
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"out.v3c1"});
    // A counter that fails at the end: the file is already complete under its name.
    const TickClock dies = {fakeFrequency, counterThatDies};
    options.clock = &dies;
    gReadsLeft = 1;
    EXPECT_THROW(tessellate(kDefaultFieldParams, 64, 0.5, name, kBox, options), std::runtime_error);
    EXPECT_EQ(readFile(name).size() % 48, 0u);
    EXPECT_GT(readFile(name).size(), 48u * 30000);
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"out.v3c1"});
}

TEST(Tessellate, MissingFolderIsAnOpenFailure) {
    TempDir dir;
    const TessellationResult result =
        tessellate(kDefaultFieldParams, 64, 0.5, dir.file("no/such/folder.v3c1"), kBox);
    EXPECT_EQ(result.status, TessellationStatus::kOpenFailed);
    EXPECT_TRUE(listDir(dir.path).empty());
}
