// quarnel-mesh: inspects, converts and previews the triangle files the main tool writes.
// Every command streams the records through a RecordReader, so memory does not grow with the
// file except where a format needs shared vertices (PLY, OBJ, glTF, 3MF), the mesh is edited
// (simplified, islands dropped) or its topology is asked for.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/types.h"
#include "io/atomic_output.h"
#include "io/record_reader.h"
#include "io/triangle_record.h"
#include "quarnel_mesh/vertex_welder.h"

// The tool's version, as outputs name their writer ("quarnel-mesh 1.0").
constexpr char kMeshToolVersion[] = "1.0";

// ---- progress.cpp: progress, file names, number formatting ----

// Opens the output for the records of `input` and commits it, with `error` set to the one-line
// reason on failure. Refuses an output that is the input file itself (same device and inode, so
// through a link too): replacing it would destroy the input.
bool createOutput(const RecordReader& input, const std::string& path, AtomicOutput& output,
                  std::string& error);
bool commitOutput(AtomicOutput& output, std::string& error);

// True when `path` ends with `extension` (".png"), in any letter case.
bool hasExtension(const std::string& path, const char* extension);

// A percentage line on standard error, shown only for inputs of at least kProgressMinBytes so
// small jobs stay quiet; rewritten in place every five percent.
constexpr int64_t kProgressMinBytes = 50000000;

struct Progress {
    std::string label;
    int64_t totalUnits = 0;
    int lastPercent = -1;
    bool shown = false;
};

Progress startProgress(const std::string& label, int64_t totalUnits, int64_t inputBytes);
void advanceProgress(Progress& progress, int64_t doneUnits);
// Ends the line if one was shown.
void finishProgress(Progress& progress);
// Ends whatever percentage line is open, so that a message printed now starts a line of its own.
void endProgressLine();

// Hands the records left in `reader` to `processChunk(const TriangleRecord* records, int64_t
// count)` a chunk at a time, advancing `progress` from `doneBefore` after each. False with `error`
// set when a read fails, `stopRequested` (may be null) is raised, or processChunk (which sets
// `error` itself) returns false.
template <typename ProcessChunk>
bool forEachRecordChunk(RecordReader& reader, Progress& progress, int64_t doneBefore,
                        const std::atomic<bool>* stopRequested, std::string& error,
                        ProcessChunk&& processChunk) {
    int64_t done = doneBefore;
    for (;;) {
        const int64_t count = readRecordChunk(reader, error);
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            return true;
        }
        if (stopRequested != nullptr && stopRequested->load()) {
            error = "interrupted";
            return false;
        }
        if (!processChunk(reader.chunk.data(), count)) {
            return false;
        }
        done += count;
        advanceProgress(progress, done);
    }
}

// What follows the last slash of `path` (all of it when there is none).
std::string fileNameOf(const std::string& path);

// `text` as a JSON string, quotes included: quote, backslash and control characters escaped, and
// bytes that are not UTF-8 replaced by U+FFFD, so that any file name gives valid JSON.
std::string jsonString(const std::string& text);

// The shortest decimal text that reads back as exactly `value` ("0.1", "-2", "1e-07", "nan").
std::string formatShortestFloat(float value);

// Memory the system could give this process now without swapping: MemAvailable of /proc/meminfo,
// else the free RAM; UINT64_MAX when neither can be read.
uint64_t availableMemoryBytes();

// "1.5 GiB", "312 MiB": a byte count for messages, one decimal.
std::string formatBytes(uint64_t bytes);

// ---- info.cpp: what a triangle file holds ----

struct MeshSummary {
    int64_t fileBytes = 0;
    int64_t triangleCount = 0;
    int64_t finiteVertexCount = 0;     // vertices whose three coordinates are finite
    int64_t nonFiniteVertexCount = 0;  // the others, left out of the box
    Vec3f boxMin = {0.0f, 0.0f, 0.0f}; // over the finite vertices; meaningless when there are none
    Vec3f boxMax = {0.0f, 0.0f, 0.0f};
    int64_t standardColorCount = 0;    // records whose colour is kTriangleColor bit for bit
    int64_t repeatedVertexCount = 0;   // records with two equal vertices (see sameVertex)
    double smallestMagnitude = HUGE_VAL;  // least non-zero |coordinate| of the finite vertices
};

