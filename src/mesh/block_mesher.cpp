#include "mesh/block_mesher.h"

#include "mesh/polygonise.h"
#include "output/triangle_record.h"

namespace {

constexpr int kN = kBlockSamplesPerAxis;
constexpr int kSliceStride = kN * kN;

}  // namespace

void computeLatticeAxis(double min, double max, double* coordinates) {
    const double step = (max - min) / 63.0;
    double c = min;
    for (int n = 0; n < kN; ++n) {
        coordinates[n] = c;
        c = c + step;
    }
}

BlockLattice computeBlockLattice(const Box3d& box) {
    BlockLattice lattice;
    computeLatticeAxis(box.min.x, box.max.x, lattice.xs);
    computeLatticeAxis(box.min.y, box.max.y, lattice.ys);
    computeLatticeAxis(box.min.z, box.max.z, lattice.zs);
    return lattice;
}

void loadCube(const BlockLattice& lattice, const double* samples, int i, int j, int k,
              GridCube* cube) {
    const double x0 = lattice.xs[i];
    const double x1 = lattice.xs[i + 1];
    const double y0 = lattice.ys[j];
    const double y1 = lattice.ys[j + 1];
    const double z0 = lattice.zs[k];
    const double z1 = lattice.zs[k + 1];
    const double* p = samples + i + kN * j + kSliceStride * k;
    cube->corners[0] = {{x0, y0, z1}, p[kSliceStride]};
    cube->corners[1] = {{x1, y0, z1}, p[kSliceStride + 1]};
    cube->corners[2] = {{x1, y0, z0}, p[1]};
    cube->corners[3] = {{x0, y0, z0}, p[0]};
    cube->corners[4] = {{x0, y1, z1}, p[kSliceStride + kN]};
    cube->corners[5] = {{x1, y1, z1}, p[kSliceStride + kN + 1]};
    cube->corners[6] = {{x1, y1, z0}, p[kN + 1]};
    cube->corners[7] = {{x0, y1, z0}, p[kN]};
}

void sampleBlockReference(const FieldParams& params, const Box3d& box, double* samples) {
    const BlockLattice lattice = computeBlockLattice(box);
    double* out = samples;
    for (int k = 0; k < kN; ++k) {
        for (int j = 0; j < kN; ++j) {
            for (int i = 0; i < kN; ++i) {
                *out++ = fieldValue({lattice.xs[i], lattice.ys[j], lattice.zs[k]}, params);
            }
        }
    }
}

void sampleBlockColumns(const FieldParams& params, const Box3d& box, double* samples) {
    const BlockLattice lattice = computeBlockLattice(box);
    double* out = samples;
    for (int k = 0; k < kN; ++k) {
        // atan2(z, x) and the sine and cosine of 8 times it depend only on (x, z): one slice of
        // the grid shares 64 columns, each reused by its 64 samples along y.
        ColumnTerms columns[kN];
        for (int i = 0; i < kN; ++i) {
            columns[i] = computeColumnTerms(lattice.xs[i], lattice.zs[k]);
        }
        for (int j = 0; j < kN; ++j) {
            for (int i = 0; i < kN; ++i) {
                *out++ = fieldValueInColumn({lattice.xs[i], lattice.ys[j], lattice.zs[k]},
                                             columns[i], params);
            }
        }
    }
}

namespace {

// The column terms of one z slice, as structure of arrays for the vector kernel and as records
// for the exact evaluations.
struct SliceColumns {
    ColumnTerms terms[kN];
    double s[kN];
    double sqrtS[kN];
    double cosPhi8[kN];
    double sinPhi8[kN];
};

void computeSliceColumns(const double* xs, double z, SliceColumns* slice) {
    for (int i = 0; i < kN; ++i) {
        const ColumnTerms terms = computeColumnTerms(xs[i], z);
        slice->terms[i] = terms;
        slice->s[i] = terms.s;
        slice->sqrtS[i] = terms.sqrtS;
        slice->cosPhi8[i] = terms.cosPhi8;
        slice->sinPhi8[i] = terms.sinPhi8;
    }
}

// True when the sample at (i, j, k) has a neighbour along x, y or z on the other side of the
// level: it is an end of a crossed edge, and the mesh reads its value.
inline bool touchesSurface(const double* samples, int i, int j, int k, double isoLevel) {
    const double* p = samples + i + kN * j + kSliceStride * k;
    const bool below = p[0] < isoLevel;
    return (i > 0 && (p[-1] < isoLevel) != below) ||
           (i < kN - 1 && (p[1] < isoLevel) != below) ||
           (j > 0 && (p[-kN] < isoLevel) != below) ||
           (j < kN - 1 && (p[kN] < isoLevel) != below) ||
           (k > 0 && (p[-kSliceStride] < isoLevel) != below) ||
           (k < kN - 1 && (p[kSliceStride] < isoLevel) != below);
}

}  // namespace

