#include "quarnel_mesh/formats/stl.h"

#include <cmath>
#include <cstring>
#include <vector>

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
    return writeStlRecords(*source.reader, source.plan->stitch, placement, output, run.progress,
                           run.doneUnits, run.error);
}
