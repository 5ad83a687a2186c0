// The vertex weld: an open-addressing hash table (linear probing) of indices into the vertex list.
#include "quarnel_mesh/model/vertex_welder.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>

namespace {

constexpr size_t kFirstVertexCapacity = 4096;

uint64_t welderBytes(uint64_t vertexCapacity, uint64_t slotCount) {
    return vertexCapacity * sizeof(WeldedVertex) + slotCount * sizeof(uint32_t);
}

void insertSlot(std::vector<uint32_t>& slots, uint64_t hash, uint32_t index) {
    const size_t mask = slots.size() - 1;
    size_t slot = static_cast<size_t>(hash) & mask;
    while (slots[slot] != kEmptySlot) {
        slot = (slot + 1) & mask;
    }
    slots[slot] = index;
}

// Doubles the table when it would pass half full; linear probing stays short below that.
bool growSlots(VertexWelder& welder) {
    const uint64_t newCount = welder.slots.empty() ? 2 * kFirstVertexCapacity
                                                   : 2 * static_cast<uint64_t>(welder.slots.size());
    // Old and new tables are both alive while the indices move across, unless the old one has
    // the room.
    const uint64_t peak = welderBytes(welder.vertices.capacity(), welder.slots.size() + newCount);
    if (peak > welder.memoryLimitBytes) {
        return false;
    }
    // Built again from the vertices, so in place where an earlier weld left the room.
    welder.slots.assign(static_cast<size_t>(newCount), kEmptySlot);
    for (size_t i = 0; i < welder.vertices.size(); ++i) {
        insertSlot(welder.slots, weldHashOf(welder.vertices[i].position),
                   static_cast<uint32_t>(i));
    }
    return true;
}

bool growVertices(VertexWelder& welder) {
    const uint64_t oldCapacity = welder.vertices.capacity();
    const uint64_t newCapacity = oldCapacity == 0 ? kFirstVertexCapacity : 2 * oldCapacity;
    const uint64_t peak = welderBytes(oldCapacity + newCapacity, welder.slots.size());
    if (peak > welder.memoryLimitBytes) {
        return false;
    }
    welder.vertices.reserve(static_cast<size_t>(newCapacity));
    return true;
}

}  // namespace

bool sameVertex(const Vec3f& a, const Vec3f& b) {
    return canonicalFloatBits(a.x) == canonicalFloatBits(b.x) &&
           canonicalFloatBits(a.y) == canonicalFloatBits(b.y) &&
           canonicalFloatBits(a.z) == canonicalFloatBits(b.z);
}

uint8_t colorByte(float component) {
    if (!(component > 0.0f)) {
        return 0;
    }
    if (component >= 1.0f) {
        return 255;
    }
    return static_cast<uint8_t>(std::lround(static_cast<double>(component) * 255.0));
}

int64_t findWeldedVertex(const VertexWelder& welder, const Vec3f& position, uint64_t hash) {
    if (welder.slots.empty()) {
        return kNotWelded;
    }
    const size_t mask = welder.slots.size() - 1;
    for (size_t slot = static_cast<size_t>(hash) & mask;; slot = (slot + 1) & mask) {
        const uint32_t index = welder.slots[slot];
        if (index == kEmptySlot) {
            return kNotWelded;
        }
        if (sameVertex(welder.vertices[index].position, position)) {
            return index;
        }
    }
}

namespace {

// Adds `position`, which the table does not hold.
int64_t addNewVertex(VertexWelder& welder, const Vec3f& position, uint64_t hash,
                     const Vec3f& color) {
    // kEmptySlot is the one index a vertex may not take.
    if (welder.vertices.size() >= kEmptySlot) {
        return kWeldTooManyVertices;
    }
    try {
        if (2 * (welder.vertices.size() + 1) > welder.slots.size() && !growSlots(welder)) {
            return kWeldOutOfMemory;
        }
        if (welder.vertices.size() == welder.vertices.capacity() && !growVertices(welder)) {
            return kWeldOutOfMemory;
        }
    } catch (const std::bad_alloc&) {
        return kWeldOutOfMemory;
    }
    const uint32_t index = static_cast<uint32_t>(welder.vertices.size());
    WeldedVertex vertex;
    vertex.position = position;
    vertex.rgb[0] = colorByte(color.x);
    vertex.rgb[1] = colorByte(color.y);
    vertex.rgb[2] = colorByte(color.z);
    welder.vertices.push_back(vertex);
    insertSlot(welder.slots, hash, index);
    return index;
}

}  // namespace

int64_t weldVertex(VertexWelder& welder, const Vec3f& position, uint64_t hash,
                   const Vec3f& color) {
    const int64_t found = findWeldedVertex(welder, position, hash);
    return found != kNotWelded ? found : addNewVertex(welder, position, hash, color);
}

int64_t weldStitchedVertex(VertexWelder& welder, const StitchMap& stitch, const Vec3f& position,
                           uint64_t hash, const Vec3f& color) {
    const int64_t found = findWeldedVertex(welder, position, hash);
    if (found != kNotWelded) {
        return found;
    }
    const Vec3f stitched = stitchedPosition(stitch, position);
    if (std::memcmp(&stitched, &position, sizeof stitched) == 0) {
        return addNewVertex(welder, position, hash, color);
    }
    return weldVertex(welder, stitched, color);
}

void dropFirstVertices(VertexWelder& welder, size_t count) {
    welder.vertices.erase(welder.vertices.begin(),
                          welder.vertices.begin() + static_cast<std::ptrdiff_t>(count));
    // Every kept index moved: the table is built again at its size rather than patched.
    std::fill(welder.slots.begin(), welder.slots.end(), kEmptySlot);
    for (size_t i = 0; i < welder.vertices.size(); ++i) {
        insertSlot(welder.slots, weldHashOf(welder.vertices[i].position), static_cast<uint32_t>(i));
    }
}

void clearWelder(VertexWelder& welder) {
    welder.vertices.clear();
    welder.slots.clear();
}
