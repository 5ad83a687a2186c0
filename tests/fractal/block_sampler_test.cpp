// Every sampling path must give the marching cubes the straightforward evaluation's input.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/front_end.h"
#include "fractal/block_sampler.h"
#include "mesh/block_buffers.h"
#include "mesh/crossing_pins.h"
#include "mesh/cube_walk.h"
#include "pipeline/tessellate.h"
#include "support/reference_paths.h"
#include "support/vector_level_test.h"

namespace {

const Box3d kBox = kRunBox;

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

class VectorSampling : public VectorLevelTest {};

}  // namespace

QUARNEL_FOR_EVERY_VECTOR_LEVEL(VectorSampling);

TEST(BlockSampler, LatticeIsARunningSum) {
    double c[64];
    computeLatticeAxis(-1.2, 1.2, c);
    EXPECT_EQ(c[0], -1.2);
    EXPECT_EQ(c[1], -1.1619047619047618);
    EXPECT_EQ(c[32], 0.01904761904761907);  // min + 32 * step would give ...898
    EXPECT_EQ(c[63], 1.2000000000000002);   // not 1.2
}

TEST(BlockSampler, ColumnsEqualTheStraightforwardEvaluation) {
    static BlockBuffers reference;
    static BlockBuffers columns;
    // The field's edge cases too: a block whose lattice holds (0, 1, 0), whose first iterate has
    // modulus exactly 2 (the escape test is strict), one step only, and a bailout below that.
    const std::vector<Box3d> edgeBlocks = {{{0.0, 1.0, 0.0}, {0.63, 1.63, 0.63}},
                                           {{-0.6, 0.0, -0.6}, {0.0, 0.6, 0.0}}};
    const std::pair<FieldParams, std::vector<Box3d>> cases[] = {
        {kDefaultFieldParams, sampleBlocks()},
        {{8.0, 2.0, 2}, edgeBlocks},
        {{8.0, std::nextafter(2.0, 0.0), 2}, edgeBlocks},
        {{8.0, 16.0, 1}, edgeBlocks}};
    for (const auto& [params, blocks] : cases) {
        for (const Box3d& block : blocks) {
            sampleBlockReference(params, block, reference.samples);
            sampleBlockColumns(params, block, columns.samples);
            ASSERT_EQ(std::memcmp(reference.samples, columns.samples,
                                  kBlockSampleCount * sizeof(double)),
                      0)
                << "bailout " << params.bailoutRadius << ", " << params.maxIterations
                << " steps, block at " << block.min.x << " " << block.min.y << " " << block.min.z;
        }
    }
}

TEST_P(VectorSampling, RecordsEqualTheStraightforwardPath) {
    // Two blocks certified whole, one of each class: a corner block of preset 8 and a block
    // around the origin.
    std::vector<Box3d> blocks = {kBox,
                                 {{0.0, 0.0, 0.0}, {0.6, 0.6, 0.6}},
                                 {{0.0, -0.6, 0.0}, {0.48, -0.12, 0.48}},
                                 blockBox(kBox, decomposeBox(kBox, 1536).blockEdge, 0, 0, 0),
                                 {{-0.05, -0.05, -0.05}, {0.05, 0.05, 0.05}}};
    for (int32_t resolution : {192, 256, 320}) {
        const BlockGrid grid = decomposeBox(kBox, resolution);
        const int32_t middle = grid.blocksX / 2;
        blocks.push_back(blockBox(kBox, grid.blockEdge, middle, middle, middle));
        blocks.push_back(blockBox(kBox, grid.blockEdge, middle - 1, middle, 0));
    }
    static BlockBuffers reference;
    static BlockBuffers fast;
    // The run's parameters on every block; one and two steps (the iteration's edge cases the
    // classifier takes) on the blocks through the origin and the axis.
    std::vector<std::pair<FieldParams, Box3d>> cases;
    for (const Box3d& block : blocks) {
        cases.push_back({kDefaultFieldParams, block});
    }
    for (const int32_t steps : {1, 2}) {
        cases.push_back({{8.0, 16.0, steps}, blocks[1]});
        cases.push_back({{8.0, 16.0, steps}, blocks[2]});
    }
    for (const auto& [params, block] : cases) {
        sampleBlockReference(params, block, reference.samples);
        const int32_t expected = meshEveryCube(block, reference.samples, 0.5, reference.records);
        {
            const SimdLevel level = GetParam();
            const FastSamplingStats stats =
                sampleBlockFast(params, block, 0.5, vectorKernels(level), fast.samples, fast.highs,
                                fast.classMasks);
            // Every end of a crossed edge holds a bound around fieldValue, its upper end by rank.
            int32_t rank = 0;
            for (int row = 0; row < static_cast<int>(kBlockRowCount); ++row) {
                for (uint64_t ends = surfaceMask(fast.classMasks, row % 64, row / 64); ends != 0;
                     ends &= ends - 1, ++rank) {
                    const int p = 64 * row + __builtin_ctzll(ends);
                    ASSERT_TRUE(fast.samples[p] <= reference.samples[p] &&
                                reference.samples[p] <= fast.highs[rank])
                        << "sample " << p << " of the block at " << block.min.x;
                }
            }
            pinCrossings(params, block, 0.5, fast.samples, fast.highs, fast.classMasks);
            const int32_t produced =
                meshSampledBlock(block, fast.samples, fast.classMasks, 0.5, fast.records);
            ASSERT_EQ(produced, expected) << "block at " << block.min.x << " " << block.min.y;
            EXPECT_EQ(std::memcmp(fast.records, reference.records,
                                  static_cast<size_t>(expected) * sizeof(TriangleRecord)),
                      0)
                << "block at " << block.min.x << " " << block.min.y << " " << block.min.z;
            EXPECT_LT(stats.exact, static_cast<int32_t>(kBlockSampleCount / 4));
            // The class masks are those of the exact values.
            computeClassMasks(reference.samples, 0.5, reference.classMasks);
            for (size_t row = 0; row < kBlockRowCount; ++row) {
                ASSERT_EQ(fast.classMasks[row], reference.classMasks[row]) << "row " << row;
            }
        }
    }
}
