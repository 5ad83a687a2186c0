// Text OBJ: a header, the object "quarnel" with the material of the same name from the library
// beside it (OUT.mtl, the record colour as Kd), shared vertices in the fewest digits that read
// back exactly, and faces counted from 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/atomic_output.h"
#include "io/record_reader.h"
#include "quarnel_mesh/formats/mesh_writer.h"
#include "quarnel_mesh/model/indexed_mesh.h"

// "x.obj" -> "x.mtl": the material library an OBJ names.
std::string materialPathOf(const std::string& objPath);

// The header of an OBJ that will be committed as output.finalPath, which counts what follows;
// then the vertices, in one call or several, and writeObjFace once a face.
void writeObjHeader(AtomicOutput& output, int64_t vertexCount, int64_t faceCount);
void writeObjVertices(AtomicOutput& output, const WeldedVertex* vertices, size_t count);
void writeObjFace(AtomicOutput& output, const uint32_t indices[3]);

// OBJ's row of the writer table: see writeSharedVertices; then the material library, the
// colour of the first vertex as its Kd, into the output's companion (see createObjMaterial),
// which commits with it.
bool writeObj(const MeshSource& source, const Placement& placement, const WriteOptions& options,
              AtomicOutput& output, RunContext& run);

// Opens the material library beside `obj` as its companion, before any work: committing the OBJ
// commits both, or neither and the earlier files stay (see commitAtomicOutput). Refuses a
// library that would replace `input`.
bool createObjMaterial(const RecordReader& input, AtomicOutput& obj, AtomicOutput& material,
                       std::string& error);
