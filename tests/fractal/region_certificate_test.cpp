// Region certificates must hold for every lattice point of their box. Checked against the
// straightforward evaluation over every box of the octree, at every depth, of every block of
// presets 0 to 2, and the records of those blocks against the every-cube walk.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/front_end.h"
#include "fractal/block_sampler.h"
#include "mesh/block_buffers.h"
#include "mesh/cube_walk.h"
#include "pipeline/tessellate.h"
#include "support/reference_paths.h"

namespace {

// Certifies every box of depth `depth` of the block, in lanes, the way the sampler builds them.
std::vector<double> certifyEveryBox(SimdLevel level, const BlockLattice& lattice, int depth) {
    const int edge = kOctreeBoxEdges[depth];
    const int perAxis = kBlockSamplesPerAxis / edge;
    const size_t count = (static_cast<size_t>(perAxis) * perAxis * perAxis + 7) / 8 * 8;
    std::vector<double> cx(count), cy(count), cz(count), s(count), sqrtS(count), cosPhi8(count),
        sinPhi8(count), radius(count), out(count);
    for (size_t n = 0; n < count; ++n) {
        const size_t box = n < static_cast<size_t>(perAxis * perAxis * perAxis) ? n : 0;
        const SampleRegion region = sampleRegion(lattice, edge, box % perAxis,
                                                 box / perAxis % perAxis, box / perAxis / perAxis);
        const ColumnTerms terms = computeColumnTerms(region.centre.x, region.centre.z);
        cx[n] = region.centre.x;
        cy[n] = region.centre.y;
        cz[n] = region.centre.z;
        s[n] = terms.s;
        sqrtS[n] = terms.sqrtS;
        cosPhi8[n] = terms.cosPhi8;
        sinPhi8[n] = terms.sinPhi8;
        radius[n] = region.radius;
    }
    const ClassifyLanes centres = {cx.data(),    cy.data(),      cz.data(),     s.data(),
                                   sqrtS.data(), cosPhi8.data(), sinPhi8.data()};
    certifyRegions(level, centres, radius.data(), static_cast<int>(count),
                   kDefaultFieldParams.maxIterations, out.data());
    out.resize(static_cast<size_t>(perAxis) * perAxis * perAxis);
    return out;
}

// Whether every sample of the box agrees with `certificate` (a class stand-in or the exact 0).
bool boxAgrees(const double* reference, int edge, int bx, int by, int bz, double certificate) {
    for (int k = bz * edge; k < (bz + 1) * edge; ++k) {
        for (int j = by * edge; j < (by + 1) * edge; ++j) {
            for (int i = bx * edge; i < (bx + 1) * edge; ++i) {
                const double value = reference[i + 64 * j + 4096 * k];
                const bool agrees = certificate == 0.0 ? value == 0.0
                                                       : (value < 0.5) == (certificate < 0.5);
                if (!agrees) {
                    return false;
                }
            }
        }
    }
    return true;
}

}  // namespace

TEST(BlockSampler, CertifiedBoxesAndTheirBlocksAgreeWithTheStraightforwardEvaluation) {
    static BlockBuffers reference;
    static BlockBuffers fast;
    std::vector<SimdLevel> levels;
    for (SimdLevel level : {SimdLevel::kAvx2, SimdLevel::kAvx512}) {
        if (level <= detectSimdLevel()) {
            levels.push_back(level);
        }
    }
    if (levels.empty()) {
        GTEST_SKIP() << "this CPU has no vector level";
    }
    long long boxes = 0;
    long long certified = 0;
    long long certifiedSamples = 0;
    for (int preset = 0; preset <= 2; ++preset) {
        const BlockGrid grid = decomposeBox(kRunBox, kResolutionPresets[preset].resolution);
        for (int64_t b = 0; b < grid.totalBlocks; ++b) {
            const Box3d block =
                blockBox(kRunBox, grid.blockEdge, static_cast<int32_t>(b % grid.blocksX),
                         static_cast<int32_t>(b / grid.blocksX % grid.blocksY),
                         static_cast<int32_t>(b / grid.blocksX / grid.blocksY));
            sampleBlockReference(kDefaultFieldParams, block, reference.samples);
            const int32_t expected =
                meshEveryCube(block, reference.samples, 0.5, reference.records);
            const BlockLattice lattice = computeBlockLattice(block);
            for (SimdLevel level : levels) {
                for (int depth = 0; depth < kOctreeDepths; ++depth) {
                    const int edge = kOctreeBoxEdges[depth];
                    const int perAxis = 64 / edge;
                    const std::vector<double> out = certifyEveryBox(level, lattice, depth);
                    for (size_t n = 0; n < out.size(); ++n) {
                        ++boxes;
                        if (out[n] != out[n]) {
                            continue;
                        }
                        ++certified;
                        certifiedSamples += edge * edge * edge;
                        ASSERT_TRUE(boxAgrees(reference.samples, edge, n % perAxis,
                                              n / perAxis % perAxis, n / perAxis / perAxis, out[n]))
                            << simdLevelName(level) << ", preset " << preset << ", block " << b
                            << ", box " << n << " of edge " << edge << " certified " << out[n];
                    }
                }
                sampleBlockFast(kDefaultFieldParams, block, 0.5, level, fast.samples,
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
