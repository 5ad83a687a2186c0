// The output must not depend on how the work is spread: column reuse and any thread count give
// the bytes of the straightforward one-thread evaluation.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <sched.h>

#include "mesh/block_mesher.h"
#include "output/tessellate.h"
#include "process.h"

namespace {

const Box3d kBox = {{-1.2, -1.2, -1.2}, {1.2, 1.2, 1.2}};

// Blocks of presets 1 to 3, and blocks whose lattice starts at exactly 0 on every axis.
std::vector<Box3d> sampleBlocks() {
    std::vector<Box3d> blocks;
    for (int32_t resolution : {192, 256, 320}) {
        const BlockGrid grid = decomposeBox(kBox, resolution);
        const int32_t middle = grid.blocksX / 2;
        blocks.push_back(blockBox(kBox, grid.blockEdge, middle, middle, middle));
        blocks.push_back(blockBox(kBox, grid.blockEdge, 0, middle, 1));
    }
    blocks.push_back({{0.0, 0.0, 0.0}, {0.6, 0.6, 0.6}});
    blocks.push_back({{-0.6, 0.0, -0.6}, {0.0, 0.6, 0.0}});
    return blocks;
}

void pinToOneCpu() {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    sched_setaffinity(0, sizeof one, &one);
}

}  // namespace

TEST(ColumnReuse, SamplesEqualTheStraightforwardEvaluation) {
    static BlockBuffers reference;
    static BlockBuffers columns;
    for (const Box3d& block : sampleBlocks()) {
        sampleBlockReference(kDefaultFieldParams, block, reference.samples);
        sampleBlockColumns(kDefaultFieldParams, block, columns.samples);
        ASSERT_EQ(std::memcmp(reference.samples, columns.samples, kBlockSampleCount * sizeof(double)),
                  0)
            << "block at " << block.min.x << " " << block.min.y << " " << block.min.z;
    }
}

TEST(ParallelDriver, FileIsTheSameForAnyThreadCount) {
    TempDir dir;
    std::string oneThread;
    for (int threads : {1, 2, 3, 5}) {
        TessellationOptions options;
        options.threadCount = threads;
        const std::string name = dir.file("out" + std::to_string(threads) + ".v3c1");
        const TessellationResult result = tessellate(kDefaultFieldParams, 192, 0.5, name, kBox, options);
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

TEST(ParallelDriver, ExecutablePrintsTheSameOnOneCpuAndOnAll) {
    TempDir pinned;
    TempDir all;
    const ProcessResult one = runProcess(QUARNEL_EXE, {"2"}, pinned.path, pinToOneCpu);
    const ProcessResult many = runProcess(QUARNEL_EXE, {"2"}, all.path);
    ASSERT_EQ(one.exitStatus, 0);
    ASSERT_EQ(many.exitStatus, 0);
    // Everything but the elapsed seconds of the summary.
    const std::string oneText = one.out.substr(0, one.out.rfind(", "));
    EXPECT_EQ(oneText, many.out.substr(0, many.out.rfind(", ")));
    EXPECT_TRUE(readFile(pinned.file("quarnel_0.97m.v3c1")) == readFile(all.file("quarnel_0.97m.v3c1")));
}
