// Crossing points from certified bounds, libm at the ends of the edges they leave open.
#include "mesh/crossing_pins.h"

#include "fractal/block_sampler.h"
#include "mesh/polygonise.h"

namespace {

constexpr int kN = kBlockSamplesPerAxis;
constexpr int kSliceStride = kN * kN;
constexpr uint64_t kEdgeBits = ~uint64_t{0} >> 1;  // edges from x(0..62) along a row

// The whole pass, inlined into one copy per instruction set: the ranks of the ends take a
// population count per row and per lookup, a call into the compiler's library without POPCNT.
[[gnu::always_inline]] inline int32_t pinCrossingsBody(const FieldParams& params, const Box3d& box,
                                                       double isoLevel, double* samples,
                                                       double* highs,
                                                       const uint64_t* classMasks) {
    const BlockLattice lattice = computeBlockLattice(box);
    const double* xs = lattice.xs;
    const double* ys = lattice.ys;
    const double* zs = lattice.zs;
    // The upper end of sample p's bound: highs holds them by the rank of p among the ends of
    // crossed edges, each row's ends after those of the rows before it.
    uint64_t ends[kBlockRowCount];
    int32_t firstEnd[kBlockRowCount];
    int32_t endCount = 0;
    for (int row = 0; row < static_cast<int>(kBlockRowCount); ++row) {
        ends[row] = surfaceMask(classMasks, row % kN, row / kN);
        firstEnd[row] = endCount;
        endCount += __builtin_popcountll(ends[row]);
    }
    auto high = [&](int p) __attribute__((always_inline)) -> double& {
        const unsigned row = static_cast<unsigned>(p) / kN;  // unsigned: a shift, not a division
        const uint64_t before = ends[row] & ((uint64_t{1} << (static_cast<unsigned>(p) % kN)) - 1);
        return highs[firstEnd[row] + __builtin_popcountll(before)];
    };
    int32_t evaluated = 0;
    auto settle = [&](int p, int i, int j, int k) {
        if (samples[p] != high(p)) {
            samples[p] = fieldValue({xs[i], ys[j], zs[k]}, params);
            high(p) = samples[p];
            ++evaluated;
        }
    };
    // Whether the edge from sample p at a to sample q at b is pinned in that direction, given
    // the upper ends of their bounds (each end's looked up once per edge).
    auto pinned = [&](int p, const Vec3d& a, double highP, int q, const Vec3d& b, double highQ) {
        return crossingIsPinned(isoLevel, a, samples[p], highP, b, samples[q], highQ);
    };
    for (int k = 0; k < kN; ++k) {
        for (int j = 0; j < kN; ++j) {
            const uint64_t a = classMasks[j + kN * k];
            const int row = kN * j + kSliceStride * k;
            // Along x: the cube below in z takes the edge from x(i) to x(i + 1) (its edges 0 and
            // 4), the cube above from x(i + 1) to x(i) (edges 2 and 6).
            for (uint64_t crossed = (a ^ (a >> 1)) & kEdgeBits; crossed != 0;
                 crossed &= crossed - 1) {
                const int i = __builtin_ctzll(crossed);
                const int p = row + i;
                const double highP = high(p);
                const double highQ = high(p + 1);
                if (samples[p] == highP && samples[p + 1] == highQ) {
                    continue;
                }
                const Vec3d lower = {xs[i], ys[j], zs[k]};
                const Vec3d upper = {xs[i + 1], ys[j], zs[k]};
                if ((k > 0 && !pinned(p, lower, highP, p + 1, upper, highQ)) ||
                    (k < kN - 1 && !pinned(p + 1, upper, highQ, p, lower, highP))) {
                    settle(p, i, j, k);
                    settle(p + 1, i + 1, j, k);
                }
            }
            // Along y: always from y(j) to y(j + 1) (edges 8 to 11).
            if (j < kN - 1) {
                for (uint64_t crossed = a ^ classMasks[j + 1 + kN * k]; crossed != 0;
                     crossed &= crossed - 1) {
                    const int i = __builtin_ctzll(crossed);
                    const int p = row + i;
                    const double highP = high(p);
                    const double highQ = high(p + kN);
                    if ((samples[p] != highP || samples[p + kN] != highQ) &&
                        !pinned(p, {xs[i], ys[j], zs[k]}, highP, p + kN,
                                {xs[i], ys[j + 1], zs[k]}, highQ)) {
                        settle(p, i, j, k);
                        settle(p + kN, i, j + 1, k);
                    }
                }
            }
            // Along z: the cube at x(i) takes the edge from z(k) to z(k + 1) (edges 3 and 7),
            // the cube at x(i - 1) from z(k + 1) to z(k) (edges 1 and 5).
            if (k < kN - 1) {
                for (uint64_t crossed = a ^ classMasks[j + kN * (k + 1)]; crossed != 0;
                     crossed &= crossed - 1) {
                    const int i = __builtin_ctzll(crossed);
                    const int p = row + i;
                    const int q = p + kSliceStride;
                    const double highP = high(p);
                    const double highQ = high(q);
                    if (samples[p] == highP && samples[q] == highQ) {
                        continue;
                    }
                    const Vec3d lower = {xs[i], ys[j], zs[k]};
                    const Vec3d upper = {xs[i], ys[j], zs[k + 1]};
                    if ((i < kN - 1 && !pinned(p, lower, highP, q, upper, highQ)) ||
                        (i > 0 && !pinned(q, upper, highQ, p, lower, highP))) {
                        settle(p, i, j, k);
                        settle(q, i, j, k + 1);
                    }
                }
            }
        }
    }
    return evaluated;
}

int32_t pinCrossingsPortable(const FieldParams& params, const Box3d& box, double isoLevel,
                             double* samples, double* highs, const uint64_t* classMasks) {
    return pinCrossingsBody(params, box, isoLevel, samples, highs, classMasks);
}

#if defined(__x86_64__) && !defined(__POPCNT__)
[[gnu::target("popcnt")]] int32_t pinCrossingsPopcnt(const FieldParams& params, const Box3d& box,
                                                     double isoLevel, double* samples,
                                                     double* highs, const uint64_t* classMasks) {
    return pinCrossingsBody(params, box, isoLevel, samples, highs, classMasks);
}
#endif

using PinCrossingsKernel = int32_t (*)(const FieldParams&, const Box3d&, double, double*, double*,
                                       const uint64_t*);

// Chosen once per run, like the vector level.
PinCrossingsKernel choosePinCrossings() {
#if defined(__x86_64__) && !defined(__POPCNT__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("popcnt")) {
        return pinCrossingsPopcnt;
    }
#endif
    return pinCrossingsPortable;
}

const PinCrossingsKernel kPinCrossings = choosePinCrossings();

}  // namespace

int32_t pinCrossings(const FieldParams& params, const Box3d& box, double isoLevel, double* samples,
                     double* highs, const uint64_t* classMasks) {
    return kPinCrossings(params, box, isoLevel, samples, highs, classMasks);
}
