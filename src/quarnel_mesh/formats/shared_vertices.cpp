#include "quarnel_mesh/formats/shared_vertices.h"

#include <cstring>

#include "quarnel_mesh/formats/obj.h"
#include "quarnel_mesh/formats/ply.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/record_stream.h"
#include "quarnel_mesh/model/vertex_welder.h"

namespace {

// Pass over the records that welds every vertex, in file order, and counts the triangles with a
// non-finite vertex: PLY and OBJ readers refuse a "nan" or "inf" vertex, so those are left out.
bool weldAll(RecordReader& reader, VertexWelder& welder, int64_t& nonFiniteCount,
             Progress& progress, const std::atomic<bool>* stopRequested, std::string& error) {
    nonFiniteCount = 0;
    if (!rewindRecordFile(reader, error)) {
        return false;
    }
    return forEachRecordChunk(
        reader, progress, 0, stopRequested, error,
        [&](const TriangleRecord* records, int64_t count) {
            for (int64_t i = 0; i < count; ++i) {
                if (!hasFiniteVertices(records[i])) {
                    ++nonFiniteCount;
                    continue;
                }
                for (const Vec3f& vertex : records[i].vertices) {
                    const int64_t index = weldVertex(welder, vertex, records[i].color);
                    if (index < 0) {
                        error = describeWeldFailure(index, reader.path, welder.vertices.size());
                        return false;
                    }
                }
            }
            return true;
        });
}

// Second pass: every vertex is already in the table, so weldVertex only looks it up; a new one
// means the file changed under us and the header's count would be wrong.
bool writeFaces(RecordReader& reader, MeshFormat format, VertexWelder& welder,
                int64_t vertexCount, AtomicOutput& output, Progress& progress,
                const std::atomic<bool>* stopRequested, std::string& error) {
    if (!rewindRecordFile(reader, error)) {
        return false;
    }
    return forEachRecordChunk(
        reader, progress, reader.recordCount, stopRequested, error,
        [&](const TriangleRecord* records, int64_t count) {
            for (int64_t i = 0; i < count; ++i) {
                const TriangleRecord& record = records[i];
                if (!hasFiniteVertices(record)) {
                    continue;
                }
                int64_t indices[3];
                for (int v = 0; v < 3; ++v) {
                    indices[v] = weldVertex(welder, record.vertices[v], record.color);
                    if (indices[v] < 0 || indices[v] >= vertexCount) {
                        error = reader.path + " changed while it was read";
                        return false;
                    }
                }
                const uint32_t face[3] = {static_cast<uint32_t>(indices[0]),
                                          static_cast<uint32_t>(indices[1]),
                                          static_cast<uint32_t>(indices[2])};
                if (format == MeshFormat::kPly) {
                    writePlyFace(output, face);
                } else {
                    writeObjFace(output, face);
                }
            }
            if (output.failure != OutputFailure::kNone) {
                error = describeOutputFailure(output);
                return false;
            }
            return true;
        });
}

}  // namespace

bool writeSharedStream(RecordReader& reader, MeshFormat format, uint64_t weldMemoryLimitBytes,
                       AtomicOutput& output, Progress& progress,
                       const std::atomic<bool>* stopRequested, int64_t& nonFiniteDropped,
                       uint8_t firstRgb[3], std::string& error) {
    VertexWelder welder;
    welder.memoryLimitBytes =
        weldMemoryLimitBytes != 0 ? weldMemoryLimitBytes : defaultWeldMemoryLimit();
    if (!weldAll(reader, welder, nonFiniteDropped, progress, stopRequested, error)) {
        return false;
    }
    if (!welder.vertices.empty()) {
        std::memcpy(firstRgb, welder.vertices[0].rgb, 3);
    }
    const int64_t vertexCount = static_cast<int64_t>(welder.vertices.size());
    const int64_t faceCount = reader.recordCount - nonFiniteDropped;
    if (format == MeshFormat::kPly) {
        writePlyHeader(output, vertexCount, faceCount);
        writePlyVertices(output, welder.vertices);
    } else {
        writeObjVertices(output, welder.vertices, faceCount);
    }
    return writeFaces(reader, format, welder, vertexCount, output, progress, stopRequested,
                      error);
}
