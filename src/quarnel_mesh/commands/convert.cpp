#include "quarnel_mesh/commands/convert.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/process_setup.h"
#include "quarnel_mesh/edit/placement.h"
#include "quarnel_mesh/formats/format.h"
#include "quarnel_mesh/formats/glb.h"
#include "quarnel_mesh/formats/obj.h"
#include "quarnel_mesh/formats/ply.h"
#include "quarnel_mesh/formats/shared_vertices.h"
#include "quarnel_mesh/formats/stl.h"
#include "quarnel_mesh/formats/threemf.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/summary.h"
#include "quarnel_mesh/model/sweep_weld.h"
#include "quarnel_mesh/util/memory.h"
#include "quarnel_mesh/util/output_file.h"
#include "quarnel_mesh/util/scratch_file.h"
#include "quarnel_mesh/util/text.h"

namespace {

// Commits the output of `format`, with what belongs beside it; `firstRgb`: the colour of the
// first vertex.
bool commitConverted(MeshFormat format, const uint8_t firstRgb[3], AtomicOutput& output,
                     std::string& error) {
    if (format == MeshFormat::kObj) {
        return commitObjWithMaterial(output, firstRgb, error);
    }
    return commitOutput(output, error);
}

bool edits(const ConvertOptions& options) {
    return options.simplifyRatio < 1.0 || options.dropIslandFaces > 0 || options.keepBodyOnly;
}

std::string nothingLeftRefusal(const std::string& outputPath) {
    return "no triangles left to write to " + outputPath;
}

// The standard colour as 8-bit components, for a mesh without vertices.
void standardRgb(uint8_t rgb[3]) {
    rgb[0] = colorByte(kTriangleColor.x);
    rgb[1] = colorByte(kTriangleColor.y);
    rgb[2] = colorByte(kTriangleColor.z);
}

// A long step that has no progress of its own (inside a library, or a pass over the whole mesh in
// memory) shows its name at 0% until it is done, so the last line shown is never a stale
// "reading: 100%".
struct StepLine {
    Progress progress;
    StepLine(const std::string& label, int64_t inputBytes)
        : progress(startProgress(label, 1, inputBytes)) {
        advanceProgress(progress, 0);
    }
    ~StepLine() {
        advanceProgress(progress, 1);
        finishProgress(progress);
    }
};

bool stopped(std::string& error) {
    if (stopWasRequested()) {
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
    switch (format) {
    case MeshFormat::kGlb:
        return writeGlb(mesh, {options.smoothNormals, options.compress, sourceName}, output,
                        error);
    case MeshFormat::kThreeMf:
        return writeThreeMf(mesh, sourceName, output, report.degenerateDropped, error);
    case MeshFormat::kStl:
        return writeStlMesh(mesh, output, error);
    case MeshFormat::kPly:
        return writePlyMesh(mesh, output, error);
    case MeshFormat::kObj:
        return writeObjMesh(mesh, output, error);
    case MeshFormat::kUnknown:
        break;
    }
    return false;
}

// The turn and scale `options` ask of `format` for a mesh whose used vertices span the box
// (`hasVertices` false: none): 3MF is z-up by definition and gets a printable size unless told
// otherwise, glTF's unit is the metre. False with `error` set when the size cannot be given.
bool choosePlacement(const std::string& inputPath, MeshFormat format, bool hasVertices,
                     const Vec3f& boxMin, const Vec3f& boxMax, double smallestMagnitude,
                     const ConvertOptions& options, Placement& placement, ConvertReport& report,
                     std::string& error) {
    placement = Placement();
    // Slicers print what they are given: the fractal's axis (y) always becomes z in a 3MF.
    placement.zUp = options.zUp || format == MeshFormat::kThreeMf;
    double sizeMillimetres = options.sizeMillimetres;
    if (format == MeshFormat::kThreeMf && sizeMillimetres == 0.0) {
        sizeMillimetres = kDefaultThreeMfSizeMillimetres;
        report.scaleNote = " (to 100 mm, the default size of a 3MF; --size sets another)";
    }
    if (sizeMillimetres == 0.0) {
        return true;
    }
    if (!hasVertices || !scaleForSize(boxMin, boxMax, sizeMillimetres, placement.scale)) {
        error = "cannot scale " + inputPath + " to a size: it has no extent";
        return false;
    }
    if (format == MeshFormat::kGlb) {
        // A size in millimetres is written as MM / 1000.
        placement.scale /= 1000.0;
        report.scaleNote = " (millimetres as metres, glTF's unit)";
    }
    const std::string problem =
        placementProblem(boxMin, boxMax, smallestMagnitude, placement.scale);
    if (!problem.empty()) {
        error = sizeRefusal(inputPath, sizeMillimetres, problem);
        return false;
    }
    report.scale = placement.scale;
    return true;
}

// Turns and scales the edited mesh as asked, then writes and commits it.
bool placeAndWrite(const RecordReader& reader, IndexedMesh& mesh, MeshFormat format,
                   const std::string& outputPath, const ConvertOptions& options,
                   AtomicOutput& output, ConvertReport& report, std::string& error) {
    // Only an edit gets here: one that leaves nothing is refused in every format.
    if (mesh.indices.empty()) {
        error = nothingLeftRefusal(outputPath);
        return false;
    }
    Vec3f boxMin, boxMax;
    double smallestMagnitude = HUGE_VAL;
    const bool hasVertices = usedVertexBox(mesh, boxMin, boxMax, smallestMagnitude);
    Placement placement;
    if (!choosePlacement(reader.path, format, hasVertices, boxMin, boxMax, smallestMagnitude,
                         options, placement, report, error)) {
        return false;
    }
    if (!isIdentity(placement)) {
        for (WeldedVertex& vertex : mesh.vertices) {
            vertex.position = placeVertex(vertex.position, placement);
        }
    }
    if (stopped(error)) {
        return false;
    }
    uint8_t firstRgb[3];
    standardRgb(firstRgb);
    if (!mesh.vertices.empty()) {
        std::memcpy(firstRgb, mesh.vertices[0].rgb, 3);
    }
    bool written = false;
    {
        const StepLine step("writing " + outputPath, reader.fileBytes);
        written = writeIndexed(mesh, format, fileNameOf(reader.path), options, output, report,
                               error);
    }
    return written && commitConverted(format, firstRgb, output, error);
}

// What the simplifier will need in memory (see simplifyRecordsMemoryBytes), refused before any
// work where that cannot fit.
bool fitsInMemory(const RecordReader& reader, const ConvertOptions& options, std::string& error) {
    uint64_t needed = 0;
    if (options.simplifyRatio < 1.0) {
        needed = simplifyRecordsMemoryBytes(reader.recordCount, options.simplifyRatio);
    }
    const uint64_t available = availableMemoryBytes();
    if (needed <= available) {
        return true;
    }
    error = "simplifying the " + std::to_string(reader.recordCount) + " triangles of " +
            reader.path + " needs about " + formatBytes(needed) + " of memory and " +
            formatBytes(available) + " is available; give a smaller ratio";
    return false;
}

// STL, PLY, OBJ, glb and 3MF straight from the records: a pass for the box (STL, when a
// size is asked) or the plan (the indexed formats), then the format's own passes.
bool convertStreamed(RecordReader& reader, MeshFormat format, const std::string& outputPath,
                     const ConvertOptions& options, AtomicOutput& output, ConvertReport& report,
                     std::string& error) {
    // An edit hands on only finite triangles: none left is refused in every format.
    if (edits(options) && reader.recordCount == 0) {
        error = nothingLeftRefusal(outputPath);
        return false;
    }
    const bool measures = format == MeshFormat::kStl && options.sizeMillimetres > 0.0;
    const int64_t passCount = format == MeshFormat::kStl   ? (measures ? 2 : 1)
                              : format == MeshFormat::kGlb ? 1 + kGlbStreamPassCount
                              : format == MeshFormat::kThreeMf ? 1 + kThreeMfStreamPassCount
                                                               : 1 + kSharedStreamPassCount;
    Progress progress = startProgress("converting " + reader.path + " to " + outputPath,
                                      passCount * reader.recordCount, reader.fileBytes);
    Placement placement;
    SweepPlan plan;
    bool placed = false;
    if (format == MeshFormat::kStl) {
        MeshSummary summary;
        placed = (!measures || summariseMesh(reader, summary, progress, error)) &&
                 choosePlacement(reader.path, format, summary.finiteVertexCount > 0, summary.boxMin,
                                 summary.boxMax, summary.smallestMagnitude, options, placement,
                                 report, error);
    } else {
        placed = planSweep(reader, plan, progress, 0, error);
        if (placed && plan.finiteTriangleCount == 0 &&
            (format == MeshFormat::kGlb || format == MeshFormat::kThreeMf)) {
            error = nothingLeftRefusal(outputPath);
            return false;
        }
        placed = placed && choosePlacement(reader.path, format, plan.finiteTriangleCount > 0,
                                           plan.boxMin, plan.boxMax, plan.smallestMagnitude,
                                           options, placement, report, error);
    }
    if (!placed) {
        return false;
    }
    const int64_t done = measures || format != MeshFormat::kStl ? reader.recordCount : 0;
    uint8_t firstRgb[3];
    standardRgb(firstRgb);
    int64_t nonFiniteDropped = 0;
    bool written = false;
    if (format == MeshFormat::kStl) {
        written = writeStlStream(reader, placement, output, progress, done, error);
    } else if (format == MeshFormat::kGlb) {
        written = writeGlbStream(reader, plan, placement,
                                 {options.smoothNormals, options.compress, fileNameOf(reader.path)},
                                 options.weldMemoryLimitBytes, output, progress, done,
                                 nonFiniteDropped, error);
    } else if (format == MeshFormat::kThreeMf) {
        written = writeThreeMfStream(reader, plan, placement, fileNameOf(reader.path),
                                     options.weldMemoryLimitBytes, output, progress, done,
                                     nonFiniteDropped, report.degenerateDropped, error);
    } else {
        written = writeSharedStream(reader, plan, placement, format, options.weldMemoryLimitBytes,
                                    output, progress, done, nonFiniteDropped, firstRgb, error);
    }
    finishProgress(progress);
    report.nonFiniteDropped += nonFiniteDropped;
    return written && commitConverted(format, firstRgb, output, error);
}

// The streamed simplifier on what the reader hands out, then the result placed and written. A
// result too large to hold is written as records to a scratch file beside the output (48 bytes
// a triangle on disk, none in memory) and converted from there as a file of its own.
bool convertSimplified(RecordReader& reader, MeshFormat format, const std::string& outputPath,
                       const ConvertOptions& options, AtomicOutput& output,
                       ConvertReport& report, std::string& error) {
    report.simplified = true;
    IndexedMesh mesh;
    ScratchFile spilled;
    const SimplifiedRecordSink sink = [&](const TriangleRecord* records, size_t count,
                                          std::string& failure) {
        if (spilled.fd < 0 && spilled.errorNumber == 0) {
            openScratchFile(output, spilled);
        }
        writeScratchFile(spilled, records, count * sizeof(TriangleRecord));
        if (spilled.errorNumber != 0) {
            failure = "cannot write " + outputPath + ": " + std::strerror(spilled.errorNumber);
            return false;
        }
        return true;
    };
    Progress progress = startProgress("simplifying " + reader.path,
                                      kSimplifyRecordsPassCount * reader.recordCount,
                                      reader.fileBytes);
    const bool simplified =
        simplifyRecords(reader, options.simplifyRatio, options.weldMemoryLimitBytes, mesh,
                        report.simplify, progress, &sink, error);
    finishProgress(progress);
    if (!simplified || stopped(error)) {
        return false;
    }
    report.nonFiniteDropped += mesh.nonFiniteTriangles;
    if (report.simplify.triangleCountBefore > 0 && report.simplify.triangleCountAfter == 0) {
        error = "nothing left after simplifying " + reader.path + " to " +
                formatShortestFloat(static_cast<float>(options.simplifyRatio)) +
                " of its triangles; give a larger ratio";
        return false;
    }
    if (!report.simplify.handedOn) {
        return placeAndWrite(reader, mesh, format, outputPath, options, output, report, error);
    }
    RecordReader result;
    if (!flushScratchFile(spilled)) {
        error = "cannot write " + outputPath + ": " + std::strerror(spilled.errorNumber);
        return false;
    }
    return openRecordDescriptor(spilled.fd, reader.path, result, error) &&
           convertStreamed(result, format, outputPath, options, output, report, error);
}

// An edit that is to be scaled (a 3MF, or --size) is refused before its work when the file has
// nothing to scale: no finite vertex, or all of them at one point. The reads stop at the first
// two finite vertices apart, in the first record of any real mesh.
bool hasExtentToEdit(RecordReader& reader, MeshFormat format, const std::string& outputPath,
                     const ConvertOptions& options, std::string& error) {
    if (!edits(options) || (format != MeshFormat::kThreeMf && options.sizeMillimetres == 0.0)) {
        return true;
    }
    if (!rewindRecordFile(reader, error)) {
        return false;
    }
    bool anyFinite = false;
    Vec3f first = {0.0f, 0.0f, 0.0f};
    for (int64_t count; (count = readRecordChunk(reader, error)) > 0;) {
        for (int64_t r = 0; r < count; ++r) {
            for (const Vec3f& v : reader.chunk[static_cast<size_t>(r)].vertices) {
                if (!isFinite(v)) {
                    continue;
                }
                if (anyFinite && (v.x != first.x || v.y != first.y || v.z != first.z)) {
                    return true;
                }
                first = anyFinite ? first : v;
                anyFinite = true;
            }
        }
        if (stopped(error)) {
            return false;
        }
    }
    if (error.empty()) {
        error = anyFinite ? "cannot scale " + reader.path + " to a size: it has no extent"
                          : nothingLeftRefusal(outputPath);
    }
    return false;
}

// --drop-islands and --body over sweeps of the file, leaving the reader handing out what they
// keep. False with `error` set when they fail or leave nothing.
bool filterPiecesOf(RecordReader& reader, const ConvertOptions& options, ConvertReport& report,
                    std::string& error) {
    PieceFilter filter;
    filter.minFaceCount = options.dropIslandFaces;
    filter.keepBody = options.keepBodyOnly;
    const int64_t recordCount = reader.recordCount;
    Progress progress = startProgress(
        std::string(filter.keepBody ? "finding the body of " : "finding the pieces of ") +
            reader.path,
        pieceFilterPassCount(filter) * recordCount, reader.fileBytes);
    const bool filtered = filterPieces(reader, filter, options.weldMemoryLimitBytes, report.islands,
                                       report.body, report.nonFiniteDropped, progress, error);
    finishProgress(progress);
    if (!filtered) {
        return false;
    }
    report.islandsChecked = filter.minFaceCount > 0;
    const bool hadTriangles = recordCount > report.nonFiniteDropped;
    if (report.islandsChecked && hadTriangles && reader.recordCount == 0) {
        error = "nothing left after dropping the pieces of fewer than " +
                std::to_string(options.dropIslandFaces) + " faces from " + reader.path +
                ": its largest piece has " +
                std::to_string(report.islands.largestPieceFaceCount) + " faces";
        return false;
    }
    report.bodyKept = filter.keepBody && hadTriangles;
    return !stopped(error);
}

}  // namespace

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
    // Sized for the whole file, as if no piece were dropped.
    if (!fitsInMemory(reader, options, error)) {
        return false;
    }
    AtomicOutput output;
    AtomicOutput material;  // an OBJ's, committed with it
    if (!createOutput(reader, outputPath, output, error) ||
        (format == MeshFormat::kObj && !createObjMaterial(reader, output, material, error)) ||
        !hasExtentToEdit(reader, format, outputPath, options, error)) {
        return false;
    }
    // Every step reads the file, or what the pieces' filter lets through, as a stream; only the
    // simplifier's result is held.
    if ((options.dropIslandFaces > 0 || options.keepBodyOnly) &&
        !filterPiecesOf(reader, options, report, error)) {
        return false;
    }
    if (options.simplifyRatio < 1.0) {
        return convertSimplified(reader, format, outputPath, options, output, report, error);
    }
    return convertStreamed(reader, format, outputPath, options, output, report, error);
}
