// The output formats behind one table: a row per format holds its rules (how it is placed, what
// it refuses, how many passes it makes) and its writer, and every writer takes the mesh as a
// MeshSource and reports through the run's context.
#pragma once

#include <cstdint>
#include <string>

#include "io/atomic_output.h"
#include "io/record_reader.h"
#include "quarnel_mesh/edit/placement.h"
#include "quarnel_mesh/model/mesh_source.h"
#include "quarnel_mesh/util/run_context.h"

struct WriteOptions {
    bool smoothNormals = false;  // .glb: per-vertex normals, area-weighted
    bool compress = false;       // .glb: quantized and meshoptimizer-encoded
    std::string sourceName;      // the input's file name, which glb and 3MF record
};

// Writes `source`, each position placed by `placement` (a mesh in memory comes placed, with the
// identity), into `output`; false with run.error set. Over the records, run.progress advances
// from run.doneUnits by the writer's recordPassCount passes of the records.
using WriteMesh = bool (*)(const MeshSource& source, const Placement& placement,
                           const WriteOptions& options, AtomicOutput& output, RunContext& run);

// One row of the table.
struct MeshWriter {
    const char* extension;       // ".stl", in lower case; any case names the format
    const char* name;            // for messages: "binary STL"
    bool sharesVertices;         // welded: the triangles with a non-finite vertex left out
    int64_t recordPassCount;     // passes over the records the writer makes
    int64_t maxTriangles;        // the most the format can count (0: no limit of its own)
    bool refusesNothingToWrite;  // no finite triangle is refused before any work
    bool alwaysZUp;              // z-up whatever --z-up says (slicers print what they get)
    double defaultSizeMillimetres;  // the size without --size (0: as it is)
    const char* defaultSizeNote;    // the report's note for that size
    double millimetresPerUnit;      // --size's millimetres are divided by it (glTF: metres)
    const char* unitNote;           // the report's note when that is not 1
    bool isGltf;                    // --normals and --compress apply, --z-up does not (y-up)
    // Finds the seams in its own pass: with no edit and no size to give, the records come
    // without a plan (see MeshSource) and the writer's passes stand for the plan's and its own.
    bool findsSeamsItself;
    // Opens what is committed with the output (OBJ's material library), before any work; null:
    // nothing.
    bool (*openCompanion)(const RecordReader& input, AtomicOutput& output, AtomicOutput& companion,
                          std::string& error);
    WriteMesh write;
};

// The row of the format `path`'s extension names, or null.
const MeshWriter* meshWriterFor(const std::string& path);
