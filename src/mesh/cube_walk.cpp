// The cube walk of marching cubes (Lorensen and Cline, 1987) over one sampled block.
#include "mesh/cube_walk.h"

#include <cstring>

#include "mesh/polygonise.h"

namespace {

constexpr int kN = kBlockSamplesPerAxis;
constexpr int kSliceStride = kN * kN;

// The crossing points of one row of cubes (j, k), each computed once per direction in which the
// walk takes its edge. A grid edge along x or z lies in four cubes, two of which take it in each
// direction (kEdgeCorners); one along y lies in four cubes, all in one direction. A point is
// interpolateEdgeVertex of the same two corners in the same order whichever cube asks, so one
// computation serves them all, bit for bit. Only crossed edges are computed: their class bits
// differ, and the cubes that hold them are exactly the crossed cubes that read them.
//
// Each array holds one lattice row of points, index i: x edges from x(i) to x(i + 1) (forward)
// or back; z edges of column i from z(k) to z(k + 1) or back; y edges of column i from y(j) to
// y(j + 1) at z(k) (low) and z(k + 1) (high). Rows of x and z points are kept for sample rows j
// and j + 1 at [j & 1] and [(j + 1) & 1]: cube row j + 1 finds its row j there.
struct CrossingRows {
    Vec3d xForward[2][kBlockSamplesPerAxis];   // sample row (j, k + 1)
    Vec3d xBackward[2][kBlockSamplesPerAxis];  // sample row (j, k)
    Vec3d zForward[2][kBlockSamplesPerAxis];   // columns (i, j)
    Vec3d zBackward[2][kBlockSamplesPerAxis];
    Vec3d yLow[kBlockSamplesPerAxis];
    Vec3d yHigh[kBlockSamplesPerAxis];
};

struct WalkGrid {
    const BlockLattice* lattice;
    const double* samples;
    const uint64_t* below;
    double isoLevel;
};

inline GridCorner gridCorner(const WalkGrid& grid, int i, int j, int k) {
    return {{grid.lattice->xs[i], grid.lattice->ys[j], grid.lattice->zs[k]},
            grid.samples[i + kN * j + kSliceStride * k]};
}

inline uint64_t classRow(const WalkGrid& grid, int j, int k) {
    return grid.below[j + kN * k];
}

// The crossed x edges of sample row (j, k), from x(i) to x(i + 1) when `forward`, else back.
void computeXCrossings(const WalkGrid& grid, int j, int k, bool forward, Vec3d* points) {
    const uint64_t a = classRow(grid, j, k);
    for (uint64_t crossed = (a ^ (a >> 1)) & (~uint64_t{0} >> 1); crossed != 0;
         crossed &= crossed - 1) {
        const int i = __builtin_ctzll(crossed);
        const GridCorner lower = gridCorner(grid, i, j, k);
        const GridCorner upper = gridCorner(grid, i + 1, j, k);
        points[i] = forward ? interpolateEdgeVertex(grid.isoLevel, lower, upper)
                            : interpolateEdgeVertex(grid.isoLevel, upper, lower);
    }
}

// The crossed z edges of columns (i, j) from z(k) to z(k + 1), both ways.
void computeZCrossings(const WalkGrid& grid, int j, int k, Vec3d* forward, Vec3d* backward) {
    for (uint64_t crossed = classRow(grid, j, k) ^ classRow(grid, j, k + 1); crossed != 0;
         crossed &= crossed - 1) {
        const int i = __builtin_ctzll(crossed);
        const GridCorner lower = gridCorner(grid, i, j, k);
        const GridCorner upper = gridCorner(grid, i, j, k + 1);
        forward[i] = interpolateEdgeVertex(grid.isoLevel, lower, upper);
        backward[i] = interpolateEdgeVertex(grid.isoLevel, upper, lower);
    }
}

// The crossed y edges of columns (i, k) from y(j) to y(j + 1).
void computeYCrossings(const WalkGrid& grid, int j, int k, Vec3d* points) {
    for (uint64_t crossed = classRow(grid, j, k) ^ classRow(grid, j + 1, k); crossed != 0;
         crossed &= crossed - 1) {
        const int i = __builtin_ctzll(crossed);
        points[i] = interpolateEdgeVertex(grid.isoLevel, gridCorner(grid, i, j, k),
                                          gridCorner(grid, i, j + 1, k));
    }
}

// The x and z crossings of sample row j of the slab between slices k and k + 1.
void computeRowCrossings(const WalkGrid& grid, int j, int k, CrossingRows& rows) {
    computeXCrossings(grid, j, k + 1, true, rows.xForward[j & 1]);
    computeXCrossings(grid, j, k, false, rows.xBackward[j & 1]);
    computeZCrossings(grid, j, k, rows.zForward[j & 1], rows.zBackward[j & 1]);
}

}  // namespace

