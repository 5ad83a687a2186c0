// glTF 2.0 binary (.glb): a 12-byte header, a JSON chunk that describes one indexed triangle
// primitive and a BIN chunk with its positions, optional normals and 32-bit indices. The vertex
// order is optimised with meshoptimizer: the cache order of the triangles first, then the
// vertices in the order the triangles first fetch them.
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>

#include <meshoptimizer.h>

#include "quarnel_mesh/quarnel_mesh.h"

namespace {

constexpr uint32_t kGlbMagic = 0x46546C67;      // "glTF"
constexpr uint32_t kGlbVersion = 2;
constexpr uint32_t kJsonChunkType = 0x4E4F534A;  // "JSON"
constexpr uint32_t kBinChunkType = 0x004E4942;   // "BIN\0"
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

std::string bufferView(size_t offset, size_t length, int target) {
    return "{\"buffer\":0,\"byteOffset\":" + std::to_string(offset) +
           ",\"byteLength\":" + std::to_string(length) + ",\"target\":" + std::to_string(target) +
           "}";
}

std::string glbJson(size_t vertexCount, size_t indexCount, bool hasNormals, const Vec3f& boxMin,
                    const Vec3f& boxMax, const Vec3f& color, size_t binBytes,
                    const std::string& sourceName) {
    const size_t vec3Bytes = 12 * vertexCount;
    const int indexAccessor = hasNormals ? 2 : 1;
    std::string views = bufferView(0, vec3Bytes, kArrayBufferTarget);
    std::string accessors = "{\"bufferView\":0,\"componentType\":" +
                            std::to_string(kFloatComponent) +
                            ",\"count\":" + std::to_string(vertexCount) +
                            ",\"type\":\"VEC3\",\"min\":" + jsonVec3(boxMin) +
                            ",\"max\":" + jsonVec3(boxMax) + "}";
    std::string attributes = "\"POSITION\":0";
    if (hasNormals) {
        views += "," + bufferView(vec3Bytes, vec3Bytes, kArrayBufferTarget);
        accessors += ",{\"bufferView\":1,\"componentType\":" + std::to_string(kFloatComponent) +
                     ",\"count\":" + std::to_string(vertexCount) + ",\"type\":\"VEC3\"}";
        attributes += ",\"NORMAL\":1";
    }
    const size_t indexOffset = (hasNormals ? 2 : 1) * vec3Bytes;
    views += "," + bufferView(indexOffset, 4 * indexCount, kElementArrayBufferTarget);
    accessors += ",{\"bufferView\":" + std::to_string(indexAccessor) +
                 ",\"componentType\":" + std::to_string(kUnsignedIntComponent) +
                 ",\"count\":" + std::to_string(indexCount) + ",\"type\":\"SCALAR\"}";
    return "{\"asset\":{\"version\":\"2.0\",\"generator\":\"quarnel-mesh " +
           std::string(kMeshToolVersion) + "\",\"extras\":{\"source\":" + jsonString(sourceName) +
           ",\"triangles\":" + std::to_string(indexCount / 3) + "}},"
           "\"scene\":0,\"scenes\":[{\"name\":\"quarnel\",\"nodes\":[0]}],"
           "\"nodes\":[{\"name\":\"quarnel\",\"mesh\":0}],"
           "\"meshes\":[{\"name\":\"quarnel\",\"primitives\":[{\"attributes\":{" + attributes + "},"
           "\"indices\":" + std::to_string(indexAccessor) + ",\"material\":0,\"mode\":4}]}],"
           "\"materials\":[{\"name\":\"quarnel\",\"pbrMetallicRoughness\":{\"baseColorFactor\":[" +
           jsonNumber(linearFromSrgb(color.x)) + "," + jsonNumber(linearFromSrgb(color.y)) + "," +
           jsonNumber(linearFromSrgb(color.z)) +
           ",1],\"metallicFactor\":0,\"roughnessFactor\":0.6}}],"
           "\"buffers\":[{\"byteLength\":" + std::to_string(binBytes) + "}],"
           "\"bufferViews\":[" + views + "],\"accessors\":[" + accessors + "]}";
}

void writeUint32(AtomicOutput& output, uint32_t value) {
    writeAtomicOutput(output, &value, sizeof value);
}

}  // namespace

bool writeGlb(const IndexedMesh& mesh, bool withNormals, const std::string& sourceName,
              AtomicOutput& output, std::string& error) {
    const size_t indexCount = mesh.indices.size();
    std::vector<uint32_t> indices;
    std::vector<Vec3f> positions;
    std::vector<Vec3f> normals;
    size_t vertexCount = 0;
    try {
        indices.resize(indexCount);
        meshopt_optimizeVertexCache(indices.data(), mesh.indices.data(), indexCount,
                                    mesh.vertices.size());
        std::vector<uint32_t> remap(mesh.vertices.size());
        vertexCount = meshopt_optimizeVertexFetchRemap(remap.data(), indices.data(), indexCount,
                                                       mesh.vertices.size());
        meshopt_remapIndexBuffer(indices.data(), indices.data(), indexCount, remap.data());
        positions.resize(vertexCount);
        for (size_t v = 0; v < remap.size(); ++v) {
            if (remap[v] != ~0u) {
                positions[remap[v]] = mesh.vertices[v].position;
            }
        }
        if (withNormals) {
            normals = smoothNormals(positions, indices);
        }
    } catch (const std::bad_alloc&) {
        error = "not enough memory to order the vertices for glTF";
        return false;
    }
    Vec3f boxMin = positions[0];
    Vec3f boxMax = positions[0];
    for (const Vec3f& p : positions) {
        boxMin = {std::fmin(boxMin.x, p.x), std::fmin(boxMin.y, p.y), std::fmin(boxMin.z, p.z)};
        boxMax = {std::fmax(boxMax.x, p.x), std::fmax(boxMax.y, p.y), std::fmax(boxMax.z, p.z)};
    }
    const size_t binBytes = 12 * vertexCount * (withNormals ? 2 : 1) + 4 * indexCount;
    std::string json = glbJson(vertexCount, indexCount, withNormals, boxMin, boxMax, mesh.color,
                               binBytes, sourceName);
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
    writeAtomicOutput(output, positions.data(), 12 * positions.size());
    if (withNormals) {
        writeAtomicOutput(output, normals.data(), 12 * normals.size());
    }
    writeAtomicOutput(output, indices.data(), 4 * indices.size());
    if (output.failure != OutputFailure::kNone) {
        error = describeOutputFailure(output);
        return false;
    }
    return true;
}
