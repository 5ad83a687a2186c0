// Microbenchmarks of the hot paths: the field, the cube polygoniser, the cube walk, one whole block
// and the fast sampling phase.
// Run: build/bench/quarnel_bench (add --benchmark_filter=... to pick).
#include <benchmark/benchmark.h>

#include <vector>

#include "app/front_end.h"
#include "mesh/block_mesher.h"
#include "mesh/crossing_pins.h"
#include "mesh/cube_walk.h"
#include "mesh/polygonise.h"
#include "support/reference_paths.h"

namespace {

const Box3d kPresetZeroBox = kRunBox;

// Points spread over the run's box, so escape steps vary as in a real block.
std::vector<Vec3d> boxPoints() {
    std::vector<Vec3d> points;
    for (int k = 0; k < 16; ++k) {
        for (int j = 0; j < 16; ++j) {
            for (int i = 0; i < 16; ++i) {
                points.push_back({-1.2 + 0.15 * i, -1.2 + 0.15 * j, -1.2 + 0.15 * k});
            }
        }
    }
    return points;
}

void BM_FieldValue(benchmark::State& state) {
    const std::vector<Vec3d> points = boxPoints();
    for (auto _ : state) {
        for (const Vec3d& point : points) {
            benchmark::DoNotOptimize(fieldValue(point, kDefaultFieldParams));
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(points.size()));
}
BENCHMARK(BM_FieldValue);

// Every cube of the preset-0 block, as the mesher hands them over: mostly empty cubes.
void BM_PolygoniseCell(benchmark::State& state) {
    static BlockBuffers buffers;
    sampleBlockReference(kDefaultFieldParams, kPresetZeroBox, buffers.samples);
    const BlockLattice lattice = computeBlockLattice(kPresetZeroBox);
    std::vector<GridCube> cubes;
    for (int k = 0; k < 63; ++k) {
        for (int j = 0; j < 63; ++j) {
            for (int i = 0; i < 63; ++i) {
                GridCube cube;
                loadCube(lattice, buffers.samples, i, j, k, &cube);
                cubes.push_back(cube);
            }
        }
    }
    Triangle3d triangles[5];
    for (auto _ : state) {
        int64_t total = 0;
        for (const GridCube& cube : cubes) {
            total += polygoniseCell(cube, 0.5, triangles);
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(cubes.size()));
}
BENCHMARK(BM_PolygoniseCell)->Unit(benchmark::kMillisecond);

// One whole block (the preset-0 box) by each sampling path; items are samples. Argument 0 is the
// straightforward evaluation, 1 the column path, 2 and 3 the vector path on AVX2 and AVX-512.
void BM_MeshBlock(benchmark::State& state) {
    static BlockBuffers buffers;
    const int path = static_cast<int>(state.range(0));
    const SimdLevel level = path == 3 ? SimdLevel::kAvx512 : SimdLevel::kAvx2;
    if (path >= 2 && level > detectSimdLevel()) {
        state.SkipWithError("vector level not supported here");
        return;
    }
    const BlockSampler sampler = path >= 2
                                     ? BlockSampler{SamplingMethod::kVector, &vectorKernels(level)}
                                     : BlockSampler{SamplingMethod::kColumns, nullptr};
    for (auto _ : state) {
        if (path == 0) {
            benchmark::DoNotOptimize(
                meshBlockReference(kDefaultFieldParams, kPresetZeroBox, buffers, 0.5));
        } else {
            benchmark::DoNotOptimize(
                meshBlock(sampler, kDefaultFieldParams, kPresetZeroBox, buffers, 0.5));
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kBlockSampleCount));
}
BENCHMARK(BM_MeshBlock)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// The cube walk alone on a preset-3 block with much surface (44,308 triangles, 3.5 times the
// preset's mean): argument 0 walks every cube, 1 only the cubes the class masks mark as crossed.
// Items are cubes.
void BM_CubeWalk(benchmark::State& state) {
    static BlockBuffers buffers;
    const Box3d box = {{0.24, -0.72, -0.72}, {0.72, -0.24, -0.24}};
    sampleBlockReference(kDefaultFieldParams, box, buffers.samples);
    computeClassMasks(buffers.samples, 0.5, buffers.classMasks);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            state.range(0) == 0 ? meshEveryCube(box, buffers.samples, 0.5, buffers.records)
                                : meshSampledBlock(box, buffers.samples, buffers.classMasks, 0.5,
                                                   buffers.records));
    }
    state.SetItemsProcessed(state.iterations() * 63 * 63 * 63);
}
BENCHMARK(BM_CubeWalk)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);

