// glTF 2.0 binary, its entry points and what its writers share (see glb_parts.h for the jobs).
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include <meshoptimizer.h>

#include "quarnel_mesh/formats/glb_parts.h"

Vec3f placed(const Placement& placement, const Vec3f& position) {
    return isIdentity(placement) ? position : placeVertex(position, placement);
}

int64_t highestIndexPlusOne(const SweepTriangles& triangles, int64_t before) {
    for (int64_t i = 0; i < 3 * triangles.triangleCount; ++i) {
        before = std::max(before, static_cast<int64_t>(triangles.indices[i]) + 1);
    }
    return before;
}

bool scratchFailed(const std::string& outputPath, std::initializer_list<const ScratchFile*> files,
                   std::string& error) {
    for (const ScratchFile* file : files) {
        if (file->errorNumber != 0) {
            error = "cannot write " + outputPath + ": " + std::strerror(file->errorNumber);
            return true;
        }
    }
    return false;
}

void addFaceNormals(NormalSums& normals, const Placement& placement,
                    const SweepTriangles& triangles, int64_t verticesSeen) {
    makeRoomForNormals(normals, verticesSeen);
    const auto corner = [&](uint32_t index) {
        const WeldedVertex& vertex = triangles.window[index - triangles.windowFirstIndex];
        return toVec3d(placed(placement, vertex.position));
    };
    for (int64_t t = 0; t < triangles.triangleCount; ++t) {
        const uint32_t* corners = &triangles.indices[3 * t];
        addFaceNormal(normals, corners, corner(corners[0]), corner(corners[1]),
                      corner(corners[2]));
    }
}

uint64_t plainGlbBinBytes(uint64_t vertexCount, uint64_t triangleCount, bool normals) {
    return (normals ? 24 : 12) * vertexCount + 12 * triangleCount;
}

uint64_t glbFileBytes(uint64_t jsonBytes, uint64_t binBytes) {
    return 12 + 8 + (jsonBytes + 3) / 4 * 4 + 8 + (binBytes + 3) / 4 * 4;
}

std::string describeGlbTooLarge(uint64_t fileBytes, bool exact) {
    return "the glTF file would take " + std::string(exact ? "" : "more than ") +
           std::to_string(exact ? fileBytes : fileBytes - 1) +
           " bytes; a .glb holds at most 4294967295: simplify it first (--simplify)";
}

bool writeGlbInOrder(const IndexedMesh& mesh, const GlbOptions& options, AtomicOutput& output,
                     std::string& error) {
    assert(!options.compress);
    MeshSource source;
    source.mesh = &mesh;
    RunContext quiet;
    const SweepPass wholeMesh = sweepPassOf(source, quiet);
    return writePlainGlb(wholeMesh, static_cast<int64_t>(mesh.indices.size() / 3), Placement(),
                         options, output, quiet.progress, 0, 0, error);
}

bool writeGlbFile(const MeshSource& source, const Placement& placement,
                  const WriteOptions& writeOptions, AtomicOutput& output, RunContext& run) {
    const GlbOptions options = {writeOptions.smoothNormals, writeOptions.compress,
                                writeOptions.sourceName};
    if (source.mesh != nullptr) {
        return writeGlb(*source.mesh, options, output, run.error);
    }
    const SweepPass records = sweepPassOf(source, run);
    const SweepPlan& plan = *source.plan;
    const int64_t copyStart = run.doneUnits + unitsPerPass(source);
    if (options.compress) {
        // Placing rounds each coordinate on its own and never reverses its order: the placed
        // corners of the plan's box bound every placed vertex.
        const Vec3f a = placed(placement, plan.boxMin);
        const Vec3f b = placed(placement, plan.boxMax);
        const Vec3f boxMin = {std::fmin(a.x, b.x), std::fmin(a.y, b.y), std::fmin(a.z, b.z)};
        const Vec3f boxMax = {std::fmax(a.x, b.x), std::fmax(a.y, b.y), std::fmax(a.z, b.z)};
        return writeCompressedGlbSweep(records, boxMin, boxMax, placement, options, output,
                                       run.progress, copyStart, unitsPerPass(source), run.error);
    }
    return writePlainGlb(records, plan.finiteTriangleCount, placement, options, output,
                         run.progress, copyStart, unitsPerPass(source), run.error);
}

bool writeGlb(const IndexedMesh& mesh, const GlbOptions& options, AtomicOutput& output,
              std::string& error) {
    if (options.compress) {
        return writeCompressedGlbMesh(mesh, options, output, error);
    }
    const size_t indexCount = mesh.indices.size();
    // The vertex cache order of the triangles, then the vertices in the order they are first
    // fetched; a vertex no triangle uses is left out.
    IndexedMesh ordered;
    try {
        ordered.color = mesh.color;
        ordered.indices.resize(indexCount);
        meshopt_optimizeVertexCache(ordered.indices.data(), mesh.indices.data(), indexCount,
                                    mesh.vertices.size());
        std::vector<uint32_t> remap(mesh.vertices.size());
        const size_t vertexCount = meshopt_optimizeVertexFetchRemap(
            remap.data(), ordered.indices.data(), indexCount, mesh.vertices.size());
        meshopt_remapIndexBuffer(ordered.indices.data(), ordered.indices.data(), indexCount,
                                 remap.data());
        ordered.vertices.resize(vertexCount);
        for (size_t v = 0; v < remap.size(); ++v) {
            if (remap[v] != ~0u) {
                ordered.vertices[remap[v]] = mesh.vertices[v];
            }
        }
        return writeGlbInOrder(ordered, options, output, error);
    } catch (const std::bad_alloc&) {
        error = "not enough memory to order the vertices for glTF";
        return false;
    }
}
