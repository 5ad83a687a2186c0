// Crossing points from certified bounds: the exact field is evaluated only at the ends of the
// crossed edges whose float32 crossing point the sampler's bounds leave open.
//
// Why the records do not change
// -----------------------------
// The vector sampler leaves at each end p of a crossed edge a bound samples[p] <= fieldValue <=
// highs[n] on the sample's side of the level (n: p's rank among the ends). A record holds each
// crossing point narrowed to float32, and the walk decides from the double points only which
// triangles are dropped for two equal vertices. crossingIsPinned checks that every value in the two
// bounds gives the edge the same float32 point, no snapping, and a point strictly between its two
// lattice corners. So the value the sample holds (the lower end) gives the record fieldValue would
// give. And the drop test comes out the same: the crossing points of a cube lie on its twelve
// edges, exactly (the fixed coordinates are p1 + mu * 0), and two different edges meet only at a
// corner, so a point strictly inside its edge equals no other, whichever value in the bounds made
// it. An edge is interpolated in each cube that holds it, along x and z in both directions by the
// neighbouring cubes: each direction a cube uses is checked. Where a check fails, both ends get
// fieldValue's exact value, which lies in their bounds, so every check passed before still holds.
#pragma once

#include <cstdint>

#include "common/types.h"
#include "fractal/field.h"

// For the block `box` sampled by the vector sampler (samples, highs and classMasks as
// sampleBlock leaves them): replaces by fieldValue the ends of every crossed edge whose crossing
// point the bounds do not pin, in both arrays. The walk over `samples` then stores the records
// exact values would give. Returns how many samples it evaluated. Allocates nothing.
int32_t pinCrossings(const FieldParams& params, const Box3d& box, double isoLevel, double* samples,
                     double* highs, const uint64_t* classMasks);
