// The plain glb: one primitive of float positions (and normals) and 32-bit indices, in the
// order the weld numbers the vertices and the file orders the triangles; the BIN chunk's parts
// wait in scratch files beside the output until the JSON before them is known.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "quarnel_mesh/formats/glb_parts.h"

namespace {

// The BIN chunk's three parts as the sweep hands them on, each in its own scratch file until the
// JSON before them is known.
struct PlainGlbParts {
    Placement placement;
    bool normals = false;
    int64_t finiteTriangleCount = 0;  // the file's, for the size it will at least take
    std::string outputPath;
    ScratchFile positions;
    ScratchFile normalFile;
    ScratchFile indices;
    NormalSums normalSums;
    std::vector<Vec3f> scratch;     // one chunk's positions or normals on their way out
    Vec3f boxMin = {HUGE_VALF, HUGE_VALF, HUGE_VALF};
    Vec3f boxMax = {-HUGE_VALF, -HUGE_VALF, -HUGE_VALF};
    int64_t vertexCount = 0;        // handed on so far
    int64_t verticesSeen = 0;       // the highest index seen so far, plus one
    int64_t triangleCount = 0;
};

bool partsFailed(const PlainGlbParts& parts, std::string& error) {
    return scratchFailed(parts.outputPath, {&parts.positions, &parts.normalFile, &parts.indices},
                         error);
}

bool takeTriangles(PlainGlbParts& parts, const SweepTriangles& triangles, std::string& error) {
    parts.verticesSeen = highestIndexPlusOne(triangles, parts.verticesSeen);
    // Every triangle of the file takes its 12 bytes, every vertex seen its 12 or 24.
    const uint64_t leastBytes = glbFileBytes(
        0, plainGlbBinBytes(parts.verticesSeen, parts.finiteTriangleCount, parts.normals));
    if (leastBytes > UINT32_MAX) {
        error = describeGlbTooLarge(leastBytes, false);
        return false;
    }
    writeScratchFile(parts.indices, triangles.indices,
                     12 * static_cast<size_t>(triangles.triangleCount));
    parts.triangleCount += triangles.triangleCount;
    if (parts.normals) {
        addFaceNormals(parts.normalSums, parts.placement, triangles, parts.verticesSeen);
    }
    return !partsFailed(parts, error);
}

bool takeFinalVertices(PlainGlbParts& parts, const WeldedVertex* vertices, int64_t count,
                       int64_t firstIndex, std::string& error) {
    parts.scratch.resize(static_cast<size_t>(count));
    for (int64_t v = 0; v < count; ++v) {
        const Vec3f p = placed(parts.placement, vertices[v].position);
        parts.scratch[v] = p;
        parts.boxMin = {std::fmin(parts.boxMin.x, p.x), std::fmin(parts.boxMin.y, p.y),
                        std::fmin(parts.boxMin.z, p.z)};
        parts.boxMax = {std::fmax(parts.boxMax.x, p.x), std::fmax(parts.boxMax.y, p.y),
                        std::fmax(parts.boxMax.z, p.z)};
    }
    writeScratchFile(parts.positions, parts.scratch.data(), 12 * parts.scratch.size());
    parts.vertexCount += count;
    if (parts.normals) {
        for (int64_t v = 0; v < count; ++v) {
            parts.scratch[v] = finalNormal(parts.normalSums, firstIndex + v);
        }
        writeScratchFile(parts.normalFile, parts.scratch.data(), 12 * parts.scratch.size());
        forgetFinalSums(parts.normalSums, firstIndex + count);
    }
    return !partsFailed(parts, error);
}

}  // namespace

bool writePlainGlb(const SweepPass& sweep, int64_t finiteTriangleCount, const Placement& placement,
                   const GlbOptions& options, AtomicOutput& output, Progress& progress,
                   int64_t doneBefore, int64_t copyUnits, std::string& error) {
    PlainGlbParts parts;
    parts.placement = placement;
    parts.normals = options.smoothNormals;
    parts.finiteTriangleCount = finiteTriangleCount;
    parts.outputPath = output.finalPath;
    for (ScratchFile* file : {&parts.positions, &parts.normalFile, &parts.indices}) {
        if ((file != &parts.normalFile || parts.normals) && !openScratchFile(output, *file)) {
            partsFailed(parts, error);
            return false;
        }
    }
    SweepConsumer consumer;
    consumer.onTriangles = [&parts](const SweepTriangles& triangles, std::string& partError) {
        return takeTriangles(parts, triangles, partError);
    };
    consumer.onVertices = [&parts](const WeldedVertex* vertices, int64_t count,
                                   int64_t firstIndex, std::string& partError) {
        return takeFinalVertices(parts, vertices, count, firstIndex, partError);
    };
    SweepResult result;
    try {
        if (!sweep(consumer, result, error)) {
            return false;
        }
    } catch (const std::bad_alloc&) {
        error = "not enough memory for the normals of the glTF file";
        return false;
    }
    if (parts.triangleCount == 0) {
        error = "no triangles left to write to " + output.finalPath;
        return false;
    }
    size_t binBytes = 0;
    const size_t indexCount = 3 * static_cast<size_t>(parts.triangleCount);
    const GlbLayout layout = plainLayout(static_cast<size_t>(parts.vertexCount), indexCount,
                                         parts.normals, parts.boxMin, parts.boxMax, binBytes);
    if (!writeGlbHead(glbJson(layout, indexCount, result.color, options.sourceName), binBytes,
                      output, error)) {
        return false;
    }
    uint64_t copiedBefore = 0;
    for (ScratchFile* file : {&parts.positions, &parts.normalFile, &parts.indices}) {
        if (file->fd < 0) {
            continue;
        }
        const bool copied = copyScratchFile(*file, output, [&](uint64_t copiedBytes) {
            const double share = static_cast<double>(copiedBefore + copiedBytes) /
                                 static_cast<double>(binBytes);
            advanceProgress(progress, doneBefore + static_cast<int64_t>(
                                                       share * static_cast<double>(copyUnits)));
        });
        if (!copied) {
            if (!partsFailed(parts, error)) {
                error = describeOutputFailure(output);
            }
            return false;
        }
        copiedBefore += file->byteCount;
    }
    return true;
}
