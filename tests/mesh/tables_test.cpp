#include <gtest/gtest.h>

#include <cstdint>

#include "mesh/tables.h"

namespace {

// Reflected CRC-32 (polynomial 0xEDB88320), as zlib and PNG compute it.
uint32_t crc32OfInts(const int32_t* values, int count) {
    uint32_t crc = 0xFFFFFFFFu;
    for (int n = 0; n < count; ++n) {
        const uint32_t word = static_cast<uint32_t>(values[n]);
        for (int byte = 0; byte < 4; ++byte) {
            crc ^= (word >> (8 * byte)) & 0xFFu;
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
            }
        }
    }
    return ~crc;
}

int triangleCount(int row) {
    int k = 0;
    while (kTriTable[row][k] != -1) {
        k += 3;
    }
    return k / 3;
}

// Unit-cube corner positions of the corner numbering: 0-3 at y = 0, 4-7 at y = 1.
const double kCornerPos[8][3] = {{0, 0, 1}, {1, 0, 1}, {1, 0, 0}, {0, 0, 0},
                                 {0, 1, 1}, {1, 1, 1}, {1, 1, 0}, {0, 1, 0}};

}  // namespace

TEST(MarchingCubesTables, TriangleTableHasItsChecksumAndRowSizes) {
    EXPECT_EQ(crc32OfInts(&kTriTable[0][0], 256 * 16), 0xE39B418Bu);
    int rowsWithCount[6] = {};
    int total = 0;
    for (int row = 0; row < 256; ++row) {
        const int count = triangleCount(row);
        ASSERT_LE(count, 5) << "row " << row;
        ++rowsWithCount[count];
        total += count;
        for (int k = count * 3; k < 16; ++k) {
            EXPECT_EQ(kTriTable[row][k], -1) << "row " << row << " entry " << k;
        }
    }
    const int expected[6] = {2, 16, 50, 80, 76, 32};
    for (int c = 0; c < 6; ++c) {
        EXPECT_EQ(rowsWithCount[c], expected[c]) << c << " triangles";
    }
    EXPECT_EQ(total, 820);
}

TEST(MarchingCubesTables, EdgeTableFollowsItsRule) {
    EXPECT_EQ(kEdgeTable[0], 0);
    EXPECT_EQ(kEdgeTable[255], 0);
    EXPECT_EQ(kEdgeTable[1], 0x109);
    EXPECT_EQ(kEdgeTable[2], 0x203);
    EXPECT_EQ(kEdgeTable[3], 0x30a);
    EXPECT_EQ(kEdgeTable[128], 0x8c0);
    for (int n = 0; n < 256; ++n) {
        EXPECT_EQ(kEdgeTable[n], kEdgeTable[255 - n]) << n;
        EXPECT_EQ(kEdgeTable[n] & ~0xFFF, 0) << n;
    }
}

TEST(MarchingCubesTables, TrianglesUseExactlyTheCrossedEdges) {
    for (int row = 0; row < 256; ++row) {
        int32_t used = 0;
        for (int k = 0; kTriTable[row][k] != -1; ++k) {
            const int edge = kTriTable[row][k];
            ASSERT_GE(edge, 0);
            ASSERT_LT(edge, 12);
            used |= 1 << edge;
        }
        EXPECT_EQ(used, kEdgeTable[row]) << "row " << row;
    }
}

TEST(MarchingCubesTables, NormalsPointTowardsCornersBelowTheLevel) {
    for (int row = 1; row < 255; ++row) {
        // Class 0 below the level, 1 otherwise; crossing points at edge midpoints.
        double cls[8];
        for (int c = 0; c < 8; ++c) {
            cls[c] = ((row >> c) & 1) ? 0.0 : 1.0;
        }
        for (int k = 0; kTriTable[row][k] != -1; k += 3) {
            double v[3][3];
            for (int t = 0; t < 3; ++t) {
                const int edge = kTriTable[row][k + t];
                for (int a = 0; a < 3; ++a) {
                    v[t][a] = 0.5 * (kCornerPos[kEdgeCorners[edge][0]][a] +
                                     kCornerPos[kEdgeCorners[edge][1]][a]);
                }
            }
            const double e1[3] = {v[1][0] - v[0][0], v[1][1] - v[0][1], v[1][2] - v[0][2]};
            const double e2[3] = {v[2][0] - v[0][0], v[2][1] - v[0][1], v[2][2] - v[0][2]};
            const double normal[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                                      e1[0] * e2[1] - e1[1] * e2[0]};
            double centroid[3];
            for (int a = 0; a < 3; ++a) {
                centroid[a] = (v[0][a] + v[1][a] + v[2][a]) / 3.0;
            }
            // Gradient of the trilinear blend sum(cls_c * prod_a w_a), w_a = p or 1 - p.
            double gradient[3] = {0, 0, 0};
            for (int c = 0; c < 8; ++c) {
                for (int a = 0; a < 3; ++a) {
                    double term = cls[c] * (kCornerPos[c][a] == 1.0 ? 1.0 : -1.0);
                    for (int b = 0; b < 3; ++b) {
                        if (b != a) {
                            term *= kCornerPos[c][b] == 1.0 ? centroid[b] : 1.0 - centroid[b];
                        }
                    }
                    gradient[a] += term;
                }
            }
            const double dot =
                normal[0] * gradient[0] + normal[1] * gradient[1] + normal[2] * gradient[2];
            EXPECT_LT(dot, 0.0) << "row " << row << " triangle " << k / 3;
        }
    }
}
