// glTF 2.0 binary (.glb): a 12-byte header, a JSON chunk that describes the indexed triangle
// primitives and a BIN chunk with their positions, optional normals and 32-bit indices. This
// file: the JSON chunk and the head in front of the BIN chunk.
#include <charconv>
#include <cmath>

#include "quarnel_mesh/formats/glb_parts.h"
#include "quarnel_mesh/util/text.h"

namespace {

constexpr uint32_t kGlbMagic = 0x46546C67;      // "glTF"
constexpr uint32_t kGlbVersion = 2;
constexpr uint32_t kJsonChunkType = 0x4E4F534A;  // "JSON"
constexpr uint32_t kBinChunkType = 0x004E4942;   // "BIN\0"
// The records carry a display (sRGB) colour, as PLY and 3MF store it; glTF's base colour factor
// is linear, so the glTF file shows the same colour only after this conversion.
double linearFromSrgb(float component) {
    const double c = std::fmin(1.0, std::fmax(0.0, static_cast<double>(component)));
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

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

void writeUint32(AtomicOutput& output, uint32_t value) {
    writeAtomicOutput(output, &value, sizeof value);
}

}  // namespace

std::string jsonNumber(double value) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string jsonVec3(const Vec3f& v) {
    return "[" + jsonNumber(v.x) + "," + jsonNumber(v.y) + "," + jsonNumber(v.z) + "]";
}

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
                         const std::string& type, const std::string& bounds) {
    return "{\"bufferView\":" + std::to_string(view) + ",\"componentType\":" +
           std::to_string(componentType) + (normalized ? ",\"normalized\":true" : "") +
           ",\"count\":" + std::to_string(count) + ",\"type\":\"" + type + "\"" + bounds + "}";
}

std::string primitiveJson(int positionAccessor, int normalAccessor, int indexAccessor) {
    return "{\"attributes\":{\"POSITION\":" + std::to_string(positionAccessor) +
           (normalAccessor >= 0 ? ",\"NORMAL\":" + std::to_string(normalAccessor) : "") +
           "},\"indices\":" + std::to_string(indexAccessor) + ",\"material\":0,\"mode\":4}";
}

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
