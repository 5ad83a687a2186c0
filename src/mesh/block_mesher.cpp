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

void loadCube(const double* xs, const double* ys, const double* zs, const double* samples, int i,
              int j, int k, GridCube* cube) {
    const double x0 = xs[i];
    const double x1 = xs[i + 1];
    const double y0 = ys[j];
    const double y1 = ys[j + 1];
    const double z0 = zs[k];
    const double z1 = zs[k + 1];
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
    double xs[kN];
    double ys[kN];
    double zs[kN];
    computeLatticeAxis(box.min.x, box.max.x, xs);
    computeLatticeAxis(box.min.y, box.max.y, ys);
    computeLatticeAxis(box.min.z, box.max.z, zs);
    double* out = samples;
    for (int k = 0; k < kN; ++k) {
        for (int j = 0; j < kN; ++j) {
            for (int i = 0; i < kN; ++i) {
                *out++ = fieldValue({xs[i], ys[j], zs[k]}, params);
            }
        }
    }
}

void sampleBlockColumns(const FieldParams& params, const Box3d& box, double* samples) {
    double xs[kN];
    double ys[kN];
    double zs[kN];
    computeLatticeAxis(box.min.x, box.max.x, xs);
    computeLatticeAxis(box.min.y, box.max.y, ys);
    computeLatticeAxis(box.min.z, box.max.z, zs);
    double* out = samples;
    for (int k = 0; k < kN; ++k) {
        // atan2(z, x) and the sine and cosine of 8 times it depend only on (x, z): one slice of
        // the grid shares 64 columns, each reused by its 64 samples along y.
        ColumnTerms columns[kN];
        for (int i = 0; i < kN; ++i) {
            columns[i] = computeColumnTerms(xs[i], zs[k]);
        }
        for (int j = 0; j < kN; ++j) {
            for (int i = 0; i < kN; ++i) {
                *out++ = fieldValueInColumn({xs[i], ys[j], zs[k]}, columns[i], params);
            }
        }
    }
}

int32_t meshSampledBlock(const Box3d& box, const double* samples, double isoLevel,
                         TriangleRecord* records) {
    // The cube walk reuses the sampling lattice, so every corner sits bit for bit where its
    // sample was evaluated.
    double xs[kN];
    double ys[kN];
    double zs[kN];
    computeLatticeAxis(box.min.x, box.max.x, xs);
    computeLatticeAxis(box.min.y, box.max.y, ys);
    computeLatticeAxis(box.min.z, box.max.z, zs);

    GridCube cube;
    Triangle3d triangles[5];
    int32_t count = 0;
    for (int k = 0; k < kN - 1; ++k) {
        for (int j = 0; j < kN - 1; ++j) {
            for (int i = 0; i < kN - 1; ++i) {
                loadCube(xs, ys, zs, samples, i, j, k, &cube);
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
    }
    return meshSampledBlock(box, buffers.samples, isoLevel, buffers.records);
}

int32_t meshBlock(const FieldParams& params, const Box3d& box, BlockBuffers& buffers,
                  double isoLevel) {
    return meshBlockUsing(kDefaultSamplingPath, params, box, buffers, isoLevel);
}
