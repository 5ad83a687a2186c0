// The triangle file: a headerless array of 48-byte TriangleRecords (three binary32 vertices and
// one binary32 colour, little-endian), one per triangle; its size is 48 times the count.
#pragma once

#include <cmath>
#include <cstddef>
#include <type_traits>

#include "common/types.h"

struct Vec3f {
    float x;
    float y;
    float z;
};

// The 48-byte record, written to disk as its in-memory image.
struct TriangleRecord {
    Vec3f vertices[3];
    Vec3f color;
};

static_assert(sizeof(Vec3f) == 12, "Vec3f must be three packed floats");
static_assert(sizeof(TriangleRecord) == 48, "TriangleRecord must be 48 bytes");
static_assert(offsetof(TriangleRecord, vertices) == 0, "vertices start the record");
static_assert(offsetof(TriangleRecord, color) == 36, "color follows the nine vertex floats");
static_assert(std::is_trivially_copyable<TriangleRecord>::value, "records are written as bytes");
// Records are written and read as their in-memory image, which is the file's byte order only on
// a little-endian machine.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the file is little-endian");

// Every record carries this colour: bit patterns 0x3F800000, 0x3F4CCCCD, 0x3ECCCCCD.
constexpr Vec3f kTriangleColor = {1.0f, 0.8f, 0.4f};

// Narrows each coordinate to binary32 (round to nearest even) and adds the constant colour.
// Written out, not as a loop over the vertices: the walk stores one per triangle, in place.
inline TriangleRecord toTriangleRecord(const Triangle3d& triangle) {
    const auto narrow = [](const Vec3d& v) -> Vec3f {
        return {static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)};
    };
    return {{narrow(triangle.vertices[0]), narrow(triangle.vertices[1]),
             narrow(triangle.vertices[2])},
            kTriangleColor};
}

inline Vec3d toVec3d(const Vec3f& v) {
    return {v.x, v.y, v.z};
}

inline bool isFinite(const Vec3f& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// True when all three vertices of the record are finite.
inline bool hasFiniteVertices(const TriangleRecord& record) {
    return isFinite(record.vertices[0]) && isFinite(record.vertices[1]) &&
           isFinite(record.vertices[2]);
}
