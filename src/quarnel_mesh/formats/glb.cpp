// glTF 2.0 binary (.glb): a 12-byte header, a JSON chunk that describes one indexed triangle
// primitive and a BIN chunk with its positions, optional normals and 32-bit indices, as floats,
// or compressed: quantized (KHR_mesh_quantization) and encoded with meshoptimizer's codecs
// (EXT_meshopt_compression). The vertex order is optimised with meshoptimizer: the cache order of
// the triangles first, then the vertices in the order the triangles first fetch them.
#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
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
    std::string attributes;     // "\"POSITION\":0,..."
    int indexAccessor = 1;
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
           "\"meshes\":[{\"name\":\"quarnel\",\"primitives\":[{\"attributes\":{" +
           layout.attributes + "},\"indices\":" + std::to_string(layout.indexAccessor) +
           ",\"material\":0,\"mode\":4}]}],"
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

struct Quantized {
    std::vector<int16_t> positions;  // x, y, z, 0 per vertex
    std::vector<int8_t> normals;     // x, y, z, 0 per vertex
    Vec3f origin;
    double step = 1.0;
    int16_t lo[3];
    int16_t hi[3];
};

Quantized quantize(const std::vector<Vec3f>& positions, const std::vector<Vec3f>& normals,
                   const Vec3f& boxMin, const Vec3f& boxMax) {
    Quantized q;
    q.origin = boxMin;
    const double extent =
        std::fmax(static_cast<double>(boxMax.x) - boxMin.x,
                  std::fmax(static_cast<double>(boxMax.y) - boxMin.y,
                            static_cast<double>(boxMax.z) - boxMin.z));
    const double largest = (1 << kPositionBits) - 1;
    q.step = extent > 0.0 ? extent / largest : 1.0;
    q.positions.resize(4 * positions.size());
    for (int c = 0; c < 3; ++c) {
        q.lo[c] = INT16_MAX;
        q.hi[c] = INT16_MIN;
    }
    for (size_t v = 0; v < positions.size(); ++v) {
        const double p[3] = {positions[v].x, positions[v].y, positions[v].z};
        const double o[3] = {boxMin.x, boxMin.y, boxMin.z};
        for (int c = 0; c < 3; ++c) {
            const double scaled = std::round((p[c] - o[c]) / q.step);
            const int16_t value = static_cast<int16_t>(std::fmin(largest, std::fmax(0.0, scaled)));
            q.positions[4 * v + c] = value;
            q.lo[c] = std::min(q.lo[c], value);
            q.hi[c] = std::max(q.hi[c], value);
        }
    }
    q.normals.resize(4 * normals.size());
    for (size_t v = 0; v < normals.size(); ++v) {
        const float n[3] = {normals[v].x, normals[v].y, normals[v].z};
        for (int c = 0; c < 3; ++c) {
            q.normals[4 * v + c] = static_cast<int8_t>(std::lround(127.0f * n[c]));
        }
    }
    return q;
}

// Appends `encoded` to `bin`, padded to 4 bytes, and returns where it starts.
size_t appendAligned(std::vector<unsigned char>& bin, const std::vector<unsigned char>& encoded) {
    const size_t offset = bin.size();
    bin.insert(bin.end(), encoded.begin(), encoded.end());
    bin.resize((bin.size() + 3) / 4 * 4, 0);
    return offset;
}

std::string int16Vec3(const int16_t v[3]) {
    return "[" + std::to_string(v[0]) + "," + std::to_string(v[1]) + "," + std::to_string(v[2]) +
           "]";
}

