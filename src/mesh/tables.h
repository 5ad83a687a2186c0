// Marching-cubes tables for the corner numbering of GridCube (corners 0-3 on the lower-y face in
// cyclic order, 4-7 above them; edge i + 8 joins corner i to corner i + 4).
#pragma once

#include <array>
#include <cstdint>

// Edge e joins corner kEdgeCorners[e][0] (p1 of the interpolation) to kEdgeCorners[e][1] (p2).
// The order decides which corner wins a tie and the exact bits of the interpolated point.
constexpr int kEdgeCorners[12][2] = {
    {0, 1}, {1, 2}, {2, 3}, {3, 0}, {4, 5}, {5, 6}, {6, 7}, {7, 4}, {0, 4}, {1, 5}, {2, 6}, {3, 7},
};

// Bit e of entry n is set exactly when edge e has one end below the level and one not, for cube
// index n (bit i of n set when corner i is below). Generated from that rule, so it cannot drift.
constexpr std::array<int32_t, 256> makeEdgeTable() {
    std::array<int32_t, 256> table{};
    for (int n = 0; n < 256; ++n) {
        int32_t mask = 0;
        for (int e = 0; e < 12; ++e) {
            const bool firstBelow = ((n >> kEdgeCorners[e][0]) & 1) != 0;
            const bool secondBelow = ((n >> kEdgeCorners[e][1]) & 1) != 0;
            if (firstBelow != secondBelow) {
                mask |= int32_t{1} << e;
            }
        }
        table[n] = mask;
    }
    return table;
}
constexpr std::array<int32_t, 256> kEdgeTable = makeEdgeTable();

// 256 rows of 16 edge numbers, in groups of three (one triangle each, in winding order), ended
// by -1 and padded with -1. Triangles are wound so that their normal points towards the corners
// below the level.
extern const int32_t kTriTable[256][16];
