// Region certificates must hold for every lattice point of their box. Checked against the
// straightforward evaluation over every box of the octree, at every depth and of 2^3 samples below
// it, of every block of presets 0 to 2, and the records of those blocks against the every-cube
// walk; then blocks drawn from the surface of every preset, where the octree certifies its
// smallest boxes. The AVX2 classifier's float pass is checked on every sample of presets 0 to 2
// as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "app/front_end.h"
#include "fractal/block_sampler.h"
#include "mesh/block_buffers.h"
#include "mesh/block_mesher.h"
#include "mesh/crossing_pins.h"
#include "mesh/cube_walk.h"
#include "pipeline/tessellate.h"
#include "support/reference_paths.h"

namespace {

// Wrong classes (or exact zeros) the AVX2 classifier's float pass gives over every sample of
// `block`, against the straightforward `reference` samples; counts the samples it decides.
int floatPassMismatches(const Box3d& block, const double* reference, long long& decided) {
    static std::vector<double> lanes[8];
    for (std::vector<double>& lane : lanes) {
        lane.resize(kBlockSampleCount);
    }
    const BlockLattice lattice = computeBlockLattice(block);
    size_t p = 0;
    for (int k = 0; k < kBlockSamplesPerAxis; ++k) {
        for (int j = 0; j < kBlockSamplesPerAxis; ++j) {
            for (int i = 0; i < kBlockSamplesPerAxis; ++i, ++p) {
                const ColumnTerms terms = computeColumnTerms(lattice.xs[i], lattice.zs[k]);
                const double values[7] = {lattice.xs[i], lattice.ys[j], lattice.zs[k], terms.s,
                                          terms.sqrtS,   terms.cosPhi8, terms.sinPhi8};
                for (int n = 0; n < 7; ++n) {
                    lanes[n][p] = values[n];
                }
            }
        }
    }
    const ClassifyLanes classifyLanes = {lanes[0].data(), lanes[1].data(), lanes[2].data(),
                                         lanes[3].data(), lanes[4].data(), lanes[5].data(),
                                         lanes[6].data()};
    double* classes = lanes[7].data();
    classifyFloatLanesScaled(classifyLanes, static_cast<int>(kBlockSampleCount),
                             kDefaultFieldParams.maxIterations, 1.0, classes);
    int wrong = 0;
    for (p = 0; p < kBlockSampleCount; ++p) {
        if (classes[p] == classes[p]) {
            ++decided;
            wrong += (classes[p] < 0.5) != (reference[p] < 0.5) ||
                     (classes[p] == 0.0 && reference[p] != 0.0);
        }
    }
    return wrong;
}

}  // namespace

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
    long long floatDecided = 0;
    long long floatSamples = 0;
    for (int preset = 0; preset <= 2; ++preset) {
        const BlockGrid grid = decomposeBox(kRunBox, kResolutionPresets[preset].resolution);
        for (int64_t b = 0; b < grid.totalBlocks; ++b) {
            const Box3d block = blockBoxAt(kRunBox, grid, b);
            sampleBlockReference(kDefaultFieldParams, block, reference.samples);
            const int32_t expected =
                meshEveryCube(block, reference.samples, 0.5, reference.records);
            if (!levels.empty()) {
                ASSERT_EQ(floatPassMismatches(block, reference.samples, floatDecided), 0)
                    << "float pass, preset " << preset << ", block " << b;
                floatSamples += static_cast<long long>(kBlockSampleCount);
            }
            for (SimdLevel level : levels) {
                CertificateCheck check;
                checkBlockCertificates(level, block, reference.samples, check);
                ASSERT_EQ(check.wrong, 0) << simdLevelName(level) << ", preset " << preset
                                          << ", block " << b << ": " << check.firstWrong;
                boxes += check.boxes;
                certified += check.certified;
                certifiedSamples += check.certifiedSamples;
                sampleBlockFast(kDefaultFieldParams, block, 0.5, vectorKernels(level), fast.samples,
                                fast.highs, fast.classMasks);
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
    // Not vacuous: the float pass decides nearly every sample; most boxes, and over all depths
    // (the 2^3 boxes too) a quarter of the samples, get a certificate.
    EXPECT_GT(floatDecided, floatSamples - floatSamples / 100);
    EXPECT_GT(certified, boxes / 2);
    EXPECT_GT(certifiedSamples, static_cast<long long>(levels.size()) * (1 + 27 + 64) *
                                    (kOctreeDepths + 1) * 262144 / 4);
}

namespace {

// A block of `grid` that the surface passes through: along a random direction from the origin
// (inside: the field there is 1) to the run box's corner sphere (outside), bisected to the level.
Box3d drawSurfaceBlock(std::mt19937_64& random, const BlockGrid& grid) {
    std::normal_distribution<double> normal;
    Vec3d direction;
    double length = 0.0;
    while (!(length > 1e-3)) {
        direction = {normal(random), normal(random), normal(random)};
        length = std::sqrt(direction.x * direction.x + direction.y * direction.y +
                           direction.z * direction.z);
    }
    const double reach = 1.2 / std::max({std::fabs(direction.x), std::fabs(direction.y),
                                         std::fabs(direction.z)});
    double inside = 0.0;
    double outside = reach;
    for (int step = 0; step < 60; ++step) {
        const double middle = (inside + outside) * 0.5;
        const Vec3d point = {direction.x * middle, direction.y * middle, direction.z * middle};
        (fieldValue(point, kDefaultFieldParams) >= 0.5 ? inside : outside) = middle;
    }
    const double at[3] = {direction.x * inside, direction.y * inside, direction.z * inside};
    const double mins[3] = {kRunBox.min.x, kRunBox.min.y, kRunBox.min.z};
    const int32_t counts[3] = {grid.blocksX, grid.blocksY, grid.blocksZ};
    int32_t index[3];
    for (int axis = 0; axis < 3; ++axis) {
        const double offset = (at[axis] - mins[axis]) / grid.blockEdge;
        index[axis] = std::min(counts[axis] - 1, std::max(0, static_cast<int32_t>(offset)));
    }
    return blockBox(kRunBox, grid.blockEdge, index[0], index[1], index[2]);
}

// Ends of crossed edges whose value is not of the sample's class in the class masks: each is a
// value the walk would misread.
int countMisreadCorners(const double* samples, const uint64_t* classMasks) {
    int misread = 0;
    for (int row = 0; row < 4096; ++row) {
        const uint64_t a = classMasks[row];
        for (uint64_t ends = surfaceMask(classMasks, row % 64, row / 64); ends != 0;
             ends &= ends - 1) {
            const int i = __builtin_ctzll(ends);
            misread += (samples[i + 64 * row] < 0.5) != ((a >> i & 1) != 0);
        }
    }
    return misread;
}

}  // namespace

// The fast path writes only the ends of crossed edges. The buffers start filled with 0.3, a value
// in the field's range and below the level, so an end of the other class left unwritten shows: in
// its class (50 blocks of each preset) and in the records (the first 3 of each, against the
// straightforward path). The blocks differ per run;
// QUARNEL_SURFACE_SEED replays a run.
TEST(BlockSampler, SurfaceBlocksOfEveryPresetGiveTheStraightforwardRecords) {
    static BlockBuffers reference;
    static BlockBuffers fast;
    const std::vector<SimdLevel> levels = vectorLevelsOfThisCpu();
    if (levels.empty()) {
        GTEST_SKIP() << "this CPU has no vector level";
    }
    const char* replay = std::getenv("QUARNEL_SURFACE_SEED");
    const uint64_t seed = replay != nullptr ? std::strtoull(replay, nullptr, 10)
                                            : std::random_device{}() * 0x100000000ull +
                                                  std::random_device{}();
    std::cout << "surface blocks drawn with QUARNEL_SURFACE_SEED=" << seed << "\n";
    std::mt19937_64 random(seed);
    constexpr int kBlocksPerPreset = 50;
    constexpr int kComparedPerPreset = 3;
    int withTriangles = 0;
    for (int preset = 0; preset < kPresetCount; ++preset) {
        const BlockGrid grid = decomposeBox(kRunBox, kResolutionPresets[preset].resolution);
        for (int draw = 0; draw < kBlocksPerPreset; ++draw) {
            const Box3d block = drawSurfaceBlock(random, grid);
            const bool compared = draw < kComparedPerPreset;
            const int32_t expected =
                compared ? meshBlockReference(kDefaultFieldParams, block, reference, 0.5) : 0;
            withTriangles += expected > 0;
            for (SimdLevel level : levels) {
                std::fill(fast.samples, fast.samples + kBlockSampleCount, 0.3);
                std::fill(fast.highs, fast.highs + kBlockSampleCount, 0.3);
                const BlockSampler sampler = {SamplingMethod::kVector, &vectorKernels(level)};
                const std::string where = std::string(simdLevelName(level)) + ", preset " +
                                          std::to_string(preset) + ", block at " +
                                          std::to_string(block.min.x) + " " +
                                          std::to_string(block.min.y) + " " +
                                          std::to_string(block.min.z) +
                                          " (QUARNEL_SURFACE_SEED=" + std::to_string(seed) + ")";
                if (!compared) {
                    sampleBlock(sampler, kDefaultFieldParams, block, 0.5, fast.samples,
                                fast.highs, fast.classMasks);
                    ASSERT_EQ(countMisreadCorners(fast.samples, fast.classMasks), 0) << where;
                    continue;
                }
                const int32_t produced =
                    meshBlock(sampler, kDefaultFieldParams, block, fast, 0.5);
                ASSERT_TRUE(produced == expected &&
                            std::memcmp(fast.records, reference.records,
                                        static_cast<size_t>(expected) * sizeof(TriangleRecord)) ==
                                0)
                    << where << ": " << produced << " records, " << expected << " expected";
            }
        }
    }
    // Not vacuous: the draws meet the surface.
    EXPECT_GT(withTriangles, kPresetCount * kComparedPerPreset * 3 / 4);
}