// The compressed layout: quantized attributes and the indices, each encoded by meshoptimizer,
// in one stored buffer; `bin` receives its bytes.
GlbLayout compressedLayout(const std::vector<Vec3f>& positions, const std::vector<Vec3f>& normals,
                           const std::vector<uint32_t>& indices, const Vec3f& boxMin,
                           const Vec3f& boxMax, std::vector<unsigned char>& bin) {
    const Quantized q = quantize(positions, normals, boxMin, boxMax);
    const size_t vertexCount = positions.size();
    GlbLayout layout;
    size_t fallbackBytes = 0;
    const auto addVertexStream = [&](const void* data, size_t stride) {
        std::vector<unsigned char> encoded(meshopt_encodeVertexBufferBound(vertexCount, stride));
        encoded.resize(meshopt_encodeVertexBuffer(encoded.data(), encoded.size(), data,
                                                  vertexCount, stride));
        BufferView view;
        view.offset = fallbackBytes;
        view.length = stride * vertexCount;
        view.stride = stride;
        view.target = kArrayBufferTarget;
        view.compressed = true;
        view.compressedLength = encoded.size();
        view.compressedOffset = appendAligned(bin, encoded);
        view.count = vertexCount;
        view.mode = "ATTRIBUTES";
        layout.views.push_back(view);
        fallbackBytes += view.length;
    };
    addVertexStream(q.positions.data(), 8);
    layout.accessors = accessorJson(0, kShortComponent, false, vertexCount, "VEC3",
                                    ",\"min\":" + int16Vec3(q.lo) + ",\"max\":" + int16Vec3(q.hi));
    layout.attributes = "\"POSITION\":0";
    if (!normals.empty()) {
        addVertexStream(q.normals.data(), 4);
        layout.accessors += "," + accessorJson(1, kByteComponent, true, vertexCount, "VEC3");
        layout.attributes += ",\"NORMAL\":1";
    }
    std::vector<unsigned char> encoded(meshopt_encodeIndexBufferBound(indices.size(), vertexCount));
    encoded.resize(meshopt_encodeIndexBuffer(encoded.data(), encoded.size(), indices.data(),
                                             indices.size()));
    BufferView view;
    view.offset = fallbackBytes;
    view.length = 4 * indices.size();
    view.target = kElementArrayBufferTarget;
    view.compressed = true;
    view.compressedLength = encoded.size();
    view.compressedOffset = appendAligned(bin, encoded);
    view.count = indices.size();
    view.mode = "TRIANGLES";
    layout.views.push_back(view);
    fallbackBytes += view.length;
    layout.indexAccessor = static_cast<int>(layout.views.size()) - 1;
    layout.accessors += "," + accessorJson(layout.indexAccessor, kUnsignedIntComponent, false,
                                           indices.size(), "SCALAR");
    layout.nodeTransform = ",\"translation\":" + jsonVec3(q.origin) + ",\"scale\":[" +
                           jsonNumber(q.step) + "," + jsonNumber(q.step) + "," +
                           jsonNumber(q.step) + "]";
    layout.extensions =
        "\"extensionsUsed\":[\"KHR_mesh_quantization\",\"EXT_meshopt_compression\"],"
        "\"extensionsRequired\":[\"KHR_mesh_quantization\",\"EXT_meshopt_compression\"],";
    layout.buffers = "{\"byteLength\":" + std::to_string(bin.size()) +
                     "},{\"byteLength\":" + std::to_string(fallbackBytes) +
                     ",\"extensions\":{\"EXT_meshopt_compression\":{\"fallback\":true}}}";
    return layout;
}

