// glTF 2.0 binary (.glb): a 12-byte header, a JSON chunk that describes one indexed triangle
// primitive and a BIN chunk with its positions, optional normals and 32-bit indices, as floats,
// or compressed: quantized (KHR_mesh_quantization) and encoded with meshoptimizer's codecs
// (EXT_meshopt_compression). The vertex order is optimised with meshoptimizer: the cache order of
// the triangles first, then the vertices in the order the triangles first fetch them.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include <meshoptimizer.h>

#include "quarnel_mesh/formats/glb.h"
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

// Sum of the face normals around each vertex, each as long as twice its face's area, so large
// faces weigh more; a vertex whose sum vanishes takes +z rather than an invalid zero normal.
std::vector<Vec3f> smoothNormals(const std::vector<Vec3f>& positions,
                                 const std::vector<uint32_t>& indices) {
    std::vector<Vec3d> sums(positions.size(), Vec3d{0.0, 0.0, 0.0});
    for (size_t i = 0; i < indices.size(); i += 3) {
        const Vec3d v0 = toVec3d(positions[indices[i]]);
        const Vec3d n = cross(subtract(toVec3d(positions[indices[i + 1]]), v0),
                              subtract(toVec3d(positions[indices[i + 2]]), v0));
        for (int c = 0; c < 3; ++c) {
            Vec3d& sum = sums[indices[i + c]];
            sum = {sum.x + n.x, sum.y + n.y, sum.z + n.z};
        }
    }
    std::vector<Vec3f> normals(positions.size());
    for (size_t v = 0; v < sums.size(); ++v) {
        const double length = std::sqrt(dot(sums[v], sums[v]));
        if (!(length > 0.0) || !std::isfinite(length)) {
            normals[v] = {0.0f, 0.0f, 1.0f};
            continue;
        }
        normals[v] = {static_cast<float>(sums[v].x / length),
                      static_cast<float>(sums[v].y / length),
                      static_cast<float>(sums[v].z / length)};
    }
    return normals;
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

}  // namespace

bool writeGlb(const IndexedMesh& mesh, const GlbOptions& options, AtomicOutput& output,
              std::string& error) {
    const size_t indexCount = mesh.indices.size();
    std::vector<uint32_t> indices;
    std::vector<Vec3f> positions;
    std::vector<Vec3f> normals;
    std::vector<unsigned char> compressedBin;
    GlbLayout layout;
    size_t binBytes = 0;
    try {
        indices.resize(indexCount);
        meshopt_optimizeVertexCache(indices.data(), mesh.indices.data(), indexCount,
                                    mesh.vertices.size());
        std::vector<uint32_t> remap(mesh.vertices.size());
        const size_t vertexCount = meshopt_optimizeVertexFetchRemap(
            remap.data(), indices.data(), indexCount, mesh.vertices.size());
        meshopt_remapIndexBuffer(indices.data(), indices.data(), indexCount, remap.data());
        positions.resize(vertexCount);
        for (size_t v = 0; v < remap.size(); ++v) {
            if (remap[v] != ~0u) {
                positions[remap[v]] = mesh.vertices[v].position;
            }
        }
        if (options.smoothNormals) {
            normals = smoothNormals(positions, indices);
        }
        Vec3f boxMin = positions[0];
        Vec3f boxMax = positions[0];
        for (const Vec3f& p : positions) {
            boxMin = {std::fmin(boxMin.x, p.x), std::fmin(boxMin.y, p.y), std::fmin(boxMin.z, p.z)};
            boxMax = {std::fmax(boxMax.x, p.x), std::fmax(boxMax.y, p.y), std::fmax(boxMax.z, p.z)};
        }
        if (options.compress) {
            layout = compressedLayout(positions, normals, indices, boxMin, boxMax, compressedBin);
            binBytes = compressedBin.size();
        } else {
            layout = plainLayout(vertexCount, indexCount, options.smoothNormals, boxMin, boxMax,
                                 binBytes);
        }
    } catch (const std::bad_alloc&) {
        error = "not enough memory to order the vertices for glTF";
        return false;
    }
    std::string json = glbJson(layout, indexCount, mesh.color, options.sourceName);
    json.resize((json.size() + 3) / 4 * 4, ' ');  // chunks start on 4-byte boundaries
    const uint64_t totalBytes = 12 + 8 + json.size() + 8 + binBytes;
    if (totalBytes > UINT32_MAX) {
        error = "the glTF file would take " + std::to_string(totalBytes) +
                " bytes; a .glb holds at most 4294967295: simplify it (--simplify)";
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
    if (options.compress) {
        writeAtomicOutput(output, compressedBin.data(), compressedBin.size());
    } else {
        writeAtomicOutput(output, positions.data(), 12 * positions.size());
        writeAtomicOutput(output, normals.data(), 12 * normals.size());
        writeAtomicOutput(output, indices.data(), 4 * indices.size());
    }
    if (output.failure != OutputFailure::kNone) {
        error = describeOutputFailure(output);
        return false;
    }
    return true;
}
