#include "quarnel_mesh/model/sweep_weld.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>


#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/record_stream.h"

uint32_t zBinOf(float z) {
    uint32_t bits;
    std::memcpy(&bits, &z, sizeof bits);
    // Negative floats order backwards as integers: flipping all their bits, and only the sign
    // bit of the others, makes the integer order the floats' order.
    const uint32_t ordered = (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
    return ordered >> 16;
}

bool planSweep(RecordReader& reader, SweepPlan& plan, Progress& progress, int64_t doneBefore,
               std::string& error, MeshSummary* summary) {
    plan = SweepPlan();
    if (!rewindRecordFile(reader, error)) {
        return false;
    }
    if (summary != nullptr) {
        startSummary(reader, *summary);
    }
    std::vector<float> highestZ;
    float smallest = HUGE_VALF;  // least non-zero |coordinate|
    plan.firstCornerZBinCounts.assign(kZBinCount, 0);
    OpenEdgePairing pairing;
    // The pairing holds the sides waiting for their opposite: a small share of the memory, so
    // that a file of loose triangles gives up joining rather than the machine.
    pairing.memoryLimitBytes = defaultWeldMemoryLimit() / 4;
    // The pairing, most of this pass's work, runs on another core one chunk behind the reading.
    // Declared after what its task uses, so it is waited for first.
    PairingBehindReader behind(pairing);
    try {
        behind.chunk.resize(reader.chunk.size());
    } catch (const std::bad_alloc&) {
        error = "not enough memory to read " + reader.path;
        return false;
    }
    const bool read = forEachRecordChunk(
        reader, progress, doneBefore, error, [&](const TriangleRecord* records, int64_t count) {
            // The chunk's own box, in locals the loop keeps in registers, then merged: its z
            // range is the chunk's lowest and highest z.
            Vec3f low = {HUGE_VALF, HUGE_VALF, HUGE_VALF};
            Vec3f high = {-HUGE_VALF, -HUGE_VALF, -HUGE_VALF};
            int64_t finiteCount = 0;
            for (int64_t i = 0; i < count; ++i) {
                // The weld leaves these out, so their vertices bound nothing.
                if (!hasFiniteVertices(records[i])) {
                    continue;
                }
                ++finiteCount;
                ++plan.firstCornerZBinCounts[zBinOf(records[i].vertices[0].z)];
                for (const Vec3f& vertex : records[i].vertices) {
                    low = {std::min(low.x, vertex.x), std::min(low.y, vertex.y),
                           std::min(low.z, vertex.z)};
                    high = {std::max(high.x, vertex.x), std::max(high.y, vertex.y),
                            std::max(high.z, vertex.z)};
                    // In float: widening is exact, so the least float is the least double.
                    // Zero is not a magnitude: it weighs as infinity.
                    const float mx = vertex.x == 0.0f ? HUGE_VALF : std::fabs(vertex.x);
                    const float my = vertex.y == 0.0f ? HUGE_VALF : std::fabs(vertex.y);
                    const float mz = vertex.z == 0.0f ? HUGE_VALF : std::fabs(vertex.z);
                    smallest = std::min(smallest, std::min(mx, std::min(my, mz)));
                }
            }
            plan.finiteTriangleCount += finiteCount;
            plan.boxMin = {std::min(plan.boxMin.x, low.x), std::min(plan.boxMin.y, low.y),
                           std::min(plan.boxMin.z, low.z)};
            plan.boxMax = {std::max(plan.boxMax.x, high.x), std::max(plan.boxMax.y, high.y),
                           std::max(plan.boxMax.z, high.z)};
            const float lowest = low.z;
            const float highest = high.z;
            plan.lowestZAfterChunk.push_back(lowest);
            highestZ.push_back(highest);
            if (summary != nullptr) {
                addRecordsToSummary(*summary, records, count);
            }
            // `records` is the reader's buffer: the pairing takes it, and the next chunk is read
            // into the one the pairing is done with.
            pairBehind(behind, reader.chunk, count);
            return true;
        });
    behind.task.wait();
    if (std::isfinite(smallest)) {
        plan.smallestMagnitude = smallest;
    }
    if (!read) {
        return false;
    }
    joinOpenEdges(pairing, plan.boxMin, plan.boxMax, plan.stitch);
    // Each chunk's own lowest z becomes the lowest of the chunks after it: a suffix minimum.
    float toCome = HUGE_VALF;
    for (size_t c = plan.lowestZAfterChunk.size(); c-- > 0;) {
        const float own = plan.lowestZAfterChunk[c];
        plan.lowestZAfterChunk[c] = toCome;
        toCome = std::min(toCome, own);
    }
    // After chunk c the window reaches back to the first chunk that may hold a vertex not yet
    // final; the thresholds only rise, so that chunk only moves forward.
    const int64_t chunkCount = static_cast<int64_t>(plan.lowestZAfterChunk.size());
    int64_t oldest = 0;
    int64_t spanChunks = chunkCount == 0 ? 0 : 1;
    for (int64_t c = 0; c < chunkCount; ++c) {
        while (oldest <= c && highestZ[oldest] < plan.lowestZAfterChunk[c]) {
            ++oldest;
        }
        // While the next chunk is welded, it is in the window as well.
        spanChunks = std::max(spanChunks, std::min(c + 1, chunkCount - 1) - oldest + 1);
    }
    plan.windowRecordCount =
        std::min(reader.recordCount, spanChunks * static_cast<int64_t>(reader.chunk.size()));
    return true;
}

namespace {

// The weld's table and window are far larger than a cache: each record's slots are fetched this
// many records ahead, and the vertices those slots hold half as far ahead, once the slots are in.
constexpr int64_t kSlotsAheadRecords = 8;
constexpr int64_t kVerticesAheadRecords = 4;
constexpr int64_t kWeldRingSize = 32;  // a power of two above 3 * (kSlotsAheadRecords + 1)
static_assert(kWeldRingSize > 3 * (kSlotsAheadRecords + 1), "the ring holds the records ahead");

}  // namespace

bool sweepWeld(RecordReader& reader, const SweepPlan& plan, const SweepConsumer& consumer,
               SweepResult& result, Progress& progress, int64_t doneBefore, std::string& error) {
    VertexWelder window;
    return sweepWeld(reader, plan, window, consumer, result, progress, doneBefore, error);
}

bool sweepWeld(RecordReader& reader, const SweepPlan& plan, VertexWelder& window,
               const SweepConsumer& consumer, SweepResult& result, Progress& progress,
               int64_t doneBefore, std::string& error) {
    result = SweepResult();
    if (!rewindRecordFile(reader, error)) {
        return false;
    }
    clearWelder(window);
    window.memoryLimitBytes = defaultWeldMemoryLimit();
    int64_t windowFirstIndex = 0;  // the global index of window.vertices[0]
    size_t handedOn = 0;           // the window's first vertices, final and handed on
    std::vector<uint32_t> indices;
    try {
        indices.reserve(3 * reader.chunk.size());
    } catch (const std::bad_alloc&) {
        error = describeWeldFailure(kWeldOutOfMemory, reader.path, 0);
        return false;
    }
    size_t chunk = 0;
    const bool welded = forEachRecordChunk(
        reader, progress, doneBefore, error, [&](const TriangleRecord* records, int64_t count) {
            if (chunk >= plan.lowestZAfterChunk.size()) {
                error = reader.path + " changed while it was read";
                return false;
            }
            if (chunk == 0 && count > 0) {
                result.color = records[0].color;
            }
            const float lowestAllowed = chunk == 0 ? -HUGE_VALF : plan.lowestZAfterChunk[chunk - 1];
            indices.clear();
            // The hashes of the records ahead, each computed once: vertex k of record r at
            // hashAt(3 * r + k).
            uint64_t ring[kWeldRingSize];
            const auto hashAt = [&ring](int64_t vertexOfChunk) -> uint64_t& {
                return ring[vertexOfChunk & (kWeldRingSize - 1)];
            };
            const auto hashAhead = [&](int64_t r) {
                for (int64_t k = 0; k < 3; ++k) {
                    hashAt(3 * r + k) = weldHashOf(records[r].vertices[k]);
                    prefetchWeldSlot(window, hashAt(3 * r + k));
                }
            };
            for (int64_t r = 0; r < std::min(count, kSlotsAheadRecords); ++r) {
                hashAhead(r);
            }
            for (int64_t i = 0; i < count; ++i) {
                if (i + kSlotsAheadRecords < count) {
                    hashAhead(i + kSlotsAheadRecords);
                }
                if (i + kVerticesAheadRecords < count) {
                    for (int64_t k = 0; k < 3; ++k) {
                        prefetchWeldVertex(window, hashAt(3 * (i + kVerticesAheadRecords) + k));
                    }
                }
                if (!hasFiniteVertices(records[i])) {
                    ++result.nonFiniteTriangles;
                    continue;
                }
                for (int64_t k = 0; k < 3; ++k) {
                    const Vec3f& vertex = records[i].vertices[k];
                    // Below the plan, it might equal a vertex already handed on.
                    if (vertex.z < lowestAllowed) {
                        error = reader.path + " changed while it was read";
                        return false;
                    }
                    // Forgetting the handed-on vertices before the table would grow, and only
                    // when they are a quarter of it, moves each vertex a bounded number of times.
                    if (2 * (window.vertices.size() + 1) > window.slots.size() &&
                        4 * handedOn >= window.vertices.size() && handedOn > 0) {
                        dropFirstVertices(window, handedOn);
                        windowFirstIndex += static_cast<int64_t>(handedOn);
                        handedOn = 0;
                    }
                    const int64_t local = weldStitchedVertex(window, plan.stitch, vertex,
                                                             hashAt(3 * i + k), records[i].color);
                    const int64_t index = local < 0 ? local : windowFirstIndex + local;
                    if (index < 0 || index >= static_cast<int64_t>(kEmptySlot)) {
                        error = describeWeldFailure(index < 0 ? index : kWeldTooManyVertices,
                                                    reader.path,
                                                    static_cast<size_t>(windowFirstIndex) +
                                                        window.vertices.size());
                        return false;
                    }
                    indices.push_back(static_cast<uint32_t>(index));
                }
            }
            result.peakWindowVertices = std::max(result.peakWindowVertices,
                                                 static_cast<int64_t>(window.vertices.size()));
            if (consumer.onTriangles) {
                const SweepTriangles triangles = {indices.data(),
                                                  static_cast<int64_t>(indices.size() / 3),
                                                  window.vertices.data(), windowFirstIndex,
                                                  records, count};
                if (!consumer.onTriangles(triangles, error)) {
                    return false;
                }
            }
            // Vertices are handed on in index order: a final vertex waits behind an earlier one
            // that is not final yet. A joined position may lie below its records' z.
            const float lowestToCome =
                stitchedFinalBelow(plan.stitch, plan.lowestZAfterChunk[chunk++]);
            size_t finalEnd = handedOn;
            while (finalEnd < window.vertices.size() &&
                   window.vertices[finalEnd].position.z < lowestToCome) {
                ++finalEnd;
            }
            if (finalEnd > handedOn && consumer.onVertices &&
                !consumer.onVertices(&window.vertices[handedOn],
                                     static_cast<int64_t>(finalEnd - handedOn),
                                     windowFirstIndex + static_cast<int64_t>(handedOn), error)) {
                return false;
            }
            handedOn = finalEnd;
            return true;
        });
    if (!welded) {
        return false;
    }
    result.vertexCount = windowFirstIndex + static_cast<int64_t>(window.vertices.size());
    return true;
}

bool sweepMeshInMemory(const IndexedMesh& mesh, const SweepConsumer& consumer,
                       SweepResult& result, std::string& error) {
    const SweepTriangles triangles = {mesh.indices.data(),
                                      static_cast<int64_t>(mesh.indices.size() / 3),
                                      mesh.vertices.data(), 0, nullptr, 0};
    result.vertexCount = static_cast<int64_t>(mesh.vertices.size());
    result.color = mesh.color;
    return (!consumer.onTriangles || consumer.onTriangles(triangles, error)) &&
           (!consumer.onVertices ||
            consumer.onVertices(mesh.vertices.data(), result.vertexCount, 0, error));
}
