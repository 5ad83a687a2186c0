// Shared vertices for the indexed formats: the distinct positions of a triangle file in
// first-seen order, found through an open-addressing table of indices.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "io/triangle_record.h"
#include "quarnel_mesh/model/seam_stitch.h"

// Spreads the bits of `h` so that nearby values give unrelated results (a bijection on 64 bits):
// the weld table's hash, and the seed of other stable identifiers. The 64-bit finaliser of
// MurmurHash3.
inline uint64_t mixBits(uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

// The bit pattern of `value`, except that -0 gives the pattern of +0.
inline uint32_t canonicalFloatBits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits == 0x80000000u ? 0u : bits;
}

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

// The table's hash of `position` (-0 as +0). The forms below that take it spare computing it
// again; it must be this function's value for their `position`.
inline uint64_t weldHashOf(const Vec3f& position) {
    const uint64_t xy = (static_cast<uint64_t>(canonicalFloatBits(position.x)) << 32) |
                        canonicalFloatBits(position.y);
    return mixBits(xy ^ mixBits(canonicalFloatBits(position.z)));
}

// The index of `position` among the distinct vertices, adding it (with `color` rounded to 8 bits)
// when new. Returns kWeldOutOfMemory when the tables would pass the memory limit or an allocation
// fails, kWeldTooManyVertices past 2^32 - 1 distinct vertices.
int64_t weldVertex(VertexWelder& welder, const Vec3f& position, uint64_t hash, const Vec3f& color);
inline int64_t weldVertex(VertexWelder& welder, const Vec3f& position, const Vec3f& color) {
    return weldVertex(welder, position, weldHashOf(position), color);
}

// The index of `position` among the distinct vertices, or kNotWelded when it is not one yet.
constexpr int64_t kNotWelded = -3;
int64_t findWeldedVertex(const VertexWelder& welder, const Vec3f& position, uint64_t hash);
inline int64_t findWeldedVertex(const VertexWelder& welder, const Vec3f& position) {
    return findWeldedVertex(welder, position, weldHashOf(position));
}

// weldVertex(welder, stitchedPosition(stitch, position), color) for `position` of hash `hash`,
// with the map looked at only for a position the table does not hold: the table holds only
// positions the map leaves where they are (a group's kept member, or a position of no group), so
// a position found there is its own stitched position. A vertex is new once per several
// triangles that use it, so this spares most lookups in the map; a new one the map leaves where
// it is goes in without a second search of the table.
int64_t weldStitchedVertex(VertexWelder& welder, const StitchMap& stitch, const Vec3f& position,
                           uint64_t hash, const Vec3f& color);

// Hints for a weld some vertices ahead, which change nothing but what is in cache: the slot a
// search for `hash` starts at, and, once that slot is in cache, the vertex it holds (the usual
// match). A table's misses, not its work, bound the weld of a large file. Always inlined: GCC
// takes a function whose only effect is a prefetch for one without effects, and drops its calls.
__attribute__((always_inline)) inline void prefetchWeldSlot(const VertexWelder& welder,
                                                          uint64_t hash) {
    if (!welder.slots.empty()) {
        __builtin_prefetch(&welder.slots[static_cast<size_t>(hash) & (welder.slots.size() - 1)]);
    }
}
__attribute__((always_inline)) inline void prefetchWeldVertex(const VertexWelder& welder,
                                                            uint64_t hash) {
    if (!welder.slots.empty()) {
        const uint32_t index =
            welder.slots[static_cast<size_t>(hash) & (welder.slots.size() - 1)];
        if (index != kEmptySlot) {
            __builtin_prefetch(&welder.vertices[index]);
        }
    }
}

// Removes the first `count` vertices, which no later weldVertex may look for: the others keep
// their order, their indices go down by `count`, and the tables keep their sizes.
void dropFirstVertices(VertexWelder& welder, size_t count);

// Empties `welder` for another weld, keeping its storage: a weld as large as the last one
// allocates nothing.
void clearWelder(VertexWelder& welder);
