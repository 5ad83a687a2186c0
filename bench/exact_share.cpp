// exact_share: for each preset given, the share of samples that the fast sampling path evaluated
// exactly with libm (undecided by the vector classifier, or next to the surface).
// Usage: build/bench/exact_share 0 1 2 3
#include <cstdio>
#include <cstdlib>

#include "app/front_end.h"
#include "fractal/field_classify.h"
#include "mesh/block_mesher.h"
#include "output/tessellate.h"

int main(int argc, char** argv) {
    const SimdLevel level = detectSimdLevel();
    if (level == SimdLevel::kNone) {
        std::printf("no vector kernel on this CPU\n");
        return 1;
    }
    const Box3d box = {{-1.2, -1.2, -1.2}, {1.2, 1.2, 1.2}};
    BlockBuffers buffers;
    for (int a = 1; a < argc; ++a) {
        const int preset = parsePresetIndex(argv[a]);
        if (preset < 0) {
            std::printf("bad preset %s\n", argv[a]);
            return 1;
        }
        const BlockGrid grid = decomposeBox(box, kResolutionPresets[preset].resolution);
        long long exact = 0;
        long long undecided = 0;
        for (int32_t k = 0; k < grid.blocksZ; ++k) {
            for (int32_t j = 0; j < grid.blocksY; ++j) {
                for (int32_t i = 0; i < grid.blocksX; ++i) {
                    const FastSamplingStats stats =
                        sampleBlockFast(kDefaultFieldParams, blockBox(box, grid.blockEdge, i, j, k),
                                        0.5, level, buffers.samples);
                    exact += stats.exact;
                    undecided += stats.undecided;
                }
            }
        }
        const double samples = static_cast<double>(grid.totalBlocks) * kBlockSampleCount;
        std::printf("%d %.4f %lld\n", preset, exact / samples, undecided);
    }
    return 0;
}
