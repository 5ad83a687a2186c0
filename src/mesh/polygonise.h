// Marching cubes for one grid cube: the crossing point on an edge, and the cube's triangles.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

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
// Inline: the crossing pins test every crossed edge with it.
inline bool crossingIsPinned(double isoLevel, const Vec3d& p1, double low1, double high1,
                             const Vec3d& p2, double low2, double high2);

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

// ---- crossingIsPinned, inline

// A coordinate narrowed to binary32, as its bit pattern.
inline uint32_t floatBits(double coordinate) {
    const float narrowed = static_cast<float>(coordinate);
    uint32_t bits;
    std::memcpy(&bits, &narrowed, sizeof bits);
    return bits;
}

// interpolateEdgeVertex's arithmetic at the ends of the intervals. Every operation rounds
// monotonically in each argument, so the rounded difference iso - v1 lies between its values at
// v1's two ends, v2 - v1 between (low2 - high1) and (high2 - low1), and, with both of one sign
// for every value, their rounded quotient mu between the two quotients taken across, (iso - high1)
// / (high2 - low1) and (iso - low1) / (low2 - high1); each coordinate p1 + mu (p2 - p1), and its
// narrowing, then lies between its values at those two mu.
inline bool crossingIsPinned(double isoLevel, const Vec3d& p1, double low1, double high1,
                             const Vec3d& p2, double low2, double high2) {
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
