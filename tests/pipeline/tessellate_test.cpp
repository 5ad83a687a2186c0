#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/front_end.h"
#include "pipeline/tessellate.h"
#include "support/process.h"

namespace {

const Box3d kBox = kRunBox;

}  // namespace

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

TEST(Tessellate, MissingFolderIsAnOpenFailure) {
    TempDir dir;
    const TessellationResult result =
        tessellate(kDefaultFieldParams, 64, 0.5, dir.file("no/such/folder.v3c1"), kBox);
    EXPECT_EQ(result.status, TessellationStatus::kOpenFailed);
    EXPECT_TRUE(listDir(dir.path).empty());
}

TEST(Tessellate, FileIsTheSameForAnyThreadCount) {
    TempDir dir;
    std::string oneThread;
    // 64 blocks: more than the pool's slots up to three threads (18 a thread), so slots and their
    // record arrays are reused while other blocks are in flight.
    for (int threads : {1, 2, 3, 5}) {
        TessellationOptions options;
        options.threadCount = threads;
        const std::string name = dir.file("out" + std::to_string(threads) + ".v3c1");
        const TessellationResult result = tessellate(kDefaultFieldParams, 256, 0.5, name, kBox, options);
        ASSERT_EQ(result.status, TessellationStatus::kDone);
        const std::string bytes = readFile(name);
        EXPECT_EQ(bytes.size(), static_cast<size_t>(result.triangles) * 48);
        if (threads == 1) {
            oneThread = bytes;
        } else {
            EXPECT_TRUE(bytes == oneThread) << threads << " threads";
        }
    }
}

TEST(Tessellate, StopRaisedMidRunLeavesNoFileAndReportsStayInOrder) {
    TempDir dir;
    for (int threads : {1, 2}) {
        std::atomic<bool> stop{false};
        std::vector<int64_t> reported;
        TessellationOptions options;
        options.threadCount = threads;
        options.stopRequested = &stop;
        // Raised from the progress report itself: the writer must drop what is still queued.
        options.onProgress = [&](const TessellationProgress& progress) {
            reported.push_back(progress.blocksDone);
            if (progress.blocksDone == 8) {
                stop.store(true);
            }
        };
        const TessellationResult result =
            tessellate(kDefaultFieldParams, 192, 0.5, dir.file("stopped.v3c1"), kBox, options);
        EXPECT_EQ(result.status, TessellationStatus::kInterrupted) << threads << " threads";
        EXPECT_EQ(reported, (std::vector<int64_t>{0, 4, 8})) << threads << " threads";
        EXPECT_TRUE(listDir(dir.path).empty()) << threads << " threads";
    }
}
