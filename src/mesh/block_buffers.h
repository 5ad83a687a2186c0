// The working buffers of one block in flight: its sample grid and its records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fractal/block_sampler.h"
#include "io/triangle_record.h"

// Records one block's buffer holds: 1,310,720, 60 MiB. A block has 63^3 cubes of at most five
// triangles each, 1,250,235 records, so its records always fit and nobody checks the count.
constexpr std::size_t kBlockRecordCapacity = 5 * 64 * 64 * 64;
static_assert(5 * 63 * 63 * 63 <= kBlockRecordCapacity, "a block's records always fit");

// Allocated once per block in flight and lent to meshBlock for each block. `samples` is allocated
// first, then `highs`, then `records`; none is cleared, so pages never touched are never made
// resident. The destructor releases them in the same order. Throws std::bad_alloc.
struct BlockBuffers {
    double* samples;          // kBlockSampleCount doubles
    double* highs;            // kBlockSampleCount doubles: upper ends of the bounds, one per end
                              // of a crossed edge (a few percent), so only the first are touched
    uint64_t classMasks[kBlockRowCount];  // the class mask of each row of samples
    TriangleRecord* records;  // kBlockRecordCapacity records

    BlockBuffers();
    ~BlockBuffers();
    BlockBuffers(const BlockBuffers&) = delete;
    BlockBuffers& operator=(const BlockBuffers&) = delete;
};
