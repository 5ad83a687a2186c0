#include "quarnel_mesh/formats/stl.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include <tbb/task_group.h>

#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/record_stream.h"
#include "quarnel_mesh/model/seam_stitch.h"

namespace {

constexpr size_t kStlHeaderBytes = 80;
constexpr size_t kStlFacetBytes = 50;

// Must not begin with "solid": readers take that as the mark of the text form.
constexpr char kStlHeaderText[] = "binary STL written by quarnel-mesh";

void writeStlHeader(AtomicOutput& output, int64_t triangleCount) {
    char header[kStlHeaderBytes + 4] = {};
    std::memcpy(header, kStlHeaderText, sizeof kStlHeaderText - 1);
    const uint32_t count = static_cast<uint32_t>(triangleCount);
    std::memcpy(header + kStlHeaderBytes, &count, 4);
    writeAtomicOutput(output, header, sizeof header);
}

void encodeStlFacet(const TriangleRecord& record, char* facet) {
    const Vec3f normal = facetNormal(record);
    const uint16_t attribute = 0;
    std::memcpy(facet, &normal, 12);
    std::memcpy(facet + 12, record.vertices, 36);
    std::memcpy(facet + 48, &attribute, 2);
}

}  // namespace

Vec3f facetNormal(const TriangleRecord& record) {
    const Vec3d v0 = toVec3d(record.vertices[0]);
    const Vec3d n = cross(subtract(toVec3d(record.vertices[1]), v0),
                          subtract(toVec3d(record.vertices[2]), v0));
    const double length = std::sqrt(dot(n, n));
    // Zero length, or inf/NaN from non-finite or huge vertices: no direction to give.
    if (!(length > 0.0) || !std::isfinite(length)) {
        return {0.0f, 0.0f, 0.0f};
    }
    return {static_cast<float>(n.x / length), static_cast<float>(n.y / length),
            static_cast<float>(n.z / length)};
}

namespace {

bool writeStlRecords(RecordReader& reader, const StitchMap& stitch, const Placement& placement,
                     AtomicOutput& output, Progress& progress, int64_t doneBefore,
                     std::string& error) {
    if (!rewindRecordFile(reader, error)) {
        return false;
    }
    writeStlHeader(output, reader.recordCount);
    const bool moved = !isIdentity(placement);
    std::vector<char> facets(reader.chunk.size() * kStlFacetBytes);
    return forEachRecordChunk(
        reader, progress, doneBefore, error, [&](const TriangleRecord* records, int64_t count) {
            char* facet = facets.data();
            for (int64_t i = 0; i < count; ++i) {
                TriangleRecord record = records[i];
                for (Vec3f& vertex : record.vertices) {
                    vertex = stitchedPosition(stitch, vertex);
                    if (moved) {
                        vertex = placeVertex(vertex, placement);
                    }
                }
                encodeStlFacet(record, facet);
                facet += kStlFacetBytes;
            }
            writeAtomicOutput(output, facets.data(), static_cast<size_t>(facet - facets.data()));
            if (output.failure != OutputFailure::kNone) {
                error = describeOutputFailure(output);
                return false;
            }
            return true;
        });
}

// Facet i's bytes start here.
long long stlFacetOffset(int64_t facetIndex) {
    return static_cast<long long>(kStlHeaderBytes + 4) +
           static_cast<long long>(kStlFacetBytes) * facetIndex;
}

}  // namespace

bool writeRawStlAndFindSeams(RecordReader& reader, const Placement& placement,
                             AtomicOutput& output, RunContext& run, StitchMap& map) {
    map = StitchMap();
    if (!rewindRecordFile(reader, run.error)) {
        return false;
    }
    writeStlHeader(output, reader.recordCount);
    const bool moved = !isIdentity(placement);
    OpenEdgePairing pairing;
    // As the plan's: the sides waiting for their opposite may take a small share of the memory.
    pairing.memoryLimitBytes = defaultWeldMemoryLimit() / 4;
    std::vector<char> facets;
    std::vector<TriangleRecord> pairingChunk;
    try {
        facets.resize(reader.chunk.size() * kStlFacetBytes);
        pairingChunk.resize(reader.chunk.size());
    } catch (const std::bad_alloc&) {
        run.error = "not enough memory to read " + reader.path;
        return false;
    }
    // The box of the finite records' own positions, as the plan's: the tolerance is relative to
    // it.
    Vec3f boxMin = {HUGE_VALF, HUGE_VALF, HUGE_VALF};
    Vec3f boxMax = {-HUGE_VALF, -HUGE_VALF, -HUGE_VALF};
    // The pairing runs on another core a chunk behind, in a buffer it trades with the reader's,
    // while this thread encodes and writes; declared after what the task uses, so it is waited
    // for first.
    struct WaitedTaskGroup : tbb::task_group {
        ~WaitedTaskGroup() { wait(); }
    } pairingTask;
    const bool written = forEachRecordChunk(
        reader, run.progress, run.doneUnits, run.error,
        [&](const TriangleRecord* records, int64_t count) {
            Vec3f low = boxMin;
            Vec3f high = boxMax;
            char* facet = facets.data();
            for (int64_t i = 0; i < count; ++i) {
                if (hasFiniteVertices(records[i])) {
                    for (const Vec3f& vertex : records[i].vertices) {
                        low = {std::min(low.x, vertex.x), std::min(low.y, vertex.y),
                               std::min(low.z, vertex.z)};
                        high = {std::max(high.x, vertex.x), std::max(high.y, vertex.y),
                                std::max(high.z, vertex.z)};
                    }
                }
                if (moved) {
                    TriangleRecord record = records[i];
                    for (Vec3f& vertex : record.vertices) {
                        vertex = placeVertex(vertex, placement);
                    }
                    encodeStlFacet(record, facet);
                } else {
                    encodeStlFacet(records[i], facet);
                }
                facet += kStlFacetBytes;
            }
            boxMin = low;
            boxMax = high;
            writeAtomicOutput(output, facets.data(), static_cast<size_t>(facet - facets.data()));
            if (output.failure != OutputFailure::kNone) {
                run.error = describeOutputFailure(output);
                return false;
            }
            pairingTask.wait();
            pairingChunk.swap(reader.chunk);
            pairingTask.run([&pairing, &pairingChunk, count] {
                pairRecordEdges(pairing, pairingChunk.data(), count);
            });
            return true;
        });
    pairingTask.wait();
    if (!written) {
        return false;
    }
    joinOpenEdges(pairing, boxMin, boxMax, map);
    return true;
}

