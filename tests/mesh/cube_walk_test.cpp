#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "app/front_end.h"
#include "mesh/cube_walk.h"
#include "mesh/polygonise.h"
#include "support/reference_paths.h"

namespace {

const Box3d kPresetZeroBox = kRunBox;
const unsigned char kColorBytes[12] = {0x00, 0x00, 0x80, 0x3F, 0xCD, 0xCC,
                                       0x4C, 0x3F, 0xCD, 0xCC, 0xCC, 0x3E};

// One BlockBuffers for the whole test program: 62 MiB, allocated once.
BlockBuffers& sharedBuffers() {
    static BlockBuffers buffers;
    return buffers;
}

// A value above the level for the corner at `far` that makes the crossing of the edge from `near`
// (below the level) land on different float32 coordinates when interpolated from either end:
// aimed at float32 midpoints along the edge, then stepped ulp by ulp until the two roundings part.
double valueThatSplitsTheDirections(const GridCorner& near, Vec3d far) {
    const double nearAxis = near.position.x + near.position.y + near.position.z;
    const double farAxis = far.x + far.y + far.z;  // the corners differ along one axis only
    for (double fraction = 0.6; fraction < 0.8; fraction += 0.01) {
        const float aim = static_cast<float>(nearAxis + (farAxis - nearAxis) * fraction);
        const double midpoint =
            (aim + static_cast<double>(std::nextafter(aim, static_cast<float>(farAxis)))) / 2.0;
        const double mu = (midpoint - nearAxis) / (farAxis - nearAxis);
        double value = near.value + (0.5 - near.value) / mu - 100 * 0x1p-53;
        for (int step = 0; step < 200; ++step, value = std::nextafter(value, 2.0)) {
            const GridCorner other = {far, value};
            const Vec3d forward = interpolateEdgeVertex(0.5, near, other);
            const Vec3d backward = interpolateEdgeVertex(0.5, other, near);
            if (static_cast<float>(forward.x + forward.y + forward.z) !=
                static_cast<float>(backward.x + backward.y + backward.z)) {
                return value;
            }
        }
    }
    return 1.0;  // none found: the caller's check fails
}

}  // namespace