FastSamplingStats sampleBlockFast(const FieldParams& params, const Box3d& box, double isoLevel,
                                  SimdLevel level, double* samples) {
    const BlockLattice lattice = computeBlockLattice(box);
    const double* xs = lattice.xs;
    const double* ys = lattice.ys;
    const double* zs = lattice.zs;
    FastSamplingStats stats = {0, 0};

    // Slices are classified one ahead of the exact pass: the exact pass over slice k needs the
    // classes of slices k - 1 and k + 1, and only slice k's column terms. Replacing a stand-in by
    // its exact value keeps its class, so later neighbour tests read the same classes.
    SliceColumns columns[2];
    double sliceY[kN];
    double sliceZ[kN];
    auto classifySlice = [&](int k) {
        SliceColumns& slice = columns[k & 1];
        computeSliceColumns(xs, zs[k], &slice);
        for (int i = 0; i < kN; ++i) {
            sliceZ[i] = zs[k];
        }
        for (int j = 0; j < kN; ++j) {
            for (int i = 0; i < kN; ++i) {
                sliceY[i] = ys[j];
            }
            double* row = samples + kN * j + kSliceStride * k;
            const ClassifyLanes lanes = {xs, sliceY, sliceZ, slice.s, slice.sqrtS, slice.cosPhi8,
                                         slice.sinPhi8};
            classifyLanes(level, lanes, kN, params.maxIterations, 1.0, row);
            for (int i = 0; i < kN; ++i) {
                if (row[i] != row[i]) {  // undecided: NaN
                    row[i] = fieldValueInColumn({xs[i], ys[j], zs[k]}, slice.terms[i], params);
                    ++stats.undecided;
                }
            }
        }
    };
    auto resolveSlice = [&](int k) {
        const SliceColumns& slice = columns[k & 1];
        for (int j = 0; j < kN; ++j) {
            double* row = samples + kN * j + kSliceStride * k;
            for (int i = 0; i < kN; ++i) {
                if (touchesSurface(samples, i, j, k, isoLevel)) {
                    row[i] = fieldValueInColumn({xs[i], ys[j], zs[k]}, slice.terms[i], params);
                    ++stats.exact;
                }
            }
        }
    };
    classifySlice(0);
    for (int k = 0; k < kN; ++k) {
        if (k + 1 < kN) {
            classifySlice(k + 1);
        }
        resolveSlice(k);
    }
    stats.exact += stats.undecided;
    return stats;
}

int32_t meshSampledBlock(const Box3d& box, const double* samples, double isoLevel,
                         TriangleRecord* records) {
    // The cube walk reuses the sampling lattice, so every corner sits bit for bit where its
    // sample was evaluated.
    const BlockLattice lattice = computeBlockLattice(box);

    GridCube cube;
    Triangle3d triangles[5];
    int32_t count = 0;
    for (int k = 0; k < kN - 1; ++k) {
        for (int j = 0; j < kN - 1; ++j) {
            for (int i = 0; i < kN - 1; ++i) {
                loadCube(lattice, samples, i, j, k, &cube);
                const int32_t produced = polygoniseCell(cube, isoLevel, triangles);
                for (int32_t t = 0; t < produced; ++t) {
                    records[count + t] = toTriangleRecord(triangles[t]);
                }
                count += produced;
            }
        }
    }
    return count;
}

int32_t meshBlockUsing(SamplingPath path, const FieldParams& params, const Box3d& box,
                       BlockBuffers& buffers, double isoLevel) {
    switch (path) {
        case SamplingPath::kReference:
            sampleBlockReference(params, box, buffers.samples);
            break;
        case SamplingPath::kColumns:
            sampleBlockColumns(params, box, buffers.samples);
            break;
        case SamplingPath::kFast: {
            static const SimdLevel level = detectSimdLevel();
            if (level != SimdLevel::kNone && classificationApplies(params, isoLevel)) {
                sampleBlockFast(params, box, isoLevel, level, buffers.samples);
            } else {
                sampleBlockColumns(params, box, buffers.samples);
            }
            break;
        }
    }
    return meshSampledBlock(box, buffers.samples, isoLevel, buffers.records);
}

int32_t meshBlock(const FieldParams& params, const Box3d& box, BlockBuffers& buffers,
                  double isoLevel) {
    return meshBlockUsing(kDefaultSamplingPath, params, box, buffers, isoLevel);
}
