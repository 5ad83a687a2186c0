// A part's own numbering of the weld's global vertex indices (a chunk of the simplifier, a
// primitive of the compressed glb): local indices 0, 1, 2, ... in first use. Open addressing with
// linear probing on the global index, each slot the pair global << 32 | local, at most half full
// (the table doubles past that).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct LocalIndexMap {
    std::vector<uint64_t> slots;  // a power of two
    uint32_t count = 0;           // local indices given so far
};

// Empties `map`, with room for `expectedCount` indices before the table has to double.
void resetLocalIndices(LocalIndexMap& map, size_t expectedCount);

// The local index of `global`, or -1 when it has none.
int64_t findLocalIndex(const LocalIndexMap& map, uint32_t global);

// The local index of `global`, giving it the next one (and setting `added`) when it has none.
// May throw std::bad_alloc when the table doubles.
uint32_t addLocalIndex(LocalIndexMap& map, uint32_t global, bool& added);
