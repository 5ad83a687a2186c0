#include "quarnel_mesh/formats/obj.h"

#include <cassert>
#include <charconv>
#include <cstdio>

#include "quarnel_mesh/formats/shared_vertices.h"
#include "quarnel_mesh/util/output_file.h"
#include "quarnel_mesh/util/text.h"

namespace {

char* appendFloat(char* text, char* end, float value) {
    return std::to_chars(text, end, value).ptr;
}

}  // namespace

std::string materialPathOf(const std::string& objPath) {
    return objPath.substr(0, objPath.size() - 4) + ".mtl";
}

// The header names no path: a file name may hold a newline, which would end the comment and
// inject lines of its own.
void writeObjHeader(AtomicOutput& output, int64_t vertexCount, int64_t faceCount) {
    const std::string header = "# written by quarnel-mesh: " + std::to_string(vertexCount) +
                               " vertices, " + std::to_string(faceCount) + " faces\nmtllib " +
                               fileNameOf(materialPathOf(output.finalPath)) +
                               "\no quarnel\nusemtl quarnel\n";
    writeAtomicOutput(output, header.data(), header.size());
}

void writeObjVertices(AtomicOutput& output, const WeldedVertex* vertices, size_t count) {
    char line[128];
    char* const end = line + sizeof line;
    for (size_t v = 0; v < count; ++v) {
        const WeldedVertex& vertex = vertices[v];
        char* next = line;
        *next++ = 'v';
        *next++ = ' ';
        next = appendFloat(next, end, vertex.position.x);
        *next++ = ' ';
        next = appendFloat(next, end, vertex.position.y);
        *next++ = ' ';
        next = appendFloat(next, end, vertex.position.z);
        *next++ = '\n';
        writeAtomicOutput(output, line, static_cast<size_t>(next - line));
    }
}

void writeObjFace(AtomicOutput& output, const uint32_t indices[3]) {
    char line[80];
    char* const end = line + sizeof line;
    char* next = line;
    *next++ = 'f';
    for (int v = 0; v < 3; ++v) {
        *next++ = ' ';
        next = std::to_chars(next, end, static_cast<int64_t>(indices[v]) + 1).ptr;  // from 1
    }
    *next++ = '\n';
    writeAtomicOutput(output, line, static_cast<size_t>(next - line));
}

bool writeObj(const MeshSource& source, const Placement& placement, const WriteOptions&,
              AtomicOutput& output, RunContext& run) {
    assert(output.companion != nullptr);  // opened by createObjMaterial
    // The standard colour for a mesh without vertices.
    uint8_t rgb[3] = {colorByte(kTriangleColor.x), colorByte(kTriangleColor.y),
                      colorByte(kTriangleColor.z)};
    if (!writeSharedVertices(source, placement, {writeObjHeader, writeObjVertices, writeObjFace},
                             output, run, rgb)) {
        return false;
    }
    char text[160];
    const int length = std::snprintf(
        text, sizeof text, "# written by quarnel-mesh\nnewmtl quarnel\nKd %.6g %.6g %.6g\n",
        rgb[0] / 255.0, rgb[1] / 255.0, rgb[2] / 255.0);
    writeAtomicOutput(*output.companion, text, static_cast<size_t>(length));
    return true;
}

bool createObjMaterial(const RecordReader& input, AtomicOutput& obj, AtomicOutput& material,
                       std::string& error) {
    if (!createOutput(input, materialPathOf(obj.finalPath), material, error)) {
        return false;
    }
    obj.companion = &material;
    return true;
}
