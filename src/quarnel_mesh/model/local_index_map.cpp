#include "quarnel_mesh/model/local_index_map.h"

#include "quarnel_mesh/model/vertex_welder.h"

namespace {

constexpr uint64_t kEmptyPair = UINT64_MAX;

void insertPair(std::vector<uint64_t>& slots, uint64_t pair) {
    const size_t mask = slots.size() - 1;
    size_t slot = static_cast<size_t>(mixBits(static_cast<uint32_t>(pair >> 32))) & mask;
    while (slots[slot] != kEmptyPair) {
        slot = (slot + 1) & mask;
    }
    slots[slot] = pair;
}

}  // namespace

void resetLocalIndices(LocalIndexMap& map, size_t expectedCount) {
    size_t slotCount = 16;
    while (slotCount < 2 * expectedCount) {
        slotCount *= 2;
    }
    map.slots.assign(slotCount, kEmptyPair);
    map.count = 0;
}

int64_t findLocalIndex(const LocalIndexMap& map, uint32_t global) {
    const size_t mask = map.slots.size() - 1;
    for (size_t slot = static_cast<size_t>(mixBits(global)) & mask; map.slots[slot] != kEmptyPair;
         slot = (slot + 1) & mask) {
        if (static_cast<uint32_t>(map.slots[slot] >> 32) == global) {
            return static_cast<uint32_t>(map.slots[slot]);
        }
    }
    return -1;
}

uint32_t addLocalIndex(LocalIndexMap& map, uint32_t global, bool& added) {
    const int64_t found = findLocalIndex(map, global);
    added = found < 0;
    if (!added) {
        return static_cast<uint32_t>(found);
    }
    if (2 * (static_cast<size_t>(map.count) + 1) > map.slots.size()) {
        std::vector<uint64_t> grown(2 * map.slots.size(), kEmptyPair);
        for (const uint64_t pair : map.slots) {
            if (pair != kEmptyPair) {
                insertPair(grown, pair);
            }
        }
        map.slots.swap(grown);
    }
    const uint32_t local = map.count++;
    insertPair(map.slots, (static_cast<uint64_t>(global) << 32) | local);
    return local;
}
