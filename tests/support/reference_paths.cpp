#include "support/reference_paths.h"

#include <cassert>
#include <cmath>
#include <vector>

#include "mesh/cube_walk.h"
#include "mesh/polygonise.h"

void classifyLanesScaledAvx2(const ClassifyLanes& lanes, int count, int maxIterations,
                             double errorBoundScale, double* out);
void classifyLanesScaledAvx512(const ClassifyLanes& lanes, int count, int maxIterations,
                               double errorBoundScale, double* out);

void boundFinalModulusScaledAvx2(const ClassifyLanes& lanes, const double* radii, int count,
                                 int maxIterations, double errorBoundScale, double* low,
                                 double* high);
void boundFinalModulusScaledAvx512(const ClassifyLanes& lanes, const double* radii, int count,
                                   int maxIterations, double errorBoundScale, double* low,
                                   double* high);

double finalModulusReference(const Vec3d& point, const FieldParams& params) {
    double x = point.x;
    double y = point.y;
    double z = point.z;
    double m = 0.0;
    for (int32_t i = 0; i < params.maxIterations; ++i) {
        const double s = x * x + z * z;
        const double r = std::sqrt(y * y + s);
        const double theta = std::atan2(std::sqrt(s), y);
        const double phi = std::atan2(z, x);
        const double rr = r * r;
        const double rrrr = rr * rr;
        const double r8 = rrrr * rrrr;
        const double w = std::sin(theta * 8.0) * r8;
        const double nx = std::cos(phi * 8.0) * w + point.x;
        const double nz = std::sin(phi * 8.0) * w + point.z;
        const double ny = std::cos(theta * 8.0) * r8 + point.y;
        m = std::sqrt((nx * nx + nz * nz) + ny * ny);
        x = nx;
        y = ny;
        z = nz;
        if (m > params.bailoutRadius) {
            break;
        }
    }
    return m;
}

namespace {

constexpr int kBlockSampleStride = kBlockSamplesPerAxis * kBlockSamplesPerAxis;  // one z slice

}  // namespace

void loadCube(const BlockLattice& lattice, const double* samples, int i, int j, int k,
              GridCube* cube) {
    const double x0 = lattice.xs[i];
    const double x1 = lattice.xs[i + 1];
    const double y0 = lattice.ys[j];
    const double y1 = lattice.ys[j + 1];
    const double z0 = lattice.zs[k];
    const double z1 = lattice.zs[k + 1];
    const double* p = samples + i + kBlockSamplesPerAxis * j + kBlockSampleStride * k;
    cube->corners[0] = {{x0, y0, z1}, p[kBlockSampleStride]};
    cube->corners[1] = {{x1, y0, z1}, p[kBlockSampleStride + 1]};
    cube->corners[2] = {{x1, y0, z0}, p[1]};
    cube->corners[3] = {{x0, y0, z0}, p[0]};
    cube->corners[4] = {{x0, y1, z1}, p[kBlockSampleStride + kBlockSamplesPerAxis]};
    cube->corners[5] = {{x1, y1, z1}, p[kBlockSampleStride + kBlockSamplesPerAxis + 1]};
    cube->corners[6] = {{x1, y1, z0}, p[kBlockSamplesPerAxis + 1]};
    cube->corners[7] = {{x0, y1, z0}, p[kBlockSamplesPerAxis]};
}

int32_t meshCube(const BlockLattice& lattice, const double* samples, int i, int j, int k,
                 double isoLevel, TriangleRecord* records) {
    GridCube cube;
    Triangle3d triangles[5];
    loadCube(lattice, samples, i, j, k, &cube);
    const int32_t produced = polygoniseCell(cube, isoLevel, triangles);
    for (int32_t t = 0; t < produced; ++t) {
        records[t] = toTriangleRecord(triangles[t]);
    }
    return produced;
}

void sampleBlockReference(const FieldParams& params, const Box3d& box, double* samples) {
    const BlockLattice lattice = computeBlockLattice(box);
    double* out = samples;
    for (int k = 0; k < kBlockSamplesPerAxis; ++k) {
        for (int j = 0; j < kBlockSamplesPerAxis; ++j) {
            for (int i = 0; i < kBlockSamplesPerAxis; ++i) {
                *out++ = fieldValue({lattice.xs[i], lattice.ys[j], lattice.zs[k]}, params);
            }
        }
    }
}

int32_t meshEveryCube(const Box3d& box, const double* samples, double isoLevel,
                      TriangleRecord* records) {
    const BlockLattice lattice = computeBlockLattice(box);
    int32_t count = 0;
    for (int k = 0; k < kBlockSamplesPerAxis - 1; ++k) {
        for (int j = 0; j < kBlockSamplesPerAxis - 1; ++j) {
            for (int i = 0; i < kBlockSamplesPerAxis - 1; ++i) {
                count += meshCube(lattice, samples, i, j, k, isoLevel, records + count);
            }
        }
    }
    return count;
}

int32_t meshBlockReference(const FieldParams& params, const Box3d& box, BlockBuffers& buffers,
                           double isoLevel) {
    sampleBlockReference(params, box, buffers.samples);
    return meshEveryCube(box, buffers.samples, isoLevel, buffers.records);
}

