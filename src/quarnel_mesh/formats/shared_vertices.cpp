#include "quarnel_mesh/formats/shared_vertices.h"

#include <cstring>
#include <vector>

namespace {

bool outputFailed(const AtomicOutput& output, std::string& error) {
    if (output.failure != OutputFailure::kNone) {
        error = describeOutputFailure(output);
        return true;
    }
    return false;
}

}  // namespace

bool writeSharedVertices(const MeshSource& source, const Placement& placement,
                         const SharedVertexLayout& layout, AtomicOutput& output, RunContext& run,
                         uint8_t firstRgb[3]) {
    const SweepPass sweep = sweepPassOf(source, run);
    const int64_t passUnits = unitsPerPass(source);
    int64_t faceCount = 0;
    SweepConsumer counter;
    counter.onTriangles = [&](const SweepTriangles& triangles, std::string&) {
        faceCount += triangles.triangleCount;
        return true;
    };
    SweepResult counted;
    if (!sweep(counter, counted, run.error)) {
        return false;
    }
    run.doneUnits += passUnits;
    const bool moved = !isIdentity(placement);
    std::vector<WeldedVertex> placed;  // a batch of final vertices, turned and scaled
    layout.writeHeader(output, counted.vertexCount, faceCount);
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
        layout.writeVertices(output, vertices, static_cast<size_t>(count));
        return !outputFailed(output, writeError);
    };
    SweepConsumer faceWriter;
    faceWriter.onTriangles = [&](const SweepTriangles& triangles, std::string& writeError) {
        for (int64_t t = 0; t < triangles.triangleCount; ++t) {
            layout.writeFace(output, &triangles.indices[3 * t]);
        }
        return !outputFailed(output, writeError);
    };
    for (const SweepConsumer* writer : {&vertexWriter, &faceWriter}) {
        SweepResult written;
        if (!sweep(*writer, written, run.error)) {
            return false;
        }
        run.doneUnits += passUnits;
        if (written.vertexCount != counted.vertexCount ||
            written.nonFiniteTriangles != counted.nonFiniteTriangles) {
            run.error = source.reader->path + " changed while it was read";
            return false;
        }
    }
    return true;
}
