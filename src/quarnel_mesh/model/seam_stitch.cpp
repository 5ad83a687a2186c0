// Seam stitching: pairing of face sides by hashing, then a grid of cells one tolerance wide over
// the ends of the open edges and a union-find over the joins.
#include "quarnel_mesh/model/seam_stitch.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>

#include <tbb/parallel_for.h>


namespace {

constexpr uint32_t kNoSide = 0xFFFFFFFFu;

// Records paired in cache before the rest go to the file-wide table: 49,152 sides in a table of
// 256 KiB, which stays in a core's L2 cache (a simulated 512 KiB L2 misses a quarter less than
// with 65,536 records; 4,096 miss less again but hand more sides to the file-wide table).
constexpr int64_t kPairingBatchRecords = 16384;

// A batch's table holds a side's index in its low 16 bits and, above them, the top bits of its
// hash: a tag that a side and its opposite share. kNoSide, an empty slot, is no side's entry.
constexpr uint32_t kSideBits = 0xFFFFu;
static_assert(3 * kPairingBatchRecords < kSideBits, "a batch's sides fit below the tag");
inline uint32_t sideTag(uint64_t hash) {
    return static_cast<uint32_t>(hash >> 32) & ~kSideBits;
}

// A batch's slots are fetched this many records before they are probed; the table and the
// records together pass a core's L2 cache.
constexpr int64_t kPairingAheadRecords = 8;
constexpr int64_t kPairingRingRecords = 16;  // a power of two above kPairingAheadRecords
static_assert(kPairingRingRecords > kPairingAheadRecords, "the ring holds the records ahead");

// Inline here (the weld's are out of line): these run three times a side of every face.
inline uint32_t keyBits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits == 0x80000000u ? 0u : bits;
}

inline bool samePosition(const Vec3f& a, const Vec3f& b) {
    return keyBits(a.x) == keyBits(b.x) && keyBits(a.y) == keyBits(b.y) &&
           keyBits(a.z) == keyBits(b.z);
}

// A position as its three keyBits, the form the pairing compares and hashes.
struct PositionKey {
    uint32_t bits[3];
};

inline PositionKey positionKey(const Vec3f& v) {
    return {{keyBits(v.x), keyBits(v.y), keyBits(v.z)}};
}

inline bool sameKey(const PositionKey& a, const PositionKey& b) {
    return a.bits[0] == b.bits[0] && a.bits[1] == b.bits[1] && a.bits[2] == b.bits[2];
}

inline uint64_t keyHash(const PositionKey& key) {
    uint64_t h = (static_cast<uint64_t>(key.bits[0]) << 32 | key.bits[1]) * 0x9E3779B97F4A7C15ull ^
                 key.bits[2] * 0xC2B2AE3D27D4EB4Full;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
}

inline uint64_t positionHash(const Vec3f& v) {
    return keyHash(positionKey(v));
}

// The same for a -> b and b -> a: a side and its opposite share a probe sequence, so the search
// for the opposite ends where the side itself would go (one cache miss a side, not two).
inline uint64_t edgeHash(uint64_t fromHash, uint64_t toHash) {
    return fromHash ^ toHash;
}

bool isEmpty(const OpenEdge& edge) {
    return std::isnan(edge.from.x);
}

OpenEdge emptyEdge() {
    OpenEdge edge;
    edge.from = {NAN, NAN, NAN};
    edge.to = edge.from;
    return edge;
}

size_t homeSlot(const OpenEdge& edge, size_t mask) {
    return static_cast<size_t>(edgeHash(positionHash(edge.from), positionHash(edge.to))) & mask;
}

void insertEdge(std::vector<OpenEdge>& table, const OpenEdge& edge, uint64_t hash) {
    const size_t mask = table.size() - 1;
    size_t slot = static_cast<size_t>(hash) & mask;
    while (!isEmpty(table[slot])) {
        slot = (slot + 1) & mask;
    }
    table[slot] = edge;
}

