// Internals of the glb writers, one file per job: the JSON chunk and the file's head
// (glb_json.cpp), the plain writer (glb_plain.cpp), the compressed writer (glb_compressed.cpp),
// and what they share (glb.cpp, beside the entry points of glb.h).
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "quarnel_mesh/formats/glb.h"
#include "quarnel_mesh/model/smooth_normals.h"
#include "quarnel_mesh/util/scratch_file.h"

constexpr int kByteComponent = 5120;
constexpr int kShortComponent = 5122;
constexpr int kFloatComponent = 5126;
constexpr int kUnsignedIntComponent = 5125;
constexpr int kArrayBufferTarget = 34962;
constexpr int kElementArrayBufferTarget = 34963;

// ---- glb_json.cpp

// The float as the double it is, in the fewest digits: a reader that parses JSON numbers as
// double finds exactly the value in the buffer, which the validator demands of min and max.
std::string jsonNumber(double value);

std::string jsonVec3(const Vec3f& v);

// One buffer view: `length` bytes at `offset` of the buffer the accessors read. Compressed, the
// bytes are `compressedLength` at `compressedOffset` of the stored buffer, decoded by
// EXT_meshopt_compression (`count` elements of `stride` bytes, in `mode`), and the view itself
// lies in a fallback buffer that has no bytes of its own.
struct BufferView {
    size_t offset = 0;
    size_t length = 0;
    size_t stride = 0;  // 0: tightly packed, no byteStride written
    int target = 0;
    bool compressed = false;
    size_t compressedOffset = 0;
    size_t compressedLength = 0;
    size_t count = 0;
    const char* mode = "";
};

// What the JSON chunk says beyond the buffer views: accessors, the node's transform (which undoes
// the quantization of positions), the extensions, and the buffers.
struct GlbLayout {
    std::vector<BufferView> views;
    std::string accessors;
    std::string nodeTransform;  // "" or ",\"translation\":[...],\"scale\":[...]"
    std::string primitives;     // the mesh's primitives, "{...},{...}"
    std::string extensions;     // "" or the extensionsUsed and extensionsRequired members
    std::string buffers;
};

// The JSON chunk: the asset (generator, the source's name and the triangle count in its
// extras), scene, node, mesh and material named "quarnel", the colour as the linear base colour.
std::string glbJson(const GlbLayout& layout, size_t indexCount, const Vec3f& color,
                    const std::string& sourceName);

// One accessor of `count` elements of `type` in view `view`; `bounds`: "" or its min and max.
std::string accessorJson(int view, int componentType, bool normalized, size_t count,
                         const std::string& type, const std::string& bounds = "");

// A primitive of the mesh: its attributes' accessors and its index accessor.
std::string primitiveJson(int positionAccessor, int normalAccessor, int indexAccessor);

// The plain layout: float positions and normals and 32-bit indices, one after the other.
GlbLayout plainLayout(size_t vertexCount, size_t indexCount, bool hasNormals,
                      const Vec3f& boxMin, const Vec3f& boxMax, size_t& binBytes);

// The JSON chunk padded to 4 bytes, then the 12-byte header, the JSON chunk and the BIN chunk's
// header; its `binBytes` follow. False, with nothing written, when the file would not fit the
// header's 32-bit length.
bool writeGlbHead(std::string json, uint64_t binBytes, AtomicOutput& output, std::string& error);

// ---- glb.cpp: what the writers share

// `position` placed by `placement`.
Vec3f placed(const Placement& placement, const Vec3f& position);

// `verticesSeen` after `triangles`: the highest index in them and before, plus one.
int64_t highestIndexPlusOne(const SweepTriangles& triangles, int64_t before);

// A failed scratch file fails the output: "cannot write OUT: reason".
bool scratchFailed(const std::string& outputPath, std::initializer_list<const ScratchFile*> files,
                   std::string& error);

// The normals of `triangles`' faces, from their placed corners in the file's order, added to
// their corners' sums (see smooth_normals.h).
void addFaceNormals(NormalSums& normals, const Placement& placement,
                    const SweepTriangles& triangles, int64_t verticesSeen);

// ---- glb_plain.cpp

// The plain glb of what `sweep` hands on, each position placed by `placement`; the file holds
// `finiteTriangleCount` triangles, so that a file too large for a .glb is refused as soon as its
// vertices so far make that certain. The copy into the output advances `progress` from
// `doneBefore` by `copyUnits`.
bool writePlainGlb(const SweepPass& sweep, int64_t finiteTriangleCount, const Placement& placement,
                   const GlbOptions& options, AtomicOutput& output, Progress& progress,
                   int64_t doneBefore, int64_t copyUnits, std::string& error);

// ---- glb_compressed.cpp

// The compressed glb of what `sweep` hands on, quantized over the box from `boxMin` to `boxMax`
// (placed already, holding every vertex), each position placed by `placement`; the copy into the
// output advances `progress` from `doneBefore` by `copyUnits`.
bool writeCompressedGlbSweep(const SweepPass& sweep, const Vec3f& boxMin, const Vec3f& boxMax,
                             const Placement& placement, const GlbOptions& options,
                             AtomicOutput& output, Progress& progress, int64_t doneBefore,
                             int64_t copyUnits, std::string& error);

// The primitives writeCompressedGlbSweep would make of `mesh`, cut from it one at a time.
bool writeCompressedGlbMesh(const IndexedMesh& mesh, const GlbOptions& options,
                            AtomicOutput& output, std::string& error);
