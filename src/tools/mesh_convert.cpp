#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>

#include <unistd.h>

#include "tools/mesh_tool.h"

namespace {

constexpr size_t kStlHeaderBytes = 80;
constexpr size_t kStlFacetBytes = 50;
constexpr size_t kPlyVertexBytes = 15;
constexpr size_t kPlyFaceBytes = 13;
constexpr size_t kFirstVertexCapacity = 4096;
constexpr int64_t kMaxStlTriangles = 0xFFFFFFFFll;

// Must not begin with "solid": readers take that as the mark of the text form.
constexpr char kStlHeaderText[] = "binary STL written by quarnel-mesh";

// 64-bit finaliser of MurmurHash3: spreads the float bits so that nearby positions land far apart.
uint64_t mixBits(uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 33;
    return h;
}

uint64_t hashVertex(const Vec3f& v) {
    const uint64_t xy = (static_cast<uint64_t>(canonicalFloatBits(v.x)) << 32) |
                        canonicalFloatBits(v.y);
    return mixBits(xy ^ mixBits(canonicalFloatBits(v.z)));
}

uint64_t welderBytes(uint64_t vertexCapacity, uint64_t slotCount) {
    return vertexCapacity * sizeof(WeldedVertex) + slotCount * sizeof(uint32_t);
}

void insertSlot(std::vector<uint32_t>& slots, const Vec3f& position, uint32_t index) {
    const size_t mask = slots.size() - 1;
    size_t slot = static_cast<size_t>(hashVertex(position)) & mask;
    while (slots[slot] != kEmptySlot) {
        slot = (slot + 1) & mask;
    }
    slots[slot] = index;
}

// Doubles the table when it would pass half full; linear probing stays short below that.
bool growSlots(VertexWelder& welder) {
    const uint64_t newCount = welder.slots.empty() ? 2 * kFirstVertexCapacity
                                                   : 2 * static_cast<uint64_t>(welder.slots.size());
    // Old and new tables are both alive while the indices move across.
    const uint64_t peak = welderBytes(welder.vertices.capacity(), welder.slots.size() + newCount);
    if (peak > welder.memoryLimitBytes) {
        return false;
    }
    std::vector<uint32_t> slots(static_cast<size_t>(newCount), kEmptySlot);
    for (size_t i = 0; i < welder.vertices.size(); ++i) {
        insertSlot(slots, welder.vertices[i].position, static_cast<uint32_t>(i));
    }
    welder.slots.swap(slots);
    return true;
}

bool growVertices(VertexWelder& welder) {
    const uint64_t oldCapacity = welder.vertices.capacity();
    const uint64_t newCapacity = oldCapacity == 0 ? kFirstVertexCapacity : 2 * oldCapacity;
    const uint64_t peak = welderBytes(oldCapacity + newCapacity, welder.slots.size());
    if (peak > welder.memoryLimitBytes) {
        return false;
    }
    welder.vertices.reserve(static_cast<size_t>(newCapacity));
    return true;
}

uint64_t defaultWeldMemoryLimit() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageBytes = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageBytes <= 0) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(pages) / 4 * 3 * static_cast<uint64_t>(pageBytes);
}

