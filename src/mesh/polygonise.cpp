// Cube polygoniser of marching cubes (Lorensen and Cline, 1987).
#include "mesh/polygonise.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "mesh/tables.h"

namespace {

uint32_t floatBits(double coordinate) {
    const float narrowed = static_cast<float>(coordinate);
    uint32_t bits;
    std::memcpy(&bits, &narrowed, sizeof bits);
    return bits;
}

}  // namespace

// interpolateEdgeVertex's arithmetic at the ends of the intervals. Every operation rounds
// monotonically in each argument, so the rounded difference iso - v1 lies between its values at
// v1's two ends, v2 - v1 between (low2 - high1) and (high2 - low1), and, with both of one sign
// for every value, their rounded quotient mu between the two quotients taken across, (iso - high1)
// / (high2 - low1) and (iso - low1) / (low2 - high1); each coordinate p1 + mu (p2 - p1), and its
// narrowing, then lies between its values at those two mu.
bool crossingIsPinned(double isoLevel, const Vec3d& p1, double low1, double high1, const Vec3d& p2,
                      double low2, double high2) {
    const bool firstBelow = high1 < isoLevel;
    if (!(firstBelow ? low2 >= isoLevel : low1 >= isoLevel && high2 < isoLevel)) {
        return false;
    }
    // The snapping tests: each distance is smallest at the ends nearest to the other interval.
    const double near1 = firstBelow ? high1 : low1;
    const double near2 = firstBelow ? low2 : high2;
    if (!(std::fabs(isoLevel - near1) >= kInterpolationEpsilon) ||
        !(std::fabs(isoLevel - near2) >= kInterpolationEpsilon) ||
        !(std::fabs(near2 - near1) >= kInterpolationEpsilon)) {
        return false;
    }
    const double muA = (isoLevel - high1) / (high2 - low1);
    const double muB = (isoLevel - low1) / (low2 - high1);
    const double c1[3] = {p1.x, p1.y, p1.z};
    const double c2[3] = {p2.x, p2.y, p2.z};
    bool moves = false;
    for (int axis = 0; axis < 3; ++axis) {
        // A fixed coordinate is p1's own for both ends: mu * 0 is +0 for the positive mu the
        // class tests leave, and a NaN mu fails on the axis that moves.
        if (c1[axis] == c2[axis]) {
            continue;
        }
        const double a = c1[axis] + muA * (c2[axis] - c1[axis]);
        const double b = c1[axis] + muB * (c2[axis] - c1[axis]);
        if (floatBits(a) != floatBits(b)) {
            return false;
        }
        moves = true;
        const double lowest = std::min(c1[axis], c2[axis]);
        const double highest = std::max(c1[axis], c2[axis]);
        if (!(std::min(a, b) > lowest && std::max(a, b) < highest)) {
            return false;
        }
    }
    return moves;
}

int32_t polygoniseCell(const GridCube& cube, double isoLevel, Triangle3d* triangles) {
    int cubeIndex = 0;
    for (int i = 0; i < 8; ++i) {
        cubeIndex |= static_cast<int>(cube.corners[i].value < isoLevel) << i;
    }
    const int32_t mask = kEdgeTable[cubeIndex];
    // Most cubes lie wholly on one side: leave before touching anything else.
    if (mask == 0) {
        return 0;
    }
    // Only crossed edges are computed; the triangle table never names any other.
    Vec3d crossings[12];
    for (uint32_t edges = static_cast<uint32_t>(mask); edges != 0; edges &= edges - 1) {
        const int e = __builtin_ctz(edges);
        crossings[e] = interpolateEdgeVertex(isoLevel, cube.corners[kEdgeCorners[e][0]],
                                             cube.corners[kEdgeCorners[e][1]]);
    }
    const Vec3d* const edgePoints[12] = {
        crossings + 0, crossings + 1, crossings + 2, crossings + 3, crossings + 4,  crossings + 5,
        crossings + 6, crossings + 7, crossings + 8, crossings + 9, crossings + 10, crossings + 11};
    return assembleTriangles(cubeIndex, edgePoints, 0, triangles);
}
