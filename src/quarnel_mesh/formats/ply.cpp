#include "quarnel_mesh/formats/ply.h"

#include <cstring>

#include "quarnel_mesh/formats/shared_vertices.h"

namespace {

constexpr size_t kPlyVertexBytes = 15;
constexpr size_t kPlyFaceBytes = 13;

}  // namespace

void writePlyHeader(AtomicOutput& output, int64_t vertexCount, int64_t faceCount) {
    const std::string header =
        "ply\n"
        "format binary_little_endian 1.0\n"
        "comment written by quarnel-mesh\n"
        "element vertex " + std::to_string(vertexCount) + "\n"
        "property float x\n"
        "property float y\n"
        "property float z\n"
        "property uchar red\n"
        "property uchar green\n"
        "property uchar blue\n"
        "element face " + std::to_string(faceCount) + "\n"
        "property list uchar uint vertex_indices\n"
        "end_header\n";
    writeAtomicOutput(output, header.data(), header.size());
}

void writePlyVertices(AtomicOutput& output, const WeldedVertex* vertices, size_t count) {
    char bytes[kPlyVertexBytes];
    for (size_t v = 0; v < count; ++v) {
        std::memcpy(bytes, &vertices[v].position, 12);
        std::memcpy(bytes + 12, vertices[v].rgb, 3);
        writeAtomicOutput(output, bytes, sizeof bytes);
    }
}

void writePlyFace(AtomicOutput& output, const uint32_t indices[3]) {
    char face[kPlyFaceBytes];
    face[0] = 3;
    std::memcpy(face + 1, indices, 12);
    writeAtomicOutput(output, face, sizeof face);
}

bool writePly(const MeshSource& source, const Placement& placement, const WriteOptions&,
              AtomicOutput& output, RunContext& run) {
    uint8_t firstRgb[3];
    return writeSharedVertices(source, placement, {writePlyHeader, writePlyVertices, writePlyFace},
                               output, run, firstRgb);
}