// Removes `from` -> `to` when it waits in the table; linear probing's backward shift keeps
// every other entry reachable without tombstones.
bool takeEdge(OpenEdgePairing& pairing, const Vec3f& from, const Vec3f& to, uint64_t hash) {
    std::vector<OpenEdge>& table = pairing.table;
    if (table.empty()) {
        return false;
    }
    const size_t mask = table.size() - 1;
    size_t slot = static_cast<size_t>(hash) & mask;
    for (;; slot = (slot + 1) & mask) {
        if (isEmpty(table[slot])) {
            return false;
        }
        if (samePosition(table[slot].from, from) && samePosition(table[slot].to, to)) {
            break;
        }
    }
    size_t hole = slot;
    for (size_t next = (hole + 1) & mask; !isEmpty(table[next]); next = (next + 1) & mask) {
        const size_t home = homeSlot(table[next], mask);
        // The entry may fill the hole when its home is not in (hole, next], cyclically.
        const bool homeBetween = hole <= next ? (home > hole && home <= next)
                                              : (home > hole || home <= next);
        if (!homeBetween) {
            table[hole] = table[next];
            hole = next;
        }
    }
    table[hole] = emptyEdge();
    --pairing.openCount;
    return true;
}

bool addOpenEdge(OpenEdgePairing& pairing, const OpenEdge& edge, uint64_t hash) {
    if (2 * static_cast<uint64_t>(pairing.openCount + 1) > pairing.table.size()) {
        const uint64_t newCount = pairing.table.empty() ? 4096 : 2 * pairing.table.size();
        // Old and new tables are both alive while the edges move across.
        if ((newCount + pairing.table.size()) * sizeof(OpenEdge) > pairing.memoryLimitBytes) {
            return false;
        }
        std::vector<OpenEdge> grown(static_cast<size_t>(newCount), emptyEdge());
        for (const OpenEdge& old : pairing.table) {
            if (!isEmpty(old)) {
                insertEdge(grown, old, edgeHash(positionHash(old.from), positionHash(old.to)));
            }
        }
        pairing.table.swap(grown);
    }
    insertEdge(pairing.table, edge, hash);
    ++pairing.openCount;
    return true;
}

double maxNormDistance(const Vec3f& a, const Vec3f& b) {
    return std::max({std::fabs(static_cast<double>(a.x) - b.x),
                     std::fabs(static_cast<double>(a.y) - b.y),
                     std::fabs(static_cast<double>(a.z) - b.z)});
}

bool positionLess(const Vec3f& a, const Vec3f& b) {
    const std::array<uint32_t, 3> ka = {keyBits(a.x), keyBits(a.y),
                                        keyBits(a.z)};
    const std::array<uint32_t, 3> kb = {keyBits(b.x), keyBits(b.y),
                                        keyBits(b.z)};
    return ka < kb;
}

uint32_t findRoot(std::vector<uint32_t>& parent, uint32_t v) {
    while (parent[v] != v) {
        parent[v] = parent[parent[v]];
        v = parent[v];
    }
    return v;
}

// The ends of the open edges, each once, with the open edges out of and into each.
struct OpenEnds {
    std::vector<Vec3f> positions;          // sorted by canonical bits
    std::vector<uint32_t> outStart, outTo;  // compressed rows: targets of the edges out of each
    std::vector<uint32_t> inStart, inFrom;  // sources of the edges into each
};

uint32_t endIndex(const std::vector<Vec3f>& positions, const Vec3f& p) {
    return static_cast<uint32_t>(
        std::lower_bound(positions.begin(), positions.end(), p, positionLess) -
        positions.begin());
}

void buildRows(const std::vector<std::pair<uint32_t, uint32_t>>& pairs, size_t endCount,
               std::vector<uint32_t>& start, std::vector<uint32_t>& other) {
    start.assign(endCount + 1, 0);
    for (const auto& p : pairs) {
        ++start[p.first + 1];
    }
    for (size_t i = 0; i < endCount; ++i) {
        start[i + 1] += start[i];
    }
    other.assign(pairs.size(), 0);
    std::vector<uint32_t> fill(start.begin(), start.end() - 1);
    for (const auto& p : pairs) {
        other[fill[p.first]++] = p.second;
    }
}