// Reads every record of an open file from the start. False with `error` set when a read fails or
// `stopRequested` (may be null) was raised.
bool summariseMesh(RecordReader& reader, MeshSummary& summary, Progress& progress,
                   const std::atomic<bool>* stopRequested, std::string& error);

// `quarnel-mesh info`: prints the summary of `path` to `out`, and with `topology` the closedness,
// pieces, Euler characteristic and volume as well (see computeTopology).
bool printMeshInfo(const std::string& path, bool topology, std::FILE* out,
                   const std::atomic<bool>* stopRequested, std::string& error);

// ---- indexed_mesh.cpp: the welded mesh in memory, and its placement ----

// Triangles as indices into the welded vertices, three per triangle in the file's winding. Every
// vertex is used by some triangle unless an edit removed its triangles (see compactVertices).
struct IndexedMesh {
    std::vector<WeldedVertex> vertices;
    std::vector<uint32_t> indices;
    Vec3f color = kTriangleColor;  // colour of the first record
    int64_t nonFiniteTriangles = 0;  // records left out: a vertex is NaN or infinite
};

// Memory loadIndexedMesh needs per triangle of a closed mesh (about half a vertex per triangle),
// growth of the tables included.
constexpr uint64_t kLoadBytesPerTriangle = 48;

// Three quarters of the RAM: the default limit of the vertex tables.
uint64_t defaultWeldMemoryLimit();

// The one line for a weldVertex failure (kWeldOutOfMemory, kWeldTooManyVertices) on `inputPath`.
std::string describeWeldFailure(int64_t result, const std::string& inputPath,
                                size_t vertexCount);

// Welds every record of an open file from the start into `mesh`, leaving out (and counting) those
// with a non-finite vertex, which no indexed format's readers take. The vertex tables stop at
// `memoryLimitBytes` (0: three quarters of the RAM); failures set `error` to one line.
bool loadIndexedMesh(RecordReader& reader, uint64_t memoryLimitBytes, IndexedMesh& mesh,
                     Progress& progress, const std::atomic<bool>* stopRequested,
                     std::string& error);

// Drops the vertices no triangle uses, keeping the order of the others.
void compactVertices(IndexedMesh& mesh);

// Turn and scale applied to every vertex on the way out, computed in double and rounded once.
struct Placement {
    bool zUp = false;    // (x, y, z) -> (x, -z, y): a proper rotation, so winding stays outward
    double scale = 1.0;  // applied after the turn
};

inline bool isIdentity(const Placement& placement) {
    return !placement.zUp && placement.scale == 1.0;
}

Vec3f placeVertex(const Vec3f& vertex, const Placement& placement);

// The scale that makes the longest side of the box `sizeMillimetres`; false when the box is
// empty or flat in every direction.
bool scaleForSize(const Vec3f& boxMin, const Vec3f& boxMax, double sizeMillimetres,
                  double& scale);

// The box of the finite vertices the triangles use, and their least non-zero |coordinate|
// (HUGE_VAL when all are 0); false when there is none.
bool usedVertexBox(const IndexedMesh& mesh, Vec3f& boxMin, Vec3f& boxMax,
                   double& smallestMagnitude);

// Empty when every coordinate of the box, scaled by `scale`, is still a normal 32-bit float;
// otherwise why not: beyond float's largest value a reader gets infinities, and below its
// smallest normal value distinct vertices merge. `smallestMagnitude`: the least non-zero
// |coordinate| (0 stays 0).
std::string placementProblem(const Vec3f& boxMin, const Vec3f& boxMax, double smallestMagnitude,
                             double scale);

// ---- topology.cpp: closedness, pieces, islands ----