// The vector classifier alone on every sample of the preset-0 block; items are samples.
void BM_ClassifyLanes(benchmark::State& state) {
    const SimdLevel level = static_cast<SimdLevel>(state.range(0));
    if (level > detectSimdLevel()) {
        state.SkipWithError("vector level not supported here");
        return;
    }
    const BlockLattice lattice = computeBlockLattice(kPresetZeroBox);
    std::vector<double> cx, cy, cz, s, sqrtS, cosPhi8, sinPhi8;
    for (int k = 0; k < 64; ++k) {
        for (int j = 0; j < 64; ++j) {
            for (int i = 0; i < 64; ++i) {
                const ColumnTerms terms = computeColumnTerms(lattice.xs[i], lattice.zs[k]);
                cx.push_back(lattice.xs[i]);
                cy.push_back(lattice.ys[j]);
                cz.push_back(lattice.zs[k]);
                s.push_back(terms.s);
                sqrtS.push_back(terms.sqrtS);
                cosPhi8.push_back(terms.cosPhi8);
                sinPhi8.push_back(terms.sinPhi8);
            }
        }
    }
    std::vector<double> out(cx.size());
    const ClassifyLanes lanes = {cx.data(),    cy.data(),      cz.data(),     s.data(),
                                 sqrtS.data(), cosPhi8.data(), sinPhi8.data()};
    for (auto _ : state) {
        classifyLanes(level, lanes, static_cast<int>(cx.size()), kDefaultFieldParams.maxIterations,
                      out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(cx.size()));
}
BENCHMARK(BM_ClassifyLanes)
    ->Arg(static_cast<int>(SimdLevel::kAvx2))
    ->Arg(static_cast<int>(SimdLevel::kAvx512))
    ->Unit(benchmark::kMillisecond);

// The fast sampling phase and the crossings it leaves open, with their share of exact
// evaluations, on the preset-0 block and on a preset-3 block at the surface.
void BM_SampleBlockFast(benchmark::State& state) {
    static BlockBuffers buffers;
    const SimdLevel level = static_cast<SimdLevel>(state.range(0));
    if (level > detectSimdLevel()) {
        state.SkipWithError("vector level not supported here");
        return;
    }
    const Box3d box = state.range(1) == 0 ? kPresetZeroBox
                                          : Box3d{{-0.24, -0.24, 0.24}, {0.24, 0.24, 0.72}};
    FastSamplingStats stats = {0, 0, 0, 0};
    int32_t pinned = 0;
    for (auto _ : state) {
        stats = sampleBlockFast(kDefaultFieldParams, box, 0.5, vectorKernels(level), buffers.samples,
                                buffers.highs, buffers.classMasks);
        pinned = pinCrossings(kDefaultFieldParams, box, 0.5, buffers.samples, buffers.highs,
                              buffers.classMasks);
    }
    state.counters["exact_share"] =
        static_cast<double>(stats.exact + pinned) / kBlockSampleCount;
    state.counters["undecided"] = stats.undecided;
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kBlockSampleCount));
}
BENCHMARK(BM_SampleBlockFast)
    ->Args({static_cast<int>(SimdLevel::kAvx512), 0})
    ->Args({static_cast<int>(SimdLevel::kAvx2), 0})
    ->Args({static_cast<int>(SimdLevel::kAvx512), 1})
    ->Args({static_cast<int>(SimdLevel::kAvx2), 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
