// quarnel-mesh: inspects, converts and previews the triangle files the main tool writes.
// Every command streams the records through a RecordReader, so memory does not grow with the
// file except where a format needs shared vertices (PLY, OBJ).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/types.h"
#include "io/atomic_output.h"
#include "io/record_reader.h"
#include "io/triangle_record.h"

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

// The shortest decimal text that reads back as exactly `value` ("0.1", "-2", "1e-07", "nan").
std::string formatShortestFloat(float value);

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
};

// Reads every record of an open file from the start. False with `error` set when a read fails or
// `stopRequested` (may be null) was raised.
bool summariseMesh(RecordReader& reader, MeshSummary& summary, Progress& progress,
                   const std::atomic<bool>* stopRequested, std::string& error);

// `quarnel-mesh info`: prints the summary of `path` to `out`.
bool printMeshInfo(const std::string& path, std::FILE* out,
                   const std::atomic<bool>* stopRequested, std::string& error);

// ---- convert.cpp: STL, PLY and OBJ ----

enum class MeshFormat { kUnknown, kStl, kPly, kObj };

// The format named by the extension of `path`, in any letter case.
MeshFormat formatFromPath(const std::string& path);

// The unit normal of (v1 - v0) x (v2 - v0), computed in double; zero for a degenerate or
// non-finite triangle.
Vec3f facetNormal(const TriangleRecord& record);

struct ConvertOptions {
    // The most the vertex tables of a PLY or OBJ may take; 0 means three quarters of the RAM.
    uint64_t weldMemoryLimitBytes = 0;
    const std::atomic<bool>* stopRequested = nullptr;
};

// `quarnel-mesh convert`: writes `inputPath` to `outputPath` in the format of its extension. On
// failure nothing is left under `outputPath` (an earlier file there stays as it was).
bool convertMesh(const std::string& inputPath, const std::string& outputPath,
                 const ConvertOptions& options, std::string& error);

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