void giveUpPairing(OpenEdgePairing& pairing) {
    pairing.overflowed = true;
    pairing.table = std::vector<OpenEdge>();
    pairing.chunkSlots = std::vector<uint32_t>();
    pairing.chunkPaired = std::vector<uint8_t>();
    pairing.openCount = 0;
}

// The table size of a batch of `count` records: at most three quarters full, never full.
size_t batchSlotCount(int64_t count) {
    size_t slotCount = 64;
    while (slotCount <= 3 * static_cast<size_t>(count)) {
        slotCount *= 2;
    }
    return slotCount;
}

// The corner after each: a side runs from corner s to kNextCorner[s].
constexpr int kNextCorner[3] = {1, 2, 0};

const Vec3f& sideFrom(const TriangleRecord* records, size_t side) {
    return records[side / 3].vertices[side % 3];
}

const Vec3f& sideTo(const TriangleRecord* records, size_t side) {
    return records[side / 3].vertices[kNextCorner[side % 3]];
}

// Pairs the sides of one batch among themselves in `slots` (batchSlotCount(count) of them, small
// enough to stay in cache): `paired` gets a flag per side, 0 for those left waiting. Touches
// nothing else, so batches run side by side.
void pairWithinBatch(const TriangleRecord* records, int64_t count, uint32_t* slots,
                     uint8_t* paired) {
    const size_t mask = batchSlotCount(count) - 1;
    std::fill(slots, slots + mask + 1, kNoSide);
    std::fill(paired, paired + 3 * count, uint8_t{1});
    // The keys and hashes of the records' vertices, computed once a few records ahead (record
    // r's in ring[r % kPairingRingRecords]), their sides' slots fetched while the records before
    // them are paired.
    struct RecordKeys {
        PositionKey keys[3];
        uint64_t hashes[3];
    };
    RecordKeys ring[kPairingRingRecords];
    const auto hashAhead = [&](int64_t r) {
        RecordKeys& ahead = ring[r % kPairingRingRecords];
        for (int s = 0; s < 3; ++s) {
            ahead.keys[s] = positionKey(records[r].vertices[s]);
            ahead.hashes[s] = keyHash(ahead.keys[s]);
        }
        for (int s = 0; s < 3; ++s) {
            __builtin_prefetch(
                &slots[edgeHash(ahead.hashes[s], ahead.hashes[kNextCorner[s]]) & mask]);
        }
    };
    for (int64_t r = 0; r < std::min(count, kPairingAheadRecords); ++r) {
        hashAhead(r);
    }
    for (int64_t r = 0; r < count; ++r) {
        if (r + kPairingAheadRecords < count) {
            hashAhead(r + kPairingAheadRecords);
        }
        const RecordKeys& own = ring[r % kPairingRingRecords];
        const PositionKey* key = own.keys;
        if (!hasFiniteVertices(records[r]) || sameKey(key[0], key[1]) || sameKey(key[1], key[2]) ||
            sameKey(key[2], key[0])) {
            continue;
        }
        for (int s = 0; s < 3; ++s) {
            const int next = kNextCorner[s];
            const uint32_t side = static_cast<uint32_t>(3 * r + s);
            const uint64_t hash = edgeHash(own.hashes[s], own.hashes[next]);
            const uint32_t tag = sideTag(hash);
            size_t slot = static_cast<size_t>(hash) & mask;
            bool found = false;
            for (uint32_t entry; (entry = slots[slot]) != kNoSide; slot = (slot + 1) & mask) {
                // A side and its opposite share the tag: most other entries are passed over on
                // it alone, without reading their records.
                if ((entry & ~kSideBits) != tag) {
                    continue;
                }
                const uint32_t other = entry & kSideBits;
                if (paired[other] == 0 &&
                    sameKey(positionKey(sideFrom(records, other)), key[next]) &&
                    sameKey(positionKey(sideTo(records, other)), key[s])) {
                    paired[other] = 1;
                    found = true;
                    break;
                }
            }
            if (!found) {
                // `slot` is the first empty one of the sequence.
                paired[side] = 0;
                slots[slot] = tag | side;
            }
        }
    }
}

