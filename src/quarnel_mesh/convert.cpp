#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include <unistd.h>

#include "quarnel_mesh/quarnel_mesh.h"
#include "quarnel_mesh/vertex_welder.h"

namespace {

constexpr size_t kStlHeaderBytes = 80;
constexpr size_t kStlFacetBytes = 50;
constexpr size_t kPlyVertexBytes = 15;
constexpr size_t kPlyFaceBytes = 13;
constexpr int64_t kMaxStlTriangles = 0xFFFFFFFFll;

// Must not begin with "solid": readers take that as the mark of the text form.
constexpr char kStlHeaderText[] = "binary STL written by quarnel-mesh";

void writeStlHeader(AtomicOutput& output, int64_t triangleCount) {
    char header[kStlHeaderBytes + 4] = {};
    std::memcpy(header, kStlHeaderText, sizeof kStlHeaderText - 1);
    const uint32_t count = static_cast<uint32_t>(triangleCount);
    std::memcpy(header + kStlHeaderBytes, &count, 4);
    writeAtomicOutput(output, header, sizeof header);
}

void encodeStlFacet(const TriangleRecord& record, char* facet) {
    const Vec3f normal = facetNormal(record);
    const uint16_t attribute = 0;
    std::memcpy(facet, &normal, 12);
    std::memcpy(facet + 12, record.vertices, 36);
    std::memcpy(facet + 48, &attribute, 2);
}

// Streams in constant memory; with a placement, each vertex is moved before its facet's normal
// is computed, so the normals stay those of the written triangle.
bool writeStl(RecordReader& reader, const Placement& placement, AtomicOutput& output,
              Progress& progress, const ConvertOptions& options, std::string& error) {
    writeStlHeader(output, reader.recordCount);
    const bool moved = !isIdentity(placement);
    std::vector<char> facets(reader.chunk.size() * kStlFacetBytes);
    return forEachRecordChunk(
        reader, progress, 0, options.stopRequested, error,
        [&](const TriangleRecord* records, int64_t count) {
            char* facet = facets.data();
            for (int64_t i = 0; i < count; ++i) {
                TriangleRecord record = records[i];
                if (moved) {
                    for (Vec3f& vertex : record.vertices) {
                        vertex = placeVertex(vertex, placement);
                    }
                }
                encodeStlFacet(record, facet);
                facet += kStlFacetBytes;
            }
            writeAtomicOutput(output, facets.data(), static_cast<size_t>(facet - facets.data()));
            if (output.failure != OutputFailure::kNone) {
                error = describeOutputFailure(output);
                return false;
            }
            return true;
        });
}

// Pass over the records that welds every vertex, in file order, and counts the triangles with a
// non-finite vertex: PLY and OBJ readers refuse a "nan" or "inf" vertex, so those are left out.
bool weldAll(RecordReader& reader, VertexWelder& welder, int64_t& nonFiniteCount,
             Progress& progress, const ConvertOptions& options, std::string& error) {
    nonFiniteCount = 0;
    return forEachRecordChunk(
        reader, progress, 0, options.stopRequested, error,
        [&](const TriangleRecord* records, int64_t count) {
            for (int64_t i = 0; i < count; ++i) {
                if (!hasFiniteVertices(records[i])) {
                    ++nonFiniteCount;
                    continue;
                }
                for (const Vec3f& vertex : records[i].vertices) {
                    const int64_t index = weldVertex(welder, vertex, records[i].color);
                    if (index < 0) {
                        error = describeWeldFailure(index, reader.path, welder.vertices.size());
                        return false;
                    }
                }
            }
            return true;
        });
}

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

void writePlyVertices(AtomicOutput& output, const std::vector<WeldedVertex>& vertices) {
    char bytes[kPlyVertexBytes];
    for (const WeldedVertex& vertex : vertices) {
        std::memcpy(bytes, &vertex.position, 12);
        std::memcpy(bytes + 12, vertex.rgb, 3);
        writeAtomicOutput(output, bytes, sizeof bytes);
    }
}

char* appendFloat(char* text, char* end, float value) {
    return std::to_chars(text, end, value).ptr;
}

// "x.obj" -> "x.mtl": the material library an OBJ names.
std::string materialPathOf(const std::string& objPath) {
    return objPath.substr(0, objPath.size() - 4) + ".mtl";
}

// The header names no path: a file name may hold a newline, which would end the comment and
// inject lines of its own.
void writeObjVertices(AtomicOutput& output, const std::vector<WeldedVertex>& vertices,
                      int64_t faceCount) {
    // The colour is the material of the .mtl file beside it (see commitObjWithMaterial).
    const std::string header = "# written by quarnel-mesh: " + std::to_string(vertices.size()) +
                               " vertices, " + std::to_string(faceCount) + " faces\nmtllib " +
                               fileNameOf(materialPathOf(output.finalPath)) +
                               "\no quarnel\nusemtl quarnel\n";
    writeAtomicOutput(output, header.data(), header.size());
    char line[128];
    char* const end = line + sizeof line;
    for (const WeldedVertex& vertex : vertices) {
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

void writeFace(AtomicOutput& output, MeshFormat format, const uint32_t indices[3]) {
    if (format == MeshFormat::kPly) {
        char face[kPlyFaceBytes];
        face[0] = 3;
        std::memcpy(face + 1, indices, 12);
        writeAtomicOutput(output, face, sizeof face);
        return;
    }
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

// Second pass: every vertex is already in the table, so weldVertex only looks it up; a new one
// means the file changed under us and the header's count would be wrong.
bool writeFaces(RecordReader& reader, MeshFormat format, VertexWelder& welder,
                int64_t vertexCount, AtomicOutput& output, Progress& progress,
                const ConvertOptions& options, std::string& error) {
    if (!rewindRecordFile(reader, error)) {
        return false;
    }
    return forEachRecordChunk(
        reader, progress, reader.recordCount, options.stopRequested, error,
        [&](const TriangleRecord* records, int64_t count) {
            for (int64_t i = 0; i < count; ++i) {
                const TriangleRecord& record = records[i];
                if (!hasFiniteVertices(record)) {
                    continue;
                }
                int64_t indices[3];
                for (int v = 0; v < 3; ++v) {
                    indices[v] = weldVertex(welder, record.vertices[v], record.color);
                    if (indices[v] < 0 || indices[v] >= vertexCount) {
                        error = reader.path + " changed while it was read";
                        return false;
                    }
                }
                const uint32_t face[3] = {static_cast<uint32_t>(indices[0]),
                                          static_cast<uint32_t>(indices[1]),
                                          static_cast<uint32_t>(indices[2])};
                writeFace(output, format, face);
            }
            if (output.failure != OutputFailure::kNone) {
                error = describeOutputFailure(output);
                return false;
            }
            return true;
        });
}

bool writeShared(RecordReader& reader, MeshFormat format, AtomicOutput& output,
                 Progress& progress, const ConvertOptions& options, ConvertReport& report,
                 uint8_t firstRgb[3], std::string& error) {
    VertexWelder welder;
    welder.memoryLimitBytes = options.weldMemoryLimitBytes != 0 ? options.weldMemoryLimitBytes
                                                                : defaultWeldMemoryLimit();
    int64_t nonFiniteCount = 0;
    if (!weldAll(reader, welder, nonFiniteCount, progress, options, error)) {
        return false;
    }
    report.nonFiniteDropped = nonFiniteCount;
    if (!welder.vertices.empty()) {
        std::memcpy(firstRgb, welder.vertices[0].rgb, 3);
    }
    const int64_t vertexCount = static_cast<int64_t>(welder.vertices.size());
    const int64_t faceCount = reader.recordCount - nonFiniteCount;
    if (format == MeshFormat::kPly) {
        writePlyHeader(output, vertexCount, faceCount);
        writePlyVertices(output, welder.vertices);
    } else {
        writeObjVertices(output, welder.vertices, faceCount);
    }
    return writeFaces(reader, format, welder, vertexCount, output, progress, options, error);
}

// Commits an OBJ and, just before it, the material library it names: the record colour as the
// diffuse colour (Kd) of the material "quarnel". Should the OBJ's commit fail, the library goes.
bool commitObjWithMaterial(const RecordReader& input, AtomicOutput& obj, const uint8_t rgb[3],
                           std::string& error) {
    AtomicOutput material;
    if (!createOutput(input, materialPathOf(obj.finalPath), material, error)) {
        return false;
    }
    char text[160];
    const int length = std::snprintf(text, sizeof text,
                                     "# written by quarnel-mesh\nnewmtl quarnel\nKd %.6g %.6g %.6g\n",
                                     rgb[0] / 255.0, rgb[1] / 255.0, rgb[2] / 255.0);
    writeAtomicOutput(material, text, static_cast<size_t>(length));
    if (!commitOutput(material, error)) {
        return false;
    }
    if (!commitOutput(obj, error)) {
        unlink(material.finalPath.c_str());
        return false;
    }
    return true;
}

// Commits the output of `format`, with what belongs beside it; `firstRgb`: the colour of the
// first vertex.
bool commitConverted(const RecordReader& input, MeshFormat format, const uint8_t firstRgb[3],
                     AtomicOutput& output, std::string& error) {
    if (format == MeshFormat::kObj) {
        return commitObjWithMaterial(input, output, firstRgb, error);
    }
    return commitOutput(output, error);
}

// The standard colour as 8-bit components, for a mesh without vertices.
void standardRgb(uint8_t rgb[3]) {
    rgb[0] = colorByte(kTriangleColor.x);
    rgb[1] = colorByte(kTriangleColor.y);
    rgb[2] = colorByte(kTriangleColor.z);
}

bool stopped(const ConvertOptions& options, std::string& error) {
    if (options.stopRequested != nullptr && options.stopRequested->load()) {
        error = "interrupted";
        return true;
    }
    return false;
}

std::string sizeRefusal(const std::string& inputPath, double sizeMillimetres,
                        const std::string& problem) {
    char size[32];
    std::snprintf(size, sizeof size, "%.6g", sizeMillimetres);
    return "cannot scale " + inputPath + " to " + size + " mm: " + problem;
}

// The formats of an edited mesh, written from memory.
bool writeIndexed(const IndexedMesh& mesh, MeshFormat format, const std::string& sourceName,
                  const ConvertOptions& options, AtomicOutput& output, ConvertReport& report,
                  std::string& error) {
    const int64_t faceCount = static_cast<int64_t>(mesh.indices.size() / 3);
    switch (format) {
    case MeshFormat::kGlb:
        return writeGlb(mesh, {options.smoothNormals, options.compress, sourceName}, output,
                        error);
    case MeshFormat::kThreeMf:
        return writeThreeMf(mesh, sourceName, output, report.degenerateDropped, error);
    case MeshFormat::kStl: {
        writeStlHeader(output, faceCount);
        char facet[kStlFacetBytes];
        TriangleRecord record;
        record.color = mesh.color;
        for (size_t i = 0; i < mesh.indices.size(); i += 3) {
            for (int v = 0; v < 3; ++v) {
                record.vertices[v] = mesh.vertices[mesh.indices[i + v]].position;
            }
            encodeStlFacet(record, facet);
            writeAtomicOutput(output, facet, sizeof facet);
        }
        break;
    }
    case MeshFormat::kPly:
    case MeshFormat::kObj:
        if (format == MeshFormat::kPly) {
            writePlyHeader(output, static_cast<int64_t>(mesh.vertices.size()), faceCount);
            writePlyVertices(output, mesh.vertices);
        } else {
            writeObjVertices(output, mesh.vertices, faceCount);
        }
        for (size_t i = 0; i < mesh.indices.size(); i += 3) {
            writeFace(output, format, &mesh.indices[i]);
        }
        break;
    case MeshFormat::kUnknown:
        break;
    }
    if (output.failure != OutputFailure::kNone) {
        error = describeOutputFailure(output);
        return false;
    }
    return true;
}

// Load, drop islands, simplify, place, write: every step but the last in memory.
bool convertInMemory(RecordReader& reader, MeshFormat format, const std::string& outputPath,
                     const ConvertOptions& options, ConvertReport& report, std::string& error) {
    const bool simplify = options.simplifyRatio < 1.0;
    if (simplify) {
        const uint64_t needed = static_cast<uint64_t>(reader.recordCount) *
                                (kLoadBytesPerTriangle + kSimplifyBytesPerTriangle);
        const uint64_t available = availableMemoryBytes();
        if (needed > available) {
            error = "simplifying the " + std::to_string(reader.recordCount) + " triangles of " +
                    reader.path + " needs about " + formatBytes(needed) + " of memory and " +
                    formatBytes(available) + " is available; simplify a smaller preset";
            return false;
        }
    }
    AtomicOutput output;
    if (!createOutput(reader, outputPath, output, error)) {
        return false;
    }
    Progress progress = startProgress("reading " + reader.path, reader.recordCount,
                                      reader.fileBytes);
    IndexedMesh mesh;
    const bool loaded = loadIndexedMesh(reader, options.weldMemoryLimitBytes, mesh, progress,
                                        options.stopRequested, error);
    finishProgress(progress);
    if (!loaded || stopped(options, error)) {
        return false;
    }
    if (options.dropIslandFaces > 0) {
        report.islandsChecked = true;
        const bool hadTriangles = !mesh.indices.empty();
        dropIslands(mesh, options.dropIslandFaces, report.islands);
        if (hadTriangles && mesh.indices.empty()) {
            error = "nothing left after dropping the pieces of fewer than " +
                    std::to_string(options.dropIslandFaces) + " faces from " + reader.path +
                    ": its largest piece has " +
                    std::to_string(report.islands.largestPieceFaceCount) + " faces";
            return false;
        }
        if (stopped(options, error)) {
            return false;
        }
    }
    if (options.keepBodyOnly && !mesh.indices.empty()) {
        report.bodyKept = true;
        keepBody(mesh, report.body);
        if (stopped(options, error)) {
            return false;
        }
    }
    report.nonFiniteDropped = mesh.nonFiniteTriangles;
    if (simplify && !mesh.indices.empty()) {
        report.simplified = true;
        if (!simplifyMesh(mesh, options.simplifyRatio, report.simplify, error)) {
            return false;
        }
        if (mesh.indices.empty()) {
            error = "nothing left after simplifying " + reader.path + " to " +
                    formatShortestFloat(static_cast<float>(options.simplifyRatio)) +
                    " of its triangles; give a larger ratio";
            return false;
        }
        compactVertices(mesh);
        if (stopped(options, error)) {
            return false;
        }
    }
    if (mesh.indices.empty() &&
        (format == MeshFormat::kGlb || format == MeshFormat::kThreeMf)) {
        error = "no triangles left to write to " + outputPath;
        return false;
    }
    Placement placement;
    // 3MF is z-up by definition, and slicers print what they are given: the fractal's axis (y)
    // always becomes z there, and a plain conversion gets a printable size.
    placement.zUp = options.zUp || format == MeshFormat::kThreeMf;
    double sizeMillimetres = options.sizeMillimetres;
    if (format == MeshFormat::kThreeMf && sizeMillimetres == 0.0) {
        sizeMillimetres = kDefaultThreeMfSizeMillimetres;
        report.scaleNote = " (to 100 mm, the default size of a 3MF; --size sets another)";
    }
    if (sizeMillimetres > 0.0) {
        Vec3f boxMin, boxMax;
        double smallestMagnitude = HUGE_VAL;
        if (!usedVertexBox(mesh, boxMin, boxMax, smallestMagnitude) ||
            !scaleForSize(boxMin, boxMax, sizeMillimetres, placement.scale)) {
            error = "cannot scale " + reader.path + " to a size: it has no extent";
            return false;
        }
        if (format == MeshFormat::kGlb) {
            // glTF's unit is the metre: a size in millimetres is written as MM / 1000.
            placement.scale /= 1000.0;
            report.scaleNote = " (millimetres as metres, glTF's unit)";
        }
        const std::string problem =
            placementProblem(boxMin, boxMax, smallestMagnitude, placement.scale);
        if (!problem.empty()) {
            error = sizeRefusal(reader.path, sizeMillimetres, problem);
            return false;
        }
        report.scale = placement.scale;
    }
    if (!isIdentity(placement)) {
        for (WeldedVertex& vertex : mesh.vertices) {
            vertex.position = placeVertex(vertex.position, placement);
        }
    }
    if (stopped(options, error)) {
        return false;
    }
    uint8_t firstRgb[3];
    standardRgb(firstRgb);
    if (!mesh.vertices.empty()) {
        std::memcpy(firstRgb, mesh.vertices[0].rgb, 3);
    }
    return writeIndexed(mesh, format, fileNameOf(reader.path), options, output, report, error) &&
           commitConverted(reader, format, firstRgb, output, error);
}

}  // namespace

MeshFormat formatFromPath(const std::string& path) {
    if (hasExtension(path, ".stl")) {
        return MeshFormat::kStl;
    }
    if (hasExtension(path, ".ply")) {
        return MeshFormat::kPly;
    }
    if (hasExtension(path, ".obj")) {
        return MeshFormat::kObj;
    }
    if (hasExtension(path, ".glb")) {
        return MeshFormat::kGlb;
    }
    if (hasExtension(path, ".3mf")) {
        return MeshFormat::kThreeMf;
    }
    return MeshFormat::kUnknown;
}

bool isPlainCopy(const ConvertOptions& options) {
    return options.simplifyRatio == 1.0 && !options.zUp && options.sizeMillimetres == 0.0 &&
           options.dropIslandFaces == 0 && !options.keepBodyOnly;
}

Vec3f facetNormal(const TriangleRecord& record) {
    const Vec3d v0 = toVec3d(record.vertices[0]);
    const Vec3d n = cross(subtract(toVec3d(record.vertices[1]), v0),
                          subtract(toVec3d(record.vertices[2]), v0));
    const double length = std::sqrt(dot(n, n));
    // Zero length, or inf/NaN from non-finite or huge vertices: no direction to give.
    if (!(length > 0.0) || !std::isfinite(length)) {
        return {0.0f, 0.0f, 0.0f};
    }
    return {static_cast<float>(n.x / length), static_cast<float>(n.y / length),
            static_cast<float>(n.z / length)};
}

bool convertMesh(const std::string& inputPath, const std::string& outputPath,
                 const ConvertOptions& options, ConvertReport& report, std::string& error) {
    report = ConvertReport();
    const MeshFormat format = formatFromPath(outputPath);
    if (format == MeshFormat::kUnknown) {
        error = "cannot tell the format of " + outputPath +
                ": name it .stl, .ply, .obj, .glb or .3mf";
        return false;
    }
    RecordReader reader;
    if (!openRecordFile(inputPath, reader, error)) {
        return false;
    }
    if (format == MeshFormat::kStl && reader.recordCount > kMaxStlTriangles) {
        error = inputPath + " has " + std::to_string(reader.recordCount) +
                " triangles; binary STL holds at most 4294967295";
        return false;
    }
    const bool streams = format == MeshFormat::kStl && options.simplifyRatio == 1.0 &&
                         options.dropIslandFaces == 0 && !options.keepBodyOnly;
    if (!streams && !(isPlainCopy(options) && format != MeshFormat::kGlb &&
                      format != MeshFormat::kThreeMf)) {
        return convertInMemory(reader, format, outputPath, options, report, error);
    }
    Placement placement;
    placement.zUp = options.zUp;
    if (options.sizeMillimetres > 0.0) {
        // A first pass for the box; the records are read again to write them.
        Progress boxProgress = startProgress("measuring " + inputPath, reader.recordCount,
                                             reader.fileBytes);
        MeshSummary summary;
        const bool measured =
            summariseMesh(reader, summary, boxProgress, options.stopRequested, error);
        finishProgress(boxProgress);
        if (!measured) {
            return false;
        }
        if (summary.finiteVertexCount == 0 ||
            !scaleForSize(summary.boxMin, summary.boxMax, options.sizeMillimetres,
                          placement.scale)) {
            error = "cannot scale " + inputPath + " to a size: it has no extent";
            return false;
        }
        const std::string problem = placementProblem(summary.boxMin, summary.boxMax,
                                                     summary.smallestMagnitude, placement.scale);
        if (!problem.empty()) {
            error = sizeRefusal(inputPath, options.sizeMillimetres, problem);
            return false;
        }
        report.scale = placement.scale;
        if (!rewindRecordFile(reader, error)) {
            return false;
        }
    }
    AtomicOutput output;
    if (!createOutput(reader, outputPath, output, error)) {
        return false;
    }
    const int64_t passCount = format == MeshFormat::kStl ? 1 : 2;
    Progress progress = startProgress("converting " + inputPath + " to " + outputPath,
                                      passCount * reader.recordCount, reader.fileBytes);
    uint8_t firstRgb[3];
    standardRgb(firstRgb);
    const bool written =
        format == MeshFormat::kStl
            ? writeStl(reader, placement, output, progress, options, error)
            : writeShared(reader, format, output, progress, options, report, firstRgb, error);
    finishProgress(progress);
    return written && commitConverted(reader, format, firstRgb, output, error);
}
