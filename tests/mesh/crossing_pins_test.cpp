// The crossing points that certified bounds pin must be libm's. Checked over every crossed edge of
// every block of presets 0 to 2, at every vector level, against the straightforward evaluation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <vector>

#include "app/front_end.h"
#include "fractal/block_sampler.h"
#include "mesh/block_buffers.h"
#include "mesh/crossing_pins.h"
#include "mesh/polygonise.h"
#include "pipeline/tessellate.h"
#include "support/reference_paths.h"

namespace {

struct BoundCheck {
    long long bounded = 0;  // ends of crossed edges given a bound
    long long misses = 0;   // of them, bounds that do not hold fieldValue
    long long edges = 0;    // crossed edges, in each direction
    long long pinned = 0;   // of them, pinned by the bounds
    long long wrong = 0;    // pinned ones whose float32 point differs from libm's at either end
};

uint32_t bitsOf(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

bool sameRecordPoint(const Vec3d& a, const Vec3d& b) {
    return bitsOf(static_cast<float>(a.x)) == bitsOf(static_cast<float>(b.x)) &&
           bitsOf(static_cast<float>(a.y)) == bitsOf(static_cast<float>(b.y)) &&
           bitsOf(static_cast<float>(a.z)) == bitsOf(static_cast<float>(b.z));
}

// Bounds every end of a crossed edge of `block` (exact: its samples by fieldValue) with the
// bound times `scale`, and checks the bounds and the crossings they pin against fieldValue.
void checkBounds(SimdLevel level, const Box3d& block, const double* exact, double scale,
                 BoundCheck& check) {
    const BlockLattice lattice = computeBlockLattice(block);
    auto position = [&](int p) {
        return Vec3d{lattice.xs[p % 64], lattice.ys[p / 64 % 64], lattice.zs[p / 4096]};
    };
    std::vector<std::pair<int, int>> edges;
    std::vector<int> ends;
    std::vector<char> isEnd(kBlockSampleCount, 0);
    for (int p = 0; p < static_cast<int>(kBlockSampleCount); ++p) {
        const int along[3] = {p % 64, p / 64 % 64, p / 4096};
        for (int axis = 0, stride = 1; axis < 3; ++axis, stride *= 64) {
            if (along[axis] < 63 && (exact[p] < 0.5) != (exact[p + stride] < 0.5)) {
                edges.push_back({p, p + stride});
                for (int end : {p, p + stride}) {
                    if (!isEnd[end]) {
                        isEnd[end] = 1;
                        ends.push_back(end);
                    }
                }
            }
        }
    }
    const size_t lanes = (ends.size() + 7) / 8 * 8;
    std::vector<double> cx(lanes), cy(lanes), cz(lanes), s(lanes), sqrtS(lanes), cosPhi8(lanes),
        sinPhi8(lanes), low(lanes), high(lanes);
    for (size_t n = 0; n < lanes; ++n) {
        const Vec3d point = position(ends[n < ends.size() ? n : 0]);
        const ColumnTerms terms = computeColumnTerms(point.x, point.z);
        cx[n] = point.x, cy[n] = point.y, cz[n] = point.z;
        s[n] = terms.s, sqrtS[n] = terms.sqrtS, cosPhi8[n] = terms.cosPhi8;
        sinPhi8[n] = terms.sinPhi8;
    }
    const ClassifyLanes input = {cx.data(),    cy.data(),      cz.data(),     s.data(),
                                 sqrtS.data(), cosPhi8.data(), sinPhi8.data()};
    boundFinalModulusScaled(level, input, nullptr, static_cast<int>(lanes),
                            kDefaultFieldParams.maxIterations, scale, low.data(), high.data());
    // Value bounds; without a modulus bound the exact value, as the sampler would give.
    std::vector<double> lows(exact, exact + kBlockSampleCount);
    std::vector<double> highs(lows);
    for (size_t n = 0; n < ends.size(); ++n) {
        if (low[n] == low[n]) {
            const int p = ends[n];
            lows[p] = fieldFromModulus(high[n], kDefaultFieldParams);
            highs[p] = fieldFromModulus(low[n], kDefaultFieldParams);
            ++check.bounded;
            check.misses += !(lows[p] <= exact[p] && exact[p] <= highs[p]);
        }
    }
    for (const auto& [first, second] : edges) {
        for (const auto& [p, q] : {std::pair{first, second}, std::pair{second, first}}) {
            ++check.edges;
            if (!crossingIsPinned(0.5, position(p), lows[p], highs[p], position(q), lows[q],
                                  highs[q])) {
                continue;
            }
            ++check.pinned;
            const Vec3d libm =
                interpolateEdgeVertex(0.5, {position(p), exact[p]}, {position(q), exact[q]});
            check.wrong +=
                !sameRecordPoint(libm, interpolateEdgeVertex(0.5, {position(p), lows[p]},
                                                             {position(q), lows[q]})) ||
                !sameRecordPoint(libm, interpolateEdgeVertex(0.5, {position(p), highs[p]},
                                                             {position(q), highs[q]}));
        }
    }
}

}  // namespace

TEST(CrossingPins, BoundsHoldLibmsValueAndPinOnlyItsCrossingPoints) {
    static BlockBuffers reference;
    const std::vector<SimdLevel> levels = vectorLevelsOfThisCpu();
    if (levels.empty()) {
        GTEST_SKIP() << "this CPU has no vector level";
    }
    for (SimdLevel level : levels) {
        BoundCheck check;
        BoundCheck narrowed;  // the bound scaled down by 1e-6
        for (int preset = 0; preset <= 2; ++preset) {
            const BlockGrid grid = decomposeBox(kRunBox, kResolutionPresets[preset].resolution);
            for (int64_t b = 0; b < grid.totalBlocks; ++b) {
                const Box3d block = blockBoxAt(kRunBox, grid, b);
                sampleBlockReference(kDefaultFieldParams, block, reference.samples);
                checkBounds(level, block, reference.samples, 1.0, check);
                checkBounds(level, block, reference.samples, 1e-6, narrowed);
            }
        }
        SCOPED_TRACE(simdLevelName(level));
        EXPECT_EQ(check.misses, 0);
        EXPECT_EQ(check.wrong, 0);
        // Not vacuous: nearly every end gets a bound and nearly every crossing is pinned.
        EXPECT_GT(check.edges, 1000000);
        EXPECT_GT(check.pinned, check.edges * 99 / 100);
        // A narrower bound misses libm's value.
        EXPECT_GT(narrowed.misses, 0);
    }
}

namespace {

struct RegionBoundCheck {
    long long boxes = 0;    // boxes of 2^3 samples given a bound
    long long misses = 0;   // of them, boxes with a sample whose final modulus lies outside it
    double smallestSlack = 1.0;  // least room left, as a share of the bound's half width
};

// Bounds the final modulus over every box of 2^3 samples of `block`, every term of the bound times
// `scale`, and checks it against libm's final modulus at the box's eight samples (`moduli`).
void checkRegionBounds(SimdLevel level, const Box3d& block, const std::vector<double>& moduli,
                       double scale, RegionBoundCheck& check) {
    const BlockLattice lattice = computeBlockLattice(block);
    constexpr int kPerAxis = 32;
    constexpr int kBoxes = kPerAxis * kPerAxis * kPerAxis;
    std::vector<double> cx(kBoxes), cy(kBoxes), cz(kBoxes), s(kBoxes), sqrtS(kBoxes),
        cosPhi8(kBoxes), sinPhi8(kBoxes), radius(kBoxes), low(kBoxes), high(kBoxes);
    for (int n = 0; n < kBoxes; ++n) {
        const SampleRegion region =
            sampleRegion(lattice, 2, n % kPerAxis, n / kPerAxis % kPerAxis, n / kPerAxis / kPerAxis);
        const ColumnTerms terms = computeColumnTerms(region.centre.x, region.centre.z);
        cx[n] = region.centre.x, cy[n] = region.centre.y, cz[n] = region.centre.z;
        s[n] = terms.s, sqrtS[n] = terms.sqrtS, cosPhi8[n] = terms.cosPhi8;
        sinPhi8[n] = terms.sinPhi8, radius[n] = region.radius * scale;
    }
    const ClassifyLanes input = {cx.data(),    cy.data(),      cz.data(),     s.data(),
                                 sqrtS.data(), cosPhi8.data(), sinPhi8.data()};
    boundFinalModulusScaled(level, input, radius.data(), kBoxes,
                            kDefaultFieldParams.maxIterations, scale, low.data(), high.data());
    for (int n = 0; n < kBoxes; ++n) {
        if (!(low[n] <= high[n])) {
            continue;
        }
        ++check.boxes;
        const int corner = 2 * (n % kPerAxis) + 128 * (n / kPerAxis % kPerAxis) +
                           8192 * (n / kPerAxis / kPerAxis);
        double lowest = moduli[corner];
        double highest = lowest;
        for (int p : {0, 1, 64, 65, 4096, 4097, 4160, 4161}) {
            lowest = std::min(lowest, moduli[corner + p]);
            highest = std::max(highest, moduli[corner + p]);
        }
        // A lower end clamped at 0 (a box at the origin) has no slack to measure.
        const double halfWidth = (high[n] - low[n]) * 0.5;
        const double below = low[n] > 0.0 ? lowest - low[n] : halfWidth;
        const double slack = std::min(below, high[n] - highest) / halfWidth;
        check.misses += slack < 0.0;
        check.smallestSlack = std::min(check.smallestSlack, slack);
    }
}

}  // namespace

// At a point the bound is mostly rounding room; over a box the drift's growth dominates, and
// the box's own samples show how close it comes. Halving every term must miss some box.
TEST(CrossingPins, RegionBoundsHoldLibmsFinalModulusAtEverySampleAndHalvedMiss) {
    const std::vector<SimdLevel> levels = vectorLevelsOfThisCpu();
    if (levels.empty()) {
        GTEST_SKIP() << "this CPU has no vector level";
    }
    std::vector<RegionBoundCheck> checks(levels.size());
    std::vector<RegionBoundCheck> halved(levels.size());
    std::vector<double> moduli(kBlockSampleCount);
    for (int preset = 0; preset <= 1; ++preset) {
        const BlockGrid grid = decomposeBox(kRunBox, kResolutionPresets[preset].resolution);
        for (int64_t b = 0; b < grid.totalBlocks; ++b) {
            const Box3d block = blockBoxAt(kRunBox, grid, b);
            const BlockLattice lattice = computeBlockLattice(block);
            for (int p = 0; p < static_cast<int>(kBlockSampleCount); ++p) {
                moduli[p] = finalModulusReference(
                    {lattice.xs[p % 64], lattice.ys[p / 64 % 64], lattice.zs[p / 4096]},
                    kDefaultFieldParams);
            }
            for (size_t l = 0; l < levels.size(); ++l) {
                checkRegionBounds(levels[l], block, moduli, 1.0, checks[l]);
                checkRegionBounds(levels[l], block, moduli, 0.5, halved[l]);
            }
        }
    }
    for (size_t l = 0; l < levels.size(); ++l) {
        SCOPED_TRACE(simdLevelName(levels[l]));
        std::cout << simdLevelName(levels[l]) << ": " << checks[l].boxes
                  << " boxes bounded, smallest slack " << checks[l].smallestSlack
                  << " of the half width; halved, " << halved[l].misses << " of "
                  << halved[l].boxes << " miss\n";
        EXPECT_EQ(checks[l].misses, 0);
        EXPECT_GT(checks[l].boxes, 300000);
        EXPECT_GT(halved[l].misses, 0);
    }
}

namespace {

// Values for an edge from `a` (exact value v1, below the level) to `b` (bounded by [low2, high2])
// whose crossing point the bounds pin from a to b but not from b to a: one end of the point's
// interval sits on a float32 rounding boundary, where the two directions round apart.
bool findOneWayPin(const Vec3d& a, const Vec3d& b, double& v1, double& low2, double& high2) {
    const double c1[3] = {a.x, a.y, a.z};
    const double c2[3] = {b.x, b.y, b.z};
    const int axis = c1[0] != c2[0] ? 0 : c1[1] != c2[1] ? 1 : 2;
    v1 = 0.45;  // the bounded end then lies in the field's range
    for (double share = 0.2; share < 0.8; share += 0.01) {
        const float f = static_cast<float>(c1[axis] + share * (c2[axis] - c1[axis]));
        const double boundary = (static_cast<double>(f) +
                                 static_cast<double>(std::nextafter(f, static_cast<float>(c2[axis])))) *
                                0.5;
        const double mu = (boundary - c1[axis]) / (c2[axis] - c1[axis]);
        const double v2 = v1 + (0.5 - v1) / mu;
        for (int offset = -64; offset <= 64; ++offset) {
            high2 = v2 + offset * 0x1p-52 * v2;
            for (double width : {1e-14, 1e-13, 1e-12}) {
                low2 = high2 - width;
                if (crossingIsPinned(0.5, a, v1, v1, b, low2, high2) &&
                    !crossingIsPinned(0.5, b, low2, high2, a, v1, v1)) {
                    return true;
                }
            }
        }
    }
    return false;
}

}  // namespace

// Every cube interpolates its edges in its own direction: an edge pinned one way only is settled
// wherever a cube takes it the other way, up to the block's last slice and column of cubes.
TEST(CrossingPins, EdgesPinnedOneWayAreSettledForTheCubesThatTakeThemTheOtherWay) {
    static BlockBuffers buffers;
    const Box3d block = {{0.1, 0.2, 0.3}, {0.5, 0.6, 0.7}};
    const BlockLattice lattice = computeBlockLattice(block);
    constexpr int j = 30;
    // From sample p to q, pinned forward and not back. Along x at slice k, cube k takes the edge
    // back (k = 0..62); along z at column i, cube i - 1 does (i = 1..63).
    for (int axis : {0, 2}) {
        for (int at = axis == 0 ? 0 : 1; at < (axis == 0 ? 63 : 64); ++at) {
            const int i = axis == 0 ? 20 : at;
            const int k = axis == 0 ? at : 40;
            const int p = i + 64 * j + 4096 * k;
            const int q = p + (axis == 0 ? 1 : 4096);
            const Vec3d a = {lattice.xs[i], lattice.ys[j], lattice.zs[k]};
            const Vec3d b = axis == 0 ? Vec3d{lattice.xs[i + 1], a.y, a.z}
                                      : Vec3d{a.x, a.y, lattice.zs[k + 1]};
            double v1, low2, high2;
            ASSERT_TRUE(findOneWayPin(a, b, v1, low2, high2)) << "no such values at " << at;
            // Only sample p is below; every end but q holds an exact value.
            std::fill(buffers.classMasks, buffers.classMasks + kBlockRowCount, 0);
            buffers.classMasks[p / 64] = uint64_t{1} << (p % 64);
            std::fill(buffers.samples, buffers.samples + kBlockSampleCount, 0.7);
            buffers.samples[p] = v1;
            buffers.samples[q] = low2;
            int32_t rank = 0;
            int32_t rankOfQ = -1;
            for (int row = 0; row < static_cast<int>(kBlockRowCount); ++row) {
                for (uint64_t ends = surfaceMask(buffers.classMasks, row % 64, row / 64);
                     ends != 0; ends &= ends - 1, ++rank) {
                    const int end = 64 * row + __builtin_ctzll(ends);
                    buffers.highs[rank] = end == q ? high2 : buffers.samples[end];
                    rankOfQ = end == q ? rank : rankOfQ;
                }
            }
            pinCrossings(kDefaultFieldParams, block, 0.5, buffers.samples, buffers.highs,
                         buffers.classMasks);
            EXPECT_EQ(buffers.samples[q], buffers.highs[rankOfQ])
                << (axis == 0 ? "x" : "z") << " edge at " << at << " left unsettled";
        }
    }
}
