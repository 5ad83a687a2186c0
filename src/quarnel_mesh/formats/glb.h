// glTF 2.0 binary, for the web and Blender.
#pragma once

#include <string>

#include "io/atomic_output.h"
#include "quarnel_mesh/model/indexed_mesh.h"

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