int32_t meshSampledBlock(const Box3d& box, const double* samples, const uint64_t* classMasks,
                         double isoLevel, TriangleRecord* records) {
    // The cube walk reuses the sampling lattice, so every corner sits bit for bit where its
    // sample was evaluated.
    const BlockLattice lattice = computeBlockLattice(box);

    // Class masks instead of cubes: a cube yields triangles only when its eight corners are not
    // all on one side, about 2.5% of them at preset 3. Row (j, k)'s mask sits at j + 64 k.
    const uint64_t* below = classMasks;
    constexpr uint64_t kCubeBits = ~uint64_t{0} >> 1;  // cubes 0..62 of a row of cubes

    // A block of one class, as most blocks of the finer presets are, has no crossed cube: every
    // mask equals the next, and each row is all below or all not below.
    if ((below[0] == 0 || below[0] == ~uint64_t{0}) &&
        std::memcmp(below, below + 1, (kBlockRowCount - 1) * sizeof *below) == 0) {
        return 0;
    }

    const WalkGrid grid = {&lattice, samples, below, isoLevel};
    CrossingRows rows;
    int32_t count = 0;
    for (int k = 0; k < kN - 1; ++k) {
        int rowsHeld = -1;  // the sample row whose crossings `rows` holds above cube row j - 1
        for (int j = 0; j < kN - 1; ++j) {
            // The four sample rows around this row of cubes. Bit i of `differs` says that their
            // four samples at x(i) are not all alike; cube i has its corners at x(i) and x(i + 1).
            const uint64_t high0 = below[j + kN * (k + 1)];      // corners 0, 1
            const uint64_t low0 = below[j + kN * k];             // corners 3, 2
            const uint64_t high1 = below[j + 1 + kN * (k + 1)];  // corners 4, 5
            const uint64_t low1 = below[j + 1 + kN * k];         // corners 7, 6
            const uint64_t differs = (low0 ^ low1) | (low0 ^ high0) | (low0 ^ high1);
            uint64_t crossed = (differs | (differs >> 1) | (low0 ^ (low0 >> 1))) & kCubeBits;
            if (crossed == 0) {
                continue;
            }
            if (rowsHeld != j) {
                computeRowCrossings(grid, j, k, rows);
            }
            computeRowCrossings(grid, j + 1, k, rows);
            rowsHeld = j + 1;
            computeYCrossings(grid, j, k, rows.yLow);
            computeYCrossings(grid, j, k + 1, rows.yHigh);
            // Where cube i finds the point of its edge e: at i of row e, or at i + 1 for the
            // edges at x(i + 1).
            const int at = j & 1;
            const int above = (j + 1) & 1;
            const Vec3d* const edgeRows[12] = {
                rows.xForward[at],     rows.zBackward[at] + 1, rows.xBackward[at],
                rows.zForward[at],     rows.xForward[above],   rows.zBackward[above] + 1,
                rows.xBackward[above], rows.zForward[above],   rows.yHigh,
                rows.yHigh + 1,        rows.yLow + 1,          rows.yLow};
            // Set bits in increasing order keep the walk's x-fastest order of records.
            for (; crossed != 0; crossed &= crossed - 1) {
                const int i = __builtin_ctzll(crossed);
                // The cube index from the class masks, the classes of the values: the vector
                // sampler writes values only at the ends of crossed edges.
                const uint64_t h0 = high0 >> i;
                const uint64_t l0 = low0 >> i;
                const uint64_t h1 = high1 >> i;
                const uint64_t l1 = low1 >> i;
                const int cubeIndex =
                    static_cast<int>((h0 & 3) | (l0 & 2) << 1 | (l0 & 1) << 3 | (h1 & 1) << 4 |
                                     (h1 & 2) << 4 | (l1 & 2) << 5 | (l1 & 1) << 7);
                Triangle3d triangles[5];
                const int32_t produced = assembleTriangles(cubeIndex, edgeRows, i, triangles);
                for (int32_t t = 0; t < produced; ++t) {
                    records[count + t] = toTriangleRecord(triangles[t]);
                }
                count += produced;
            }
        }
    }
    return count;
}
