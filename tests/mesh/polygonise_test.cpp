#include <gtest/gtest.h>

#include <cstdint>
#include <cmath>
#include <cstring>
#include <limits>

#include "mesh/polygonise.h"

namespace {

// The unit cube with the mesher's corner positions (x0 = y0 = z0 = 0, x1 = y1 = z1 = 1).
GridCube unitCube(const double (&values)[8]) {
    const Vec3d positions[8] = {{0, 0, 1}, {1, 0, 1}, {1, 0, 0}, {0, 0, 0},
                                {0, 1, 1}, {1, 1, 1}, {1, 1, 0}, {0, 1, 0}};
    GridCube cube;
    for (int c = 0; c < 8; ++c) {
        cube.corners[c] = {positions[c], values[c]};
    }
    return cube;
}

void expectPoint(const Vec3d& actual, const Vec3d& expected) {
    EXPECT_EQ(actual.x, expected.x);
    EXPECT_EQ(actual.y, expected.y);
    EXPECT_EQ(actual.z, expected.z);
}

Vec3d normalOf(const Triangle3d& t) {
    const Vec3d a = {t.vertices[1].x - t.vertices[0].x, t.vertices[1].y - t.vertices[0].y,
                     t.vertices[1].z - t.vertices[0].z};
    const Vec3d b = {t.vertices[2].x - t.vertices[0].x, t.vertices[2].y - t.vertices[0].y,
                     t.vertices[2].z - t.vertices[0].z};
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

}  // namespace

TEST(Polygoniser, WorkedExampleGivesOneOutwardTriangle) {
    const GridCube cube = unitCube({0.25, 0.75, 0.75, 0.75, 0.75, 0.75, 0.75, 0.75});
    Triangle3d triangles[5];
    ASSERT_EQ(polygoniseCell(cube, 0.5, triangles), 1);
    expectPoint(triangles[0].vertices[0], {0.5, 0, 1});
    expectPoint(triangles[0].vertices[1], {0, 0.5, 1});
    expectPoint(triangles[0].vertices[2], {0, 0, 0.5});
    expectPoint(normalOf(triangles[0]), {-0.25, -0.25, 0.25});
}

TEST(Polygoniser, CubeOnOneSideWritesNothing) {
    Triangle3d triangles[5];
    std::memset(triangles, 0x5A, sizeof triangles);
    Triangle3d untouched[5];
    std::memcpy(untouched, triangles, sizeof triangles);
    const double above[8] = {0.75, 0.75, 0.75, 0.75, 0.75, 0.75, 0.75, 0.5};  // 0.5 is not below
    const double below[8] = {0.25, 0.25, 0.25, 0.25, 0.25, 0.25, 0.25, 0.25};
    EXPECT_EQ(polygoniseCell(unitCube(above), 0.5, triangles), 0);
    EXPECT_EQ(polygoniseCell(unitCube(below), 0.5, triangles), 0);
    EXPECT_EQ(std::memcmp(triangles, untouched, sizeof triangles), 0);
}

TEST(Polygoniser, ValuesAtTheLevelSnapToTheirCorner) {
    Triangle3d triangles[5];
    // Corner 0 exactly at the level is not below; index 2, row 0 1 9. Edge 0 snaps to corner 0
    // by the first test; edges 1 and 9 lie halfway from corner 1.
    const GridCube first = unitCube({0.5, 0.25, 0.75, 0.75, 0.75, 0.75, 0.75, 0.75});
    ASSERT_EQ(polygoniseCell(first, 0.5, triangles), 1);
    expectPoint(triangles[0].vertices[0], {0, 0, 1});
    expectPoint(triangles[0].vertices[1], {1, 0, 0.5});
    expectPoint(triangles[0].vertices[2], {1, 0.5, 1});
    // Corner 3 alone below, corner 0 at the level: edge 3 (3 -> 0) snaps to corner 0 by the
    // second test. Row 8 is 3 11 2.
    const GridCube second = unitCube({0.5, 0.75, 0.75, 0.25, 0.75, 0.75, 0.75, 0.75});
    ASSERT_EQ(polygoniseCell(second, 0.5, triangles), 1);
    expectPoint(triangles[0].vertices[0], {0, 0, 1});
    expectPoint(triangles[0].vertices[1], {0, 0.5, 0});
    expectPoint(triangles[0].vertices[2], {0.5, 0, 0});
}

TEST(Polygoniser, InterpolationTestsRunInOrder) {
    const GridCorner a = {{1, 2, 3}, 0.5};
    const GridCorner b = {{4, 5, 6}, 0.5 + 1e-31};
    // Both ends within the epsilon: the first corner wins.
    expectPoint(interpolateEdgeVertex(0.5, a, b), a.position);
    expectPoint(interpolateEdgeVertex(0.5, b, a), b.position);
    // Equal values far from the level: the first corner (third test).
    const GridCorner c = {{1, 2, 3}, 0.9};
    const GridCorner d = {{4, 5, 6}, 0.9};
    expectPoint(interpolateEdgeVertex(0.5, c, d), c.position);
    // Otherwise p1 + mu * (p2 - p1), mu = (0.5 - 0.25) / (1.25 - 0.25) = 0.25.
    const GridCorner e = {{0, 4, -8}, 0.25};
    const GridCorner f = {{1, 8, 8}, 1.25};
    expectPoint(interpolateEdgeVertex(0.5, e, f), {0.25, 5, -4});
    EXPECT_EQ(kInterpolationEpsilon, 1.0000000031710769e-30);
    uint64_t bits;
    std::memcpy(&bits, &kInterpolationEpsilon, 8);
    EXPECT_EQ(bits, 0x39B4484C00000000u);
}

TEST(Polygoniser, DegenerateTrianglesAreDroppedWithoutGaps) {
    Triangle3d triangles[5];
    // All three vertices snap to corner 0: index 1, but the triangle has no area.
    const GridCube allSnap = unitCube({0, 1, 1, 1, 1, 1, 1, 1});
    EXPECT_EQ(polygoniseCell(allSnap, 1e-31, triangles), 0);
    // Eight corners at one position: every triangle is degenerate.
    GridCube point = unitCube({0.25, 0.75, 0.25, 0.75, 0.75, 0.25, 0.75, 0.25});
    for (GridCorner& corner : point.corners) {
        corner.position = {0.5, 0.5, 0.5};
    }
    EXPECT_EQ(polygoniseCell(point, 0.5, triangles), 0);
    // Row 3 (corners 0 and 1 below) is 1 8 3, 9 8 1. Moving corner 4 onto corner 3 makes the
    // midpoints of edges 3 and 8 equal, so the first triangle goes and the second takes slot 0.
    GridCube folded = unitCube({0.25, 0.25, 0.75, 0.75, 0.75, 0.75, 0.75, 0.75});
    folded.corners[4].position = folded.corners[3].position;
    ASSERT_EQ(polygoniseCell(folded, 0.5, triangles), 1);
    expectPoint(triangles[0].vertices[0], {1, 0.5, 1});   // edge 9
    expectPoint(triangles[0].vertices[1], {0, 0, 0.5});   // edge 8
    expectPoint(triangles[0].vertices[2], {1, 0, 0.5});   // edge 1
}

TEST(Polygoniser, FiveTriangleRowFillsTheBuffer) {
    // Index 121: corners 0, 3, 4, 5 and 6 below.
    const GridCube cube = unitCube({0.25, 0.75, 0.75, 0.25, 0.25, 0.25, 0.25, 0.75});
    Triangle3d triangles[5];
    ASSERT_EQ(polygoniseCell(cube, 0.5, triangles), 5);
    // Row 121 starts 2 0 7: edge 2 (corner 2 -> 3), edge 0 (0 -> 1), edge 7 (7 -> 4).
    expectPoint(triangles[0].vertices[0], {0.5, 0, 0});
    expectPoint(triangles[0].vertices[1], {0.5, 0, 1});
    expectPoint(triangles[0].vertices[2], {0, 1, 0.5});
    // Last group 9 10 7.
    expectPoint(triangles[4].vertices[0], {1, 0.5, 1});
    expectPoint(triangles[4].vertices[1], {1, 0.5, 0});
    expectPoint(triangles[4].vertices[2], {0, 1, 0.5});
}

TEST(Polygoniser, NanCornerCountsAsNotBelow) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Only corner 0 below; corner 1 is NaN, so edge 0 gives a NaN point, which equals nothing.
    const GridCube cube = unitCube({0.25, nan, 0.75, 0.75, 0.75, 0.75, 0.75, 0.75});
    Triangle3d triangles[5];
    ASSERT_EQ(polygoniseCell(cube, 0.5, triangles), 1);
    EXPECT_TRUE(std::isnan(triangles[0].vertices[0].x));
}

