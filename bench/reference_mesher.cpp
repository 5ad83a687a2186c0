// quarnel_reference: the mesh of a preset by the straightforward evaluation (fieldValue at every
// sample) or the column path, each followed by a walk over every cube, one block after the other
// on one thread, written to the file name quarnel uses. The benchmark script times quarnel against
// it and compares the files byte for byte.
// Usage: quarnel_reference reference|columns PRESET
#include <cstdio>
#include <cstring>
#include <string>

#include "app/front_end.h"
#include "io/atomic_output.h"
#include "mesh/cube_walk.h"
#include "pipeline/interval_timer.h"
#include "pipeline/tessellate.h"
#include "support/reference_paths.h"

int main(int argc, char** argv) {
    const bool columns = argc == 3 && std::strcmp(argv[1], "columns") == 0;
    if (argc != 3 || (!columns && std::strcmp(argv[1], "reference") != 0) ||
        parsePresetIndex(argv[2]) < 0) {
        std::fprintf(stderr, "usage: quarnel_reference reference|columns PRESET\n");
        return 1;
    }
    const ResolutionPreset& preset = kResolutionPresets[parsePresetIndex(argv[2])];
    char name[260];
    std::snprintf(name, sizeof name, "quarnel_%.2fm.v3c1",
                  static_cast<double>(preset.millionTriangles));
    IntervalTimer timer;
    AtomicOutput output;
    if (!openAtomicOutput(name, output)) {
        std::fprintf(stderr, "%s\n", describeOutputFailure(output).c_str());
        return 1;
    }
    BlockBuffers buffers;
    const BlockGrid grid = decomposeBox(kRunBox, preset.resolution);
    long long triangles = 0;
    for (int32_t k = 0; k < grid.blocksZ; ++k) {
        for (int32_t j = 0; j < grid.blocksY; ++j) {
            for (int32_t i = 0; i < grid.blocksX; ++i) {
                const Box3d box = blockBox(kRunBox, grid.blockEdge, i, j, k);
                if (columns) {
                    sampleBlockColumns(kDefaultFieldParams, box, buffers.samples);
                } else {
                    sampleBlockReference(kDefaultFieldParams, box, buffers.samples);
                }
                const int32_t count =
                    meshEveryCube(box, buffers.samples, kRunIsoLevel, buffers.records);
                writeAtomicOutput(output, buffers.records, count * sizeof(TriangleRecord));
                triangles += count;
            }
        }
    }
    if (!commitAtomicOutput(output)) {
        std::fprintf(stderr, "%s\n", describeOutputFailure(output).c_str());
        return 1;
    }
    std::printf("Done: %lld triangles, %.0f seconds\n", triangles, timer.elapsedSeconds());
    return 0;
}
