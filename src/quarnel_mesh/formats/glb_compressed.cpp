// The compressed glb: primitives of at most kGlbPrimitiveTriangles triangles of the sweep, each
// quantized (KHR_mesh_quantization) over the whole mesh's box and encoded with meshoptimizer's
// codecs (EXT_meshopt_compression), its vertex order optimised with meshoptimizer: the cache
// order of the triangles first, then the vertices in the order the triangles first fetch them.
#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>
#include <new>

#include <meshoptimizer.h>

#include "quarnel_mesh/formats/glb_parts.h"
#include "quarnel_mesh/model/local_index_map.h"

namespace {

// Positions quantized to 14 bits over the longest side (unsigned, in 16-bit integers, 8 bytes a
// vertex with padding), normals to 8-bit normalized components (4 bytes), as KHR_mesh_quantization
// allows; the node's translation and uniform scale give the positions back, and keep normals
// pointing the same way.
constexpr int kPositionBits = 14;

// The quantization's grid: origin and step of the whole mesh's box, so that every primitive
// shares the node's transform.
struct QuantizationGrid {
    Vec3f origin;
    double step = 1.0;
};

QuantizationGrid quantizationGrid(const Vec3f& boxMin, const Vec3f& boxMax) {
    QuantizationGrid grid;
    grid.origin = boxMin;
    const double extent =
        std::fmax(static_cast<double>(boxMax.x) - boxMin.x,
                  std::fmax(static_cast<double>(boxMax.y) - boxMin.y,
                            static_cast<double>(boxMax.z) - boxMin.z));
    grid.step = extent > 0.0 ? extent / ((1 << kPositionBits) - 1) : 1.0;
    return grid;
}

void quantizePosition(const Vec3f& position, const QuantizationGrid& grid, int16_t out[4]) {
    const double largest = (1 << kPositionBits) - 1;
    const double p[3] = {position.x, position.y, position.z};
    const double o[3] = {grid.origin.x, grid.origin.y, grid.origin.z};
    for (int c = 0; c < 3; ++c) {
        const double scaled = std::round((p[c] - o[c]) / grid.step);
        out[c] = static_cast<int16_t>(std::fmin(largest, std::fmax(0.0, scaled)));
    }
    out[3] = 0;
}

void quantizeNormal(const Vec3f& normal, int8_t out[4]) {
    const float n[3] = {normal.x, normal.y, normal.z};
    for (int c = 0; c < 3; ++c) {
        out[c] = static_cast<int8_t>(std::lround(127.0f * n[c]));
    }
    out[3] = 0;
}

std::string int16Vec3(const int16_t v[3]) {
    return "[" + std::to_string(v[0]) + "," + std::to_string(v[1]) + "," + std::to_string(v[2]) +
           "]";
}

// One primitive of the compressed file as the sweep fills it: its triangles as local indices,
// numbered in first use, and each local vertex's global index; its positions and normals arrive
// as its vertices become final, and once it is closed (full, or the sweep ended) and none is
// missing it is encoded.
struct GlbPrimitive {
    std::vector<uint32_t> indices;
    std::vector<uint32_t> globalOfLocal;
    LocalIndexMap localIndices;
    std::vector<Vec3f> positions;
    std::vector<Vec3f> normals;
    size_t missingCount = 0;
    uint32_t lowestGlobal = UINT32_MAX;
    uint32_t highestGlobal = 0;
    bool closed = false;
};

uint32_t localOf(GlbPrimitive& primitive, uint32_t global) {
    bool added = false;
    const uint32_t local = addLocalIndex(primitive.localIndices, global, added);
    if (!added) {
        return local;
    }
    primitive.globalOfLocal.push_back(global);
    primitive.positions.emplace_back();
    primitive.normals.emplace_back();
    ++primitive.missingCount;
    primitive.lowestGlobal = std::min(primitive.lowestGlobal, global);
    primitive.highestGlobal = std::max(primitive.highestGlobal, global);
    return local;
}

// The compressed file as the sweep hands it on: the encoded streams of each primitive in one
// scratch file, and the JSON that describes them.
struct CompressedGlbParts {
    Placement placement;
    bool normals = false;
    std::string outputPath;
    QuantizationGrid grid;
    NormalSums normalSums;
    int64_t verticesSeen = 0;
    std::deque<std::unique_ptr<GlbPrimitive>> primitives;  // not yet encoded, in sweep order
    ScratchFile bin;
    std::vector<BufferView> views;
    std::string accessors;
    std::string primitiveList;
    int accessorCount = 0;
    uint64_t fallbackBytes = 0;
    int64_t triangleCount = 0;
    int64_t primitiveCount = 0;
};

// Appends `encoded` to the scratch file, padded to 4 bytes, as a view of `count` elements of
// `stride` bytes (`length` in the fallback buffer).
void addCompressedView(CompressedGlbParts& parts, const std::vector<unsigned char>& encoded,
                       size_t count, size_t stride, size_t length, int target, const char* mode) {
    BufferView view;
    view.offset = parts.fallbackBytes;
    view.length = length;
    view.stride = target == kArrayBufferTarget ? stride : 0;
    view.target = target;
    view.compressed = true;
    view.compressedOffset = parts.bin.byteCount;
    view.compressedLength = encoded.size();
    view.count = count;
    view.mode = mode;
    parts.views.push_back(view);
    parts.fallbackBytes += length;
    writeScratchFile(parts.bin, encoded.data(), encoded.size());
    static const unsigned char kZeros[3] = {0, 0, 0};
    writeScratchFile(parts.bin, kZeros, (4 - encoded.size() % 4) % 4);
}

int addAccessor(CompressedGlbParts& parts, int componentType, bool normalized, size_t count,
                const std::string& type, const std::string& bounds = "") {
    parts.accessors += (parts.accessorCount == 0 ? "" : ",") +
                       accessorJson(static_cast<int>(parts.views.size()) - 1, componentType,
                                    normalized, count, type, bounds);
    return parts.accessorCount++;
}

// Orders `primitive` for the vertex cache and fetch, quantizes it on the whole mesh's grid and
// encodes its streams into the scratch file.
void encodePrimitive(CompressedGlbParts& parts, GlbPrimitive& primitive) {
    const size_t indexCount = primitive.indices.size();
    const size_t vertexCount = primitive.positions.size();
    std::vector<uint32_t> ordered(indexCount);
    meshopt_optimizeVertexCache(ordered.data(), primitive.indices.data(), indexCount, vertexCount);
    std::vector<uint32_t>().swap(primitive.indices);
    std::vector<uint32_t> remap(vertexCount);
    meshopt_optimizeVertexFetchRemap(remap.data(), ordered.data(), indexCount, vertexCount);
    meshopt_remapIndexBuffer(ordered.data(), ordered.data(), indexCount, remap.data());
    // Every local vertex is used: the remap is a permutation.
    std::vector<int16_t> positions(4 * vertexCount);
    int16_t lo[3] = {INT16_MAX, INT16_MAX, INT16_MAX};
    int16_t hi[3] = {INT16_MIN, INT16_MIN, INT16_MIN};
    for (size_t v = 0; v < vertexCount; ++v) {
        int16_t* q = &positions[4 * remap[v]];
        quantizePosition(primitive.positions[v], parts.grid, q);
        for (int c = 0; c < 3; ++c) {
            lo[c] = std::min(lo[c], q[c]);
            hi[c] = std::max(hi[c], q[c]);
        }
    }
    std::vector<unsigned char> encoded(meshopt_encodeVertexBufferBound(vertexCount, 8));
    encoded.resize(
        meshopt_encodeVertexBuffer(encoded.data(), encoded.size(), positions.data(), vertexCount, 8));
    addCompressedView(parts, encoded, vertexCount, 8, 8 * vertexCount, kArrayBufferTarget,
                      "ATTRIBUTES");
    const int positionAccessor =
        addAccessor(parts, kShortComponent, false, vertexCount, "VEC3",
                    ",\"min\":" + int16Vec3(lo) + ",\"max\":" + int16Vec3(hi));
    int normalAccessor = -1;
    if (parts.normals) {
        std::vector<int8_t> normals(4 * vertexCount);
        for (size_t v = 0; v < vertexCount; ++v) {
            quantizeNormal(primitive.normals[v], &normals[4 * remap[v]]);
        }
        encoded.assign(meshopt_encodeVertexBufferBound(vertexCount, 4), 0);
        encoded.resize(meshopt_encodeVertexBuffer(encoded.data(), encoded.size(), normals.data(),
                                                  vertexCount, 4));
        addCompressedView(parts, encoded, vertexCount, 4, 4 * vertexCount, kArrayBufferTarget,
                          "ATTRIBUTES");
        normalAccessor = addAccessor(parts, kByteComponent, true, vertexCount, "VEC3");
    }
    encoded.assign(meshopt_encodeIndexBufferBound(indexCount, vertexCount), 0);
    encoded.resize(
        meshopt_encodeIndexBuffer(encoded.data(), encoded.size(), ordered.data(), indexCount));
    addCompressedView(parts, encoded, indexCount, 4, 4 * indexCount, kElementArrayBufferTarget,
                      "TRIANGLES");
    const int indexAccessor =
        addAccessor(parts, kUnsignedIntComponent, false, indexCount, "SCALAR");
    parts.primitiveList += (parts.primitiveCount++ == 0 ? "" : ",") +
                           primitiveJson(positionAccessor, normalAccessor, indexAccessor);
}

// Encodes the primitives at the front that are closed and complete: in sweep order, so that the
// file depends only on the input.
void encodeCompletePrimitives(CompressedGlbParts& parts) {
    while (!parts.primitives.empty() && parts.primitives.front()->closed &&
           parts.primitives.front()->missingCount == 0) {
        encodePrimitive(parts, *parts.primitives.front());
        parts.primitives.pop_front();
    }
}

bool takeCompressedTriangles(CompressedGlbParts& parts, const SweepTriangles& triangles,
                             std::string& error) {
    parts.verticesSeen = highestIndexPlusOne(triangles, parts.verticesSeen);
    if (parts.normals) {
        addFaceNormals(parts.normalSums, parts.placement, triangles, parts.verticesSeen);
    }
    for (int64_t t = 0; t < triangles.triangleCount; ++t) {
        if (parts.primitives.empty() || parts.primitives.back()->closed) {
            parts.primitives.emplace_back(new GlbPrimitive());
            resetLocalIndices(parts.primitives.back()->localIndices, 512);
        }
        GlbPrimitive& primitive = *parts.primitives.back();
        for (int c = 0; c < 3; ++c) {
            primitive.indices.push_back(localOf(primitive, triangles.indices[3 * t + c]));
        }
        primitive.closed = primitive.indices.size() >= 3 * kGlbPrimitiveTriangles;
    }
    parts.triangleCount += triangles.triangleCount;
    return !scratchFailed(parts.outputPath, {&parts.bin}, error);
}

bool takeCompressedVertices(CompressedGlbParts& parts, const WeldedVertex* vertices,
                            int64_t count, int64_t firstIndex, std::string& error) {
    const int64_t endIndex = firstIndex + count;
    for (const auto& primitive : parts.primitives) {
        const int64_t first = std::max<int64_t>(firstIndex, primitive->lowestGlobal);
        const int64_t last = std::min<int64_t>(endIndex - 1, primitive->highestGlobal);
        for (int64_t global = first; global <= last; ++global) {
            const int64_t local =
                findLocalIndex(primitive->localIndices, static_cast<uint32_t>(global));
            if (local >= 0) {
                primitive->positions[local] =
                    placed(parts.placement, vertices[global - firstIndex].position);
                if (parts.normals) {
                    primitive->normals[local] = finalNormal(parts.normalSums, global);
                }
                --primitive->missingCount;
            }
        }
    }
    if (parts.normals) {
        forgetFinalSums(parts.normalSums, endIndex);
    }
    encodeCompletePrimitives(parts);
    return !scratchFailed(parts.outputPath, {&parts.bin}, error);
}

// Readies `parts` for a compressed file quantized over the box from `boxMin` to `boxMax` (placed
// already, holding every vertex), each position placed by `placement`.
bool startCompressedGlb(CompressedGlbParts& parts, const Vec3f& boxMin, const Vec3f& boxMax,
                        const Placement& placement, const GlbOptions& options,
                        const AtomicOutput& output, std::string& error) {
    parts.placement = placement;
    parts.normals = options.smoothNormals;
    parts.outputPath = output.finalPath;
    parts.grid = quantizationGrid(boxMin, boxMax);
    if (!openScratchFile(output, parts.bin)) {
        scratchFailed(parts.outputPath, {&parts.bin}, error);
        return false;
    }
    return true;
}

// The JSON of the encoded primitives, then the scratch file copied in behind it, advancing
// `progress` from `doneBefore` by `copyUnits`.
bool finishCompressedGlb(CompressedGlbParts& parts, const Vec3f& color, const GlbOptions& options,
                         AtomicOutput& output, Progress& progress, int64_t doneBefore,
                         int64_t copyUnits, std::string& error) {
    if (parts.triangleCount == 0) {
        error = "no triangles left to write to " + output.finalPath;
        return false;
    }
    if (scratchFailed(parts.outputPath, {&parts.bin}, error)) {
        return false;
    }
    GlbLayout layout;
    layout.views = std::move(parts.views);
    layout.accessors = std::move(parts.accessors);
    layout.primitives = std::move(parts.primitiveList);
    const QuantizationGrid& grid = parts.grid;
    layout.nodeTransform = ",\"translation\":" + jsonVec3(grid.origin) + ",\"scale\":[" +
                           jsonNumber(grid.step) + "," + jsonNumber(grid.step) + "," +
                           jsonNumber(grid.step) + "]";
    layout.extensions =
        "\"extensionsUsed\":[\"KHR_mesh_quantization\",\"EXT_meshopt_compression\"],"
        "\"extensionsRequired\":[\"KHR_mesh_quantization\",\"EXT_meshopt_compression\"],";
    const uint64_t binBytes = parts.bin.byteCount;
    layout.buffers = "{\"byteLength\":" + std::to_string(binBytes) +
                     "},{\"byteLength\":" + std::to_string(parts.fallbackBytes) +
                     ",\"extensions\":{\"EXT_meshopt_compression\":{\"fallback\":true}}}";
    const size_t indexCount = 3 * static_cast<size_t>(parts.triangleCount);
    if (!writeGlbHead(glbJson(layout, indexCount, color, options.sourceName), binBytes, output,
                      error)) {
        return false;
    }
    const bool copied = copyScratchFile(parts.bin, output, [&](uint64_t copiedBytes) {
        const double share =
            binBytes > 0 ? static_cast<double>(copiedBytes) / static_cast<double>(binBytes) : 1.0;
        advanceProgress(progress,
                        doneBefore + static_cast<int64_t>(share * static_cast<double>(copyUnits)));
    });
    if (!copied) {
        if (!scratchFailed(parts.outputPath, {&parts.bin}, error)) {
            error = describeOutputFailure(output);
        }
        return false;
    }
    return true;
}

}  // namespace

