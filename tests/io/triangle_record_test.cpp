#include <gtest/gtest.h>

#include <cstring>

#include "io/triangle_record.h"

namespace {

const unsigned char kColorBytes[12] = {0x00, 0x00, 0x80, 0x3F, 0xCD, 0xCC,
                                       0x4C, 0x3F, 0xCD, 0xCC, 0xCC, 0x3E};

}  // namespace

TEST(TriangleRecordFormat, RecordIsItsLittleEndianImage) {
    const Triangle3d triangle = {{{0.5, -1.0, 0.25}, {1.0, 2.0, 3.0}, {-2.0, 0.0, 1.5}}};
    const TriangleRecord record = toTriangleRecord(triangle);
    unsigned char bytes[48];
    std::memcpy(bytes, &record, 48);
    const unsigned char firstVertex[12] = {0x00, 0x00, 0x00, 0x3F, 0x00, 0x00,
                                           0x80, 0xBF, 0x00, 0x00, 0x80, 0x3E};
    EXPECT_EQ(std::memcmp(bytes, firstVertex, 12), 0);
    EXPECT_EQ(std::memcmp(bytes + 36, kColorBytes, 12), 0);
    float secondX;
    std::memcpy(&secondX, bytes + 12, 4);
    EXPECT_EQ(secondX, 1.0f);
    // Narrowing rounds to nearest even: 1 + 2^-24 is halfway and goes to 1.
    const Triangle3d halfway = {{{1.0 + 0x1p-24, 0, 0}, {1.0 + 0x1.8p-23, 0, 0}, {0, 0, 0}}};
    const TriangleRecord rounded = toTriangleRecord(halfway);
    EXPECT_EQ(rounded.vertices[0].x, 1.0f);
    EXPECT_EQ(rounded.vertices[1].x, 1.0f + 0x1p-22f);
}