TEST(Polygoniser, CrossingIsPinnedOnlyWhereEveryValueGivesTheSameFloatPoint) {
    const double below = std::nextafter(0.5, 0.0);
    const struct {
        double low1, high1, low2, high2;
        double x2;  // the edge runs from (1, 0, 0) to (x2, 0, 0)
        bool pinned;
    } cases[] = {
        {0.25, 0.25, 0.75, 0.75, 2.0, true},                  // exact values
        {0.75, 0.75, 0.25, 0.25, 2.0, true},                  // first end above
        {0.25, 0.25 + 1e-15, 0.75 - 1e-15, 0.75, 2.0, true},  // narrow bounds
        {0.25, 0.26, 0.75, 0.75, 2.0, false},                 // several float points
        {0.25, 0.25, 0.5, 0.75, 2.0, false},                  // may snap to the second corner
        {0.25, 0.25, 0.3, 0.3, 2.0, false},                   // both below
        {0.4, 0.6, 0.75, 0.75, 2.0, false},                   // a bound across the level
        {below, below, 1.0, 1.0, 2.0, false},                 // rounds onto the first corner
        {below, below, 1.0, 1.0, 1.0, false},                 // the corners coincide
    };
    for (const auto& c : cases) {
        EXPECT_EQ(crossingIsPinned(0.5, {1.0, 0.0, 0.0}, c.low1, c.high1, {c.x2, 0.0, 0.0}, c.low2,
                                   c.high2),
                  c.pinned)
            << c.low1 << " " << c.high1 << " " << c.low2 << " " << c.high2 << " " << c.x2;
    }
}