// The plain layout: float positions and normals and 32-bit indices, one after the other.
GlbLayout plainLayout(size_t vertexCount, size_t indexCount, bool hasNormals,
                      const Vec3f& boxMin, const Vec3f& boxMax, size_t& binBytes) {
    GlbLayout layout;
    const size_t vec3Bytes = 12 * vertexCount;
    layout.views.push_back({0, vec3Bytes, 0, kArrayBufferTarget});
    layout.accessors = accessorJson(0, kFloatComponent, false, vertexCount, "VEC3",
                                    ",\"min\":" + jsonVec3(boxMin) + ",\"max\":" + jsonVec3(boxMax));
    layout.attributes = "\"POSITION\":0";
    if (hasNormals) {
        layout.views.push_back({vec3Bytes, vec3Bytes, 0, kArrayBufferTarget});
        layout.accessors += "," + accessorJson(1, kFloatComponent, false, vertexCount, "VEC3");
        layout.attributes += ",\"NORMAL\":1";
    }
    const size_t indexOffset = (hasNormals ? 2 : 1) * vec3Bytes;
    layout.views.push_back({indexOffset, 4 * indexCount, 0, kElementArrayBufferTarget});
    layout.indexAccessor = hasNormals ? 2 : 1;
    layout.accessors += "," + accessorJson(layout.indexAccessor, kUnsignedIntComponent, false,
                                           indexCount, "SCALAR");
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

// The BIN chunk's three parts as the sweep hands them on, each in its own scratch file until the
// JSON before them is known. Normals are summed per window vertex and are complete, and written,
// when the vertex becomes final: by then the sweep has shown every triangle that uses it.
struct PlainGlbParts {
    Placement placement;
    bool normals = false;
    int64_t finiteTriangleCount = 0;  // the file's, for the size it will at least take
    std::string outputPath;
    ScratchFile positions;
    ScratchFile normalFile;
    ScratchFile indices;
    std::vector<Vec3d> normalSums;  // of the vertices from sumsFirstIndex on
    int64_t sumsFirstIndex = 0;
    std::vector<Vec3f> scratch;     // one chunk's positions or normals on their way out
    Vec3f boxMin = {HUGE_VALF, HUGE_VALF, HUGE_VALF};
    Vec3f boxMax = {-HUGE_VALF, -HUGE_VALF, -HUGE_VALF};
    int64_t vertexCount = 0;        // handed on so far
    int64_t verticesSeen = 0;       // the highest index seen so far, plus one
    int64_t triangleCount = 0;
};

Vec3f placed(const PlainGlbParts& parts, const Vec3f& position) {
    return isIdentity(parts.placement) ? position : placeVertex(position, parts.placement);
}

// A failed scratch file fails the output: "cannot write OUT: reason".
bool scratchFailed(const PlainGlbParts& parts, std::string& error) {
    for (const ScratchFile* file : {&parts.positions, &parts.normalFile, &parts.indices}) {
        if (file->errorNumber != 0) {
            error = "cannot write " + parts.outputPath + ": " + std::strerror(file->errorNumber);
            return true;
        }
    }
    return false;
}

bool takeTriangles(PlainGlbParts& parts, const SweepTriangles& triangles, std::string& error) {
    const uint32_t* indices = triangles.indices;
    for (int64_t i = 0; i < 3 * triangles.triangleCount; ++i) {
        parts.verticesSeen = std::max(parts.verticesSeen, static_cast<int64_t>(indices[i]) + 1);
    }
    // Every triangle of the file takes its 12 bytes, every vertex seen its 12 or 24.
    const uint64_t leastBytes = glbFileBytes(
        0, plainGlbBinBytes(parts.verticesSeen, parts.finiteTriangleCount, parts.normals));
    if (leastBytes > UINT32_MAX) {
        error = describeGlbTooLarge(leastBytes, false);
        return false;
    }
    writeScratchFile(parts.indices, indices, 12 * static_cast<size_t>(triangles.triangleCount));
    parts.triangleCount += triangles.triangleCount;
    if (parts.normals) {
        const int64_t sumCount = parts.verticesSeen - parts.sumsFirstIndex;
        if (sumCount > static_cast<int64_t>(parts.normalSums.size())) {
            parts.normalSums.resize(static_cast<size_t>(sumCount), Vec3d{0.0, 0.0, 0.0});
        }
        const auto corner = [&](uint32_t index) {
            const WeldedVertex& vertex = triangles.window[index - triangles.windowFirstIndex];
            return toVec3d(placed(parts, vertex.position));
        };
        // The faces in the file's order and in double, as the in-memory sum takes them.
        for (int64_t t = 0; t < triangles.triangleCount; ++t) {
            const uint32_t* corners = &indices[3 * t];
            const Vec3d v0 = corner(corners[0]);
            const Vec3d n =
                cross(subtract(corner(corners[1]), v0), subtract(corner(corners[2]), v0));
            for (int c = 0; c < 3; ++c) {
                Vec3d& sum = parts.normalSums[corners[c] - parts.sumsFirstIndex];
                sum = {sum.x + n.x, sum.y + n.y, sum.z + n.z};
            }
        }
    }
    return !scratchFailed(parts, error);
}

bool takeFinalVertices(PlainGlbParts& parts, const WeldedVertex* vertices, int64_t count,
                       int64_t firstIndex, std::string& error) {
    parts.scratch.resize(static_cast<size_t>(count));
    for (int64_t v = 0; v < count; ++v) {
        const Vec3f p = placed(parts, vertices[v].position);
        parts.scratch[v] = p;
        parts.boxMin = {std::fmin(parts.boxMin.x, p.x), std::fmin(parts.boxMin.y, p.y),
                        std::fmin(parts.boxMin.z, p.z)};
        parts.boxMax = {std::fmax(parts.boxMax.x, p.x), std::fmax(parts.boxMax.y, p.y),
                        std::fmax(parts.boxMax.z, p.z)};
    }
    writeScratchFile(parts.positions, parts.scratch.data(), 12 * parts.scratch.size());
    parts.vertexCount += count;
    if (parts.normals) {
        const int64_t sumCount = static_cast<int64_t>(parts.normalSums.size());
        for (int64_t v = 0; v < count; ++v) {
            const int64_t slot = firstIndex + v - parts.sumsFirstIndex;
            parts.scratch[v] =
                normalFromSum(slot < sumCount ? parts.normalSums[slot] : Vec3d{0.0, 0.0, 0.0});
        }
        writeScratchFile(parts.normalFile, parts.scratch.data(), 12 * parts.scratch.size());
        // Forgetting the final sums once they are half the table moves each one only a bounded
        // number of times.
        const int64_t finalSums = std::min(sumCount, firstIndex + count - parts.sumsFirstIndex);
        if (2 * finalSums >= sumCount) {
            parts.normalSums.erase(parts.normalSums.begin(), parts.normalSums.begin() + finalSums);
            parts.sumsFirstIndex += finalSums;
        }
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
    assert(!options.compress);
    const GlbSweep records = [&](const SweepConsumer& consumer, SweepResult& result,
                                 std::string& sweepError) {
        return sweepWeld(reader, plan, weldMemoryLimitBytes, consumer, result, progress,
                         doneBefore, stopRequested, sweepError);
    };
    nonFiniteDropped = reader.recordCount - plan.finiteTriangleCount;
    return writePlainGlb(records, plan.finiteTriangleCount, placement, options, output, progress,
                         doneBefore + reader.recordCount, reader.recordCount, error);
}

bool writeGlb(const IndexedMesh& mesh, const GlbOptions& options, AtomicOutput& output,
              std::string& error) {
    const size_t indexCount = mesh.indices.size();
    // The vertex cache order of the triangles, then the vertices in the order they are first
    // fetched; a vertex no triangle uses is left out.
    IndexedMesh ordered;
    std::vector<Vec3f> positions;
    std::vector<Vec3f> normals;
    std::vector<unsigned char> compressedBin;
    GlbLayout layout;
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
        if (!options.compress) {
            return writeGlbInOrder(ordered, options, output, error);
        }
        positions.resize(vertexCount);
        for (size_t v = 0; v < vertexCount; ++v) {
            positions[v] = ordered.vertices[v].position;
        }
        ordered.vertices = std::vector<WeldedVertex>();
        if (options.smoothNormals) {
            std::vector<Vec3d> sums(vertexCount, Vec3d{0.0, 0.0, 0.0});
            for (size_t i = 0; i < indexCount; i += 3) {
                const uint32_t* corners = &ordered.indices[i];
                const Vec3d v0 = toVec3d(positions[corners[0]]);
                const Vec3d n = cross(subtract(toVec3d(positions[corners[1]]), v0),
                                      subtract(toVec3d(positions[corners[2]]), v0));
                for (int c = 0; c < 3; ++c) {
                    Vec3d& sum = sums[corners[c]];
                    sum = {sum.x + n.x, sum.y + n.y, sum.z + n.z};
                }
            }
            normals.resize(vertexCount);
            for (size_t v = 0; v < vertexCount; ++v) {
                normals[v] = normalFromSum(sums[v]);
            }
        }
        Vec3f boxMin = positions[0];
        Vec3f boxMax = positions[0];
        for (const Vec3f& p : positions) {
            boxMin = {std::fmin(boxMin.x, p.x), std::fmin(boxMin.y, p.y), std::fmin(boxMin.z, p.z)};
            boxMax = {std::fmax(boxMax.x, p.x), std::fmax(boxMax.y, p.y), std::fmax(boxMax.z, p.z)};
        }
        layout = compressedLayout(positions, normals, ordered.indices, boxMin, boxMax,
                                  compressedBin);
    } catch (const std::bad_alloc&) {
        error = "not enough memory to order the vertices for glTF";
        return false;
    }
    if (!writeGlbHead(glbJson(layout, indexCount, mesh.color, options.sourceName),
                      compressedBin.size(), output, error)) {
        return false;
    }
    writeAtomicOutput(output, compressedBin.data(), compressedBin.size());
    if (output.failure != OutputFailure::kNone) {
        error = describeOutputFailure(output);
        return false;
    }
    return true;
}