bool writeStl(RecordReader& reader, PendingOutput& output, Progress& progress,
              const ConvertOptions& options, std::string& error) {
    char header[kStlHeaderBytes + 4] = {};
    std::memcpy(header, kStlHeaderText, sizeof kStlHeaderText - 1);
    const uint32_t triangleCount = static_cast<uint32_t>(reader.recordCount);
    std::memcpy(header + kStlHeaderBytes, &triangleCount, 4);
    writeOutput(output, header, sizeof header);

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
            writeOutput(output, facets.data(), static_cast<size_t>(facet - facets.data()));
            if (!output.error.empty()) {
                error = output.error;
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

// Pass over the records that welds every vertex, in file order.
bool weldAll(RecordReader& reader, VertexWelder& welder, Progress& progress,
             const ConvertOptions& options, std::string& error) {
    return forEachRecordChunk(
        reader, progress, 0, options.stopRequested, error,
        [&](const TriangleRecord* records, int64_t count) {
            for (int64_t i = 0; i < count; ++i) {
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

void writePlyHeader(PendingOutput& output, int64_t vertexCount, int64_t faceCount) {
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
    writeOutput(output, header.data(), header.size());
}

void writePlyVertices(PendingOutput& output, const VertexWelder& welder) {
    char bytes[kPlyVertexBytes];
    for (const WeldedVertex& vertex : welder.vertices) {
        std::memcpy(bytes, &vertex.position, 12);
        std::memcpy(bytes + 12, vertex.rgb, 3);
        writeOutput(output, bytes, sizeof bytes);
    }
}

char* appendFloat(char* text, char* end, float value) {
    return std::to_chars(text, end, value).ptr;
}

void writeObjVertices(PendingOutput& output, const VertexWelder& welder,
                      const std::string& inputPath, int64_t faceCount) {
    const std::string header = "# written by quarnel-mesh from " + inputPath + ": " +
                               std::to_string(welder.vertices.size()) + " vertices, " +
                               std::to_string(faceCount) + " faces\n";
    writeOutput(output, header.data(), header.size());
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
        writeOutput(output, line, static_cast<size_t>(next - line));
    }
}

// Second pass: every vertex is already in the table, so weldVertex only looks it up; a new one
// means the file changed under us and the header's count would be wrong.
bool writeFaces(RecordReader& reader, MeshFormat format, VertexWelder& welder,
                int64_t vertexCount, PendingOutput& output, Progress& progress,
                const ConvertOptions& options, std::string& error) {
    if (!rewindRecordFile(reader, error)) {
        return false;
    }
    return forEachRecordChunk(
        reader, progress, reader.recordCount, options.stopRequested, error,
        [&](const TriangleRecord* records, int64_t count) {
            for (int64_t i = 0; i < count; ++i) {
                const TriangleRecord& record = records[i];
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
                    writeOutput(output, face, sizeof face);
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
                    writeOutput(output, line, static_cast<size_t>(next - line));
                }
            }
            if (!output.error.empty()) {
                error = output.error;
                return false;
            }
            return true;
        });
}

bool writeShared(RecordReader& reader, MeshFormat format, PendingOutput& output,
                 Progress& progress, const ConvertOptions& options, std::string& error) {
    VertexWelder welder;
    welder.memoryLimitBytes = options.weldMemoryLimitBytes != 0 ? options.weldMemoryLimitBytes
                                                                : defaultWeldMemoryLimit();
    if (!weldAll(reader, welder, progress, options, error)) {
        return false;
    }
    const int64_t vertexCount = static_cast<int64_t>(welder.vertices.size());
    if (format == MeshFormat::kPly) {
        writePlyHeader(output, vertexCount, reader.recordCount);
        writePlyVertices(output, welder);
    } else {
        writeObjVertices(output, welder, reader.path, reader.recordCount);
    }
    return writeFaces(reader, format, welder, vertexCount, output, progress, options, error);
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

MeshFormat formatFromPath(const std::string& path) {
    const std::string lower = lowerCase(path);
    if (endsWith(lower, ".stl")) {
        return MeshFormat::kStl;
    }
    if (endsWith(lower, ".ply")) {
        return MeshFormat::kPly;
    }
    if (endsWith(lower, ".obj")) {
        return MeshFormat::kObj;
    }
    return MeshFormat::kUnknown;
}

Vec3f facetNormal(const TriangleRecord& record) {
    const Vec3f* v = record.vertices;
    const double ax = static_cast<double>(v[1].x) - v[0].x;
    const double ay = static_cast<double>(v[1].y) - v[0].y;
    const double az = static_cast<double>(v[1].z) - v[0].z;
    const double bx = static_cast<double>(v[2].x) - v[0].x;
    const double by = static_cast<double>(v[2].y) - v[0].y;
    const double bz = static_cast<double>(v[2].z) - v[0].z;
    const double nx = ay * bz - az * by;
    const double ny = az * bx - ax * bz;
    const double nz = ax * by - ay * bx;
    const double length = std::sqrt(nx * nx + ny * ny + nz * nz);
    // Zero length, or inf/NaN from non-finite or huge vertices: no direction to give.
    if (!(length > 0.0) || !std::isfinite(length)) {
        return {0.0f, 0.0f, 0.0f};
    }
    return {static_cast<float>(nx / length), static_cast<float>(ny / length),
            static_cast<float>(nz / length)};
}

uint8_t colorByte(float component) {
    if (!(component > 0.0f)) {
        return 0;
    }
    if (component >= 1.0f) {
        return 255;
    }
    return static_cast<uint8_t>(std::lround(static_cast<double>(component) * 255.0));
}

int64_t weldVertex(VertexWelder& welder, const Vec3f& position, const Vec3f& color) {
    if (!welder.slots.empty()) {
        const size_t mask = welder.slots.size() - 1;
        size_t slot = static_cast<size_t>(hashVertex(position)) & mask;
        for (;;) {
            const uint32_t index = welder.slots[slot];
            if (index == kEmptySlot) {
                break;
            }
            if (sameVertex(welder.vertices[index].position, position)) {
                return index;
            }
            slot = (slot + 1) & mask;
        }
    }
    // kEmptySlot is the one index a vertex may not take.
    if (welder.vertices.size() >= kEmptySlot) {
        return kWeldTooManyVertices;
    }
    try {
        if (2 * (welder.vertices.size() + 1) > welder.slots.size() && !growSlots(welder)) {
            return kWeldOutOfMemory;
        }
        if (welder.vertices.size() == welder.vertices.capacity() && !growVertices(welder)) {
            return kWeldOutOfMemory;
        }
    } catch (const std::bad_alloc&) {
        return kWeldOutOfMemory;
    }
    const uint32_t index = static_cast<uint32_t>(welder.vertices.size());
    WeldedVertex vertex;
    vertex.position = position;
    vertex.rgb[0] = colorByte(color.x);
    vertex.rgb[1] = colorByte(color.y);
    vertex.rgb[2] = colorByte(color.z);
    welder.vertices.push_back(vertex);
    insertSlot(welder.slots, position, index);
    return index;
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
    PendingOutput output;
    if (!createOutput(outputPath, output, error)) {
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
