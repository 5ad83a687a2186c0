// Entry points that only the tests and the benchmarks use: the straightforward evaluation the
// faster paths are held to, and the classifier and the modulus bound with their certified bound
// scaled.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "fractal/block_sampler.h"
#include "fractal/field_classify.h"
#include "mesh/block_buffers.h"

// fieldValue at every lattice point of `box`, once per sample in storage order.
void sampleBlockReference(const FieldParams& params, const Box3d& box, double* samples);

// Fills `cube` for the cube with lowest lattice corner (i, j, k), 0 <= i, j, k < 63: positions from
// the lattice, values from the sample grid, in the GridCube numbering.
void loadCube(const BlockLattice& lattice, const double* samples, int i, int j, int k,
              GridCube* cube);

// Polygonises the cube with lowest lattice corner (i, j, k) and stores its triangles (at most
// five) as records from `records`. Returns how many.
int32_t meshCube(const BlockLattice& lattice, const double* samples, int i, int j, int k,
                 double isoLevel, TriangleRecord* records);

// The straightforward cube walk: loadCube and polygoniseCell on every one of the 63^3 cubes, in
// the walk's order, records from position 0. Returns the record count.
int32_t meshEveryCube(const Box3d& box, const double* samples, double isoLevel,
                      TriangleRecord* records);

// The straightforward block: sampleBlockReference, then meshEveryCube. Returns the record count.
int32_t meshBlockReference(const FieldParams& params, const Box3d& box, BlockBuffers& buffers,
                           double isoLevel);

// What checkBlockCertificates found in one block.
struct CertificateCheck {
    long long boxes = 0;             // boxes certified, over every depth
    long long certified = 0;         // of them, those given a class or the exact 0
    long long certifiedSamples = 0;  // the samples of those
    long long wrong = 0;             // certificates that some sample of their box contradicts
    std::string firstWrong;          // the first of those, in words
};

// Certifies every box of the sampler's octree at every depth, and every box of 2^3 samples below
// it (the sampler itself certifies only inside open boxes), and checks each certificate at every
// sample of its box against `reference`, sampleBlockReference's samples of `block`. Adds to
// `check`.
void checkBlockCertificates(SimdLevel level, const Box3d& block, const double* reference,
                            CertificateCheck& check);

// classifyLanes with every term of its error bound multiplied by `errorBoundScale`, to show that
// a smaller bound would decide wrongly.
void classifyLanesScaled(SimdLevel level, const ClassifyLanes& lanes, int count,
                         int maxIterations, double errorBoundScale, double* out);

// The AVX2 classifier's float pass alone (NaN where it leaves a lane to double), with its bound
// scaled likewise. Requires AVX2.
void classifyFloatLanesScaled(const ClassifyLanes& lanes, int count, int maxIterations,
                              double errorBoundScale, double* out);

// boundFinalModulus with every term of its bound multiplied by `errorBoundScale`, to show that a
// narrower bound would miss libm's value; with `radii` (else null), bounds for every point within
// radii[n] of lane n.
void boundFinalModulusScaled(SimdLevel level, const ClassifyLanes& lanes, const double* radii,
                             int count, int maxIterations, double errorBoundScale, double* low,
                             double* high);

// The final modulus of fieldValue's orbit at `point`: the same steps, the modulus itself returned.
double finalModulusReference(const Vec3d& point, const FieldParams& params);

// The vector levels this CPU runs, lowest first.
inline std::vector<SimdLevel> vectorLevelsOfThisCpu() {
    std::vector<SimdLevel> levels;
    for (SimdLevel level : {SimdLevel::kAvx2, SimdLevel::kAvx512}) {
        if (level <= detectSimdLevel()) {
            levels.push_back(level);
        }
    }
    return levels;
}

// Test names and messages show a level by its name.
inline void PrintTo(SimdLevel level, std::ostream* out) {
    *out << simdLevelName(level);
}