// Hands the sides of a batch that pairWithinBatch left waiting to the file-wide table, where
// they meet their opposites from earlier batches or wait for later ones. False when the table
// cannot grow (then the pairing gave up).
bool pairAcrossBatches(OpenEdgePairing& pairing, const TriangleRecord* records, int64_t count,
                       const uint8_t* paired) {
    for (size_t side = 0; side < 3 * static_cast<size_t>(count); ++side) {
        if (paired[side] != 0) {
            continue;
        }
        const Vec3f& from = sideFrom(records, side);
        const Vec3f& to = sideTo(records, side);
        const uint64_t hash = edgeHash(positionHash(from), positionHash(to));
        if (takeEdge(pairing, to, from, hash)) {
            continue;
        }
        OpenEdge edge;
        edge.from = from;
        edge.to = to;
        bool added = false;
        try {
            added = addOpenEdge(pairing, edge, hash);
        } catch (const std::bad_alloc&) {
        }
        if (!added) {
            giveUpPairing(pairing);
            return false;
        }
    }
    return true;
}

}  // namespace

Vec3f stitchedPositionSlow(const StitchMap& map, const Vec3f& position) {
    const size_t mask = map.slots.size() - 1;
    for (size_t slot = static_cast<size_t>(positionHash(position)) & mask;;
         slot = (slot + 1) & mask) {
        const uint32_t entry = map.slots[slot];
        if (entry == kNoSide) {
            return position;
        }
        if (samePosition(map.from[entry], position)) {
            return map.to[entry];
        }
    }
}

float stitchedFinalBelow(const StitchMap& map, float lowestToCome) {
    if (map.largestShiftZ == 0.0) {
        return lowestToCome;
    }
    const double below = static_cast<double>(lowestToCome) - map.largestShiftZ;
    if (!(below >= -static_cast<double>(FLT_MAX))) {
        return -HUGE_VALF;
    }
    float threshold = static_cast<float>(below);
    if (static_cast<double>(threshold) > below) {
        threshold = std::nextafter(threshold, -HUGE_VALF);
    }
    return threshold;
}

