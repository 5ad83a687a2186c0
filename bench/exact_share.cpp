// exact_share: for each preset given, its blocks per axis, the share of samples that the vector
// sampling path evaluated exactly with libm (undecided by the classifier, or at the ends of crossed
// edges that their certified bounds do not pin), the undecided count, the share given to the
// per-sample classifier (outside certified boxes) and the share of the ends of crossed edges
// whose value libm gave (the rest keep their bound).
// Usage: build/bench/exact_share 0 1 2 3
#include <cstdio>

#include "app/front_end.h"
#include "mesh/block_buffers.h"
#include "mesh/crossing_pins.h"
#include "pipeline/tessellate.h"

int main(int argc, char** argv) {
    const SimdLevel level = detectSimdLevel();
    BlockBuffers buffers;
    for (int a = 1; a < argc; ++a) {
        const int preset = parsePresetIndex(argv[a]);
        if (preset < 0) {
            std::printf("bad preset %s\n", argv[a]);
            return 1;
        }
        const BlockGrid grid = decomposeBox(kRunBox, kResolutionPresets[preset].resolution);
        long long exact = 0;
        long long undecided = 0;
        long long classified = 0;
        long long bounded = 0;
        if (level == SimdLevel::kNone) {
            exact = grid.totalBlocks * static_cast<long long>(kBlockSampleCount);
        }
        for (int64_t b = 0; level != SimdLevel::kNone && b < grid.totalBlocks; ++b) {
            const Box3d box = blockBoxAt(kRunBox, grid, b);
            const FastSamplingStats stats =
                sampleBlockFast(kDefaultFieldParams, box, kRunIsoLevel, vectorKernels(level),
                                buffers.samples, buffers.highs, buffers.classMasks);
            const int32_t pinned = pinCrossings(kDefaultFieldParams, box, kRunIsoLevel,
                                                buffers.samples, buffers.highs, buffers.classMasks);
            exact += stats.exact + pinned;
            bounded += stats.bounded - pinned;
            undecided += stats.undecided;
            classified += stats.classified;
        }
        const double samples = static_cast<double>(grid.totalBlocks) * kBlockSampleCount;
        const long long ends = exact - undecided + bounded;
        std::printf("%d %d %.6f %lld %.4f %s %.4f\n", preset, grid.blocksX, exact / samples,
                    undecided, classified / samples, simdLevelName(level),
                    ends > 0 ? static_cast<double>(exact - undecided) / ends : 0.0);
    }
    return 0;
}