// Of the faces: the triangles with three different welded vertices (the others have no area).
struct Topology {
    int64_t vertexCount = 0;          // distinct welded vertices used by any triangle
    int64_t edgeCount = 0;            // distinct undirected sides of the faces
    int64_t faceCount = 0;
    int64_t boundaryEdgeCount = 0;    // edges with one face
    int64_t nonManifoldEdgeCount = 0; // edges with more than two faces
    int64_t pieceCount = 0;           // pieces joined through shared vertices
    double signedVolume = 0.0;        // positive for a closed mesh wound outward
};

// Memory computeTopology needs per triangle beyond the loaded mesh: 24 bytes of edge keys, with
// the union-find and a margin (measured 51 bytes per triangle in all at preset 3).
constexpr uint64_t kTopologyBytesPerTriangle = 24;

// Counts of `mesh`; false with `error` set when its tables cannot be allocated.
bool computeTopology(const IndexedMesh& mesh, Topology& topology, std::string& error);

// For each vertex, the lowest vertex index of its piece (pieces join through shared vertices);
// returns the number of pieces among the used vertices.
int64_t labelPieces(const IndexedMesh& mesh, std::vector<uint32_t>& pieceOfVertex);

struct IslandReport {
    int64_t pieceCount = 0;          // before dropping
    int64_t droppedPieceCount = 0;
    int64_t droppedFaceCount = 0;
    int64_t largestPieceFaceCount = 0;
};

// Removes every piece with fewer than `minFaceCount` faces, keeping the order of the rest.
void dropIslands(IndexedMesh& mesh, int64_t minFaceCount, IslandReport& report);

struct BodyReport {
    int64_t pieceCount = 0;         // before
    int64_t bodyFaceCount = 0;      // faces of the largest piece
    int64_t voidCount = 0;          // pieces kept inside it
    int64_t droppedPieceCount = 0;
    int64_t droppedFaceCount = 0;
};

// Keeps what a printer can make: the piece with the most faces and the pieces inside it (its
// voids: wound inwards, an odd number of its faces beyond them along a ray); drops every other
// piece, crumbs outside or inside alike. Keeps the order of what stays.
void keepBody(IndexedMesh& mesh, BodyReport& report);

// ---- simplify.cpp: fewer triangles, same shape ----

// Memory simplifyMesh needs per triangle of a closed mesh on top of the loaded mesh: load and
// simplification peaked at 123 to 126 bytes per triangle (presets 1 and 3, the program's fixed
// 9 MB left out); the sum with kLoadBytesPerTriangle leaves a quarter more.
constexpr uint64_t kSimplifyBytesPerTriangle = 110;

struct SimplifyReport {
    int64_t triangleCountBefore = 0;
    int64_t triangleCountAfter = 0;
    double absoluteError = 0.0;  // largest deviation, in the mesh's units
    double relativeError = 0.0;  // the same over the mesh's extent
};

// Collapses edges (quadric error metric) until `ratio` of the triangles remain or no collapse
// keeps the topology; vertices are left in place (see compactVertices). The mesh's vertices
// must be finite.
bool simplifyMesh(IndexedMesh& mesh, double ratio, SimplifyReport& report, std::string& error);

// ---- convert.cpp: STL, PLY and OBJ ----

enum class MeshFormat { kUnknown, kStl, kPly, kObj, kGlb, kThreeMf };

// The format named by the extension of `path`, in any letter case.
MeshFormat formatFromPath(const std::string& path);

// The unit normal of (v1 - v0) x (v2 - v0), computed in double; zero for a degenerate or
// non-finite triangle.
Vec3f facetNormal(const TriangleRecord& record);

struct ConvertOptions {
    // The most the vertex tables of an indexed format may take; 0 means three quarters of the RAM.
    uint64_t weldMemoryLimitBytes = 0;
    double simplifyRatio = 1.0;     // below 1: keep about this share of the triangles
    bool smoothNormals = false;     // per-vertex normals, area-weighted; other formats ignore it
    bool compress = false;          // .glb only: quantized and meshoptimizer-encoded
    bool zUp = false;               // the fractal's axis y becomes z
    double sizeMillimetres = 0.0;   // above 0: the longest side of the box becomes this
    int64_t dropIslandFaces = 0;    // above 0: pieces with fewer faces are removed
    bool keepBodyOnly = false;      // the largest piece and its voids, nothing else
    const std::atomic<bool>* stopRequested = nullptr;
};

