// Stitching: joins the two sides of a crack, the open edges a mesher leaves where it met a seam
// between pieces it made on their own (blocks on their own lattices put the same point at 0 on
// one side of a plane and at -2.6e-16 on the other, and float32 keeps the difference).
// Passes, fed by the sweep's plan pass:
//   1. pair: every side of every face (a triangle with three distinct vertices) meets its
//      opposite (b -> a for a -> b), first within its chunk, then across chunks; what never meets
//      one is an open edge;
//   2. join: two ends of open edges u and v, within the tolerance of each other, are joined when
//      that closes an open edge on both sides of the crack: an open edge u -> a and an open edge
//      b -> v whose other ends a and b are the same or within the tolerance too (or the same
//      with the edges into u and out of v);
//   3. map: each joined group keeps the position of its member nearest the origin (on a seam at
//      a round coordinate, the exact one), and the others' positions map to it. The weld looks every position up before it
//      welds, so every command sees one vertex where the file had two.
// A file whose open edges close nowhere (a closed file, or one with only wide cracks) gets an
// empty map and welds exactly as it would without this.
//
// The tolerance is 2^-20 of the box's longest side (2.3e-6 for a box 2.4 across): a point that
// two pieces compute in their own frames differs by rounding, a few float32 units in the last
// place of the box's size (2^-23 of it each), so 8 of them still join; a crack that a user would
// see, or a gap a modeller left on purpose, is far wider than a millionth of the model and stays
// open. Only ends of open edges are candidates, and only where an edge closes on both sides, so
// nearby vertices of a closed surface, or unrelated triangles that merely come close, stay apart.
//
// Memory: the open edges (24 bytes each, in a table at most half full): those that wait for
// their opposite (for a file in z order, about the sides crossing the slab being read) and the
// real open edges. Past `memoryLimitBytes` the pairing stops and nothing is joined.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include <tbb/task_group.h>

#include "io/triangle_record.h"

// 2^-20: the tolerance over the box's longest side (see above).
constexpr double kStitchRelativeTolerance = 1.0 / 1048576.0;

// Positions that move, and where to.
struct StitchMap {
    double tolerance = 0.0;          // max-norm distance within which ends were joined
    int64_t joinedVertexCount = 0;   // positions that move onto another (the table's entries)
    int64_t openEdgeCount = 0;       // open edges before joining
    double largestShiftZ = 0.0;      // the most a position's z moves, rounded up
    bool tooManyOpenEdges = false;   // the pairing passed its memory limit: nothing joined
    std::vector<Vec3f> from;
    std::vector<Vec3f> to;
    std::vector<uint32_t> slots;     // indices into from/to; size a power of two, or empty
    std::vector<uint64_t> filter;    // kStitchFilterBits: a bit per stitchFilterBit of a `from`
};

// A quick no for most positions, before the table: one bit of a 2^20-bit filter (128 KiB, in
// cache) from the coordinates' bits, -0 as +0.
constexpr uint32_t kStitchFilterBits = uint32_t{1} << 20;
inline uint32_t stitchFilterBit(const Vec3f& p) {
    uint32_t bits[3];
    std::memcpy(bits, &p, sizeof bits);
    for (uint32_t& b : bits) {
        b = b == 0x80000000u ? 0u : b;
    }
    // Three independent products: no chain of multiplications on the weld's path.
    const uint64_t h = bits[0] * 0x9E3779B97F4A7C15ull ^ bits[1] * 0xC2B2AE3D27D4EB4Full ^
                       bits[2] * 0x165667B19E3779F9ull;
    return static_cast<uint32_t>(h >> 44);
}

Vec3f stitchedPositionSlow(const StitchMap& map, const Vec3f& position);

// Where `position` goes: its group's position when joined, else itself. Never allocates.
inline Vec3f stitchedPosition(const StitchMap& map, const Vec3f& position) {
    if (map.filter.empty()) {
        return position;
    }
    const uint32_t bit = stitchFilterBit(position);
    if ((map.filter[bit / 64] >> (bit % 64) & 1) == 0) {
        return position;
    }
    return stitchedPositionSlow(map, position);
}

// The z below which a welded (stitched) position is final when no raw z to come is below
// `lowestToCome`: lowestToCome itself when nothing moves in z, else lower by the largest shift.
float stitchedFinalBelow(const StitchMap& map, float lowestToCome);

// Pass 1's state: the sides still waiting for their opposite.
struct OpenEdge {
    Vec3f from;
    Vec3f to;
};  // an empty slot holds NaN

struct OpenEdgePairing {
    std::vector<OpenEdge> table;        // open addressing, linear probing, at most half full
    int64_t openCount = 0;
    uint64_t memoryLimitBytes = 0;
    bool overflowed = false;
    // A call's scratch: a table for each batch of its records, which are paired among
    // themselves first, and a flag for each side, set when it met its opposite there.
    std::vector<uint32_t> chunkSlots;
    std::vector<uint8_t> chunkPaired;
};

// Pairs the sides of the faces among `count` records with those before; records with a
// non-finite vertex and triangles with two equal vertices are no faces and are skipped. The
// result does not depend on how the file is cut into calls, nor on the threads: the batches of a
// call are paired among themselves on the free cores.
void pairRecordEdges(OpenEdgePairing& pairing, const TriangleRecord* records, int64_t count);

// Pass 1 on another core, one chunk behind a reader: the chunks in file order, one at a time, in
// a buffer of the pairing's own that it trades with the reader's for each. Waits for its last
// chunk before it is destroyed, so the task never outlives what it uses.
struct PairingBehindReader {
    OpenEdgePairing& pairing;
    std::vector<TriangleRecord> chunk;  // as many records as the reader's chunk
    tbb::task_group task;

    explicit PairingBehindReader(OpenEdgePairing& p) : pairing(p) {}
    ~PairingBehindReader() { task.wait(); }
};

// Hands the `count` records just read into `readerChunk` to the pairing (after it is done with
// the chunk before); `readerChunk` gets the pairing's free buffer to read the next chunk into.
inline void pairBehind(PairingBehindReader& behind, std::vector<TriangleRecord>& readerChunk,
                       int64_t count) {
    behind.task.wait();
    behind.chunk.swap(readerChunk);
    behind.task.run(
        [&behind, count] { pairRecordEdges(behind.pairing, behind.chunk.data(), count); });
}

// Passes 2 and 3 over what pass 1 left open, for a mesh whose box is [boxMin, boxMax]; returns
// the map (empty when nothing joins). False only when its tables cannot be allocated (then the
// map is empty with tooManyOpenEdges set).
bool joinOpenEdges(const OpenEdgePairing& pairing, const Vec3f& boxMin, const Vec3f& boxMax,
                   StitchMap& map);
