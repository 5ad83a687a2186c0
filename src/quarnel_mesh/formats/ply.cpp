#include "quarnel_mesh/formats/ply.h"

#include <cstring>

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

bool writePlyMesh(const IndexedMesh& mesh, AtomicOutput& output, std::string& error) {
    writePlyHeader(output, static_cast<int64_t>(mesh.vertices.size()),
                   static_cast<int64_t>(mesh.indices.size() / 3));
    writePlyVertices(output, mesh.vertices.data(), mesh.vertices.size());
    for (size_t i = 0; i < mesh.indices.size(); i += 3) {
        writePlyFace(output, &mesh.indices[i]);
    }
    if (output.failure != OutputFailure::kNone) {
        error = describeOutputFailure(output);
        return false;
    }
    return true;
}
