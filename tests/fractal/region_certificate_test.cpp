// Region certificates must hold for every lattice point of their box. Checked against the
// straightforward evaluation over every box of the octree, at every depth, of every block of
// presets 0 to 2, and the records of those blocks against the every-cube walk.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/front_end.h"
#include "fractal/block_sampler.h"
#include "mesh/block_buffers.h"
#include "mesh/crossing_pins.h"
#include "mesh/cube_walk.h"
#include "pipeline/tessellate.h"
#include "support/reference_paths.h"

TEST(BlockSampler, CertifiedBoxesAndTheirBlocksAgreeWithTheStraightforwardEvaluation) {
    static BlockBuffers reference;
    static BlockBuffers fast;
    const std::vector<SimdLevel> levels = vectorLevelsOfThisCpu();
    if (levels.empty()) {
        GTEST_SKIP() << "this CPU has no vector level";
    }
    long long boxes = 0;
    long long certified = 0;
    long long certifiedSamples = 0;
    for (int preset = 0; preset <= 2; ++preset) {
        const BlockGrid grid = decomposeBox(kRunBox, kResolutionPresets[preset].resolution);
        for (int64_t b = 0; b < grid.totalBlocks; ++b) {
            const Box3d block = blockBoxAt(kRunBox, grid, b);
            sampleBlockReference(kDefaultFieldParams, block, reference.samples);
            const int32_t expected =
                meshEveryCube(block, reference.samples, 0.5, reference.records);
            for (SimdLevel level : levels) {
                CertificateCheck check;
                checkBlockCertificates(level, block, reference.samples, check);
                ASSERT_EQ(check.wrong, 0) << simdLevelName(level) << ", preset " << preset
                                          << ", block " << b << ": " << check.firstWrong;
                boxes += check.boxes;
                certified += check.certified;
                certifiedSamples += check.certifiedSamples;
                sampleBlockFast(kDefaultFieldParams, block, 0.5, level, fast.samples, fast.highs,
                                fast.classMasks);
                pinCrossings(kDefaultFieldParams, block, 0.5, fast.samples, fast.highs,
                             fast.classMasks);
                ASSERT_EQ(meshSampledBlock(block, fast.samples, fast.classMasks, 0.5, fast.records),
                          expected);
                EXPECT_EQ(std::memcmp(fast.records, reference.records,
                                      static_cast<size_t>(expected) * sizeof(TriangleRecord)),
                          0)
                    << simdLevelName(level) << ", preset " << preset << ", block " << b;
            }
        }
    }
    // Not vacuous: most boxes, and over all depths a third of the samples, get a certificate.
    EXPECT_GT(certified, boxes / 2);
    EXPECT_GT(certifiedSamples,
              static_cast<long long>(levels.size()) * (1 + 27 + 64) * kOctreeDepths * 262144 / 4);
}