void pairRecordEdges(OpenEdgePairing& pairing, const TriangleRecord* records, int64_t count) {
    if (pairing.overflowed || count <= 0) {
        return;
    }
    const int64_t batchCount = (count + kPairingBatchRecords - 1) / kPairingBatchRecords;
    const size_t slotsPerBatch = batchSlotCount(std::min(count, kPairingBatchRecords));
    try {
        pairing.chunkSlots.resize(static_cast<size_t>(batchCount) * slotsPerBatch);
        pairing.chunkPaired.resize(3 * static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        giveUpPairing(pairing);
        return;
    }
    const auto batchRecords = [&](int64_t batch) {
        return std::min(count - batch * kPairingBatchRecords, kPairingBatchRecords);
    };
    // The batches among themselves on whatever cores are free (a thread that waits for this
    // call takes some), then across in file order: the result is the one-core result.
    tbb::parallel_for(int64_t{0}, batchCount, [&](int64_t batch) {
        const int64_t first = batch * kPairingBatchRecords;
        pairWithinBatch(records + first, batchRecords(batch),
                        &pairing.chunkSlots[static_cast<size_t>(batch) * slotsPerBatch],
                        &pairing.chunkPaired[3 * static_cast<size_t>(first)]);
    });
    for (int64_t batch = 0; batch < batchCount; ++batch) {
        const int64_t first = batch * kPairingBatchRecords;
        if (!pairAcrossBatches(pairing, records + first, batchRecords(batch),
                               &pairing.chunkPaired[3 * static_cast<size_t>(first)])) {
            return;
        }
    }
}

bool joinOpenEdges(const OpenEdgePairing& pairing, const Vec3f& boxMin, const Vec3f& boxMax,
                   StitchMap& map) {
    map = StitchMap();
    if (pairing.overflowed) {
        map.tooManyOpenEdges = true;
        return true;
    }
    map.openEdgeCount = pairing.openCount;
    const double longest = std::max({static_cast<double>(boxMax.x) - boxMin.x,
                                     static_cast<double>(boxMax.y) - boxMin.y,
                                     static_cast<double>(boxMax.z) - boxMin.z});
    if (pairing.openCount == 0 || !(longest > 0.0) || !std::isfinite(longest)) {
        return true;
    }
    map.tolerance = longest * kStitchRelativeTolerance;
    const double tolerance = map.tolerance;
    try {
        OpenEnds ends;
        std::vector<OpenEdge> edges;
        edges.reserve(static_cast<size_t>(pairing.openCount));
        for (const OpenEdge& edge : pairing.table) {
            if (!isEmpty(edge)) {
                edges.push_back(edge);
                ends.positions.push_back(edge.from);
                ends.positions.push_back(edge.to);
            }
        }
        std::sort(ends.positions.begin(), ends.positions.end(), positionLess);
        ends.positions.erase(std::unique(ends.positions.begin(), ends.positions.end(),
                                         [](const Vec3f& a, const Vec3f& b) { return samePosition(a, b); }),
                             ends.positions.end());
        const size_t endCount = ends.positions.size();
        std::vector<std::pair<uint32_t, uint32_t>> outPairs, inPairs;
        outPairs.reserve(edges.size());
        inPairs.reserve(edges.size());
        for (const OpenEdge& edge : edges) {
            const uint32_t from = endIndex(ends.positions, edge.from);
            const uint32_t to = endIndex(ends.positions, edge.to);
            outPairs.push_back({from, to});
            inPairs.push_back({to, from});
        }
        buildRows(outPairs, endCount, ends.outStart, ends.outTo);
        buildRows(inPairs, endCount, ends.inStart, ends.inFrom);

        // Cells one tolerance wide, counted from the box's corner so that they stay small
        // integers: two ends within the tolerance lie in the same or neighbouring cells.
        struct Cell {
            std::array<int64_t, 3> key;
            uint32_t end;
            bool operator<(const Cell& other) const {
                return key < other.key || (key == other.key && end < other.end);
            }
        };
        const auto cellOf = [&](const Vec3f& p) {
            return std::array<int64_t, 3>{
                static_cast<int64_t>(std::floor((static_cast<double>(p.x) - boxMin.x) / tolerance)),
                static_cast<int64_t>(std::floor((static_cast<double>(p.y) - boxMin.y) / tolerance)),
                static_cast<int64_t>(std::floor((static_cast<double>(p.z) - boxMin.z) / tolerance))};
        };
        std::vector<Cell> cells(endCount);
        for (size_t e = 0; e < endCount; ++e) {
            cells[e] = {cellOf(ends.positions[e]), static_cast<uint32_t>(e)};
        }
        std::sort(cells.begin(), cells.end());

        const auto near = [&](uint32_t a, uint32_t b) {
            return a == b || maxNormDistance(ends.positions[a], ends.positions[b]) <= tolerance;
        };
        // An open edge u -> a and an open edge b -> v become opposites once u joins v and a
        // joins b: the crack closes there on both sides.
        const auto closesBetween = [&](uint32_t u, uint32_t v) {
            for (uint32_t i = ends.outStart[u]; i < ends.outStart[u + 1]; ++i) {
                for (uint32_t j = ends.inStart[v]; j < ends.inStart[v + 1]; ++j) {
                    const uint32_t a = ends.outTo[i];
                    const uint32_t b = ends.inFrom[j];
                    if (a != v && b != u && near(a, b)) {
                        return true;
                    }
                }
            }
            for (uint32_t i = ends.inStart[u]; i < ends.inStart[u + 1]; ++i) {
                for (uint32_t j = ends.outStart[v]; j < ends.outStart[v + 1]; ++j) {
                    const uint32_t a = ends.inFrom[i];
                    const uint32_t b = ends.outTo[j];
                    if (a != v && b != u && near(a, b)) {
                        return true;
                    }
                }
            }
            return false;
        };
        std::vector<uint32_t> parent(endCount);
        for (size_t e = 0; e < endCount; ++e) {
            parent[e] = static_cast<uint32_t>(e);
        }
        for (size_t e = 0; e < endCount; ++e) {
            const uint32_t u = static_cast<uint32_t>(e);
            const std::array<int64_t, 3> home = cellOf(ends.positions[u]);
            for (int64_t dx = -1; dx <= 1; ++dx) {
                for (int64_t dy = -1; dy <= 1; ++dy) {
                    for (int64_t dz = -1; dz <= 1; ++dz) {
                        const Cell lowest = {{home[0] + dx, home[1] + dy, home[2] + dz}, 0};
                        for (auto it = std::lower_bound(cells.begin(), cells.end(), lowest);
                             it != cells.end() && it->key == lowest.key; ++it) {
                            const uint32_t v = it->end;
                            if (v <= u || !near(u, v) || !closesBetween(u, v)) {
                                continue;
                            }
                            const uint32_t rootU = findRoot(parent, u);
                            const uint32_t rootV = findRoot(parent, v);
                            parent[std::max(rootU, rootV)] = std::min(rootU, rootV);
                        }
                    }
                }
            }
        }
        // Each group keeps the member nearest the origin (on a seam at a round coordinate, the
        // exact one); ties go to the lower in the ends' order.
        const auto magnitude = [&](uint32_t e) {
            const Vec3f& p = ends.positions[e];
            return std::fabs(static_cast<double>(p.x)) + std::fabs(static_cast<double>(p.y)) +
                   std::fabs(static_cast<double>(p.z));
        };
        std::vector<uint32_t> keeper(endCount, kNoSide);
        for (size_t e = 0; e < endCount; ++e) {
            const uint32_t root = findRoot(parent, static_cast<uint32_t>(e));
            if (keeper[root] == kNoSide || magnitude(static_cast<uint32_t>(e)) <
                                               magnitude(keeper[root])) {
                keeper[root] = static_cast<uint32_t>(e);
            }
        }
        for (size_t e = 0; e < endCount; ++e) {
            const uint32_t kept = keeper[findRoot(parent, static_cast<uint32_t>(e))];
            if (kept == e) {
                continue;
            }
            const Vec3f& from = ends.positions[e];
            const Vec3f& to = ends.positions[kept];
            map.from.push_back(from);
            map.to.push_back(to);
            const double shift = std::fabs(static_cast<double>(from.z) - to.z);
            // Rounded up: the weld's final z must never be too high.
            map.largestShiftZ = std::max(map.largestShiftZ,
                                         shift == 0.0 ? 0.0 : shift * (1.0 + 1e-9) + 1e-300);
        }
        map.joinedVertexCount = static_cast<int64_t>(map.from.size());
        if (map.from.empty()) {
            return true;
        }
        size_t slotCount = 16;
        while (slotCount < 2 * map.from.size()) {
            slotCount *= 2;
        }
        map.slots.assign(slotCount, kNoSide);
        map.filter.assign(kStitchFilterBits / 64, 0);
        for (size_t i = 0; i < map.from.size(); ++i) {
            size_t slot = static_cast<size_t>(positionHash(map.from[i])) & (slotCount - 1);
            while (map.slots[slot] != kNoSide) {
                slot = (slot + 1) & (slotCount - 1);
            }
            map.slots[slot] = static_cast<uint32_t>(i);
            const uint32_t bit = stitchFilterBit(map.from[i]);
            map.filter[bit / 64] |= uint64_t{1} << (bit % 64);
        }
    } catch (const std::bad_alloc&) {
        map = StitchMap();
        map.tooManyOpenEdges = true;
        return false;
    }
    return true;
}
