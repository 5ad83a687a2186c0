// Entry points that only the tests and the benchmarks use: the straightforward evaluation the
// faster paths are held to, and the classifier with its certified bound scaled.
#pragma once

#include <ostream>
#include <vector>

#include "fractal/block_sampler.h"
#include "fractal/field_classify.h"
#include "mesh/block_buffers.h"

// fieldValue at every lattice point of `box`, once per sample in storage order.
void sampleBlockReference(const FieldParams& params, const Box3d& box, double* samples);

// The straightforward cube walk: loadCube and polygoniseCell on every one of the 63^3 cubes, in
// the walk's order, records from position 0. Returns the record count.
int32_t meshEveryCube(const Box3d& box, const double* samples, double isoLevel,
                      TriangleRecord* records);

// The straightforward block: sampleBlockReference, then meshEveryCube. Returns the record count.
int32_t meshBlockReference(const FieldParams& params, const Box3d& box, BlockBuffers& buffers,
                           double isoLevel);

// classifyLanes with every term of its error bound multiplied by `errorBoundScale`, to show that
// a smaller bound would decide wrongly.
void classifyLanesScaled(SimdLevel level, const ClassifyLanes& lanes, int count,
                         int maxIterations, double errorBoundScale, double* out);

// Test names and messages show a level by its name.
inline void PrintTo(SimdLevel level, std::ostream* out) {
    *out << simdLevelName(level);
}
