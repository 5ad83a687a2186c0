// 3MF: an Open Packaging zip of three parts, the content types, the package relationships and
// the model XML, which holds one mesh object in millimetres with a base material of the record
// colour, and one build item, which stands the object on the build plate. The model's vertices must come before its triangles while a sweep
// hands them on interleaved, so each list is deflated into its own scratch file beside the
// output, and the model part is three deflate segments in a row: its head (known last, as it
// names the colour and the object's identifier), the vertices, the triangles with the tail.
#include "quarnel_mesh/formats/threemf.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>

#include "common/process_setup.h"
#include "quarnel_mesh/formats/zip_package.h"
#include "quarnel_mesh/model/vertex_welder.h"
#include "quarnel_mesh/util/scratch_file.h"
#include "quarnel_mesh/util/text.h"

namespace {

// Readers refuse any coordinate beyond a billion millimetres.
constexpr float kMaxThreeMfCoordinate = 1e9f;

// Where the build item puts the middle of the object: the middle of a 200 mm plate. 3MF's build
// coordinates start at the plate's corner, and slicers that honour them (Cura) would otherwise
// show an object centred on the origin half below the plate, at its corner.
constexpr double kPlateMiddleMillimetres = 100.0;

// Vertices or triangles between two looks at the stop flag: a few milliseconds of text.
constexpr int64_t kStopCheckCount = 65536;

constexpr char kContentTypes[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">\n"
    " <Default Extension=\"rels\" "
    "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>\n"
    " <Default Extension=\"model\" "
    "ContentType=\"application/vnd.ms-package.3dmanufacturing-3dmodel+xml\"/>\n"
    "</Types>\n";

constexpr char kRelationships[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">\n"
    " <Relationship Target=\"/3D/3dmodel.model\" Id=\"rel0\" "
    "Type=\"http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel\"/>\n"
    "</Relationships>\n";

constexpr char kTrianglesOpen[] = "    </vertices>\n    <triangles>\n";

// Identifiers derived from the geometry, so that the same mesh gives the same bytes and
// different meshes different identifiers. Shaped as version-4 UUIDs, which readers expect.
std::string geometryUuid(uint64_t geometryHash, uint64_t salt) {
    const uint64_t high = mixBits(geometryHash ^ salt);
    const uint64_t low = mixBits(high + 0x9E3779B97F4A7C15ull * (salt + 1));
    char text[40];
    std::snprintf(text, sizeof text, "%08llx-%04llx-4%03llx-%04llx-%012llx",
                  static_cast<unsigned long long>(high >> 32),
                  static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(high & 0xFFF),
                  static_cast<unsigned long long>(0x8000 | ((low >> 48) & 0x3FFF)),
                  static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
    return text;
}

// Empty, or the refusal of a mesh whose largest |coordinate| is `largest`.
std::string coordinateProblem(float largest) {
    if (!(largest > kMaxThreeMfCoordinate)) {
        return "";
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "3MF holds coordinates up to 1e+09 mm and this mesh reaches %.3g; give a "
                  "smaller --size", static_cast<double>(largest));
    return text;
}

// The two lists as the sweep hands them on, each deflated into its own scratch file.
struct ThreeMfLists {
    Placement placement;
    std::string outputPath;
    ScratchFile vertexFile;
    ScratchFile triangleFile;
    DeflateSegment vertexText;
    DeflateSegment triangleText;
    int64_t triangleCount = 0;  // written: three different vertices
    int64_t degenerateDropped = 0;
    Vec3f boxMin{INFINITY, INFINITY, INFINITY};  // of the vertices written
    Vec3f boxMax{-INFINITY, -INFINITY, -INFINITY};
};

bool stopWanted(std::string& error) {
    if (stopWasRequested()) {
        error = "interrupted";
        return true;
    }
    return false;
}

// A failed scratch file fails the output: "cannot write OUT: reason".
bool scratchFailed(const ThreeMfLists& lists, std::string& error) {
    for (const ScratchFile* file : {&lists.vertexFile, &lists.triangleFile}) {
        if (file->errorNumber != 0) {
            error = "cannot write " + lists.outputPath + ": " + std::strerror(file->errorNumber);
            return true;
        }
    }
    return false;
}

char* appendText(char* at, const char* text) {
    const std::size_t length = std::strlen(text);
    std::memcpy(at, text, length);
    return at + length;
}

// Shortest round trip: a reader parsing the decimal gets the float back, bit for bit.
char* appendFloat(char* at, float value) {
    return std::to_chars(at, at + 16, value).ptr;
}

char* appendIndex(char* at, uint32_t value) {
    return std::to_chars(at, at + 10, value).ptr;
}

bool takeVertices(ThreeMfLists& lists, const WeldedVertex* vertices, int64_t count,
                  std::string& error) {
    const bool identity = isIdentity(lists.placement);
    char line[96];  // three floats of at most 15 characters each and the markup
    for (int64_t v = 0; v < count; ++v) {
        if (v % kStopCheckCount == kStopCheckCount - 1 && stopWanted(error)) {
            return false;
        }
        const Vec3f p = identity ? vertices[v].position
                                 : placeVertex(vertices[v].position, lists.placement);
        lists.boxMin = {std::fmin(lists.boxMin.x, p.x), std::fmin(lists.boxMin.y, p.y),
                        std::fmin(lists.boxMin.z, p.z)};
        lists.boxMax = {std::fmax(lists.boxMax.x, p.x), std::fmax(lists.boxMax.y, p.y),
                        std::fmax(lists.boxMax.z, p.z)};
        char* at = appendText(line, "<vertex x=\"");
        at = appendFloat(at, p.x);
        at = appendText(at, "\" y=\"");
        at = appendFloat(at, p.y);
        at = appendText(at, "\" z=\"");
        at = appendFloat(at, p.z);
        at = appendText(at, "\"/>\n");
        deflateBytes(lists.vertexText, line, static_cast<std::size_t>(at - line));
    }
    return !scratchFailed(lists, error);
}

bool takeTriangles(ThreeMfLists& lists, const SweepTriangles& triangles, std::string& error) {
    char line[80];  // three indices of at most 10 digits each and the markup
    for (int64_t t = 0; t < triangles.triangleCount; ++t) {
        if (t % kStopCheckCount == kStopCheckCount - 1 && stopWanted(error)) {
            return false;
        }
        const uint32_t* corners = &triangles.indices[3 * t];
        if (corners[0] == corners[1] || corners[1] == corners[2] || corners[2] == corners[0]) {
            ++lists.degenerateDropped;
            continue;
        }
        char* at = appendText(line, "<triangle v1=\"");
        at = appendIndex(at, corners[0]);
        at = appendText(at, "\" v2=\"");
        at = appendIndex(at, corners[1]);
        at = appendText(at, "\" v3=\"");
        at = appendIndex(at, corners[2]);
        at = appendText(at, "\"/>\n");
        deflateBytes(lists.triangleText, line, static_cast<std::size_t>(at - line));
        ++lists.triangleCount;
    }
    return !scratchFailed(lists, error);
}

std::string modelHead(const std::string& title, const Vec3f& color, const std::string& uuid) {
    char displayColor[8];
    std::snprintf(displayColor, sizeof displayColor, "#%02X%02X%02X", colorByte(color.x),
                  colorByte(color.y), colorByte(color.z));
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<model unit=\"millimeter\" xml:lang=\"en-US\" "
           "xmlns=\"http://schemas.microsoft.com/3dmanufacturing/core/2015/02\" "
           "xmlns:p=\"http://schemas.microsoft.com/3dmanufacturing/production/2015/06\">\n"
           " <metadata name=\"Title\">" + title + "</metadata>\n"
           " <metadata name=\"Application\">quarnel-mesh " + std::string(kMeshToolVersion) +
           "</metadata>\n"
           " <resources>\n"
           "  <basematerials id=\"1\">\n"
           "   <base name=\"quarnel\" displaycolor=\"" + std::string(displayColor) + "\"/>\n"
           "  </basematerials>\n"
           "  <object id=\"2\" name=\"quarnel\" type=\"model\" p:UUID=\"" + uuid +
           "\" pid=\"1\" pindex=\"0\">\n"
           "   <mesh>\n"
           "    <vertices>\n";
}

// The build item's transform: a translation that puts the lowest vertex on the plate (z = 0) and
// the middle of the box over the plate's middle.
std::string plateTransform(const Vec3f& boxMin, const Vec3f& boxMax) {
    const double offsets[3] = {
        kPlateMiddleMillimetres - (static_cast<double>(boxMin.x) + boxMax.x) / 2.0,
        kPlateMiddleMillimetres - (static_cast<double>(boxMin.y) + boxMax.y) / 2.0,
        -static_cast<double>(boxMin.z)};
    std::string transform = "1 0 0 0 1 0 0 0 1";
    for (const double offset : offsets) {
        char number[32];
        // Shortest round trip of the float a reader holds the offset in; -0 would read the same.
        const float value = static_cast<float>(offset) + 0.0f;
        transform += ' ';
        transform.append(number, std::to_chars(number, number + sizeof number, value).ptr);
    }
    return transform;
}

std::string modelTail(const std::string& buildUuid, const std::string& itemUuid,
                      const std::string& transform) {
    return "    </triangles>\n"
           "   </mesh>\n"
           "  </object>\n"
           " </resources>\n"
           " <build p:UUID=\"" + buildUuid + "\">\n"
           "  <item objectid=\"2\" p:UUID=\"" + itemUuid + "\" transform=\"" + transform +
           "\"/>\n"
           " </build>\n"
           "</model>\n";
}

// A small part deflated whole into memory.
bool deflatePart(DeflateSegment& segment, const std::string& text) {
    if (!startDeflateSegment(segment, nullptr)) {
        return false;
    }
    deflateBytes(segment, text.data(), text.size());
    endDeflateSegment(segment, true);
    return true;
}

const char kNoMemory[] = "not enough memory for the 3MF package";

// The package of what `sweep` hands on, each position placed by `placement`. The copy into the
// output calls `onCopied` with the share of the model copied so far.
bool writeThreeMfPackage(const SweepPass& sweep, const Placement& placement,
                         const std::string& sourceName, AtomicOutput& output,
                         const std::function<void(double share)>& onCopied,
                         int64_t& degenerateDropped, std::string& error) {
    ThreeMfLists lists;
    lists.placement = placement;
    lists.outputPath = output.finalPath;
    degenerateDropped = 0;
    if (!openScratchFile(output, lists.vertexFile) ||
        !openScratchFile(output, lists.triangleFile)) {
        scratchFailed(lists, error);
        return false;
    }
    if (!startDeflateSegment(lists.vertexText, &lists.vertexFile) ||
        !startDeflateSegment(lists.triangleText, &lists.triangleFile)) {
        error = kNoMemory;
        return false;
    }
    deflateBytes(lists.triangleText, kTrianglesOpen, sizeof kTrianglesOpen - 1);
    SweepConsumer consumer;
    consumer.onTriangles = [&lists](const SweepTriangles& triangles, std::string& partError) {
        return takeTriangles(lists, triangles, partError);
    };
    consumer.onVertices = [&lists](const WeldedVertex* vertices, int64_t count, int64_t,
                                   std::string& partError) {
        return takeVertices(lists, vertices, count, partError);
    };
    SweepResult result;
    if (!sweep(consumer, result, error)) {
        return false;
    }
    degenerateDropped = lists.degenerateDropped;
    if (lists.triangleCount == 0) {
        error = "no triangle with three different vertices is left to write";
        return false;
    }
    // The identifiers come from the CRCs of the two lists, which the zip needs anyway: the
    // geometry at no extra pass.
    endDeflateSegment(lists.vertexText, false);
    drainDeflateSegment(lists.triangleText);
    const uint64_t geometryHash =
        mixBits((static_cast<uint64_t>(lists.vertexText.crc) << 32 | lists.triangleText.crc) ^
                mixBits(lists.vertexText.inBytes ^ (lists.triangleText.inBytes << 20)));
    const std::string tail = modelTail(geometryUuid(geometryHash, 3), geometryUuid(geometryHash, 2),
                                       plateTransform(lists.boxMin, lists.boxMax));
    deflateBytes(lists.triangleText, tail.data(), tail.size());
    endDeflateSegment(lists.triangleText, true);
    if (scratchFailed(lists, error)) {
        return false;
    }
    DeflateSegment head;
    DeflateSegment contentTypes;
    DeflateSegment relationships;
    if (!startDeflateSegment(head, nullptr) || !deflatePart(contentTypes, kContentTypes) ||
        !deflatePart(relationships, kRelationships)) {
        error = kNoMemory;
        return false;
    }
    const std::string headText =
        modelHead(xmlText(sourceName), result.color, geometryUuid(geometryHash, 1));
    deflateBytes(head, headText.data(), headText.size());
    endDeflateSegment(head, false);
    const double modelBytes = static_cast<double>(lists.vertexText.outBytes +
                                                  lists.triangleText.outBytes);
    return writeZipPackage({{"[Content_Types].xml", {&contentTypes}},
                            {"_rels/.rels", {&relationships}},
                            {"3D/3dmodel.model", {&head, &lists.vertexText, &lists.triangleText}}},
                           output,
                           [&](uint64_t copiedBytes) {
                               if (onCopied) {
                                   onCopied(static_cast<double>(copiedBytes) / modelBytes);
                               }
                           },
                           error);
}

}  // namespace

bool writeThreeMfFile(const MeshSource& source, const Placement& placement,
                      const WriteOptions& options, AtomicOutput& output, RunContext& run) {
    // Placing is monotonic in each coordinate, so the placed box's corners hold the largest
    // placed |coordinate| of every vertex a sweep hands on: refused before any work. A mesh in
    // memory comes placed.
    float largest = 0.0f;
    if (source.mesh != nullptr) {
        for (const WeldedVertex& vertex : source.mesh->vertices) {
            const Vec3f& p = vertex.position;
            largest = std::fmax(
                largest, std::fmax(std::fabs(p.x), std::fmax(std::fabs(p.y), std::fabs(p.z))));
        }
    } else if (source.plan->finiteTriangleCount > 0) {
        for (const Vec3f& corner : {source.plan->boxMin, source.plan->boxMax}) {
            const Vec3f p = placeVertex(corner, placement);
            largest = std::fmax(largest, std::fmax(std::fabs(p.x),
                                                   std::fmax(std::fabs(p.y), std::fabs(p.z))));
        }
    }
    run.error = coordinateProblem(largest);
    if (!run.error.empty()) {
        return false;
    }
    const int64_t copyStart = run.doneUnits + unitsPerPass(source);
    const double copyUnits = static_cast<double>(unitsPerPass(source));
    std::function<void(double)> onCopied;
    if (source.mesh == nullptr) {
        onCopied = [&run, copyStart, copyUnits](double share) {
            advanceProgress(run.progress, copyStart + static_cast<int64_t>(share * copyUnits));
        };
    }
    return writeThreeMfPackage(sweepPassOf(source, run), placement, options.sourceName, output,
                               onCopied, run.degenerateDropped, run.error);
}
