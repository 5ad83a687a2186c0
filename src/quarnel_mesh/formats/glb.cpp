// glTF 2.0 binary (.glb): a 12-byte header, a JSON chunk that describes the indexed triangle
// primitives and a BIN chunk with their positions, optional normals and 32-bit indices. Plain:
// one primitive, as floats. Compressed: primitives of at most kGlbPrimitiveTriangles triangles of
// the sweep, each quantized (KHR_mesh_quantization) over the whole mesh's box and encoded with
// meshoptimizer's codecs (EXT_meshopt_compression), its vertex order optimised with
// meshoptimizer: the cache order of the triangles first, then the vertices in the order the
// triangles first fetch them.
#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <new>
#include <vector>

#include <meshoptimizer.h>

#include "quarnel_mesh/formats/glb.h"
#include "quarnel_mesh/util/scratch_file.h"
#include "quarnel_mesh/util/text.h"

namespace {

constexpr uint32_t kGlbMagic = 0x46546C67;      // "glTF"
constexpr uint32_t kGlbVersion = 2;
constexpr uint32_t kJsonChunkType = 0x4E4F534A;  // "JSON"
constexpr uint32_t kBinChunkType = 0x004E4942;   // "BIN\0"
constexpr int kByteComponent = 5120;
constexpr int kShortComponent = 5122;
constexpr int kFloatComponent = 5126;
constexpr int kUnsignedIntComponent = 5125;
constexpr int kArrayBufferTarget = 34962;
constexpr int kElementArrayBufferTarget = 34963;

// The float as the double it is, in the fewest digits: a reader that parses JSON numbers as
// double finds exactly the value in the buffer, which the validator demands of min and max.
std::string jsonNumber(double value) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string jsonVec3(const Vec3f& v) {
    return "[" + jsonNumber(v.x) + "," + jsonNumber(v.y) + "," + jsonNumber(v.z) + "]";
}

// The records carry a display (sRGB) colour, as PLY and 3MF store it; glTF's base colour factor
// is linear, so the glTF file shows the same colour only after this conversion.
double linearFromSrgb(float component) {
    const double c = std::fmin(1.0, std::fmax(0.0, static_cast<double>(component)));
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

// A vertex normal from the sum of the face normals around it, each as long as twice its face's
// area, so large faces weigh more; a vertex whose sum vanishes takes +z rather than an invalid
// zero normal.
Vec3f normalFromSum(const Vec3d& sum) {
    const double length = std::sqrt(dot(sum, sum));
    if (!(length > 0.0) || !std::isfinite(length)) {
        return {0.0f, 0.0f, 1.0f};
    }
    return {static_cast<float>(sum.x / length), static_cast<float>(sum.y / length),
            static_cast<float>(sum.z / length)};
}

// One buffer view: `length` bytes at `offset` of the buffer the accessors read. Compressed, the
// bytes are `compressedLength` at `compressedOffset` of the stored buffer, decoded by
// EXT_meshopt_compression (`count` elements of `stride` bytes, in `mode`), and the view itself
// lies in a fallback buffer that has no bytes of its own.
struct BufferView {
    size_t offset = 0;
    size_t length = 0;
    size_t stride = 0;  // 0: tightly packed, no byteStride written
    int target = 0;
    bool compressed = false;
    size_t compressedOffset = 0;
    size_t compressedLength = 0;
    size_t count = 0;
    const char* mode = "";
};

std::string bufferViewJson(const BufferView& view) {
    std::string json = "{\"buffer\":" + std::string(view.compressed ? "1" : "0") +
                       ",\"byteOffset\":" + std::to_string(view.offset) +
                       ",\"byteLength\":" + std::to_string(view.length);
    if (view.stride != 0) {
        json += ",\"byteStride\":" + std::to_string(view.stride);
    }
    json += ",\"target\":" + std::to_string(view.target);
    if (view.compressed) {
        json += ",\"extensions\":{\"EXT_meshopt_compression\":{\"buffer\":0,\"byteOffset\":" +
                std::to_string(view.compressedOffset) +
                ",\"byteLength\":" + std::to_string(view.compressedLength) +
                ",\"byteStride\":" + std::to_string(view.stride ? view.stride : 4) +
                ",\"count\":" + std::to_string(view.count) + ",\"mode\":\"" + view.mode + "\"}}";
    }
    return json + "}";
}

// What the JSON chunk says beyond the buffer views: accessors, the node's transform (which undoes
// the quantization of positions), the extensions, and the buffers.
struct GlbLayout {
    std::vector<BufferView> views;
    std::string accessors;
    std::string nodeTransform;  // "" or ",\"translation\":[...],\"scale\":[...]"
    std::string primitives;     // the mesh's primitives, "{...},{...}"
    std::string extensions;     // "" or the extensionsUsed and extensionsRequired members
    std::string buffers;
};

std::string glbJson(const GlbLayout& layout, size_t indexCount, const Vec3f& color,
                    const std::string& sourceName) {
    std::string views;
    for (const BufferView& view : layout.views) {
        views += (views.empty() ? "" : ",") + bufferViewJson(view);
    }
    return "{\"asset\":{\"version\":\"2.0\",\"generator\":\"quarnel-mesh " +
           std::string(kMeshToolVersion) + "\",\"extras\":{\"source\":" + jsonString(sourceName) +
           ",\"triangles\":" + std::to_string(indexCount / 3) + "}}," + layout.extensions +
           "\"scene\":0,\"scenes\":[{\"name\":\"quarnel\",\"nodes\":[0]}],"
           "\"nodes\":[{\"name\":\"quarnel\",\"mesh\":0" + layout.nodeTransform + "}],"
           "\"meshes\":[{\"name\":\"quarnel\",\"primitives\":[" + layout.primitives + "]}],"
           "\"materials\":[{\"name\":\"quarnel\",\"pbrMetallicRoughness\":{\"baseColorFactor\":[" +
           jsonNumber(linearFromSrgb(color.x)) + "," + jsonNumber(linearFromSrgb(color.y)) + "," +
           jsonNumber(linearFromSrgb(color.z)) +
           ",1],\"metallicFactor\":0,\"roughnessFactor\":0.6}}],"
           "\"buffers\":[" + layout.buffers + "],\"bufferViews\":[" + views +
           "],\"accessors\":[" + layout.accessors + "]}";
}

std::string accessorJson(int view, int componentType, bool normalized, size_t count,
                         const std::string& type, const std::string& bounds = "") {
    return "{\"bufferView\":" + std::to_string(view) + ",\"componentType\":" +
           std::to_string(componentType) + (normalized ? ",\"normalized\":true" : "") +
           ",\"count\":" + std::to_string(count) + ",\"type\":\"" + type + "\"" + bounds + "}";
}

void writeUint32(AtomicOutput& output, uint32_t value) {
    writeAtomicOutput(output, &value, sizeof value);
}

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

// A primitive of the mesh: its attributes' accessors and its index accessor.
std::string primitiveJson(int positionAccessor, int normalAccessor, int indexAccessor) {
    return "{\"attributes\":{\"POSITION\":" + std::to_string(positionAccessor) +
           (normalAccessor >= 0 ? ",\"NORMAL\":" + std::to_string(normalAccessor) : "") +
           "},\"indices\":" + std::to_string(indexAccessor) + ",\"material\":0,\"mode\":4}";
}

// The plain layout: float positions and normals and 32-bit indices, one after the other.
GlbLayout plainLayout(size_t vertexCount, size_t indexCount, bool hasNormals,
                      const Vec3f& boxMin, const Vec3f& boxMax, size_t& binBytes) {
    GlbLayout layout;
    const size_t vec3Bytes = 12 * vertexCount;
    layout.views.push_back({0, vec3Bytes, 0, kArrayBufferTarget});
    layout.accessors = accessorJson(0, kFloatComponent, false, vertexCount, "VEC3",
                                    ",\"min\":" + jsonVec3(boxMin) + ",\"max\":" + jsonVec3(boxMax));
    if (hasNormals) {
        layout.views.push_back({vec3Bytes, vec3Bytes, 0, kArrayBufferTarget});
        layout.accessors += "," + accessorJson(1, kFloatComponent, false, vertexCount, "VEC3");
    }
    const size_t indexOffset = (hasNormals ? 2 : 1) * vec3Bytes;
    layout.views.push_back({indexOffset, 4 * indexCount, 0, kElementArrayBufferTarget});
    const int indexAccessor = hasNormals ? 2 : 1;
    layout.accessors += "," + accessorJson(indexAccessor, kUnsignedIntComponent, false,
                                           indexCount, "SCALAR");
    layout.primitives = primitiveJson(0, hasNormals ? 1 : -1, indexAccessor);
    binBytes = indexOffset + 4 * indexCount;
    layout.buffers = "{\"byteLength\":" + std::to_string(binBytes) + "}";
    return layout;
}

// The JSON chunk padded to 4 bytes, then the 12-byte header, the JSON chunk and the BIN chunk's
// header; its `binBytes` follow. False, with nothing written, when the file would not fit the
// header's 32-bit length.
bool writeGlbHead(std::string json, uint64_t binBytes, AtomicOutput& output, std::string& error) {
    json.resize((json.size() + 3) / 4 * 4, ' ');  // chunks start on 4-byte boundaries
    const uint64_t totalBytes = glbFileBytes(json.size(), binBytes);
    if (totalBytes > UINT32_MAX) {
        error = describeGlbTooLarge(totalBytes, true);
        return false;
    }
    writeUint32(output, kGlbMagic);
    writeUint32(output, kGlbVersion);
    writeUint32(output, static_cast<uint32_t>(totalBytes));
    writeUint32(output, static_cast<uint32_t>(json.size()));
    writeUint32(output, kJsonChunkType);
    writeAtomicOutput(output, json.data(), json.size());
    writeUint32(output, static_cast<uint32_t>(binBytes));
    writeUint32(output, kBinChunkType);
    return true;
}

// One pass over the welded mesh, in SweepConsumer's order; fills result.vertexCount and .color.
using GlbSweep =
    std::function<bool(const SweepConsumer& consumer, SweepResult& result, std::string& error)>;

// Smooth normals over a sweep: each face's normal (from the placed corners, in the file's order
// and in double, as the in-memory sum takes them) added to its corners' sums, kept for the
// window's vertices; a vertex's sum is complete once it is final, since by then the sweep has
// shown every triangle that uses it.
struct NormalSums {
    Placement placement;
    std::vector<Vec3d> sums;  // of the vertices from firstIndex on
    int64_t firstIndex = 0;
};

Vec3f placed(const Placement& placement, const Vec3f& position) {
    return isIdentity(placement) ? position : placeVertex(position, placement);
}

// `verticesSeen`: the highest index in `triangles` and before, plus one.
void addFaceNormals(NormalSums& normals, const SweepTriangles& triangles, int64_t verticesSeen) {
    const int64_t sumCount = verticesSeen - normals.firstIndex;
    if (sumCount > static_cast<int64_t>(normals.sums.size())) {
        normals.sums.resize(static_cast<size_t>(sumCount), Vec3d{0.0, 0.0, 0.0});
    }
    const auto corner = [&](uint32_t index) {
        const WeldedVertex& vertex = triangles.window[index - triangles.windowFirstIndex];
        return toVec3d(placed(normals.placement, vertex.position));
    };
    for (int64_t t = 0; t < triangles.triangleCount; ++t) {
        const uint32_t* corners = &triangles.indices[3 * t];
        const Vec3d v0 = corner(corners[0]);
        const Vec3d n = cross(subtract(corner(corners[1]), v0), subtract(corner(corners[2]), v0));
        for (int c = 0; c < 3; ++c) {
            Vec3d& sum = normals.sums[corners[c] - normals.firstIndex];
            sum = {sum.x + n.x, sum.y + n.y, sum.z + n.z};
        }
    }
}

Vec3f finalNormal(const NormalSums& normals, int64_t index) {
    const int64_t slot = index - normals.firstIndex;
    return normalFromSum(slot < static_cast<int64_t>(normals.sums.size()) ? normals.sums[slot]
                                                                          : Vec3d{0.0, 0.0, 0.0});
}

// After the vertices before `finalEnd` became final. Forgetting their sums once they are half the
// table moves each one only a bounded number of times.
void forgetFinalSums(NormalSums& normals, int64_t finalEnd) {
    const int64_t sumCount = static_cast<int64_t>(normals.sums.size());
    const int64_t finalSums = std::min(sumCount, finalEnd - normals.firstIndex);
    if (2 * finalSums >= sumCount) {
        normals.sums.erase(normals.sums.begin(), normals.sums.begin() + finalSums);
        normals.firstIndex += finalSums;
    }
}

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

// A failed scratch file fails the output: "cannot write OUT: reason".
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

bool scratchFailed(const PlainGlbParts& parts, std::string& error) {
    return scratchFailed(parts.outputPath, {&parts.positions, &parts.normalFile, &parts.indices},
                         error);
}

int64_t highestIndexPlusOne(const SweepTriangles& triangles, int64_t before) {
    for (int64_t i = 0; i < 3 * triangles.triangleCount; ++i) {
        before = std::max(before, static_cast<int64_t>(triangles.indices[i]) + 1);
    }
    return before;
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
        addFaceNormals(parts.normalSums, triangles, parts.verticesSeen);
    }
    return !scratchFailed(parts, error);
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
    return !scratchFailed(parts, error);
}

// The plain glb of what `sweep` hands on, each position placed by `placement`; the file holds
// `finiteTriangleCount` triangles, so that a file too large for a .glb is refused as soon as its
// vertices so far make that certain. The copy into the output advances `progress` from
// `doneBefore` by `copyUnits`.
bool writePlainGlb(const GlbSweep& sweep, int64_t finiteTriangleCount, const Placement& placement,
                   const GlbOptions& options, AtomicOutput& output, Progress& progress,
                   int64_t doneBefore, int64_t copyUnits, std::string& error) {
    PlainGlbParts parts;
    parts.placement = placement;
    parts.normalSums.placement = placement;
    parts.normals = options.smoothNormals;
    parts.finiteTriangleCount = finiteTriangleCount;
    parts.outputPath = output.finalPath;
    for (ScratchFile* file : {&parts.positions, &parts.normalFile, &parts.indices}) {
        if ((file != &parts.normalFile || parts.normals) && !openScratchFile(output, *file)) {
            scratchFailed(parts, error);
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
            if (!scratchFailed(parts, error)) {
                error = describeOutputFailure(output);
            }
            return false;
        }
        copiedBefore += file->byteCount;
    }
    return true;
}

// One primitive of the compressed file as the sweep fills it: its triangles as local indices,
// numbered in first use, and each local vertex's global index; its positions and normals arrive
// as its vertices become final, and once it is closed (full, or the sweep ended) and none is
// missing it is encoded.
struct GlbPrimitive {
    std::vector<uint32_t> indices;
    std::vector<uint32_t> globalOfLocal;
    std::vector<uint64_t> slots;  // global << 32 | local, open addressing; a power of two
    std::vector<Vec3f> positions;
    std::vector<Vec3f> normals;
    size_t missingCount = 0;
    uint32_t lowestGlobal = UINT32_MAX;
    uint32_t highestGlobal = 0;
    bool closed = false;
};

constexpr uint64_t kNoSlot = UINT64_MAX;

// The local index of `global`, or -1 when the primitive has no such vertex.
int64_t findLocal(const GlbPrimitive& primitive, uint32_t global) {
    const size_t mask = primitive.slots.size() - 1;
    for (size_t slot = static_cast<size_t>(mixBits(global)) & mask;
         primitive.slots[slot] != kNoSlot; slot = (slot + 1) & mask) {
        if (static_cast<uint32_t>(primitive.slots[slot] >> 32) == global) {
            return static_cast<uint32_t>(primitive.slots[slot]);
        }
    }
    return -1;
}

void insertSlot(std::vector<uint64_t>& slots, uint64_t pair) {
    const size_t mask = slots.size() - 1;
    size_t slot = static_cast<size_t>(mixBits(static_cast<uint32_t>(pair >> 32))) & mask;
    while (slots[slot] != kNoSlot) {
        slot = (slot + 1) & mask;
    }
    slots[slot] = pair;
}

uint32_t localOf(GlbPrimitive& primitive, uint32_t global) {
    const int64_t found = findLocal(primitive, global);
    if (found >= 0) {
        return static_cast<uint32_t>(found);
    }
    const uint32_t local = static_cast<uint32_t>(primitive.globalOfLocal.size());
    // At most half full, so that probes stay short; doubled by rehashing.
    if (2 * (local + 1) > primitive.slots.size()) {
        std::vector<uint64_t> grown(2 * primitive.slots.size(), kNoSlot);
        for (const uint64_t pair : primitive.slots) {
            if (pair != kNoSlot) {
                insertSlot(grown, pair);
            }
        }
        primitive.slots.swap(grown);
    }
    insertSlot(primitive.slots, (static_cast<uint64_t>(global) << 32) | local);
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
        addFaceNormals(parts.normalSums, triangles, parts.verticesSeen);
    }
    for (int64_t t = 0; t < triangles.triangleCount; ++t) {
        if (parts.primitives.empty() || parts.primitives.back()->closed) {
            parts.primitives.emplace_back(new GlbPrimitive());
            parts.primitives.back()->slots.assign(1024, kNoSlot);
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
            const int64_t local = findLocal(*primitive, static_cast<uint32_t>(global));
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
    parts.normalSums.placement = placement;
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
    const GlbSweep wholeMesh = [&](const SweepConsumer& consumer, SweepResult& result,
                                   std::string& sweepError) {
        return sweepMeshInMemory(mesh, consumer, result, sweepError);
    };
    Progress quiet;
    return writePlainGlb(wholeMesh, static_cast<int64_t>(mesh.indices.size() / 3), Placement(),
                         options, output, quiet, 0, 0, error);
}

bool writeGlbStream(RecordReader& reader, const SweepPlan& plan, const Placement& placement,
                    const GlbOptions& options, uint64_t weldMemoryLimitBytes,
                    AtomicOutput& output, Progress& progress, int64_t doneBefore,
                    const std::atomic<bool>* stopRequested, int64_t& nonFiniteDropped,
                    std::string& error) {
    const GlbSweep records = [&](const SweepConsumer& consumer, SweepResult& result,
                                 std::string& sweepError) {
        return sweepWeld(reader, plan, weldMemoryLimitBytes, consumer, result, progress,
                         doneBefore, stopRequested, sweepError);
    };
    nonFiniteDropped = reader.recordCount - plan.finiteTriangleCount;
    if (options.compress) {
        // Placing rounds each coordinate on its own and never reverses its order: the placed
        // corners of the plan's box bound every placed vertex.
        const Vec3f a = placed(placement, plan.boxMin);
        const Vec3f b = placed(placement, plan.boxMax);
        const Vec3f boxMin = {std::fmin(a.x, b.x), std::fmin(a.y, b.y), std::fmin(a.z, b.z)};
        const Vec3f boxMax = {std::fmax(a.x, b.x), std::fmax(a.y, b.y), std::fmax(a.z, b.z)};
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
            if (!records(consumer, result, error)) {
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
                                   doneBefore + reader.recordCount, reader.recordCount, error);
    }
    return writePlainGlb(records, plan.finiteTriangleCount, placement, options, output, progress,
                         doneBefore + reader.recordCount, reader.recordCount, error);
}

bool writeGlb(const IndexedMesh& mesh, const GlbOptions& options, AtomicOutput& output,
              std::string& error) {
    if (options.compress) {
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
                addFaceNormals(parts.normalSums, whole, static_cast<int64_t>(mesh.vertices.size()));
            }
            for (size_t first = 0; first < mesh.indices.size();
                 first += 3 * kGlbPrimitiveTriangles) {
                const size_t end = std::min(mesh.indices.size(), first + 3 * kGlbPrimitiveTriangles);
                GlbPrimitive primitive;
                primitive.slots.assign(1024, kNoSlot);
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
