// Block sampler: the field on the 64^3 lattice that spans one block, computed by the cheapest
// path this CPU and these parameters allow, with the same marching-cubes result as fieldValue at
// every sample.
//
// The vector path (sampleBlockFast) runs four passes, in order:
//   1. certifyOctree: certify the boxes of an octree (the block, then boxes of 16^3, 8^3 and 4^3
//      samples, each level only inside the boxes the one before left open); certifySubBoxes:
//      the eight 2^3 boxes of each open 4^3 leaf, one vector of lanes per leaf;
//   2. buildLeafRows: form each row's masks of open, below and exactly-0 samples;
//   3. classifySlice: classify the samples of open sub-boxes, build the class masks and the rows
//      of samples that hold their exact value;
//   4. boundSurfaceSlice: bound the values on the surface mask (libm where no bound comes).
// Passes 3 and 4 run slice by slice, 3 one slice ahead of 4. A block that pass 1 certifies whole
// needs none of the others: its rows take its class.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/types.h"
#include "fractal/field.h"
#include "fractal/field_classify.h"

// Samples per block along one axis, and the samples of one block (262,144 doubles, 2 MiB).
constexpr int kBlockSamplesPerAxis = 64;
constexpr std::size_t kBlockSampleCount = 64 * 64 * 64;
// Rows of 64 samples along x per block: row (j, k) at j + 64 k.
constexpr std::size_t kBlockRowCount = 64 * 64;

// The lattice of one block: the 64 coordinates of each axis, c(0) = min, c(n + 1) = c(n) + step
// with step = (max - min) / 63. A running sum, not min + n * step, so that the sampler and the
// cube walk get the same bits from it.
struct BlockLattice {
    double xs[kBlockSamplesPerAxis];
    double ys[kBlockSamplesPerAxis];
    double zs[kBlockSamplesPerAxis];
};
void computeLatticeAxis(double min, double max, double* coordinates);
BlockLattice computeBlockLattice(const Box3d& box);

// The classes of one lattice row of 64 samples as a mask: bit i is set when row[i] < isoLevel
// (a NaN is not below). The sampler and the cube walk find crossed edges and cubes with it.
uint64_t belowMask(const double* row, double isoLevel);

// belowMask of every row of `samples` into classMasks[j + 64 k] (kBlockRowCount masks).
void computeClassMasks(const double* samples, double isoLevel, uint64_t* classMasks);

// The samples of row (j, k) with a neighbour along x, y or z of the other class, as a mask: the
// ends of crossed edges, whose values the walk reads. `classMasks` holds every row's classes at
// j + 64 k.
inline uint64_t surfaceMask(const uint64_t* classMasks, int j, int k) {
    constexpr int kRow = kBlockSamplesPerAxis;
    const uint64_t a = classMasks[j + kRow * k];
    // Bit i against bit i - 1 and against bit i + 1; the row's ends have no neighbour outside.
    uint64_t touches = ((a ^ (a << 1)) & ~uint64_t{1}) | ((a ^ (a >> 1)) & (~uint64_t{0} >> 1));
    if (j > 0) {
        touches |= a ^ classMasks[j - 1 + kRow * k];
    }
    if (j < kRow - 1) {
        touches |= a ^ classMasks[j + 1 + kRow * k];
    }
    if (k > 0) {
        touches |= a ^ classMasks[j + kRow * (k - 1)];
    }
    if (k < kRow - 1) {
        touches |= a ^ classMasks[j + kRow * (k + 1)];
    }
    return touches;
}

// How the blocks of a run are sampled, chosen once per run.
enum class SamplingMethod {
    kColumns,  // fieldValue's bits, with the first step's azimuth terms shared per (x, z) column
    kVector,   // vector classification; certified value bounds only where the walk reads them
};

struct BlockSampler {
    SamplingMethod method;
    const VectorKernels* kernels;  // the vector level's kernels for kVector; null for kColumns
};

// kVector at the widest level the CPU runs when the classifier applies to these parameters
// (classificationApplies), else kColumns.
BlockSampler chooseBlockSampler(const FieldParams& params, double isoLevel);

// Fills classMasks (kBlockRowCount) with the classes of fieldValue against isoLevel at every
// lattice point (i, j, k) of `box`, as computeClassMasks would from fieldValue's samples, and
// samples[i + 64 j + 4096 k] (kBlockSampleCount doubles): with kColumns fieldValue's exact bits at
// every point; with kVector only at the ends of crossed edges (the bits of surfaceMask, the only
// samples the walk reads), each a certified bound: samples[p] <= fieldValue <= highs[n], both of
// its class and equal where the value is exact, n the rank of p among the ends in storage order
// (the mesh settles the crossings from these, see mesh/crossing_pins.h). Other samples of kVector,
// the rest of `highs` (room for kBlockSampleCount) and with kColumns all of it may hold anything. Returns how many ends hold a
// bound that is not the exact value (0 with kColumns): where none does, the samples are ready for
// the walk as they are. Allocates nothing.
int32_t sampleBlock(const BlockSampler& sampler, const FieldParams& params, const Box3d& box,
                 double isoLevel, double* samples, double* highs, uint64_t* classMasks);

// fieldValue at every lattice point, bit for bit, with the first step's azimuth terms computed
// once per (x, z) column instead of once per sample.
void sampleBlockColumns(const FieldParams& params, const Box3d& box, double* samples);

// What sampleBlockFast did.
struct FastSamplingStats {
    int32_t undecided;   // samples the vector classifier could not decide
    int32_t exact;       // samples evaluated with libm: the undecided ones and ends without a bound
    int32_t classified;  // samples given to the vector classifier: those of no certified box
    int32_t bounded;     // ends of crossed edges given a certified bound instead of libm's value
};

// The four passes above: sampleBlock's contract for kVector. Requires
// classificationApplies(params, isoLevel) and kernels of a level the CPU runs.
FastSamplingStats sampleBlockFast(const FieldParams& params, const Box3d& box, double isoLevel,
                                  const VectorKernels& kernels, double* samples, double* highs,
                                  uint64_t* classMasks);

// ---- internals for the sampler and the tests

// The octree's box edges in samples, coarsest first, each dividing the one before.
constexpr int kOctreeDepths = 4;
constexpr int kOctreeBoxEdges[kOctreeDepths] = {64, 16, 8, 4};

// A box of lattice points as the certifier takes it: every point lies within `radius` of `centre`.
struct SampleRegion {
    Vec3d centre;
    double radius;
};

// The box of `edge`^3 lattice points whose lowest one is (edge * bx, edge * by, edge * bz).
SampleRegion sampleRegion(const BlockLattice& lattice, int edge, int bx, int by, int bz);

// The octree's leaves: boxes of kLeafEdge^3 samples, 16 per axis, in rows of 16 along x, row
// b + 16 c holding leaves (0..15, b, c).
constexpr int kLeafEdge = kOctreeBoxEdges[kOctreeDepths - 1];
constexpr int kLeavesPerAxis = kBlockSamplesPerAxis / kLeafEdge;
constexpr int kLeafRowCount = kLeavesPerAxis * kLeavesPerAxis;
// The boxes below an open leaf, certified by the kernels' certifySmall: 2^3 samples each.
constexpr int kSubBoxEdge = kLeafEdge / 2;

