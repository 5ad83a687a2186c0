// certificate_check: every box of the sampler's octree, at every depth and of 2^3 samples below
// it, of every block of the presets given, certified at every vector level this CPU has and
// checked against fieldValue at each of its samples. Prints per preset and level: blocks, boxes,
// certified boxes, the share of certified samples over all depths, and the certificates some
// sample contradicts (must be 0).
// Usage: build/bench/certificate_check 0 1 2 3 4 5
#include <cstdio>

#include "app/front_end.h"
#include "mesh/block_buffers.h"
#include "pipeline/tessellate.h"
#include "support/reference_paths.h"

int main(int argc, char** argv) {
    static BlockBuffers reference;
    int wrongTotal = 0;
    for (int a = 1; a < argc; ++a) {
        const int preset = parsePresetIndex(argv[a]);
        if (preset < 0) {
            std::printf("bad preset %s\n", argv[a]);
            return 1;
        }
        const BlockGrid grid = decomposeBox(kRunBox, kResolutionPresets[preset].resolution);
        CertificateCheck checks[2];
        const SimdLevel levels[2] = {SimdLevel::kAvx2, SimdLevel::kAvx512};
        for (int64_t b = 0; b < grid.totalBlocks; ++b) {
            const Box3d block = blockBoxAt(kRunBox, grid, b);
            sampleBlockReference(kDefaultFieldParams, block, reference.samples);
            for (int l = 0; l < 2; ++l) {
                if (levels[l] <= detectSimdLevel()) {
                    checkBlockCertificates(levels[l], block, reference.samples, checks[l]);
                }
            }
        }
        for (int l = 0; l < 2; ++l) {
            if (levels[l] > detectSimdLevel()) {
                continue;
            }
            const CertificateCheck& check = checks[l];
            const double samples =
                static_cast<double>(grid.totalBlocks) * (kOctreeDepths + 1) * 262144;
            std::printf("preset %d %s: %lld blocks, %lld boxes, %lld certified, %.1f%% of samples, "
                        "%lld wrong %s\n",
                        preset, simdLevelName(levels[l]), static_cast<long long>(grid.totalBlocks),
                        check.boxes, check.certified, 100.0 * check.certifiedSamples / samples,
                        check.wrong, check.firstWrong.c_str());
            wrongTotal += check.wrong > 0;
        }
    }
    return wrongTotal == 0 ? 0 : 1;
}
