#include "quarnel_mesh/formats/stl.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/record_stream.h"
#include "quarnel_mesh/model/seam_stitch.h"

namespace {

constexpr size_t kStlHeaderBytes = 80;
constexpr size_t kStlFacetBytes = 50;

// Pass B writes whole pages: pass A's are out of the page cache by then (see writeAtomicOutput),
// and a write of part of a page would first read the rest from the disk, one page at a time.
constexpr long long kStlPageBytes = 4096;
// The most a span of pages to write grows in memory before it is written.
constexpr size_t kStlSpanBytes = size_t{1} << 20;
// Facets pass A encodes before it writes them: a write just past the output's buffer, which goes
// straight to the file, and two megabytes less than a chunk's to hold beside the pairing.
constexpr size_t kStlWriteFacets = (size_t{1} << 20) / kStlFacetBytes + 1;
// Records a core scans for positions the map moves at a time.
constexpr int64_t kStlScanGrainRecords = 16384;
// The records before and after a facet that the pages holding it reach.
constexpr int64_t kStlPageReachRecords = kStlPageBytes / kStlFacetBytes + 2;
// The map's positions a run's box is checked against before the run is read anyway.
constexpr int kStlBoxQueryPositions = 4096;

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

bool writeRawStlAndFindSeams(RecordReader& reader, const Placement& placement, AtomicOutput& output,
                             RunContext& run, StlSeams& seams) {
    seams = StlSeams();
    if (!rewindRecordFile(reader, run.error)) {
        return false;
    }
    writeStlHeader(output, reader.recordCount);
    const bool moved = !isIdentity(placement);
    OpenEdgePairing pairing;
    // As the plan's: the sides waiting for their opposite may take a small share of the memory.
    pairing.memoryLimitBytes = defaultWeldMemoryLimit() / 4;
    std::vector<char> facets;
    // The pairing runs on another core a chunk behind while this thread encodes and writes;
    // declared after what its task uses, so it is waited for first.
    PairingBehindReader behind(pairing);
    try {
        facets.resize(std::min<size_t>(reader.chunk.size(), kStlWriteFacets) * kStlFacetBytes);
        behind.chunk.resize(reader.chunk.size());
        seams.runs.reserve(static_cast<size_t>((reader.recordCount + kStlScanRunRecords - 1) /
                                               kStlScanRunRecords));
    } catch (const std::bad_alloc&) {
        run.error = "not enough memory to read " + reader.path;
        return false;
    }
    int64_t firstRecord = 0;
    char* facet = facets.data();
    const bool written = forEachRecordChunk(
        reader, run.progress, run.doneUnits, run.error,
        [&](const TriangleRecord* records, int64_t count) {
            for (int64_t i = 0, end; i < count; i = end) {
                // The records of one run, its box in locals the loop keeps in registers.
                const int64_t inRun = (firstRecord + i) % kStlScanRunRecords;
                if (inRun == 0) {
                    seams.runs.emplace_back();
                }
                end = std::min(count, i + kStlScanRunRecords - inRun);
                StlRecordRun& box = seams.runs.back();
                Vec3f low = box.low;
                Vec3f high = box.high;
                for (int64_t r = i; r < end; ++r) {
                    if (hasFiniteVertices(records[r])) {
                        for (const Vec3f& vertex : records[r].vertices) {
                            low = {std::min(low.x, vertex.x), std::min(low.y, vertex.y),
                                   std::min(low.z, vertex.z)};
                            high = {std::max(high.x, vertex.x), std::max(high.y, vertex.y),
                                    std::max(high.z, vertex.z)};
                        }
                    } else {
                        box.hasNonFinite = true;
                    }
                    if (facet == facets.data() + facets.size()) {
                        writeAtomicOutput(output, facets.data(), facets.size());
                        facet = facets.data();
                    }
                    if (moved) {
                        TriangleRecord record = records[r];
                        for (Vec3f& vertex : record.vertices) {
                            vertex = placeVertex(vertex, placement);
                        }
                        encodeStlFacet(record, facet);
                    } else {
                        encodeStlFacet(records[r], facet);
                    }
                    facet += kStlFacetBytes;
                }
                box.low = low;
                box.high = high;
            }
            firstRecord += count;
            if (output.failure != OutputFailure::kNone) {
                run.error = describeOutputFailure(output);
                return false;
            }
            pairBehind(behind, reader.chunk, count);
            return true;
        });
    behind.task.wait();
    if (!written) {
        return false;
    }
    if (facet != facets.data()) {
        writeAtomicOutput(output, facets.data(), static_cast<size_t>(facet - facets.data()));
    }
    if (output.failure != OutputFailure::kNone) {
        run.error = describeOutputFailure(output);
        return false;
    }
    // The plan's box: the runs' merged as the plan merges its chunks' (a zero's sign may differ,
    // which changes neither the longest side nor any cell of the join).
    Vec3f boxMin = {HUGE_VALF, HUGE_VALF, HUGE_VALF};
    Vec3f boxMax = {-HUGE_VALF, -HUGE_VALF, -HUGE_VALF};
    for (const StlRecordRun& box : seams.runs) {
        boxMin = {std::min(boxMin.x, box.low.x), std::min(boxMin.y, box.low.y),
                  std::min(boxMin.z, box.low.z)};
        boxMax = {std::max(boxMax.x, box.high.x), std::max(boxMax.y, box.high.y),
                  std::max(boxMax.z, box.high.z)};
    }
    joinOpenEdges(pairing, boxMin, boxMax, seams.map);
    return true;
}

namespace {

// Whether a run's box may hold one of `from` (the map's positions, by z: a file in z order has
// runs thin in z): at most kStlBoxQueryPositions of them are looked at before the run is read
// anyway.
bool runMayMove(const StlRecordRun& box, const std::vector<Vec3f>& from) {
    if (box.hasNonFinite) {
        return true;
    }
    auto it = std::lower_bound(from.begin(), from.end(), box.low.z,
                               [](const Vec3f& p, float z) { return p.z < z; });
    for (int looked = 0; it != from.end() && it->z <= box.high.z; ++it, ++looked) {
        if (looked == kStlBoxQueryPositions || (it->x >= box.low.x && it->x <= box.high.x &&
                                                it->y >= box.low.y && it->y <= box.high.y)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool rewriteStitchedStlFacets(RecordReader& reader, const StlSeams& seams,
                              const Placement& placement, AtomicOutput& output, RunContext& run,
                              int64_t& rewrittenFacetCount, int64_t& readRecordCount) {
    rewrittenFacetCount = 0;
    readRecordCount = 0;
    if (!rewindRecordFile(reader, run.error)) {
        return false;
    }
    const StitchMap& map = seams.map;
    const bool moved = !isIdentity(placement);
    const int64_t recordCount = reader.recordCount;
    const long long fileBytes = stlFacetOffset(recordCount);
    const int64_t capacity = static_cast<int64_t>(reader.chunk.size());
    char header[kStlHeaderBytes + 4];
    encodeStlHeader(recordCount, header);
    std::vector<Vec3f> from;
    std::vector<uint8_t> moves;
    std::vector<char> spanBytes;
    try {
        from = map.from;
        moves.resize(reader.chunk.size());
        spanBytes.reserve(kStlSpanBytes + kStlPageBytes);
    } catch (const std::bad_alloc&) {
        run.error = "not enough memory to read " + reader.path;
        return false;
    }
    std::sort(from.begin(), from.end(), [](const Vec3f& a, const Vec3f& b) { return a.z < b.z; });
    // The records read, reader.chunk from record readFirst on: a group of runs and, around it,
    // the records its facets' pages reach.
    int64_t readFirst = 0;
    const auto facetBytes = [&](int64_t facetIndex, char* facet) {
        TriangleRecord record = reader.chunk[static_cast<size_t>(facetIndex - readFirst)];
        for (Vec3f& vertex : record.vertices) {
            vertex = stitchedPosition(map, vertex);
            if (moved) {
                vertex = placeVertex(vertex, placement);
            }
        }
        encodeStlFacet(record, facet);
    };
    // The pages to write again, from spanStart (a page's start) to spanEnd (a page's end, or the
    // file's), built up to spanStart + spanBytes.size().
    long long spanStart = 0;
    long long spanEnd = 0;
    const auto writeSpan = [&] {
        if (!spanBytes.empty()) {
            rewriteAtomicOutput(output, spanStart, spanBytes.data(), spanBytes.size());
            spanStart += static_cast<long long>(spanBytes.size());
            spanBytes.clear();
        }
    };
    const auto fillSpan = [&] {
        char facet[kStlFacetBytes];
        for (long long at = spanStart; at < spanEnd;
             at = spanStart + static_cast<long long>(spanBytes.size())) {
            // Pieces end at each page's end, where a long span is written out.
            const long long pieceEnd = std::min(spanEnd, (at / kStlPageBytes + 1) * kStlPageBytes);
            if (at < static_cast<long long>(sizeof header)) {
                const long long end = std::min<long long>(pieceEnd, sizeof header);
                spanBytes.insert(spanBytes.end(), header + at, header + end);
            } else {
                const int64_t facetIndex = (at - static_cast<long long>(sizeof header)) /
                                           static_cast<long long>(kStlFacetBytes);
                const long long facetStart = stlFacetOffset(facetIndex);
                facetBytes(facetIndex, facet);
                const long long end =
                    std::min(pieceEnd, facetStart + static_cast<long long>(kStlFacetBytes));
                spanBytes.insert(spanBytes.end(), facet + (at - facetStart),
                                facet + (end - facetStart));
            }
            // spanStart is a page's start: so is the end of a span of whole pages.
            if (spanBytes.size() >= kStlSpanBytes && spanBytes.size() % kStlPageBytes == 0) {
                writeSpan();
            }
        }
        writeSpan();
    };
    const int64_t runCount = static_cast<int64_t>(seams.runs.size());
    for (int64_t first = 0, last; first < runCount; first = last) {
        if (!runMayMove(seams.runs[static_cast<size_t>(first)], from)) {
            last = first + 1;
            continue;
        }
        // The runs that may move, next to each other, as many as one read holds with the
        // records around them that their pages reach.
        const int64_t groupFirst = first * kStlScanRunRecords;
        readFirst = std::max<int64_t>(0, groupFirst - kStlPageReachRecords);
        int64_t groupEnd = std::min(recordCount, groupFirst + kStlScanRunRecords);
        last = first + 1;
        while (last < runCount &&
               std::min(recordCount, groupEnd + kStlScanRunRecords + kStlPageReachRecords) -
                       readFirst <=
                   capacity &&
               runMayMove(seams.runs[static_cast<size_t>(last)], from)) {
            groupEnd = std::min(recordCount, groupEnd + kStlScanRunRecords);
            ++last;
        }
        const int64_t readEnd = std::min(recordCount, groupEnd + kStlPageReachRecords);
        // A chunk holds a run and its reach, or the whole file.
        assert(readEnd - readFirst <= capacity);
        if (stopWasRequested()) {
            run.error = "interrupted";
            return false;
        }
        if (!readRecordsAt(reader, readFirst, readEnd - readFirst, run.error)) {
            return false;
        }
        readRecordCount += readEnd - readFirst;
        // Which records the map moves, on whatever cores are free: almost every position is
        // turned away by the map's filter, in cache.
        tbb::parallel_for(tbb::blocked_range<int64_t>(groupFirst, groupEnd, kStlScanGrainRecords),
                          [&](const tbb::blocked_range<int64_t>& range) {
                              for (int64_t r = range.begin(); r < range.end(); ++r) {
                                  bool stitched = false;
                                  for (const Vec3f& vertex :
                                       reader.chunk[static_cast<size_t>(r - readFirst)].vertices) {
                                      const Vec3f to = stitchedPosition(map, vertex);
                                      stitched =
                                          stitched || std::memcmp(&to, &vertex, sizeof to) != 0;
                                  }
                                  moves[static_cast<size_t>(r - readFirst)] = stitched;
                              }
                          });
        spanStart = 0;
        spanEnd = 0;
        for (int64_t r = groupFirst; r < groupEnd; ++r) {
            if (moves[static_cast<size_t>(r - readFirst)] == 0) {
                continue;
            }
            ++rewrittenFacetCount;
            const long long facetStart = stlFacetOffset(r);
            const long long pageStart = facetStart / kStlPageBytes * kStlPageBytes;
            const long long pageEnd =
                std::min(fileBytes,
                         (facetStart + static_cast<long long>(kStlFacetBytes) + kStlPageBytes - 1) /
                             kStlPageBytes * kStlPageBytes);
            if (pageStart > spanEnd) {
                fillSpan();
                spanStart = pageStart;
            }
            spanEnd = std::max(spanEnd, pageEnd);
        }
        fillSpan();
        if (output.failure != OutputFailure::kNone) {
            run.error = describeOutputFailure(output);
            return false;
        }
        advanceProgress(run.progress, run.doneUnits + recordCount + groupEnd);
    }
    // As a pass's end: the records read must be those pass A read.
    return rewindRecordFile(reader, run.error);
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
        return writeStlRecords(*source.reader, source.plan->stitch, placement, output, run.progress,
                               run.doneUnits, run.error);
    }
    StlSeams seams;
    int64_t rewrittenFacetCount = 0;
    int64_t readRecordCount = 0;
    if (!writeRawStlAndFindSeams(*source.reader, placement, output, run, seams)) {
        return false;
    }
    // A map with no entries moves nothing: the facets as written are the stitched ones.
    if (!seams.map.filter.empty() &&
        !rewriteStitchedStlFacets(*source.reader, seams, placement, output, run,
                                  rewrittenFacetCount, readRecordCount)) {
        return false;
    }
    advanceProgress(run.progress, run.doneUnits + 2 * source.reader->recordCount);
    return true;
}
