// `quarnel-mesh convert`: a source, the edits, the placement, a writer from the table, the commit.
#pragma once

#include <cstdint>
#include <string>

#include "quarnel_mesh/edit/islands.h"
#include "quarnel_mesh/edit/simplify.h"

struct ConvertOptions {
    double simplifyRatio = 1.0;     // below 1: keep about this share of the triangles
    bool smoothNormals = false;     // per-vertex normals, area-weighted; other formats ignore it
    bool compress = false;          // .glb only: quantized and meshoptimizer-encoded
    bool zUp = false;               // the fractal's axis y becomes z
    double sizeMillimetres = 0.0;   // above 0: the longest side of the box becomes this
    int64_t dropIslandFaces = 0;    // above 0: pieces with fewer faces are removed
    bool keepBodyOnly = false;      // the largest piece and its voids, nothing else
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

// `quarnel-mesh convert`: writes `inputPath` to `outputPath` in the format of its extension (see
// mesh_writer.h), in stages: the source (the records, swept), the edits (the pieces' filter, the
// simplifier, whose result is held or spilled to disk and read as records again), the placement,
// and the format's writer, then the commit. On failure nothing is left under `outputPath` (an
// earlier file there stays as it was).
bool convertMesh(const std::string& inputPath, const std::string& outputPath,
                 const ConvertOptions& options, ConvertReport& report, std::string& error);