bool writeCompressedGlbSweep(const SweepPass& sweep, const Vec3f& boxMin, const Vec3f& boxMax,
                             const Placement& placement, const GlbOptions& options,
                             AtomicOutput& output, Progress& progress, int64_t doneBefore,
                             int64_t copyUnits, std::string& error) {
    CompressedGlbParts parts;
    if (!startCompressedGlb(parts, boxMin, boxMax, placement, options, output, error)) {
        return false;
    }
    SweepConsumer consumer;
    consumer.onTriangles = [&parts](const SweepTriangles& triangles, std::string& partError) {
        return takeCompressedTriangles(parts, triangles, partError);
    };
    consumer.onVertices = [&parts](const WeldedVertex* vertices, int64_t count,
                                   int64_t firstIndex, std::string& partError) {
        return takeCompressedVertices(parts, vertices, count, firstIndex, partError);
    };
    SweepResult result;
    try {
        if (!sweep(consumer, result, error)) {
            return false;
        }
        if (!parts.primitives.empty()) {
            parts.primitives.back()->closed = true;
        }
        encodeCompletePrimitives(parts);
    } catch (const std::bad_alloc&) {
        error = "not enough memory to compress the glTF file";
        return false;
    }
    return finishCompressedGlb(parts, result.color, options, output, progress,
                               doneBefore, copyUnits, error);
}