TEST(CubeWalk, EachCubeTakesItsCrossingsInItsOwnEdgeDirection) {
    // One sample below the level, its six neighbours' values chosen so that each crossing's
    // float32 point depends on the end it is interpolated from: the walk, which computes each
    // point once per direction, must give every cube the point of its own direction.
    BlockBuffers& buffers = sharedBuffers();
    const BlockLattice lattice = computeBlockLattice(kPresetZeroBox);
    std::fill(buffers.samples, buffers.samples + kBlockSampleCount, 1.0);
    const int i = 20, j = 30, k = 40;
    const GridCorner centre = {{lattice.xs[i], lattice.ys[j], lattice.zs[k]}, 0.25};
    buffers.samples[i + 64 * j + 4096 * k] = centre.value;
    const int steps[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    for (const auto& d : steps) {
        const Vec3d far = {lattice.xs[i + d[0]], lattice.ys[j + d[1]], lattice.zs[k + d[2]]};
        // The shared coordinates taken out, so that only the edge's axis is summed.
        const Vec3d shared = {d[0] ? 0.0 : far.x, d[1] ? 0.0 : far.y, d[2] ? 0.0 : far.z};
        const GridCorner near = {subtract(centre.position, shared), centre.value};
        const double value = valueThatSplitsTheDirections(near, subtract(far, shared));
        ASSERT_LT(value, 1.0) << d[0] << d[1] << d[2];
        buffers.samples[i + d[0] + 64 * (j + d[1]) + 4096 * (k + d[2])] = value;
    }
    const int32_t expected = meshEveryCube(kPresetZeroBox, buffers.samples, 0.5, buffers.records);
    ASSERT_EQ(expected, 8);
    const std::vector<TriangleRecord> reference(buffers.records, buffers.records + expected);
    computeClassMasks(buffers.samples, 0.5, buffers.classMasks);
    ASSERT_EQ(meshSampledBlock(kPresetZeroBox, buffers.samples, buffers.classMasks, 0.5,
                               buffers.records),
              expected);
    EXPECT_EQ(std::memcmp(reference.data(), buffers.records, sizeof(TriangleRecord) * 8), 0);
}

TEST(CubeWalk, CornerPositionsEqualSamplePositions) {
    BlockBuffers& buffers = sharedBuffers();
    const FieldParams params = kDefaultFieldParams;
    sampleBlockReference(params, kPresetZeroBox, buffers.samples);
    const BlockLattice lattice = computeBlockLattice(kPresetZeroBox);
    // Near the surface the field is sensitive to the last bit of the point, so the value a corner
    // carries must be the field at that corner's exact position.
    GridCube cube;
    int crossingCubes = 0;
    for (int k = 0; k < 63; ++k) {
        for (int j = 0; j < 63; ++j) {
            for (int i = 0; i < 63; ++i) {
                loadCube(lattice, buffers.samples, i, j, k, &cube);
                bool below = false;
                bool notBelow = false;
                for (const GridCorner& corner : cube.corners) {
                    (corner.value < 0.5 ? below : notBelow) = true;
                }
                if (!(below && notBelow) || (i + j + k) % 7 != 0) {
                    continue;
                }
                ++crossingCubes;
                for (const GridCorner& corner : cube.corners) {
                    ASSERT_EQ(corner.value, fieldValue(corner.position, params))
                        << "cube " << i << " " << j << " " << k;
                }
            }
        }
    }
    EXPECT_GT(crossingCubes, 500);
    // The corner numbering: corner 3 is the cube's lowest corner, corner 5 its highest.
    loadCube(lattice, buffers.samples, 10, 20, 30, &cube);
    EXPECT_EQ(cube.corners[3].position.x, lattice.xs[10]);
    EXPECT_EQ(cube.corners[3].position.y, lattice.ys[20]);
    EXPECT_EQ(cube.corners[3].position.z, lattice.zs[30]);
    EXPECT_EQ(cube.corners[5].position.x, lattice.xs[11]);
    EXPECT_EQ(cube.corners[5].position.y, lattice.ys[21]);
    EXPECT_EQ(cube.corners[5].position.z, lattice.zs[31]);
    EXPECT_EQ(cube.corners[0].value, buffers.samples[10 + 64 * 20 + 4096 * 31]);
}

TEST(CubeWalk, PresetZeroBoxGivesASaneMesh) {
    BlockBuffers& buffers = sharedBuffers();
    // Before narrowing, no triangle has two equal vertices in double precision.
    sampleBlockReference(kDefaultFieldParams, kPresetZeroBox, buffers.samples);
    const BlockLattice lattice = computeBlockLattice(kPresetZeroBox);
    int32_t doubleTriangles = 0;
    GridCube cube;
    Triangle3d triangles[5];
    for (int k = 0; k < 63; ++k) {
        for (int j = 0; j < 63; ++j) {
            for (int i = 0; i < 63; ++i) {
                loadCube(lattice, buffers.samples, i, j, k, &cube);
                const int32_t produced = polygoniseCell(cube, 0.5, triangles);
                for (int32_t t = 0; t < produced; ++t) {
                    const Vec3d* v = triangles[t].vertices;
                    for (int a = 0; a < 3; ++a) {
                        const Vec3d& p = v[a];
                        const Vec3d& q = v[(a + 1) % 3];
                        ASSERT_FALSE(p.x == q.x && p.y == q.y && p.z == q.z);
                    }
                }
                doubleTriangles += produced;
            }
        }
    }
    computeClassMasks(buffers.samples, 0.5, buffers.classMasks);
    const int32_t count = meshSampledBlock(kPresetZeroBox, buffers.samples, buffers.classMasks, 0.5,
                                           buffers.records);
    EXPECT_EQ(count, doubleTriangles);
    // The preset table expects 0.04 million triangles.
    EXPECT_GT(count, 36000);
    EXPECT_LT(count, 48000);
    const float limit = 1.2000000000000002f;
    for (int32_t r = 0; r < count; ++r) {
        const TriangleRecord& record = buffers.records[r];
        for (const Vec3f& v : record.vertices) {
            ASSERT_TRUE(v.x >= -limit && v.x <= limit && v.y >= -limit && v.y <= limit &&
                        v.z >= -limit && v.z <= limit)
                << "record " << r;
        }
        ASSERT_EQ(std::memcmp(&record.color, kColorBytes, 12), 0) << "record " << r;
    }
}

