// Marching cubes for one grid cube: the crossing point on an edge, and the cube's triangles.
#pragma once

#include <cmath>
#include <cstdint>

#include "common/types.h"
#include "mesh/tables.h"

// 1e-30 rounded to binary32 and widened back (bit pattern 0x39B4484C00000000): values this close
// to the level, or to each other, snap to a corner instead of being interpolated.
constexpr double kInterpolationEpsilon = static_cast<double>(1e-30f);

// The point where the level crosses the edge p1 -> p2: p1's position if p1 lies within the epsilon
// of the level, else p2's if p2 does, else p1's if the two values are that close, else the linear
// interpolation p1 + mu * (p2 - p1). Only a position is computed. Inline: the walk computes one
// per crossed edge and direction.
inline Vec3d interpolateEdgeVertex(double isoLevel, const GridCorner& p1, const GridCorner& p2) {
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

// True when interpolateEdgeVertex(isoLevel, p1, p2) gives the same point, to the bit once each
// coordinate is narrowed to float32, for every value of p1 in [low1, high1] and of p2 in
// [low2, high2]: every such value lies on the same side of the level as the rest of its interval,
// the two intervals on opposite sides, no snapping test holds, and the point lies strictly between
// the corners on every axis along which they differ (so it never equals either corner).
bool crossingIsPinned(double isoLevel, const Vec3d& p1, double low1, double high1, const Vec3d& p2,
                      double low2, double high2);

// Writes the cube's 0-5 triangles to `triangles`, which must hold five; returns how many. Corner i
// counts as below when its value < isoLevel. Triangles with two equal vertices are dropped without
// leaving a gap. Never allocates; a cube with no crossed edge writes nothing.
int32_t polygoniseCell(const GridCube& cube, double isoLevel, Triangle3d* triangles);

// ---- internals for the cube walk and the tests

// Exact equality of all three coordinates: 0 equals -0, NaN equals nothing.
inline bool samePoint(const Vec3d& a, const Vec3d& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

// polygoniseCell's second half: the triangles of cube index `cubeIndex` (bit i: corner i below)
// from the crossing points of its crossed edges, edgePoints[e][at] for every edge e set in
// kEdgeTable[cubeIndex] (the others are not read), into `triangles` (room for five). Returns how
// many, degenerate ones dropped. Inline: the walk assembles every crossed cube with it.
inline int32_t assembleTriangles(int cubeIndex, const Vec3d* const* edgePoints, int at,
                                 Triangle3d* triangles) {
    const int32_t* row = kTriTable[cubeIndex];
    int32_t count = 0;
    for (int k = 0; row[k] != -1; k += 3) {
        Triangle3d& slot = triangles[count];
        slot.vertices[0] = edgePoints[row[k]][at];
        slot.vertices[1] = edgePoints[row[k + 1]][at];
        slot.vertices[2] = edgePoints[row[k + 2]][at];
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
