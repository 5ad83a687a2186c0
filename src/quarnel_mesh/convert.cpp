#include <charconv>
#include <cmath>
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

uint64_t defaultWeldMemoryLimit() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageBytes = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageBytes <= 0) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(pages) / 4 * 3 * static_cast<uint64_t>(pageBytes);
}

bool writeStl(RecordReader& reader, AtomicOutput& output, Progress& progress,
              const ConvertOptions& options, std::string& error) {
    char header[kStlHeaderBytes + 4] = {};
    std::memcpy(header, kStlHeaderText, sizeof kStlHeaderText - 1);
    const uint32_t triangleCount = static_cast<uint32_t>(reader.recordCount);
    std::memcpy(header + kStlHeaderBytes, &triangleCount, 4);
    writeAtomicOutput(output, header, sizeof header);

    std::vector<char> facets(reader.chunk.size() * kStlFacetBytes);
    return forEachRecordChunk(
        reader, progress, 0, options.stopRequested, error,
        [&](const TriangleRecord* records, int64_t count) {
            char* facet = facets.data();
            for (int64_t i = 0; i < count; ++i) {
                const TriangleRecord& record = records[i];
                const Vec3f normal = facetNormal(record);
                const uint16_t attribute = 0;
                std::memcpy(facet, &normal, 12);
                std::memcpy(facet + 12, record.vertices, 36);
                std::memcpy(facet + 48, &attribute, 2);
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

std::string weldFailure(int64_t result, const std::string& inputPath, const VertexWelder& welder) {
    if (result == kWeldTooManyVertices) {
        return inputPath + " has more than 4294967295 distinct vertices, too many for 32-bit "
                           "indices; convert to .stl instead, which does not share vertices";
    }
    return "not enough memory to share the vertices of " + inputPath + " (" +
           std::to_string(welder.vertices.size()) +
           " distinct vertices so far); convert to .stl instead, which does not share vertices";
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
                        error = weldFailure(index, reader.path, welder);
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

void writePlyVertices(AtomicOutput& output, const VertexWelder& welder) {
    char bytes[kPlyVertexBytes];
    for (const WeldedVertex& vertex : welder.vertices) {
        std::memcpy(bytes, &vertex.position, 12);
        std::memcpy(bytes + 12, vertex.rgb, 3);
        writeAtomicOutput(output, bytes, sizeof bytes);
    }
}

char* appendFloat(char* text, char* end, float value) {
    return std::to_chars(text, end, value).ptr;
}

void writeObjVertices(AtomicOutput& output, const VertexWelder& welder,
                      const std::string& inputPath, int64_t faceCount) {
    const std::string header = "# written by quarnel-mesh from " + inputPath + ": " +
                               std::to_string(welder.vertices.size()) + " vertices, " +
                               std::to_string(faceCount) + " faces\n";
    writeAtomicOutput(output, header.data(), header.size());
    char line[128];
    char* const end = line + sizeof line;
    for (const WeldedVertex& vertex : welder.vertices) {
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
                if (format == MeshFormat::kPly) {
                    char face[kPlyFaceBytes];
                    face[0] = 3;
                    for (int v = 0; v < 3; ++v) {
                        const uint32_t index = static_cast<uint32_t>(indices[v]);
                        std::memcpy(face + 1 + 4 * v, &index, 4);
                    }
                    writeAtomicOutput(output, face, sizeof face);
                } else {
                    char line[80];
                    char* const end = line + sizeof line;
                    char* next = line;
                    *next++ = 'f';
                    for (int v = 0; v < 3; ++v) {
                        *next++ = ' ';
                        next = std::to_chars(next, end, indices[v] + 1).ptr;  // OBJ counts from 1
                    }
                    *next++ = '\n';
                    writeAtomicOutput(output, line, static_cast<size_t>(next - line));
                }
            }
            if (output.failure != OutputFailure::kNone) {
                error = describeOutputFailure(output);
                return false;
            }
            return true;
        });
}

bool writeShared(RecordReader& reader, MeshFormat format, AtomicOutput& output,
                 Progress& progress, const ConvertOptions& options, std::string& error) {
    VertexWelder welder;
    welder.memoryLimitBytes = options.weldMemoryLimitBytes != 0 ? options.weldMemoryLimitBytes
                                                                : defaultWeldMemoryLimit();
    int64_t nonFiniteCount = 0;
    if (!weldAll(reader, welder, nonFiniteCount, progress, options, error)) {
        return false;
    }
    if (nonFiniteCount > 0) {
        std::fprintf(stderr, "quarnel-mesh: left out %lld %s with a non-finite vertex\n",
                     static_cast<long long>(nonFiniteCount),
                     nonFiniteCount == 1 ? "triangle" : "triangles");
    }
    const int64_t vertexCount = static_cast<int64_t>(welder.vertices.size());
    const int64_t faceCount = reader.recordCount - nonFiniteCount;
    if (format == MeshFormat::kPly) {
        writePlyHeader(output, vertexCount, faceCount);
        writePlyVertices(output, welder);
    } else {
        writeObjVertices(output, welder, reader.path, faceCount);
    }
    return writeFaces(reader, format, welder, vertexCount, output, progress, options, error);
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
    return MeshFormat::kUnknown;
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
                 const ConvertOptions& options, std::string& error) {
    const MeshFormat format = formatFromPath(outputPath);
    if (format == MeshFormat::kUnknown) {
        error = "cannot tell the format of " + outputPath + ": name it .stl, .ply or .obj";
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
    AtomicOutput output;
    if (!createOutput(reader, outputPath, output, error)) {
        return false;
    }
    const int64_t passCount = format == MeshFormat::kStl ? 1 : 2;
    Progress progress = startProgress("converting " + inputPath + " to " + outputPath,
                                      passCount * reader.recordCount, reader.fileBytes);
    const bool written = format == MeshFormat::kStl
                             ? writeStl(reader, output, progress, options, error)
                             : writeShared(reader, format, output, progress, options, error);
    finishProgress(progress);
    return written && commitOutput(output, error);
}