// What convertMesh did beyond copying, for the command line to print.
struct ConvertReport {
    bool simplified = false;
    SimplifyReport simplify;
    bool islandsChecked = false;
    IslandReport islands;
    bool bodyKept = false;
    BodyReport body;
    int64_t degenerateDropped = 0;  // triangles with two equal vertices left out of a 3MF
    int64_t nonFiniteDropped = 0;   // triangles with a NaN or infinite vertex left out
    double scale = 1.0;
    const char* scaleNote = "";     // why the scale differs from the one asked for, or ""
};

// The size of a 3MF when no --size is given: a print, not the fractal's 2.4 units.
constexpr double kDefaultThreeMfSizeMillimetres = 100.0;

// True when `options` ask for nothing but a copy in the format of the output's extension.
bool isPlainCopy(const ConvertOptions& options);

// `quarnel-mesh convert`: writes `inputPath` to `outputPath` in the format of its extension. On
// failure nothing is left under `outputPath` (an earlier file there stays as it was).
bool convertMesh(const std::string& inputPath, const std::string& outputPath,
                 const ConvertOptions& options, ConvertReport& report, std::string& error);

// ---- glb_writer.cpp: glTF 2.0 binary ----

struct GlbOptions {
    bool smoothNormals = false;  // per-vertex normals, area-weighted
    bool compress = false;       // quantized and meshoptimizer-encoded (for the web)
    std::string sourceName;      // the input's file name, in the asset's extras
};

// Writes `mesh` (finite vertices, at least one triangle) as one indexed primitive, its vertices
// reordered for the GPU's vertex cache and fetch, the colour as the material's base colour;
// scene, node, mesh and material are named "quarnel", and the asset's extras give the source
// and the triangle count. Compressed, the extensions it needs are marked required.
bool writeGlb(const IndexedMesh& mesh, const GlbOptions& options, AtomicOutput& output,
              std::string& error);

// ---- threemf_writer.cpp: 3D Manufacturing Format ----

// Writes `mesh` as one object in millimetres with the colour as its base material, its Title
// `sourceName` (the input's file name) and its Application this tool; triangles with two equal
// vertices, which 3MF forbids, are left out and counted in `degenerateDropped`.
bool writeThreeMf(const IndexedMesh& mesh, const std::string& sourceName, AtomicOutput& output,
                  int64_t& degenerateDropped, std::string& error);

// ---- render.cpp: preview picture ----

struct RenderOptions {
    int sizePixels = 800;          // width and height
    double azimuthDegrees = 35.0;  // turn about the y axis (the fractal's polar axis)
    double elevationDegrees = 25.0;
    const std::atomic<bool>* stopRequested = nullptr;
};

constexpr int kMinRenderSize = 16;
constexpr int kMaxRenderSize = 4096;

// Row-major 8-bit RGB, top row first.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

// The background colour of every picture.
constexpr uint8_t kBackgroundRgb[3] = {48, 48, 52};

// Draws the triangles of an open file (those with finite vertices) with a z-buffer, orthographic,
// their extent in this view fitted to the picture; reads the file twice. Memory does not grow
// with the file.
bool renderMeshImage(RecordReader& reader, const RenderOptions& options, Progress& progress,
                     RgbImage& image, std::string& error);

// `quarnel-mesh render`: renders `inputPath` and writes the picture as PNG to `outputPath`.
bool renderMesh(const std::string& inputPath, const std::string& outputPath,
                const RenderOptions& options, std::string& error);

// ---- png_writer.cpp ----

// Encodes `image` as an 8-bit RGB PNG into `png` (replacing its contents). Stops, false with
// `error` "interrupted", soon after `stopRequested` (may be null) is raised.
bool encodePng(const RgbImage& image, const std::atomic<bool>* stopRequested,
               std::vector<uint8_t>& png, std::string& error);

// ---- cli.cpp ----

// The whole program: returns the exit status (0 done, 1 usage or failure, 130 interrupted).
int runMeshTool(int argc, char** argv, const std::atomic<bool>* stopRequested);
