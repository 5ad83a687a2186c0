#include "quarnel_mesh/commands/convert.h"

#include <cmath>
#include <cstdio>
#include <cstring>

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
#include "quarnel_mesh/util/text.h"

namespace {

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
    switch (format) {
    case MeshFormat::kGlb:
        return writeGlb(mesh, {options.smoothNormals, options.compress, sourceName}, output,
                        error);
    case MeshFormat::kThreeMf:
        return writeThreeMf(mesh, sourceName, options.stopRequested, output,
                            report.degenerateDropped, error);
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

bool placeAndWrite(const RecordReader& reader, IndexedMesh& mesh, MeshFormat format,
                   const std::string& outputPath, const ConvertOptions& options,
                   AtomicOutput& output, ConvertReport& report, std::string& error);

// Load, drop islands, simplify, place, write: every step but the last in memory, or simplified
// while the file streams when that is the only edit.
bool convertInMemory(RecordReader& reader, MeshFormat format, const std::string& outputPath,
                     const ConvertOptions& options, ConvertReport& report, std::string& error) {
    const bool simplify = options.simplifyRatio < 1.0;
    // Only simplification streams: the pieces and the body need the whole mesh first.
    const bool streamed = simplify && options.dropIslandFaces == 0 && !options.keepBodyOnly;
    if (simplify) {
        // Streamed, what is held is the chunks' result, a little more than the ratio asks for.
        const double share = streamed ? chunkRatio(options.simplifyRatio) : 1.0;
        const uint64_t needed = static_cast<uint64_t>(
            share * static_cast<double>(reader.recordCount) *
            static_cast<double>(kLoadBytesPerTriangle + kSimplifyBytesPerTriangle));
        const uint64_t available = availableMemoryBytes();
        if (needed > available) {
            error = "simplifying the " + std::to_string(reader.recordCount) + " triangles of " +
                    reader.path + " needs about " + formatBytes(needed) + " of memory and " +
                    formatBytes(available) + " is available; " +
                    (streamed ? "give a smaller ratio" : "simplify a smaller preset");
            return false;
        }
    }
    AtomicOutput output;
    if (!createOutput(reader, outputPath, output, error)) {
        return false;
    }
    IndexedMesh mesh;
    if (streamed) {
        report.simplified = true;
        Progress progress =
            startProgress("simplifying " + reader.path,
                          kSimplifyRecordsPassCount * reader.recordCount, reader.fileBytes);
        const bool simplified =
            simplifyRecords(reader, options.simplifyRatio, options.weldMemoryLimitBytes, mesh,
                            report.simplify, progress, options.stopRequested, error);
        finishProgress(progress);
        if (!simplified || stopped(options, error)) {
            return false;
        }
        report.nonFiniteDropped = mesh.nonFiniteTriangles;
        if (report.simplify.triangleCountBefore > 0 && mesh.indices.empty()) {
            error = "nothing left after simplifying " + reader.path + " to " +
                    formatShortestFloat(static_cast<float>(options.simplifyRatio)) +
                    " of its triangles; give a larger ratio";
            return false;
        }
        return placeAndWrite(reader, mesh, format, outputPath, options, output, report, error);
    }
    Progress progress = startProgress("reading " + reader.path, reader.recordCount,
                                      reader.fileBytes);
    const bool loaded = loadIndexedMesh(reader, options.weldMemoryLimitBytes, mesh, progress,
                                        options.stopRequested, error);
    finishProgress(progress);
    if (!loaded || stopped(options, error)) {
        return false;
    }
    if (options.dropIslandFaces > 0) {
        report.islandsChecked = true;
        const bool hadTriangles = !mesh.indices.empty();
        {
            const StepLine step("finding the pieces of " + reader.path, reader.fileBytes);
            dropIslands(mesh, options.dropIslandFaces, report.islands);
        }
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
        {
            const StepLine step("finding the body of " + reader.path, reader.fileBytes);
            keepBody(mesh, report.body);
        }
        if (stopped(options, error)) {
            return false;
        }
    }
    report.nonFiniteDropped = mesh.nonFiniteTriangles;
    if (simplify && !mesh.indices.empty()) {
        report.simplified = true;
        bool simplified = false;
        {
            const StepLine step("simplifying " + reader.path, reader.fileBytes);
            simplified = simplifyMesh(mesh, options.simplifyRatio, report.simplify, error);
        }
        if (!simplified) {
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
    return placeAndWrite(reader, mesh, format, outputPath, options, output, report, error);
}

// Turns and scales the edited mesh as asked, then writes and commits it.
bool placeAndWrite(const RecordReader& reader, IndexedMesh& mesh, MeshFormat format,
                   const std::string& outputPath, const ConvertOptions& options,
                   AtomicOutput& output, ConvertReport& report, std::string& error) {
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
    bool written = false;
    {
        const StepLine step("writing " + outputPath, reader.fileBytes);
        written = writeIndexed(mesh, format, fileNameOf(reader.path), options, output, report,
                               error);
    }
    return written && commitConverted(reader, format, firstRgb, output, error);
}

// The compressed glb of an unsimplified file needs its mesh and the writer's own copies in
// memory: refused before any work where that cannot fit.
bool fitsInMemory(const RecordReader& reader, MeshFormat format, const ConvertOptions& options,
                  std::string& error) {
    if (format != MeshFormat::kGlb || !options.compress || options.simplifyRatio < 1.0) {
        return true;
    }
    const uint64_t needed = static_cast<uint64_t>(reader.recordCount) *
                            (kLoadBytesPerTriangle + kCompressedGlbBytesPerTriangle);
    const uint64_t available = availableMemoryBytes();
    if (needed <= available) {
        return true;
    }
    error = "compressing the " + std::to_string(reader.recordCount) + " triangles of " +
            reader.path + " as glTF needs about " + formatBytes(needed) + " of memory and " +
            formatBytes(available) + " is available; simplify it first (--simplify)";
    return false;
}

// A glb of the records as they are, placed: the plan, which gives the box for --size, then the
// writer's weld and copy.
bool convertGlbStream(RecordReader& reader, const std::string& outputPath,
                      const ConvertOptions& options, ConvertReport& report, std::string& error) {
    AtomicOutput output;
    if (!createOutput(reader, outputPath, output, error)) {
        return false;
    }
    Progress progress = startProgress("converting " + reader.path + " to " + outputPath,
                                      (1 + kGlbStreamPassCount) * reader.recordCount,
                                      reader.fileBytes);
    SweepPlan plan;
    if (!planSweep(reader, plan, progress, 0, options.stopRequested, error)) {
        return false;
    }
    Placement placement;
    placement.zUp = options.zUp;
    if (options.sizeMillimetres > 0.0) {
        if (plan.finiteTriangleCount == 0 ||
            !scaleForSize(plan.boxMin, plan.boxMax, options.sizeMillimetres, placement.scale)) {
            error = "cannot scale " + reader.path + " to a size: it has no extent";
            return false;
        }
        // glTF's unit is the metre: a size in millimetres is written as MM / 1000.
        placement.scale /= 1000.0;
        report.scaleNote = " (millimetres as metres, glTF's unit)";
        const std::string problem =
            placementProblem(plan.boxMin, plan.boxMax, plan.smallestMagnitude, placement.scale);
        if (!problem.empty()) {
            error = sizeRefusal(reader.path, options.sizeMillimetres, problem);
            return false;
        }
        report.scale = placement.scale;
    }
    const bool written = writeGlbStream(
        reader, plan, placement, {options.smoothNormals, false, fileNameOf(reader.path)},
        options.weldMemoryLimitBytes, output, progress, reader.recordCount,
        options.stopRequested, report.nonFiniteDropped, error);
    finishProgress(progress);
    return written && commitOutput(output, error);
}

// A 3MF of the records as they are: the plan gives the box for the size (100 mm unless asked),
// then the writer's weld and copy. Upright always, as placeAndWrite places a 3MF.
bool convertThreeMfStream(RecordReader& reader, const std::string& outputPath,
                          const ConvertOptions& options, ConvertReport& report,
                          std::string& error) {
    AtomicOutput output;
    if (!createOutput(reader, outputPath, output, error)) {
        return false;
    }
    Progress progress = startProgress("converting " + reader.path + " to " + outputPath,
                                      (1 + kThreeMfStreamPassCount) * reader.recordCount,
                                      reader.fileBytes);
    SweepPlan plan;
    if (!planSweep(reader, plan, progress, 0, options.stopRequested, error)) {
        return false;
    }
    if (plan.finiteTriangleCount == 0) {
        error = "no triangles left to write to " + outputPath;
        return false;
    }
    Placement placement;
    placement.zUp = true;
    double sizeMillimetres = options.sizeMillimetres;
    if (sizeMillimetres == 0.0) {
        sizeMillimetres = kDefaultThreeMfSizeMillimetres;
        report.scaleNote = " (to 100 mm, the default size of a 3MF; --size sets another)";
    }
    if (!scaleForSize(plan.boxMin, plan.boxMax, sizeMillimetres, placement.scale)) {
        error = "cannot scale " + reader.path + " to a size: it has no extent";
        return false;
    }
    const std::string problem =
        placementProblem(plan.boxMin, plan.boxMax, plan.smallestMagnitude, placement.scale);
    if (!problem.empty()) {
        error = sizeRefusal(reader.path, sizeMillimetres, problem);
        return false;
    }
    report.scale = placement.scale;
    const bool written = writeThreeMfStream(
        reader, plan, placement, fileNameOf(reader.path), options.weldMemoryLimitBytes, output,
        progress, reader.recordCount, options.stopRequested, report.nonFiniteDropped,
        report.degenerateDropped, error);
    finishProgress(progress);
    return written && commitOutput(output, error);
}

}  // namespace

bool isPlainCopy(const ConvertOptions& options) {
    return options.simplifyRatio == 1.0 && !options.zUp && options.sizeMillimetres == 0.0 &&
           options.dropIslandFaces == 0 && !options.keepBodyOnly;
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
    const bool unedited = options.simplifyRatio == 1.0 && options.dropIslandFaces == 0 &&
                          !options.keepBodyOnly;
    const bool streams = unedited &&
                         (format == MeshFormat::kStl || format == MeshFormat::kThreeMf ||
                          (format == MeshFormat::kGlb && !options.compress));
    if (!streams && !(isPlainCopy(options) && format != MeshFormat::kGlb &&
                      format != MeshFormat::kThreeMf)) {
        if (!fitsInMemory(reader, format, options, error)) {
            return false;
        }
        return convertInMemory(reader, format, outputPath, options, report, error);
    }
    if (format == MeshFormat::kGlb) {
        return convertGlbStream(reader, outputPath, options, report, error);
    }
    if (format == MeshFormat::kThreeMf) {
        return convertThreeMfStream(reader, outputPath, options, report, error);
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
    }
    AtomicOutput output;
    if (!createOutput(reader, outputPath, output, error)) {
        return false;
    }
    const int64_t passCount = format == MeshFormat::kStl ? 1 : kSharedStreamPassCount;
    Progress progress = startProgress("converting " + inputPath + " to " + outputPath,
                                      passCount * reader.recordCount, reader.fileBytes);
    uint8_t firstRgb[3];
    standardRgb(firstRgb);
    const bool written =
        format == MeshFormat::kStl
            ? writeStlStream(reader, placement, output, progress, options.stopRequested, error)
            : writeSharedStream(reader, format, options.weldMemoryLimitBytes, output, progress,
                                options.stopRequested, report.nonFiniteDropped, firstRgb, error);
    finishProgress(progress);
    return written && commitConverted(reader, format, firstRgb, output, error);
}
