// Shared geometry and record types: plain data passed between the field, the mesher and the
// writer. All geometry is double precision until a TriangleRecord narrows it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

struct Vec3d {
    double x;
    double y;
    double z;
};

// An axis-aligned box: six doubles in the order min.x, min.y, min.z, max.x, max.y, max.z.
struct Box3d {
    Vec3d min;
    Vec3d max;
};

// One cube corner: its position and the field value sampled there, four doubles side by side.
struct GridCorner {
    Vec3d position;
    double value;
};

// Corners 0-3 form the face at the lower y in cyclic order, 4-7 the upper face in the same sense;
// corner i + 4 lies directly above corner i.
struct GridCube {
    GridCorner corners[8];
};

// Three vertices; their order is the winding.
struct Triangle3d {
    Vec3d vertices[3];
};

struct Vec3f {
    float x;
    float y;
    float z;
};

// The 48-byte output record, written to disk as its in-memory image (little-endian binary32).
struct TriangleRecord {
    Vec3f vertices[3];
    Vec3f color;
};

static_assert(sizeof(Vec3f) == 12, "Vec3f must be three packed floats");
static_assert(sizeof(TriangleRecord) == 48, "TriangleRecord must be 48 bytes");
static_assert(offsetof(TriangleRecord, vertices) == 0, "vertices start the record");
static_assert(offsetof(TriangleRecord, color) == 36, "color follows the nine vertex floats");
static_assert(std::is_trivially_copyable<TriangleRecord>::value, "records are written as bytes");
static_assert(sizeof(GridCorner) == 32 && sizeof(Box3d) == 48, "plain packed doubles");

// Samples per block along one axis, and the sizes that follow from it.
constexpr int kBlockSamplesPerAxis = 64;
constexpr std::size_t kBlockSampleCount = 64 * 64 * 64;       // 262,144 doubles, 2 MiB
constexpr std::size_t kBlockRecordCapacity = 5 * 64 * 64 * 64; // 1,310,720 records, 60 MiB
// 63^3 cubes at five triangles each: the most records one block can yield.
constexpr std::size_t kBlockMaxRecords = 5 * 63 * 63 * 63;     // 1,250,235
static_assert(kBlockMaxRecords <= kBlockRecordCapacity, "a block's records always fit");

// The two working buffers of one meshing job, allocated once and lent to meshBlock per block.
// `samples` is allocated before `records`; neither is cleared, so pages never touched are never
// made resident. The destructor releases `samples`, then `records`. Throws std::bad_alloc.
struct BlockBuffers {
    double* samples;
    TriangleRecord* records;

    BlockBuffers();
    ~BlockBuffers();
    BlockBuffers(const BlockBuffers&) = delete;
    BlockBuffers& operator=(const BlockBuffers&) = delete;
};