bool rewriteStitchedStlFacets(RecordReader& reader, const StitchMap& map,
                              const Placement& placement, AtomicOutput& output, RunContext& run,
                              int64_t& rewrittenFacetCount) {
    rewrittenFacetCount = 0;
    if (!rewindRecordFile(reader, run.error)) {
        return false;
    }
    const bool moved = !isIdentity(placement);
    // Neighbouring facets to rewrite go in one write: a run of them, from facet runFirst on.
    std::vector<char> pending;
    int64_t runFirst = 0;
    const auto writePending = [&] {
        if (!pending.empty()) {
            rewriteAtomicOutput(output, stlFacetOffset(runFirst), pending.data(), pending.size());
            pending.clear();
        }
        return output.failure == OutputFailure::kNone;
    };
    int64_t index = 0;
    const bool rewritten = forEachRecordChunk(
        reader, run.progress, run.doneUnits + reader.recordCount, run.error,
        [&](const TriangleRecord* records, int64_t count) {
            for (int64_t i = 0; i < count; ++i, ++index) {
                // Almost every position is turned away by the map's filter, in cache.
                TriangleRecord record = records[i];
                bool stitched = false;
                for (Vec3f& vertex : record.vertices) {
                    const Vec3f to = stitchedPosition(map, vertex);
                    stitched = stitched || std::memcmp(&to, &vertex, sizeof to) != 0;
                    vertex = to;
                }
                if (!stitched) {
                    continue;
                }
                if (moved) {
                    for (Vec3f& vertex : record.vertices) {
                        vertex = placeVertex(vertex, placement);
                    }
                }
                if (!pending.empty() &&
                    runFirst + static_cast<int64_t>(pending.size() / kStlFacetBytes) != index &&
                    !writePending()) {
                    break;
                }
                if (pending.empty()) {
                    runFirst = index;
                }
                char facet[kStlFacetBytes];
                encodeStlFacet(record, facet);
                pending.insert(pending.end(), facet, facet + kStlFacetBytes);
                ++rewrittenFacetCount;
            }
            if (output.failure != OutputFailure::kNone) {
                run.error = describeOutputFailure(output);
                return false;
            }
            return true;
        });
    if (rewritten && !writePending()) {
        run.error = describeOutputFailure(output);
        return false;
    }
    return rewritten;
}

namespace {

bool writeStlMesh(const IndexedMesh& mesh, AtomicOutput& output, std::string& error) {
    writeStlHeader(output, static_cast<int64_t>(mesh.indices.size() / 3));
    char facet[kStlFacetBytes];
    TriangleRecord record;
    record.color = mesh.color;
    for (size_t i = 0; i < mesh.indices.size(); i += 3) {
        for (int v = 0; v < 3; ++v) {
            record.vertices[v] = mesh.vertices[mesh.indices[i + v]].position;
        }
        encodeStlFacet(record, facet);
        writeAtomicOutput(output, facet, sizeof facet);
    }
    if (output.failure != OutputFailure::kNone) {
        error = describeOutputFailure(output);
        return false;
    }
    return true;
}

}  // namespace

bool writeStl(const MeshSource& source, const Placement& placement, const WriteOptions&,
              AtomicOutput& output, RunContext& run) {
    if (source.mesh != nullptr) {
        return writeStlMesh(*source.mesh, output, run.error);
    }
    if (source.plan != nullptr) {
        return writeStlRecords(*source.reader, source.plan->stitch, placement, output,
                               run.progress, run.doneUnits, run.error);
    }
    StitchMap map;
    int64_t rewrittenFacetCount = 0;
    if (!writeRawStlAndFindSeams(*source.reader, placement, output, run, map)) {
        return false;
    }
    // A map with no entries moves nothing: the facets as written are the stitched ones.
    if (!map.filter.empty() && !rewriteStitchedStlFacets(*source.reader, map, placement, output,
                                                         run, rewrittenFacetCount)) {
        return false;
    }
    advanceProgress(run.progress, run.doneUnits + 2 * source.reader->recordCount);
    return true;
}
