// The triangle file: a headerless array of 48-byte TriangleRecords (three binary32 vertices and
// one binary32 colour, little-endian), one per triangle; its size is 48 times the count.
#pragma once

#include "common/types.h"

// Every record carries this colour: bit patterns 0x3F800000, 0x3F4CCCCD, 0x3ECCCCCD.
constexpr Vec3f kTriangleColor = {1.0f, 0.8f, 0.4f};

// Narrows each coordinate to binary32 (round to nearest even) and adds the constant colour.
inline TriangleRecord toTriangleRecord(const Triangle3d& triangle) {
    TriangleRecord record;
    for (int v = 0; v < 3; ++v) {
        record.vertices[v] = {static_cast<float>(triangle.vertices[v].x),
                              static_cast<float>(triangle.vertices[v].y),
                              static_cast<float>(triangle.vertices[v].z)};
    }
    record.color = kTriangleColor;
    return record;
}
