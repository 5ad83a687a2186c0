// PLY and OBJ straight from the records, in two passes: the first welds every vertex in file
// order, which gives the header its counts, the second writes the faces. Memory holds the
// distinct vertices only (about 30 bytes each).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "io/atomic_output.h"
#include "io/record_reader.h"
#include "quarnel_mesh/formats/format.h"
#include "quarnel_mesh/util/progress.h"

// Writes `reader` as `format` (kPly or kObj), leaving out (and counting in `nonFiniteDropped`)
// the triangles with a non-finite vertex, which PLY and OBJ readers refuse; `firstRgb` gets the
// colour of the first vertex. The vertex table stops at `weldMemoryLimitBytes` (0: three
// quarters of the RAM). `progress` counts two passes.
bool writeSharedStream(RecordReader& reader, MeshFormat format, uint64_t weldMemoryLimitBytes,
                       AtomicOutput& output, Progress& progress,
                       const std::atomic<bool>* stopRequested, int64_t& nonFiniteDropped,
                       uint8_t firstRgb[3], std::string& error);
