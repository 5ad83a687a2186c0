// Binary little-endian PLY: shared vertices with their colour as red, green and blue bytes,
// then faces as lists of three 32-bit indices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/atomic_output.h"
#include "quarnel_mesh/formats/mesh_writer.h"
#include "quarnel_mesh/model/indexed_mesh.h"

// The header, which counts what follows, and the vertices; then writePlyFace once a face.
void writePlyHeader(AtomicOutput& output, int64_t vertexCount, int64_t faceCount);
void writePlyVertices(AtomicOutput& output, const WeldedVertex* vertices, size_t count);
void writePlyFace(AtomicOutput& output, const uint32_t indices[3]);

// PLY's row of the writer table: see writeSharedVertices.
bool writePly(const MeshSource& source, const Placement& placement, const WriteOptions& options,
              AtomicOutput& output, RunContext& run);
