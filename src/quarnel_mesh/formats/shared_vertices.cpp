#include "quarnel_mesh/formats/shared_vertices.h"

#include <cstring>
#include <vector>

#include "quarnel_mesh/formats/obj.h"
#include "quarnel_mesh/formats/ply.h"
#include "quarnel_mesh/model/sweep_weld.h"

namespace {

bool outputFailed(const AtomicOutput& output, std::string& error) {
    if (output.failure != OutputFailure::kNone) {
        error = describeOutputFailure(output);
        return true;
    }
    return false;
}

}  // namespace

bool writeSharedStream(RecordReader& reader, const SweepPlan& plan, const Placement& placement,
                       MeshFormat format, uint64_t weldMemoryLimitBytes, AtomicOutput& output,
                       Progress& progress, int64_t doneBefore, int64_t& nonFiniteDropped,
                       uint8_t firstRgb[3], std::string& error) {
    SweepResult counted;
    if (!sweepWeld(reader, plan, weldMemoryLimitBytes, SweepConsumer(), counted, progress,
                   doneBefore, error)) {
        return false;
    }
    const bool moved = !isIdentity(placement);
    std::vector<WeldedVertex> placed;  // a batch of final vertices, turned and scaled
    nonFiniteDropped = counted.nonFiniteTriangles;
    const int64_t faceCount = reader.recordCount - nonFiniteDropped;
    if (format == MeshFormat::kPly) {
        writePlyHeader(output, counted.vertexCount, faceCount);
    } else {
        writeObjHeader(output, counted.vertexCount, faceCount);
    }
    SweepConsumer vertexWriter;
    vertexWriter.onVertices = [&](const WeldedVertex* vertices, int64_t count, int64_t firstIndex,
                                  std::string& writeError) {
        if (firstIndex == 0) {
            std::memcpy(firstRgb, vertices[0].rgb, 3);
        }
        if (moved) {
            placed.assign(vertices, vertices + count);
            for (WeldedVertex& vertex : placed) {
                vertex.position = placeVertex(vertex.position, placement);
            }
            vertices = placed.data();
        }
        if (format == MeshFormat::kPly) {
            writePlyVertices(output, vertices, static_cast<size_t>(count));
        } else {
            writeObjVertices(output, vertices, static_cast<size_t>(count));
        }
        return !outputFailed(output, writeError);
    };
    SweepConsumer faceWriter;
    faceWriter.onTriangles = [&](const SweepTriangles& triangles, std::string& writeError) {
        for (int64_t t = 0; t < triangles.triangleCount; ++t) {
            if (format == MeshFormat::kPly) {
                writePlyFace(output, &triangles.indices[3 * t]);
            } else {
                writeObjFace(output, &triangles.indices[3 * t]);
            }
        }
        return !outputFailed(output, writeError);
    };
    // Every pass must meet the counts the header gave.
    for (const SweepConsumer* writer : {&vertexWriter, &faceWriter}) {
        SweepResult written;
        const int64_t passesBefore = writer == &vertexWriter ? 1 : 2;
        if (!sweepWeld(reader, plan, weldMemoryLimitBytes, *writer, written, progress,
                       doneBefore + passesBefore * reader.recordCount, error)) {
            return false;
        }
        if (written.vertexCount != counted.vertexCount ||
            written.nonFiniteTriangles != counted.nonFiniteTriangles) {
            error = reader.path + " changed while it was read";
            return false;
        }
    }
    return true;
}
