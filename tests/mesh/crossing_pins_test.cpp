// The crossing points that certified bounds pin must be libm's. Checked over every crossed edge of
// every block of presets 0 to 2, at every vector level, against the straightforward evaluation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "app/front_end.h"
#include "mesh/block_buffers.h"
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
    boundFinalModulusScaled(level, input, static_cast<int>(lanes),
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