bool writeCompressedGlbMesh(const IndexedMesh& mesh, const GlbOptions& options,
                            AtomicOutput& output, std::string& error) {
    // The primitives the sweep would make of this mesh, one at a time: the mesh is all
    // there, so its normals are complete from the start.
    Vec3f boxMin, boxMax;
    double smallestMagnitude = HUGE_VAL;
    CompressedGlbParts parts;
    if (!usedVertexBox(mesh, boxMin, boxMax, smallestMagnitude)) {
        error = "no triangles left to write to " + output.finalPath;
        return false;
    }
    if (!startCompressedGlb(parts, boxMin, boxMax, Placement(), options, output, error)) {
        return false;
    }
    try {
        const SweepTriangles whole = {mesh.indices.data(),
                                      static_cast<int64_t>(mesh.indices.size() / 3),
                                      mesh.vertices.data(), 0, nullptr, 0};
        if (parts.normals) {
            addFaceNormals(parts.normalSums, parts.placement, whole,
                           static_cast<int64_t>(mesh.vertices.size()));
        }
        for (size_t first = 0; first < mesh.indices.size();
             first += 3 * kGlbPrimitiveTriangles) {
            const size_t end = std::min(mesh.indices.size(), first + 3 * kGlbPrimitiveTriangles);
            GlbPrimitive primitive;
            resetLocalIndices(primitive.localIndices, 512);
            for (size_t i = first; i < end; ++i) {
                primitive.indices.push_back(localOf(primitive, mesh.indices[i]));
            }
            for (size_t local = 0; local < primitive.globalOfLocal.size(); ++local) {
                const uint32_t global = primitive.globalOfLocal[local];
                primitive.positions[local] = mesh.vertices[global].position;
                if (parts.normals) {
                    primitive.normals[local] = finalNormal(parts.normalSums, global);
                }
            }
            encodePrimitive(parts, primitive);
        }
    } catch (const std::bad_alloc&) {
        error = "not enough memory to compress the glTF file";
        return false;
    }
    parts.triangleCount = static_cast<int64_t>(mesh.indices.size() / 3);
    Progress quiet;
    return finishCompressedGlb(parts, mesh.color, options, output, quiet, 0, 0, error);
}
