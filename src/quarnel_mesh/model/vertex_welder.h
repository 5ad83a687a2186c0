// Shared vertices for the indexed formats: the distinct positions of a triangle file in
// first-seen order, found through an open-addressing table of indices.
#pragma once

#include <cstdint>
#include <vector>

#include "io/triangle_record.h"
#include "quarnel_mesh/model/seam_stitch.h"

// Spreads the bits of `h` so that nearby values give unrelated results (a bijection on 64 bits):
// the weld table's hash, and the seed of other stable identifiers.
uint64_t mixBits(uint64_t h);

// The bit pattern of `value`, except that -0 gives the pattern of +0.
uint32_t canonicalFloatBits(float value);

// Equal coordinates as single-precision bit patterns, with -0 and +0 taken as equal: the rule by
// which the indexed formats share vertices.
bool sameVertex(const Vec3f& a, const Vec3f& b);

// A colour component in [0, 1] as 0-255, rounded; NaN and values below 0 give 0.
uint8_t colorByte(float component);

struct WeldedVertex {
    Vec3f position;
    uint8_t rgb[3];  // colour of the first record that used the vertex
};

// Memory is about 24-40 bytes per distinct vertex.
struct VertexWelder {
    std::vector<WeldedVertex> vertices;
    std::vector<uint32_t> slots;   // kEmptySlot or an index into vertices; size a power of two
    uint64_t memoryLimitBytes = 0; // growth that would pass this fails instead
};

constexpr uint32_t kEmptySlot = 0xFFFFFFFFu;
constexpr int64_t kWeldOutOfMemory = -1;
constexpr int64_t kWeldTooManyVertices = -2;

// The index of `position` among the distinct vertices, adding it (with `color` rounded to 8 bits)
// when new. Returns kWeldOutOfMemory when the tables would pass the memory limit or an allocation
// fails, kWeldTooManyVertices past 2^32 - 1 distinct vertices.
int64_t weldVertex(VertexWelder& welder, const Vec3f& position, const Vec3f& color);

// The index of `position` among the distinct vertices, or kNotWelded when it is not one yet.
constexpr int64_t kNotWelded = -3;
int64_t findWeldedVertex(const VertexWelder& welder, const Vec3f& position);

// weldVertex(welder, stitchedPosition(stitch, position), color), with the map looked at only
// for a position the table does not hold: the table holds only positions the map leaves where
// they are (a group's kept member, or a position of no group), so a position found there is
// its own stitched position. A vertex is new once per several triangles that use it, so this
// spares most lookups in the map.
inline int64_t weldStitchedVertex(VertexWelder& welder, const StitchMap& stitch,
                                  const Vec3f& position, const Vec3f& color) {
    const int64_t found = findWeldedVertex(welder, position);
    if (found != kNotWelded) {
        return found;
    }
    return weldVertex(welder, stitchedPosition(stitch, position), color);
}

// Removes the first `count` vertices, which no later weldVertex may look for: the others keep
// their order, their indices go down by `count`, and the tables keep their sizes.
void dropFirstVertices(VertexWelder& welder, size_t count);
