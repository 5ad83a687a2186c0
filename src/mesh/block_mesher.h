// Block mesher: samples the field on a 64^3 lattice spanning one block and turns its 63^3 cubes
// into TriangleRecords.
#pragma once

#include <cstdint>

#include "common/types.h"
#include "fractal/field.h"
#include "fractal/field_classify.h"

// The 64 lattice coordinates of one axis: c(0) = min, c(n + 1) = c(n) + (max - min) / 63.
// A running sum, not min + n * step, so every user of the lattice gets the same bits.
void computeLatticeAxis(double min, double max, double* coordinates);

// Fills samples[i + 64 j + 4096 k] with fieldValue at lattice point (i, j, k) of `box`, calling
// fieldValue once per sample in storage order. `samples` must hold kBlockSampleCount doubles.
void sampleBlockReference(const FieldParams& params, const Box3d& box, double* samples);

// sampleBlockReference's result, bit for bit, with the first step's azimuth terms computed once
// per (x, z) column instead of once per sample.
void sampleBlockColumns(const FieldParams& params, const Box3d& box, double* samples);

// What sampleBlockFast did, for tests and benchmarks.
struct FastSamplingStats {
    int32_t undecided;  // samples the vector classifier could not decide
    int32_t exact;      // samples given their exact value (undecided ones included)
};

// Fills `samples` so that meshSampledBlock yields exactly the records of sampleBlockReference's
// samples: every sample that is an end of a crossed edge (its neighbour along x, y or z lies on
// the other side of isoLevel) holds its exact value, every other one a stand-in of its class
// (0 below the level, 1 not). Requires classificationApplies(params, isoLevel) and a vector
// level the CPU has (not kNone).
FastSamplingStats sampleBlockFast(const FieldParams& params, const Box3d& box, double isoLevel,
                                  SimdLevel level, double* samples);

// The lattice of one block: the 64 coordinates of each axis, as computeLatticeAxis gives them.
struct BlockLattice {
    double xs[kBlockSamplesPerAxis];
    double ys[kBlockSamplesPerAxis];
    double zs[kBlockSamplesPerAxis];
};
BlockLattice computeBlockLattice(const Box3d& box);

// Fills `cube` for the cube with lowest lattice corner (i, j, k), 0 <= i, j, k < 63: positions from
// the lattice, values from the sample grid, in the GridCube numbering.
void loadCube(const BlockLattice& lattice, const double* samples, int i, int j, int k,
              GridCube* cube);

// Walks the 63^3 cubes of a sampled block (x fastest, then y, then z), polygonises each and stores
// its triangles as records from position 0 of `records` (room for kBlockMaxRecords). Returns the
// number stored. Reads `samples` only.
int32_t meshSampledBlock(const Box3d& box, const double* samples, double isoLevel,
                         TriangleRecord* records);

// How a block's samples are computed. Every path yields the same records, bit for bit.
enum class SamplingPath {
    kReference,  // fieldValue at every sample: the straightforward evaluation
    kColumns,    // first-step azimuth terms shared per (x, z) column
    kFast,       // vector classification, exact values only where the mesh reads them
};
constexpr SamplingPath kDefaultSamplingPath = SamplingPath::kFast;

// Samples and meshes one block with the buffers lent to it; returns the number of records stored
// at positions 0.. of buffers.records. Allocates nothing.
int32_t meshBlock(const FieldParams& params, const Box3d& box, BlockBuffers& buffers,
                  double isoLevel);

// meshBlock with a chosen sampling path.
int32_t meshBlockUsing(SamplingPath path, const FieldParams& params, const Box3d& box,
                       BlockBuffers& buffers, double isoLevel);
