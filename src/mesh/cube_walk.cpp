// The cube walk of marching cubes (Lorensen and Cline, 1987) over one sampled block.
#include "mesh/cube_walk.h"

#include <cstring>

#include "mesh/polygonise.h"

namespace {

constexpr int kN = kBlockSamplesPerAxis;
constexpr int kSliceStride = kN * kN;

}  // namespace

void loadCube(const BlockLattice& lattice, const double* samples, int i, int j, int k,
              GridCube* cube) {
    const double x0 = lattice.xs[i];
    const double x1 = lattice.xs[i + 1];
    const double y0 = lattice.ys[j];
    const double y1 = lattice.ys[j + 1];
    const double z0 = lattice.zs[k];
    const double z1 = lattice.zs[k + 1];
    const double* p = samples + i + kN * j + kSliceStride * k;
    cube->corners[0] = {{x0, y0, z1}, p[kSliceStride]};
    cube->corners[1] = {{x1, y0, z1}, p[kSliceStride + 1]};
    cube->corners[2] = {{x1, y0, z0}, p[1]};
    cube->corners[3] = {{x0, y0, z0}, p[0]};
    cube->corners[4] = {{x0, y1, z1}, p[kSliceStride + kN]};
    cube->corners[5] = {{x1, y1, z1}, p[kSliceStride + kN + 1]};
    cube->corners[6] = {{x1, y1, z0}, p[kN + 1]};
    cube->corners[7] = {{x0, y1, z0}, p[kN]};
}

int32_t meshCube(const BlockLattice& lattice, const double* samples, int i, int j, int k,
                 double isoLevel, TriangleRecord* records) {
    GridCube cube;
    Triangle3d triangles[5];
    loadCube(lattice, samples, i, j, k, &cube);
    const int32_t produced = polygoniseCell(cube, isoLevel, triangles);
    for (int32_t t = 0; t < produced; ++t) {
        records[t] = toTriangleRecord(triangles[t]);
    }
    return produced;
}

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

    int32_t count = 0;
    for (int k = 0; k < kN - 1; ++k) {
        for (int j = 0; j < kN - 1; ++j) {
            // The four sample rows around this row of cubes. Bit i of `differs` says that their
            // four samples at x(i) are not all alike; cube i has its corners at x(i) and x(i + 1).
            const uint64_t a = below[j + kN * k];
            const uint64_t differs = (a ^ below[j + 1 + kN * k]) | (a ^ below[j + kN * (k + 1)]) |
                                     (a ^ below[j + 1 + kN * (k + 1)]);
            uint64_t crossed = (differs | (differs >> 1) | (a ^ (a >> 1))) & kCubeBits;
            // Set bits in increasing order keep the walk's x-fastest order of records.
            for (; crossed != 0; crossed &= crossed - 1) {
                const int i = __builtin_ctzll(crossed);
                count += meshCube(lattice, samples, i, j, k, isoLevel, records + count);
            }
        }
    }
    return count;
}
