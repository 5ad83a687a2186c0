#include "quarnel_mesh/formats/stl.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/record_stream.h"
#include "quarnel_mesh/model/seam_stitch.h"

namespace {

constexpr size_t kStlHeaderBytes = 80;
constexpr size_t kStlFacetBytes = 50;

// Pass B writes whole pages: pass A's are out of the page cache by then (see writeAtomicOutput),
// and a write of part of a page would first read the rest from the disk, one page at a time.
constexpr long long kStlPageBytes = 4096;
// The most a run of pages to write grows in memory before it is written.
constexpr size_t kStlRunBytes = size_t{1} << 20;
// Facets pass A encodes before it writes them: a write just past the output's buffer, which goes
// straight to the file, and two megabytes less than a chunk's to hold beside the pairing.
constexpr size_t kStlWriteFacets = (size_t{1} << 20) / kStlFacetBytes + 1;
// Records a core scans for positions the map moves at a time.
constexpr int64_t kStlScanGrainRecords = 16384;
// The records before a chunk that its first page may reach back to.
constexpr int64_t kStlTailRecords = kStlPageBytes / kStlFacetBytes + 2;

// Must not begin with "solid": readers take that as the mark of the text form.
constexpr char kStlHeaderText[] = "binary STL written by quarnel-mesh";

void encodeStlHeader(int64_t triangleCount, char* header) {
    std::memset(header, 0, kStlHeaderBytes);
    std::memcpy(header, kStlHeaderText, sizeof kStlHeaderText - 1);
    const uint32_t count = static_cast<uint32_t>(triangleCount);
    std::memcpy(header + kStlHeaderBytes, &count, 4);
}

void writeStlHeader(AtomicOutput& output, int64_t triangleCount) {
    char header[kStlHeaderBytes + 4];
    encodeStlHeader(triangleCount, header);
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
        facets.resize(std::min<size_t>(reader.chunk.size(), kStlWriteFacets) * kStlFacetBytes);
        pairingChunk.resize(reader.chunk.size());
    } catch (const std::bad_alloc&) {
        run.error = "not enough memory to read " + reader.path;
        return false;
    }
    // The box of the finite records' own positions, found as the plan finds it: the tolerance
    // is relative to it.
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
            Vec3f low = {HUGE_VALF, HUGE_VALF, HUGE_VALF};
            Vec3f high = {-HUGE_VALF, -HUGE_VALF, -HUGE_VALF};
            char* facet = facets.data();
            for (int64_t i = 0; i < count; ++i) {
                if (facet == facets.data() + facets.size()) {
                    writeAtomicOutput(output, facets.data(), facets.size());
                    facet = facets.data();
                }
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
            boxMin = {std::min(boxMin.x, low.x), std::min(boxMin.y, low.y),
                      std::min(boxMin.z, low.z)};
            boxMax = {std::max(boxMax.x, high.x), std::max(boxMax.y, high.y),
                      std::max(boxMax.z, high.z)};
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
    const long long fileBytes = stlFacetOffset(reader.recordCount);
    char header[kStlHeaderBytes + 4];
    encodeStlHeader(reader.recordCount, header);
    // The chunk's records, and before them the last records of the chunks before: enough for
    // the page that holds the chunk's first facet.
    const TriangleRecord* records = nullptr;
    int64_t firstRecord = 0;
    std::vector<TriangleRecord> tail;
    std::vector<uint8_t> moves;
    std::vector<char> runBytes;
    try {
        moves.resize(reader.chunk.size());
        tail.reserve(2 * kStlTailRecords);
        runBytes.reserve(kStlRunBytes + kStlPageBytes);
    } catch (const std::bad_alloc&) {
        run.error = "not enough memory to read " + reader.path;
        return false;
    }
    const auto facetBytes = [&](int64_t facetIndex, char* facet) {
        TriangleRecord record =
            facetIndex >= firstRecord
                ? records[facetIndex - firstRecord]
                : tail[tail.size() - static_cast<size_t>(firstRecord - facetIndex)];
        for (Vec3f& vertex : record.vertices) {
            vertex = stitchedPosition(map, vertex);
            if (moved) {
                vertex = placeVertex(vertex, placement);
            }
        }
        encodeStlFacet(record, facet);
    };
    // The pages to write again, from runStart (a page's start) to runEnd (a page's end, or the
    // file's), built up to runStart + runBytes.size() from the records as they come.
    long long runStart = 0;
    long long runEnd = 0;
    const auto writeRun = [&] {
        if (!runBytes.empty()) {
            rewriteAtomicOutput(output, runStart, runBytes.data(), runBytes.size());
            runStart += static_cast<long long>(runBytes.size());
            runBytes.clear();
        }
    };
    const auto fillRun = [&](long long upTo) {
        char facet[kStlFacetBytes];
        for (long long at = runStart + static_cast<long long>(runBytes.size()); at < upTo;
             at = runStart + static_cast<long long>(runBytes.size())) {
            // Pieces end at each page's end, where a long run is written out.
            const long long pageEnd = (at / kStlPageBytes + 1) * kStlPageBytes;
            const long long pieceEnd = std::min(upTo, pageEnd);
            if (at < static_cast<long long>(sizeof header)) {
                const long long end = std::min<long long>(pieceEnd, sizeof header);
                runBytes.insert(runBytes.end(), header + at, header + end);
            } else {
                const int64_t facetIndex = (at - static_cast<long long>(sizeof header)) /
                                           static_cast<long long>(kStlFacetBytes);
                const long long facetStart = stlFacetOffset(facetIndex);
                facetBytes(facetIndex, facet);
                const long long end =
                    std::min(pieceEnd, facetStart + static_cast<long long>(kStlFacetBytes));
                runBytes.insert(runBytes.end(), facet + (at - facetStart),
                                facet + (end - facetStart));
            }
            // runStart is a page's start: so is the end of a run of whole pages.
            if (runBytes.size() >= kStlRunBytes && runBytes.size() % kStlPageBytes == 0) {
                writeRun();
            }
        }
    };
    const bool rewritten = forEachRecordChunk(
        reader, run.progress, run.doneUnits + reader.recordCount, run.error,
        [&](const TriangleRecord* chunk, int64_t count) {
            records = chunk;
            // Which records the map moves, on whatever cores are free: almost every position is
            // turned away by the map's filter, in cache.
            tbb::parallel_for(
                tbb::blocked_range<int64_t>(0, count, kStlScanGrainRecords),
                [&](const tbb::blocked_range<int64_t>& range) {
                    for (int64_t i = range.begin(); i < range.end(); ++i) {
                        bool stitched = false;
                        for (const Vec3f& vertex : chunk[i].vertices) {
                            const Vec3f to = stitchedPosition(map, vertex);
                            stitched = stitched || std::memcmp(&to, &vertex, sizeof to) != 0;
                        }
                        moves[static_cast<size_t>(i)] = stitched;
                    }
                });
            for (int64_t i = 0; i < count; ++i) {
                if (moves[static_cast<size_t>(i)] == 0) {
                    continue;
                }
                ++rewrittenFacetCount;
                const long long facetStart = stlFacetOffset(firstRecord + i);
                const long long pageStart = facetStart / kStlPageBytes * kStlPageBytes;
                const long long pageEnd = std::min(
                    fileBytes, (facetStart + static_cast<long long>(kStlFacetBytes) +
                                kStlPageBytes - 1) / kStlPageBytes * kStlPageBytes);
                if (pageStart > runEnd) {
                    fillRun(runEnd);
                    writeRun();
                    runStart = pageStart;
                }
                runEnd = std::max(runEnd, pageEnd);
            }
            fillRun(std::min(runEnd, stlFacetOffset(firstRecord + count)));
            firstRecord += count;
            const int64_t kept = std::min(count, kStlTailRecords);
            tail.insert(tail.end(), chunk + count - kept, chunk + count);
            if (tail.size() > static_cast<size_t>(kStlTailRecords)) {
                tail.erase(tail.begin(), tail.end() - kStlTailRecords);
            }
            if (output.failure != OutputFailure::kNone) {
                run.error = describeOutputFailure(output);
                return false;
            }
            return true;
        });
    if (!rewritten) {
        return false;
    }
    writeRun();
    if (output.failure != OutputFailure::kNone) {
        run.error = describeOutputFailure(output);
        return false;
    }
    return true;
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