namespace {

// Certifies every box of `edge`^3 samples of the block, in lanes, the way the sampler builds them:
// with certifySmall for the boxes below the leaves, else certify.
std::vector<double> certifyEveryBox(SimdLevel level, const BlockLattice& lattice, int edge) {
    const int perAxis = kBlockSamplesPerAxis / edge;
    const size_t count = (static_cast<size_t>(perAxis) * perAxis * perAxis + 7) / 8 * 8;
    std::vector<double> cx(count), cy(count), cz(count), s(count), sqrtS(count), cosPhi8(count),
        sinPhi8(count), radius(count), out(count);
    for (size_t n = 0; n < count; ++n) {
        const size_t box = n < static_cast<size_t>(perAxis * perAxis * perAxis) ? n : 0;
        const SampleRegion region = sampleRegion(lattice, edge, box % perAxis,
                                                 box / perAxis % perAxis, box / perAxis / perAxis);
        const ColumnTerms terms = computeColumnTerms(region.centre.x, region.centre.z);
        cx[n] = region.centre.x;
        cy[n] = region.centre.y;
        cz[n] = region.centre.z;
        s[n] = terms.s;
        sqrtS[n] = terms.sqrtS;
        cosPhi8[n] = terms.cosPhi8;
        sinPhi8[n] = terms.sinPhi8;
        radius[n] = region.radius;
    }
    const ClassifyLanes centres = {cx.data(),    cy.data(),      cz.data(),     s.data(),
                                   sqrtS.data(), cosPhi8.data(), sinPhi8.data()};
    (edge == kSubBoxEdge ? certifySmallRegions : certifyRegions)(
        level, centres, radius.data(), static_cast<int>(count), kDefaultFieldParams.maxIterations,
        out.data());
    out.resize(static_cast<size_t>(perAxis) * perAxis * perAxis);
    return out;
}

// Whether every sample of the box agrees with `certificate` (a class stand-in or the exact 0).
bool boxAgrees(const double* reference, int edge, int bx, int by, int bz, double certificate) {
    for (int k = bz * edge; k < (bz + 1) * edge; ++k) {
        for (int j = by * edge; j < (by + 1) * edge; ++j) {
            for (int i = bx * edge; i < (bx + 1) * edge; ++i) {
                const double value = reference[i + 64 * j + 4096 * k];
                const bool agrees = certificate == 0.0 ? value == 0.0
                                                       : (value < 0.5) == (certificate < 0.5);
                if (!agrees) {
                    return false;
                }
            }
        }
    }
    return true;
}

}  // namespace

void checkBlockCertificates(SimdLevel level, const Box3d& block, const double* reference,
                            CertificateCheck& check) {
    const BlockLattice lattice = computeBlockLattice(block);
    for (int depth = 0; depth <= kOctreeDepths; ++depth) {
        const int edge = depth < kOctreeDepths ? kOctreeBoxEdges[depth] : kSubBoxEdge;
        const int perAxis = kBlockSamplesPerAxis / edge;
        const std::vector<double> out = certifyEveryBox(level, lattice, edge);
        for (size_t n = 0; n < out.size(); ++n) {
            ++check.boxes;
            if (out[n] != out[n]) {
                continue;
            }
            ++check.certified;
            check.certifiedSamples += edge * edge * edge;
            const int bx = static_cast<int>(n) % perAxis;
            const int by = static_cast<int>(n) / perAxis % perAxis;
            const int bz = static_cast<int>(n) / perAxis / perAxis;
            if (!boxAgrees(reference, edge, bx, by, bz, out[n])) {
                if (check.wrong++ == 0) {
                    check.firstWrong = "box (" + std::to_string(bx) + ", " + std::to_string(by) +
                                       ", " + std::to_string(bz) + ") of edge " +
                                       std::to_string(edge) + " certified " +
                                       std::to_string(out[n]);
                }
            }
        }
    }
}

void classifyLanesScaled(SimdLevel level, const ClassifyLanes& lanes, int count,
                         int maxIterations, double errorBoundScale, double* out) {
#if defined(QUARNEL_SIMD_KERNELS)
    if (level == SimdLevel::kAvx512) {
        classifyLanesScaledAvx512(lanes, count, maxIterations, errorBoundScale, out);
        return;
    }
    if (level == SimdLevel::kAvx2) {
        classifyLanesScaledAvx2(lanes, count, maxIterations, errorBoundScale, out);
        return;
    }
#endif
    (void)level, (void)lanes, (void)count, (void)maxIterations, (void)errorBoundScale, (void)out;
    assert(false && "no vector kernel on this platform");
}

void boundFinalModulusScaled(SimdLevel level, const ClassifyLanes& lanes, const double* radii,
                             int count, int maxIterations, double errorBoundScale, double* low,
                             double* high) {
#if defined(QUARNEL_SIMD_KERNELS)
    if (level == SimdLevel::kAvx512) {
        boundFinalModulusScaledAvx512(lanes, radii, count, maxIterations, errorBoundScale, low,
                                      high);
        return;
    }
    if (level == SimdLevel::kAvx2) {
        boundFinalModulusScaledAvx2(lanes, radii, count, maxIterations, errorBoundScale, low, high);
        return;
    }
#endif
    (void)level, (void)lanes, (void)radii, (void)count, (void)maxIterations,
        (void)errorBoundScale, (void)low, (void)high;
    assert(false && "no vector kernel on this platform");
}
