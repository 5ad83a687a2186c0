// Cube polygoniser of marching cubes (Lorensen and Cline, 1987).
#include "mesh/polygonise.h"

#include <cmath>

#include "mesh/tables.h"

Vec3d interpolateEdgeVertex(double isoLevel, const GridCorner& p1, const GridCorner& p2) {
    if (std::fabs(isoLevel - p1.value) < kInterpolationEpsilon) {
        return p1.position;
    }
    if (std::fabs(isoLevel - p2.value) < kInterpolationEpsilon) {
        return p2.position;
    }
    if (std::fabs(p2.value - p1.value) < kInterpolationEpsilon) {
        return p1.position;
    }
    const double mu = (isoLevel - p1.value) / (p2.value - p1.value);
    return {p1.position.x + mu * (p2.position.x - p1.position.x),
            p1.position.y + mu * (p2.position.y - p1.position.y),
            p1.position.z + mu * (p2.position.z - p1.position.z)};
}

namespace {

// Exact equality of all three coordinates: 0 equals -0, NaN equals nothing.
bool samePoint(const Vec3d& a, const Vec3d& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

}  // namespace

int32_t polygoniseCell(const GridCube& cube, double isoLevel, Triangle3d* triangles) {
    int cubeIndex = 0;
    for (int i = 0; i < 8; ++i) {
        if (cube.corners[i].value < isoLevel) {
            cubeIndex |= 1 << i;
        }
    }
    const int32_t mask = kEdgeTable[cubeIndex];
    // Most cubes lie wholly on one side: leave before touching anything else.
    if (mask == 0) {
        return 0;
    }
    // Only crossed edges are computed; the triangle table never names any other.
    Vec3d crossings[12];
    for (int e = 0; e < 12; ++e) {
        if (mask & (1 << e)) {
            crossings[e] = interpolateEdgeVertex(isoLevel, cube.corners[kEdgeCorners[e][0]],
                                                 cube.corners[kEdgeCorners[e][1]]);
        }
    }
    const int32_t* row = kTriTable[cubeIndex];
    int32_t count = 0;
    for (int k = 0; row[k] != -1; k += 3) {
        Triangle3d& slot = triangles[count];
        slot.vertices[0] = crossings[row[k]];
        slot.vertices[1] = crossings[row[k + 1]];
        slot.vertices[2] = crossings[row[k + 2]];
        // A snapped vertex can coincide with another: such a triangle has no area and is
        // dropped by writing the next one into the same slot.
        const bool degenerate = samePoint(slot.vertices[0], slot.vertices[1]) ||
                                samePoint(slot.vertices[0], slot.vertices[2]) ||
                                samePoint(slot.vertices[1], slot.vertices[2]);
        if (!degenerate) {
            ++count;
        }
    }
    return count;
}
