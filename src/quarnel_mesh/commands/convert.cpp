#include "quarnel_mesh/commands/convert.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "quarnel_mesh/edit/placement.h"
#include "quarnel_mesh/formats/mesh_writer.h"
#include "quarnel_mesh/model/indexed_mesh.h"
#include "quarnel_mesh/model/mesh_source.h"
#include "quarnel_mesh/model/sweep_weld.h"
#include "quarnel_mesh/util/memory.h"
#include "quarnel_mesh/util/output_file.h"
#include "quarnel_mesh/util/run_context.h"
#include "quarnel_mesh/util/scratch_file.h"
#include "quarnel_mesh/util/text.h"

namespace {

// What every stage of one conversion shares.
struct Conversion {
    const ConvertOptions& options;
    const MeshWriter& writer;
    const std::string& outputPath;
    AtomicOutput& output;
    ConvertReport& report;
    RunContext& run;
};

bool edits(const ConvertOptions& options) {
    return options.simplifyRatio < 1.0 || options.dropIslandFaces > 0 || options.keepBodyOnly;
}

std::string nothingLeftRefusal(const std::string& outputPath) {
    return "no triangles left to write to " + outputPath;
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

std::string sizeRefusal(const std::string& inputPath, double sizeMillimetres,
                        const std::string& problem) {
    char size[32];
    std::snprintf(size, sizeof size, "%.6g", sizeMillimetres);
    return "cannot scale " + inputPath + " to " + size + " mm: " + problem;
}

// The turn and scale the options and the writer's rules ask for a mesh whose used vertices span
// the box (`hasVertices` false: none). False with run.error set when the size cannot be given.
bool choosePlacement(const Conversion& c, const std::string& inputPath, bool hasVertices,
                     const Vec3f& boxMin, const Vec3f& boxMax, double smallestMagnitude,
                     Placement& placement) {
    placement = Placement();
    placement.zUp = c.options.zUp || c.writer.alwaysZUp;
    double sizeMillimetres = c.options.sizeMillimetres;
    if (sizeMillimetres == 0.0 && c.writer.defaultSizeMillimetres > 0.0) {
        sizeMillimetres = c.writer.defaultSizeMillimetres;
        c.report.scaleNote = c.writer.defaultSizeNote;
    }
    if (sizeMillimetres == 0.0) {
        return true;
    }
    if (!hasVertices || !scaleForSize(boxMin, boxMax, sizeMillimetres, placement.scale)) {
        c.run.error = "cannot scale " + inputPath + " to a size: it has no extent";
        return false;
    }
    if (c.writer.millimetresPerUnit != 1.0) {
        placement.scale /= c.writer.millimetresPerUnit;
        c.report.scaleNote = c.writer.unitNote;
    }
    const std::string problem =
        placementProblem(boxMin, boxMax, smallestMagnitude, placement.scale);
    if (!problem.empty()) {
        c.run.error = sizeRefusal(inputPath, sizeMillimetres, problem);
        return false;
    }
    c.report.scale = placement.scale;
    return true;
}

WriteOptions writeOptionsOf(const Conversion& c, const RecordReader& reader) {
    return {c.options.smoothNormals, c.options.compress, fileNameOf(reader.path)};
}

// A mesh in memory (an edit's result): placed in place, then written.
bool writeHeldMesh(const Conversion& c, const RecordReader& reader, IndexedMesh& mesh) {
    // Only an edit gets here: one that leaves nothing is refused in every format.
    if (mesh.indices.empty()) {
        c.run.error = nothingLeftRefusal(c.outputPath);
        return false;
    }
    Vec3f boxMin, boxMax;
    double smallestMagnitude = HUGE_VAL;
    const bool hasVertices = usedVertexBox(mesh, boxMin, boxMax, smallestMagnitude);
    Placement placement;
    if (!choosePlacement(c, reader.path, hasVertices, boxMin, boxMax, smallestMagnitude,
                         placement)) {
        return false;
    }
    if (!isIdentity(placement)) {
        for (WeldedVertex& vertex : mesh.vertices) {
            vertex.position = placeVertex(vertex.position, placement);
        }
    }
    if (runInterrupted(c.run)) {
        return false;
    }
    MeshSource source;
    source.mesh = &mesh;
    bool written = false;
    {
        const StepLine step("writing " + c.outputPath, reader.fileBytes);
        written = c.writer.write(source, Placement(), writeOptionsOf(c, reader), c.output, c.run);
    }
    return written && commitOutput(c.output, c.run.error);
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

// A size to give, by --size or the writer's rule: the placement needs the box.
bool givesSize(const Conversion& c) {
    return c.options.sizeMillimetres > 0.0 || c.writer.defaultSizeMillimetres > 0.0;
}

// The records as the source: a pass for the plan (the seams to join and the box, for every
// writer; the weld's window for those that share vertices), the placement, then the writer's
// own passes. A writer that finds the seams itself goes without the plan where nothing else
// needs it: no edit came first and no size is to be given.
bool writeRecords(const Conversion& c, RecordReader& reader) {
    // An edit hands on only finite triangles: none left is refused in every format.
    if (edits(c.options) && reader.recordCount == 0) {
        c.run.error = nothingLeftRefusal(c.outputPath);
        return false;
    }
    c.run.progress = startProgress("converting " + reader.path + " to " + c.outputPath,
                                   (1 + c.writer.recordPassCount) * reader.recordCount,
                                   reader.fileBytes);
    c.run.doneUnits = 0;
    Placement placement;
    MeshSource source;
    source.reader = &reader;
    if (c.writer.findsSeamsItself && !edits(c.options) && !givesSize(c)) {
        const bool written =
            choosePlacement(c, reader.path, false, Vec3f(), Vec3f(), HUGE_VAL, placement) &&
            c.writer.write(source, placement, writeOptionsOf(c, reader), c.output, c.run);
        finishProgress(c.run.progress);
        return written && commitOutput(c.output, c.run.error);
    }
    SweepPlan plan;
    bool placed = planSweep(reader, plan, c.run.progress, 0, c.run.error);
    if (placed && plan.finiteTriangleCount == 0 && c.writer.refusesNothingToWrite) {
        c.run.error = nothingLeftRefusal(c.outputPath);
        return false;
    }
    placed = placed && choosePlacement(c, reader.path, plan.finiteTriangleCount > 0, plan.boxMin,
                                       plan.boxMax, plan.smallestMagnitude, placement);
    if (!placed) {
        return false;
    }
    c.run.doneUnits = reader.recordCount;  // the plan's pass
    source.plan = &plan;
    if (c.writer.sharesVertices) {
        // The weld leaves out the triangles with a non-finite vertex.
        c.run.nonFiniteDropped += reader.recordCount - plan.finiteTriangleCount;
    }
    const bool written =
        c.writer.write(source, placement, writeOptionsOf(c, reader), c.output, c.run);
    finishProgress(c.run.progress);
    return written && commitOutput(c.output, c.run.error);
}

// The streamed simplifier on what the reader hands out, then the result placed and written. A
// result too large to hold is written as records to a scratch file beside the output (48 bytes
// a triangle on disk, none in memory) and converted from there as a file of its own.
bool simplifyAndWrite(const Conversion& c, RecordReader& reader) {
    c.report.simplified = true;
    IndexedMesh mesh;
    ScratchFile spilled;
    const SimplifiedRecordSink sink = [&](const TriangleRecord* records, size_t count,
                                          std::string& failure) {
        if (spilled.fd < 0 && spilled.errorNumber == 0) {
            openScratchFile(c.output, spilled);
        }
        writeScratchFile(spilled, records, count * sizeof(TriangleRecord));
        if (spilled.errorNumber != 0) {
            failure = "cannot write " + c.outputPath + ": " + std::strerror(spilled.errorNumber);
            return false;
        }
        return true;
    };
    c.run.progress =
        startProgress("simplifying " + reader.path, kSimplifyRecordsPassCount * reader.recordCount,
                      reader.fileBytes);
    c.run.doneUnits = 0;
    const bool simplified =
        simplifyRecords(reader, c.options.simplifyRatio, mesh, c.report.simplify, &sink, c.run);
    finishProgress(c.run.progress);
    if (!simplified || runInterrupted(c.run)) {
        return false;
    }
    c.run.nonFiniteDropped += mesh.nonFiniteTriangles;
    if (c.report.simplify.triangleCountBefore > 0 && c.report.simplify.triangleCountAfter == 0) {
        c.run.error = "nothing left after simplifying " + reader.path + " to " +
                      formatShortestFloat(static_cast<float>(c.options.simplifyRatio)) +
                      " of its triangles; give a larger ratio";
        return false;
    }
    if (!c.report.simplify.handedOn) {
        return writeHeldMesh(c, reader, mesh);
    }
    RecordReader result;
    if (!flushScratchFile(spilled)) {
        c.run.error = "cannot write " + c.outputPath + ": " + std::strerror(spilled.errorNumber);
        return false;
    }
    return openRecordDescriptor(spilled.fd, reader.path, result, c.run.error) &&
           writeRecords(c, result);
}

// An edit that is to be scaled (by the writer's rule, or --size) is refused before its work when
// the file has nothing to scale: no finite vertex, or all of them at one point. The reads stop at
// the first two finite vertices apart, in the first record of any real mesh.
bool hasExtentToEdit(const Conversion& c, RecordReader& reader) {
    if (!edits(c.options) ||
        (c.writer.defaultSizeMillimetres == 0.0 && c.options.sizeMillimetres == 0.0)) {
        return true;
    }
    std::string& error = c.run.error;
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
        if (runInterrupted(c.run)) {
            return false;
        }
    }
    if (error.empty()) {
        error = anyFinite ? "cannot scale " + reader.path + " to a size: it has no extent"
                          : nothingLeftRefusal(c.outputPath);
    }
    return false;
}

// --drop-islands and --body over sweeps of the file, leaving the reader handing out what they
// keep. False with run.error set when they fail or leave nothing.
bool filterPiecesOf(const Conversion& c, RecordReader& reader) {
    PieceFilter filter;
    filter.minFaceCount = c.options.dropIslandFaces;
    filter.keepBody = c.options.keepBodyOnly;
    const int64_t recordCount = reader.recordCount;
    c.run.progress = startProgress(
        std::string(filter.keepBody ? "finding the body of " : "finding the pieces of ") +
            reader.path,
        pieceFilterPassCount(filter) * recordCount, reader.fileBytes);
    c.run.doneUnits = 0;
    const int64_t nonFiniteBefore = c.run.nonFiniteDropped;
    const bool filtered = filterPieces(reader, filter, c.report.islands, c.report.body, c.run);
    finishProgress(c.run.progress);
    if (!filtered) {
        return false;
    }
    c.report.islandsChecked = filter.minFaceCount > 0;
    const bool hadTriangles = recordCount > c.run.nonFiniteDropped - nonFiniteBefore;
    if (c.report.islandsChecked && hadTriangles && reader.recordCount == 0) {
        c.run.error = "nothing left after dropping the pieces of fewer than " +
                      std::to_string(c.options.dropIslandFaces) + " faces from " + reader.path +
                      ": its largest piece has " +
                      std::to_string(c.report.islands.largestPieceFaceCount) + " faces";
        return false;
    }
    c.report.bodyKept = filter.keepBody && hadTriangles;
    return !runInterrupted(c.run);
}

// The stages after the output is open: the edits, then the source they leave to the writer.
bool runConversion(const Conversion& c, RecordReader& reader) {
    if (!hasExtentToEdit(c, reader)) {
        return false;
    }
    // Every step reads the file, or what the pieces' filter lets through, as a stream; only the
    // simplifier's result is held.
    if ((c.options.dropIslandFaces > 0 || c.options.keepBodyOnly) && !filterPiecesOf(c, reader)) {
        return false;
    }
    if (c.options.simplifyRatio < 1.0) {
        return simplifyAndWrite(c, reader);
    }
    return writeRecords(c, reader);
}

}  // namespace

bool convertMesh(const std::string& inputPath, const std::string& outputPath,
                 const ConvertOptions& options, ConvertReport& report, std::string& error) {
    report = ConvertReport();
    const MeshWriter* writer = meshWriterFor(outputPath);
    if (writer == nullptr) {
        error = "cannot tell the format of " + outputPath +
                ": name it .stl, .ply, .obj, .glb or .3mf";
        return false;
    }
    RecordReader reader;
    if (!openRecordFile(inputPath, reader, error)) {
        return false;
    }
    if (writer->maxTriangles > 0 && reader.recordCount > writer->maxTriangles) {
        error = inputPath + " has " + std::to_string(reader.recordCount) + " triangles; " +
                writer->name + " holds at most " + std::to_string(writer->maxTriangles);
        return false;
    }
    // Sized for the whole file, as if no piece were dropped.
    if (!fitsInMemory(reader, options, error)) {
        return false;
    }
    AtomicOutput output;
    AtomicOutput companion;  // committed with the output (an OBJ's material library)
    if (!createOutput(reader, outputPath, output, error) ||
        (writer->openCompanion != nullptr &&
         !writer->openCompanion(reader, output, companion, error))) {
        return false;
    }
    RunContext run;
    const bool converted =
        runConversion({options, *writer, outputPath, output, report, run}, reader);
    report.nonFiniteDropped = run.nonFiniteDropped;
    report.degenerateDropped = run.degenerateDropped;
    error = run.error;
    return converted;
}
